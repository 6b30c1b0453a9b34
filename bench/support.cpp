#include "support.h"

#include <algorithm>
#include <cmath>
#include <random>

namespace tamrix::bench {
namespace {

template <class Pixel>
std::vector<Pixel> MakeFrame(Kind kind)
{
    const int n = kSide;
    std::vector<Pixel> frame(static_cast<size_t>(n) * n);
    std::mt19937_64 rng(kind == Kind::Light ? 1 : kind == Kind::Dark ? 2 : 3);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto put = [](double v) {
        return static_cast<Pixel>(std::clamp(v, 0.0, 65535.0));
    };
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const double u = (x - n / 2.0) / n, v = (y - n / 2.0) / n;
            double value = 0;
            switch (kind) {
            case Kind::Light: value = 1000 + 60.0 * x / n + 40.0 * y / n + 30 * noise(rng); break;
            case Kind::Dark: value = 100 + 8 * noise(rng) + (unit(rng) < 5e-5 ? 4000 * unit(rng) : 0); break;
            case Kind::Flat: value = unit(rng) < 1e-5 ? 0 : 30000 * (1 - 0.25 * (u * u + v * v) * 2) * (1 + 0.01 * noise(rng)); break;
            }
            frame[static_cast<size_t>(y) * n + x] = put(value);
        }
    if (kind == Kind::Light) {
        std::lognormal_distribution<double> peak(6.0, 1.2);
        for (int s = 0; s < 2100; ++s) {
            const double cx = unit(rng) * n, cy = unit(rng) * n, sigma = 1 + 1.5 * unit(rng), p = peak(rng);
            const int r = static_cast<int>(4 * sigma) + 1;
            for (int y = std::max(0, int(cy) - r); y < std::min(n, int(cy) + r + 1); ++y)
                for (int x = std::max(0, int(cx) - r); x < std::min(n, int(cx) + r + 1); ++x) {
                    const double d2 = (x - cx) * (x - cx) + (y - cy) * (y - cy);
                    auto& px = frame[static_cast<size_t>(y) * n + x];
                    px = put(px + p * std::exp(-d2 / (2 * sigma * sigma)));
                }
        }
    }
    return frame;
}

} // namespace

template <class Pixel>
const std::vector<Pixel>& Frame(Kind kind)
{
    static const std::vector<Pixel> light = MakeFrame<Pixel>(Kind::Light);
    static const std::vector<Pixel> dark = MakeFrame<Pixel>(Kind::Dark);
    static const std::vector<Pixel> flat = MakeFrame<Pixel>(Kind::Flat);
    return kind == Kind::Light ? light : kind == Kind::Dark ? dark : flat;
}

template const std::vector<uint16_t>& Frame<uint16_t>(Kind);
template const std::vector<uint32_t>& Frame<uint32_t>(Kind);

void StreamFloor(benchmark::State& state, size_t readBytes, size_t writeBytes)
{
    const int rows = kSide;
    const size_t inRow = readBytes / 8 / rows, outRow = writeBytes / 8 / rows;
    std::vector<uint64_t> in(inRow * rows, 1), out(outRow * rows);
    for (auto _ : state) {
#pragma omp parallel for schedule(static)
        for (int r = 0; r < rows; ++r) {
            const uint64_t* a = in.data() + r * inRow;
            uint64_t* o = out.data() + r * outRow;
            uint64_t acc = 0;
            for (size_t k = 0; k < inRow; ++k)
                acc += a[k];
            for (size_t k = 0; k < outRow; ++k)
                o[k] = acc + k;
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
}

void SetPixelRate(benchmark::State& state, size_t pixels)
{
    state.counters["Mpx/s"] = benchmark::Counter(static_cast<double>(pixels) * 1e-6,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

void RegisterWithFloor(const std::string& name, size_t pixels, size_t readBytes, size_t writeBytes,
                       void (*op)(benchmark::State&))
{
    benchmark::RegisterBenchmark(name.c_str(), [op, pixels](benchmark::State& state) {
        op(state);
        SetPixelRate(state, pixels);
    })->UseRealTime()->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((name + "/floor").c_str(), [=](benchmark::State& state) {
        StreamFloor(state, readBytes, writeBytes);
        SetPixelRate(state, pixels);
    })->UseRealTime()->Unit(benchmark::kMillisecond);
}

} // namespace tamrix::bench
