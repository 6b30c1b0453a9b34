#include "support.h"
#include "tamrix.h"

namespace tamrix::bench {
namespace {

template <class Pixel, int kSize>
void StatisticsBench(benchmark::State& state)
{
    const auto& frame = Frame<Pixel>(Kind::Light);
    const int corner = (kSide - kSize) / 2;
    unsigned min = 0, max = 0;
    double mean = 0, sd = 0;
    for (auto _ : state) {
        tamrix::CalculateAreaStatistics(const_cast<Pixel*>(frame.data()), kSide, kSide, Depth<Pixel>(), corner, corner,
                                        kSize, kSize, &min, &max, &mean, &sd);
        benchmark::DoNotOptimize(sd);
    }
}

// The neural detector's use: one 15 x 15 window per pixel along a row.
template <class Pixel>
void SubFrameBench(benchmark::State& state)
{
    const auto& frame = Frame<Pixel>(Kind::Light);
    const int radius = 7, n = 2 * radius + 1;
    std::vector<float> vector(n * n);
    for (auto _ : state)
        for (int x = radius; x < kSide - radius; ++x) {
            tamrix::SubFrameToVector(const_cast<Pixel*>(frame.data()), kSide, kSide, Depth<Pixel>(), x, 2000, radius,
                                     vector.data());
            benchmark::DoNotOptimize(vector.data());
        }
    state.counters["windows/s"] =
        benchmark::Counter(static_cast<double>(kSide - 2 * radius), benchmark::Counter::kIsIterationInvariantRate);
}

// The floor reads the rectangle once; the operation reads it twice (minimum,
// maximum and mean first, the squared deviations from the mean after), so a
// ratio near 2 is what two streaming passes cost.
template <class Pixel>
void Register()
{
    const size_t whole = size_t{kSide} * kSide, part = size_t{1024} * 1024;
    RegisterWithFloor(std::string("Statistics/") + DepthName<Pixel>(), whole, whole * sizeof(Pixel), 0,
                      &StatisticsBench<Pixel, kSide>);
    RegisterWithFloor(std::string("Statistics1024/") + DepthName<Pixel>(), part, part * sizeof(Pixel), 0,
                      &StatisticsBench<Pixel, 1024>);
    benchmark::RegisterBenchmark((std::string("SubFrameToVector/r7/") + DepthName<Pixel>()).c_str(),
                                 &SubFrameBench<Pixel>)
        ->Unit(benchmark::kMicrosecond);
}

const int registered = (Register<uint16_t>(), Register<uint32_t>(), 0);

} // namespace
} // namespace tamrix::bench
