// Synthetic star fields for training and scoring the star network: Gaussian
// and Moffat stars over four decades of brightness, close pairs, a sky
// gradient with Gaussian noise, hot pixels and cosmic-ray tracks, all from
// one seed.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace starnet {

constexpr double kNoise = 10.0; // sky noise, counts

struct Star {
    double x, y, peak; // centre and peak height above the sky
};

struct Field {
    int width, height;
    std::vector<uint16_t> pixels;
    std::vector<Star> stars;
    std::vector<std::pair<int, int>> hot; // hot pixels and cosmic-ray pixels
};

inline Field MakeField(uint32_t seed, int width = 512, int height = 512, int stars = 150, int hotPixels = 60,
                       int tracks = 20)
{
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    Field f{width, height, {}, {}, {}};
    std::vector<double> sky(size_t(width) * height);
    const double gx = 200 * (u(rng) - 0.5), gy = 200 * (u(rng) - 0.5);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            sky[size_t(y) * width + x] = 1000 + gx * x / width + gy * y / height;
    auto addStar = [&](double cx, double cy, double peak) {
        const bool moffat = u(rng) < 0.5;
        const double sigma = 0.9 + 1.2 * u(rng), beta = 2.5 + 1.5 * u(rng), alpha = 1.2 + 1.8 * u(rng);
        const int reach = 12;
        for (int y = std::max(0, int(cy) - reach); y <= std::min(height - 1, int(cy) + reach); ++y)
            for (int x = std::max(0, int(cx) - reach); x <= std::min(width - 1, int(cx) + reach); ++x) {
                const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                sky[size_t(y) * width + x] += moffat ? peak * std::pow(1 + d2 / (alpha * alpha), -beta)
                                                     : peak * std::exp(-d2 / (2 * sigma * sigma));
            }
        f.stars.push_back({cx, cy, peak});
    };
    for (int i = 0; i < stars; ++i) {
        const double cx = 8 + (width - 16) * u(rng), cy = 8 + (height - 16) * u(rng);
        const double peak = 3 * kNoise * std::pow(10.0, 3 * u(rng)); // 3 to 3000 sigma
        addStar(cx, cy, peak);
        if (u(rng) < 0.15) { // a close companion 3 to 6 pixels away
            const double a = 6.2832 * u(rng), d = 3 + 3 * u(rng);
            addStar(cx + d * std::cos(a), cy + d * std::sin(a), peak * (0.2 + 0.8 * u(rng)));
        }
    }
    for (double& v : sky)
        v += kNoise * gauss(rng);
    for (int i = 0; i < hotPixels; ++i) {
        const int x = 6 + int((width - 12) * u(rng)), y = 6 + int((height - 12) * u(rng));
        sky[size_t(y) * width + x] += 100 + 20000 * u(rng) * u(rng);
        f.hot.push_back({x, y});
    }
    for (int i = 0; i < tracks; ++i) {
        double x = 10 + (width - 20) * u(rng), y = 10 + (height - 20) * u(rng);
        const double a = 6.2832 * u(rng), level = 200 + 5000 * u(rng);
        const int len = 3 + int(8 * u(rng));
        for (int k = 0; k < len; ++k, x += std::cos(a), y += std::sin(a)) {
            const int px = int(x + 0.5), py = int(y + 0.5);
            if (px < 1 || py < 1 || px >= width - 1 || py >= height - 1)
                break;
            sky[size_t(py) * width + px] += level;
            f.hot.push_back({px, py});
        }
    }
    f.pixels.resize(sky.size());
    for (size_t i = 0; i < sky.size(); ++i)
        f.pixels[i] = uint16_t(std::clamp(std::lround(sky[i]), 0L, 65535L));
    return f;
}

} // namespace starnet
