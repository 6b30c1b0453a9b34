// Synthetic star fields, all from one seed: the training and scoring fields
// of the star network (Gaussian and Moffat stars over three decades of
// brightness, close pairs, a sky gradient with Gaussian noise, hot pixels and
// cosmic-ray tracks), and the skies of the tests, which choose their own
// stars, placement, noise and defects.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

namespace starnet {

constexpr double kNoise = 10.0; // sky noise of the training fields, counts

struct Star {
    double x, y, peak;   // centre and peak height above the sky
    double width = 1.5;  // Gaussian sigma, or Moffat alpha
    double beta = 0;     // > 0: a Moffat profile
};

struct Field {
    int width, height;
    std::vector<uint16_t> pixels; // rounded and clamped to 16 bits
    std::vector<double> sky;      // the values before that
    std::vector<Star> stars;
    std::vector<std::pair<int, int>> hot; // hot pixels and cosmic-ray pixels
};

struct Recipe {
    int width = 512, height = 512;
    double level = 1000, noise = kNoise;
    double gradient = 200;          // slopes drawn up to +-gradient / 2 across the frame
    int stars = 150;                // anywhere at least 8 pixels in, or
    int cell = 0;                   // > 0: one star per cell of this side, near its centre
    double minPeak = 3 * kNoise, decades = 3; // peaks log-uniform over that many decades
    double sigma = 0.9, sigmaSpread = 1.2;    // Gaussian widths
    bool moffat = true;             // half the stars Moffat profiles
    double pairs = 0.15;            // chance of a close companion
    int hotPixels = 60, tracks = 20;
    std::vector<Star> given;        // these stars instead of drawn ones
};

inline Field MakeField(uint32_t seed, const Recipe& recipe = {})
{
    const int width = recipe.width, height = recipe.height;
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> gauss(0.0, 1.0);
    Field f{width, height, {}, std::vector<double>(size_t(width) * height), recipe.given, {}};
    const double gx = recipe.gradient * (u(rng) - 0.5), gy = recipe.gradient * (u(rng) - 0.5);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            f.sky[size_t(y) * width + x] = recipe.level + gx * x / width + gy * y / height;
    auto addStar = [&](double cx, double cy, double peak) {
        Star s{cx, cy, peak};
        const bool moffat = recipe.moffat && u(rng) < 0.5;
        s.width = recipe.sigma + recipe.sigmaSpread * u(rng);
        if (recipe.moffat) {
            const double beta = 2.5 + 1.5 * u(rng), alpha = 1.2 + 1.8 * u(rng);
            if (moffat)
                s.beta = beta, s.width = alpha;
        }
        f.stars.push_back(s);
    };
    const int cols = recipe.cell > 0 ? width / recipe.cell : 0;
    const int count = recipe.given.empty() ? recipe.cell > 0 ? cols * (height / recipe.cell) : recipe.stars : 0;
    for (int i = 0; i < count; ++i) {
        double cx = 8 + (width - 16) * u(rng), cy = 8 + (height - 16) * u(rng);
        if (recipe.cell > 0) {
            cx = recipe.cell * (i % cols + 0.5) + (recipe.cell / 4.0) * (cx / width - 0.5);
            cy = recipe.cell * (i / cols + 0.5) + (recipe.cell / 4.0) * (cy / height - 0.5);
        }
        const double peak = recipe.minPeak * std::pow(10.0, recipe.decades * u(rng));
        addStar(cx, cy, peak);
        if (u(rng) < recipe.pairs) { // a close companion 3 to 6 pixels away
            const double a = 6.2832 * u(rng), d = 3 + 3 * u(rng);
            addStar(cx + d * std::cos(a), cy + d * std::sin(a), peak * (0.2 + 0.8 * u(rng)));
        }
    }
    for (const Star& s : f.stars)
        for (int y = std::max(0, int(s.y) - 12); y <= std::min(height - 1, int(s.y) + 12); ++y)
            for (int x = std::max(0, int(s.x) - 12); x <= std::min(width - 1, int(s.x) + 12); ++x) {
                const double d2 = (x - s.x) * (x - s.x) + (y - s.y) * (y - s.y);
                f.sky[size_t(y) * width + x] += s.beta > 0 ? s.peak * std::pow(1 + d2 / (s.width * s.width), -s.beta)
                                                           : s.peak * std::exp(-d2 / (2 * s.width * s.width));
            }
    for (double& v : f.sky)
        v += recipe.noise * gauss(rng);
    for (int i = 0; i < recipe.hotPixels; ++i) {
        const int x = std::min(width - 1, 6 + int((width - 12) * u(rng)));
        const int y = std::min(height - 1, 6 + int((height - 12) * u(rng)));
        f.sky[size_t(y) * width + x] += 100 + 20000 * u(rng) * u(rng);
        f.hot.push_back({x, y});
    }
    for (int i = 0; i < recipe.tracks; ++i) {
        double x = 10 + (width - 20) * u(rng), y = 10 + (height - 20) * u(rng);
        const double a = 6.2832 * u(rng), level = 200 + 5000 * u(rng);
        const int len = 3 + int(8 * u(rng));
        for (int k = 0; k < len; ++k, x += std::cos(a), y += std::sin(a)) {
            const int px = int(x + 0.5), py = int(y + 0.5);
            if (px < 1 || py < 1 || px >= width - 1 || py >= height - 1)
                break;
            f.sky[size_t(py) * width + px] += level;
            f.hot.push_back({px, py});
        }
    }
    f.pixels.resize(f.sky.size());
    for (size_t i = 0; i < f.sky.size(); ++i)
        f.pixels[i] = uint16_t(std::clamp(std::lround(f.sky[i]), 0L, 65535L));
    return f;
}

} // namespace starnet
