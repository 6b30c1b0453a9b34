#include "detect/training.h"

#include "detect/stars.h"

#include "hostlib.h"
#include "nnet.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tamrix::detect {
namespace {

void PaintDisc(LabelMap& map, double cx, double cy, double radius, uint8_t label, bool overOnlySky)
{
    const int x0 = std::max(0, int(std::floor(cx - radius))), x1 = std::min(map.width - 1, int(std::ceil(cx + radius)));
    const int y0 = std::max(0, int(std::floor(cy - radius))),
              y1 = std::min(map.height - 1, int(std::ceil(cy + radius)));
    for (int y = y0; y <= y1; ++y)
        for (int x = x0; x <= x1; ++x)
            if ((x - cx) * (x - cx) + (y - cy) * (y - cy) <= radius * radius) {
                uint8_t& l = map.labels[size_t(y) * map.width + x];
                if (!overOnlySky || l == kSky)
                    l = label;
            }
}

uint32_t Pixel(const void* frame, int depth, size_t i)
{
    return depth == 2 ? static_cast<const uint16_t*>(frame)[i] : static_cast<const uint32_t*>(frame)[i];
}

} // namespace

LabelMap LabelStars(int width, int height, const std::vector<LabelledStar>& stars)
{
    LabelMap map { width, height, std::vector<uint8_t>(size_t(width) * height, kSky) };
    for (const LabelledStar& s : stars)
        if (s.judged)
            PaintDisc(map, s.x, s.y, 2 * s.fwhm + 2, kWing, true);
    for (const LabelledStar& s : stars)
        PaintDisc(map, s.x, s.y, s.judged ? std::max(2.0, 0.35 * s.fwhm) : std::max(2.5, 0.6 * s.fwhm), kIgnore, false);
    for (const LabelledStar& s : stars)
        if (s.judged)
            PaintDisc(map, s.x, s.y, 1.0, kCentre, false);
    return map;
}

void CutSamples(const void* frame, int width, int height, int depth, const LabelMap& map, int r,
    const double (&perCentre)[kLabels], uint32_t seed, Samples& out)
{
    const int side = 2 * r + 1;
    out.inputs = side * side;
    if (width < side || height < side)
        return;
    // Candidate pixels of every kind; the noise's local maxima apart.
    std::vector<size_t> pool[kLabels], peaks;
    for (int y = r; y < height - r; ++y)
        for (int x = r; x < width - r; ++x) {
            const size_t i = size_t(y) * width + x;
            const uint8_t l = map.labels[i];
            if (l >= kLabels || l == kIgnore)
                continue;
            pool[l].push_back(i);
            if (l == kSky) {
                const uint32_t v = Pixel(frame, depth, i);
                bool peak = true;
                for (int j = -1; j <= 1 && peak; ++j)
                    for (int k = -1; k <= 1 && peak; ++k)
                        peak = Pixel(frame, depth, size_t(y + j) * width + x + k) <= v;
                if (peak)
                    peaks.push_back(i);
            }
        }
    std::mt19937 rng(seed);
    std::vector<float> window(size_t(out.inputs));
    auto add = [&](size_t i, float target) {
        SubFrameToVector(
            const_cast<void*>(frame), width, height, unsigned(depth), int(i % width), int(i / width), r, window.data());
        if (std::isnan(window[0]))
            return;
        out.windows.insert(out.windows.end(), window.begin(), window.end());
        out.targets.push_back(target);
    };
    // A fixed number drawn from a pool: all of it when it has no more.
    auto draw = [&](std::vector<size_t>& from, size_t n) {
        if (n >= from.size()) {
            for (size_t i : from)
                add(i, 0.0f);
            return;
        }
        for (size_t k = 0; k < n; ++k) { // partial Fisher-Yates
            std::swap(from[k], from[k + rng() % (from.size() - k)]);
            add(from[k], 0.0f);
        }
    };
    const size_t centres = pool[kCentre].size();
    for (size_t i : pool[kCentre])
        add(i, 1.0f);
    for (int l = kSky; l < kLabels; ++l) {
        const size_t n = size_t(std::lround(perCentre[l] * double(centres)));
        if (l == kSky) {
            draw(peaks, n / 2);
            draw(pool[l], n - n / 2);
        } else
            draw(pool[l], n);
    }
}

size_t FrameSamples(const void* frame, int width, int height, int depth, std::vector<LabelledStar> stars, int r,
    uint32_t seed, Samples& out)
{
    Options options;
    options.parallel = false;
    const double fwhm = FindStars(frame, width, height, depth, options).fwhm;
    for (LabelledStar& s : stars)
        s.fwhm = fwhm > 0 ? fwhm : 2;
    CutSamples(frame, width, height, depth, LabelStars(width, height, stars), r, kDefaultMix, seed, out);
    return stars.size();
}

bool TrainStarNetwork(const Samples& samples, int hidden, int epochs, uint32_t seed, nnet::CNetwork& net)
{
    const size_t n = samples.targets.size();
    std::vector<float*> inputs(n), targets(n);
    for (size_t i = 0; i < n; ++i) {
        inputs[i] = const_cast<float*>(samples.windows.data()) + i * size_t(samples.inputs);
        targets[i] = const_cast<float*>(samples.targets.data()) + i;
    }
    Lib::FixSeed(seed);
    net.Done();
    net.SIMDlevel = nnet::SIMD_NONE;
    const int sizes[] = { samples.inputs, hidden, 1 };
    net.Init(3, sizes);
    return net.Learn(int(n), samples.inputs, inputs.data(), 1, targets.data(), 16, 1.0f, 0.0f, epochs, nullptr);
}

} // namespace tamrix::detect
