#include "synthetic.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tamrix::cli {

void SecondFramePosition(int width, int height, double x, double y, double& x2, double& y2)
{
    // A shift of (2.5, -1.5) pixels, a rotation of 0.25 degrees about the
    // centre and a barrel distortion: up to about 7 pixels at the corners.
    const double cx = width / 2, cy = height / 2, s = std::max(width, height);
    const double u = (x - cx) / s, v = (y - cy) / s;
    const double angle = 0.25 * M_PI / 180, k = -0.004;
    const double r2 = u * u + v * v;
    const double ru = std::cos(angle) * u - std::sin(angle) * v, rv = std::sin(angle) * u + std::cos(angle) * v;
    x2 = cx + s * (ru * (1 + k * r2 * 4)) + 2.5;
    y2 = cy + s * (rv * (1 + k * r2 * 4)) - 1.5;
}

namespace {

// An exposure of the field with each star at place(x, y) for its position
// (x, y) in the first light: a sky with a gentle gradient, Gaussian stars,
// the vignetting, photon and read noise, the dark current.
template <class Place>
Frame Expose(
    const SyntheticNight& night, int w, int h, Place place, std::mt19937& rng, std::normal_distribution<double>& normal)
{
    const size_t n = size_t(w) * h;
    const double sigma = 1.4;
    std::vector<double> sky(n);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            sky[size_t(y) * w + x] = 900 + 0.15 * x + 0.05 * y;
    for (const TrueStar& s : night.stars) {
        double sx, sy;
        place(s, sx, sy);
        const double peak = s.flux / (2 * M_PI * sigma * sigma);
        for (int y = std::max(0, int(sy) - 8); y <= std::min(h - 1, int(sy) + 8); ++y)
            for (int x = std::max(0, int(sx) - 8); x <= std::min(w - 1, int(sx) + 8); ++x) {
                const double d2 = (x - sx) * (x - sx) + (y - sy) * (y - sy);
                sky[size_t(y) * w + x] += peak * std::exp(-d2 / (2 * sigma * sigma));
            }
    }
    Frame light(w, h, 2);
    for (size_t i = 0; i < n; ++i) {
        const double signal = sky[i] * night.vignette[i];
        const double value = signal + std::sqrt(signal) * normal(rng) + night.darkLevel[i] + 4 * normal(rng);
        light.p16[i] = static_cast<uint16_t>(std::clamp(value, 0.0, 65535.0));
    }
    return light;
}

} // namespace

SyntheticNight MakeNight(int w, int h, int starCount, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const size_t n = size_t(w) * h;

    SyntheticNight night { Frame(w, h, 2), Frame(w, h, 2), {}, {}, std::vector<double>(n), std::vector<double>(n) };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            const double u = (x - w / 2.0) / w, v = (y - h / 2.0) / h;
            night.vignette[i] = 1.0 - 0.6 * (u * u + v * v);
            const double hot = unit(rng) < 2e-4 ? 4000 * unit(rng) : 0;
            night.darkLevel[i] = 100 + hot;
            night.dark.p16[i] = static_cast<uint16_t>(std::clamp(night.darkLevel[i] + 4 * normal(rng), 0.0, 65535.0));
            night.flat.p16[i] = static_cast<uint16_t>(30000 * night.vignette[i] * (1 + 0.005 * normal(rng)));
        }

    // Log-uniform brightness: many faint stars, a few bright ones.
    for (int k = 0; k < starCount; ++k) {
        TrueStar s;
        s.x = 12 + unit(rng) * (w - 24);
        s.y = 12 + unit(rng) * (h - 24);
        s.flux = 800 * std::pow(10.0, 2.2 * unit(rng));
        SecondFramePosition(w, h, s.x, s.y, s.x2, s.y2);
        night.stars.push_back(s);
    }

    for (int f = 0; f < 2; ++f)
        night.lights[f] = Expose(
            night, w, h,
            [f](const TrueStar& s, double& x, double& y) {
                x = f ? s.x2 : s.x;
                y = f ? s.y2 : s.y;
            },
            rng, normal);
    night.dark.path = "dark";
    night.flat.path = "flat";
    night.lights[0].path = "light1";
    night.lights[1].path = "light2";
    return night;
}

std::vector<Frame> MakeMoreLights(const SyntheticNight& night, int count, uint32_t seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    const int w = night.dark.width, h = night.dark.height;
    std::vector<Frame> lights;
    for (int k = 0; k < count; ++k) {
        const double angle = 0.4 * unit(rng) * M_PI / 180, dx = 4 * unit(rng), dy = 4 * unit(rng);
        const double cx = w / 2, cy = h / 2, c = std::cos(angle), s = std::sin(angle);
        lights.push_back(Expose(
            night, w, h,
            [&](const TrueStar& star, double& x, double& y) {
                x = cx + c * (star.x - cx) - s * (star.y - cy) + dx;
                y = cy + s * (star.x - cx) + c * (star.y - cy) + dy;
            },
            rng, normal));
    }
    return lights;
}

} // namespace tamrix::cli
