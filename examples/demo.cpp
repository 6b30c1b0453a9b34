// Calibrates and bins a synthetic sky frame: a light frame with stars, hot
// pixels and vignetting, a dark frame and a flat field, all 16-bit.
#include "tamrix.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Millis(Clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - since).count();
}

struct Summary {
    double mean;
    uint32_t min, max;
};

template <class Pixel>
Summary Summarise(const std::vector<Pixel>& frame)
{
    double sum = 0;
    Pixel lo = frame[0], hi = frame[0];
    for (Pixel p : frame) {
        sum += p;
        lo = std::min(lo, p);
        hi = std::max(hi, p);
    }
    return {sum / frame.size(), lo, hi};
}

} // namespace

int main()
{
    const int w = 4096, h = 4096;
    const size_t n = size_t{w} * h;
    std::mt19937 rng(2026);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);

    auto t = Clock::now();
    std::vector<uint16_t> light(n), dark(n), flat(n);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y) * w + x;
            const double u = (x - w / 2.0) / w, v = (y - h / 2.0) / h;
            const double vignette = 1.0 - 0.5 * (u * u + v * v);
            const double hot = unit(rng) < 1e-4 ? 3000 : 0;
            dark[i] = static_cast<uint16_t>(std::max(0.0, 100 + 8 * noise(rng) + hot));
            flat[i] = static_cast<uint16_t>(30000 * vignette * (1 + 0.01 * noise(rng)));
            const double sky = 1000 * vignette + 30 * noise(rng);
            light[i] = static_cast<uint16_t>(std::clamp(sky + dark[i], 0.0, 65535.0));
        }
    for (int s = 0; s < 2000; ++s) {
        const double cx = unit(rng) * w, cy = unit(rng) * h, peak = 200 + 20000 * unit(rng) * unit(rng);
        for (int y = std::max(0, int(cy) - 6); y < std::min(h, int(cy) + 7); ++y)
            for (int x = std::max(0, int(cx) - 6); x < std::min(w, int(cx) + 7); ++x) {
                const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                auto& p = light[size_t(y) * w + x];
                p = static_cast<uint16_t>(std::min(65535.0, p + peak * std::exp(-d2 / 4.5)));
            }
    }
    std::printf("synthetic sky %dx%d 16-bit: light, dark, flat made in %.0f ms\n", w, h, Millis(t));

    const Summary raw = Summarise(light);
    std::printf("  light:      mean %8.1f  min %5u  max %5u\n", raw.mean, raw.min, raw.max);

    t = Clock::now();
    tamrix::DiffDark(light.data(), light.data(), dark.data(), w, h, 2);
    const double darkMs = Millis(t);
    const Summary dk = Summarise(light);
    std::printf("  DiffDark:   mean %8.1f  min %5u  max %5u  in %6.2f ms (in place)\n", dk.mean, dk.min, dk.max, darkMs);

    double level = 0.0; // ask for the flat's mean
    t = Clock::now();
    tamrix::Flat(light.data(), light.data(), flat.data(), &level, w, h, 2);
    const double flatMs = Millis(t);
    const Summary fl = Summarise(light);
    std::printf("  Flat:       mean %8.1f  min %5u  max %5u  in %6.2f ms (flat mean %.3f written back)\n", fl.mean,
                fl.min, fl.max, flatMs, level);

    std::vector<uint32_t> binned(size_t(w / 2) * (h / 2));
    t = Clock::now();
    tamrix::Bin(2, 2, light.data(), binned.data(), w, h, 2);
    const double binMs = Millis(t);
    const Summary bn = Summarise(binned);
    std::printf("  Bin 2x2:    mean %8.1f  min %5u  max %5u  in %6.2f ms -> %dx%d 32-bit\n", bn.mean, bn.min, bn.max,
                binMs, w / 2, h / 2);

    // The vignetting is gone after the flat: compare the centre with a corner.
    auto block = [&](int x0, int y0) {
        double s = 0;
        for (int y = y0; y < y0 + 64; ++y)
            for (int x = x0; x < x0 + 64; ++x)
                s += binned[size_t(y) * (w / 2) + x];
        return s / (64 * 64 * 4);
    };
    std::printf("  sky level per pixel after calibration: centre %.1f, corner %.1f\n", block(992, 992), block(0, 0));
    return 0;
}
