// Median filter: 4096 x 4096 frames over the radii a host uses, and the
// speed-up over the literal selection (a walk from bin 0 for every pixel)
// measured side by side on a small crop of the same frame.
#include "support.h"
#include "tamrix.h"

#include <omp.h>

#include <algorithm>
#include <chrono>
#include <memory>

namespace tamrix::bench {
namespace {

// The sky frame of the other benchmarks. Its 32-bit form is stretched over
// the whole 32-bit range (v * 65537 maps 65535 to 4294967295), so that with
// low 0 and high 4294967295 the values spread over the 262144 bins of
// 16384 values as much as the 16-bit values spread over theirs.
template <class Pixel>
const std::vector<Pixel>& Sky()
{
    if constexpr (sizeof(Pixel) == 2) {
        return Frame<uint16_t>(Kind::Light);
    } else {
        static const std::vector<uint32_t> stretched = [] {
            std::vector<uint32_t> f(Frame<uint32_t>(Kind::Light));
            for (auto& v : f)
                v *= 65537u;
            return f;
        }();
        return stretched;
    }
}

template <class Pixel>
void RunMedian(const Pixel* src, Pixel* dst, int w, int h, int r)
{
    tamrix::Median(nullptr, nullptr, const_cast<Pixel*>(src), dst, w, h, Depth<Pixel>(), 0, -1, r, 0, 1000, 0, 0);
}

using Clock = std::chrono::steady_clock;

// The machine is shared: noise only ever adds time, so besides the mean that
// the table shows, "best Mpx/s" reports the fastest call.
double BestRate(size_t pixels, Clock::duration best)
{
    return static_cast<double>(pixels) / std::chrono::duration<double>(best).count() * 1e-6;
}

template <class Pixel>
void MedianBench(benchmark::State& state)
{
    const auto& src = Sky<Pixel>();
    std::vector<Pixel> out(src.size());
    const int r = static_cast<int>(state.range(0));
    Clock::duration best = Clock::duration::max();
    for (auto _ : state) {
        const auto t0 = Clock::now();
        RunMedian(src.data(), out.data(), kSide, kSide, r);
        best = std::min(best, Clock::now() - t0);
        benchmark::DoNotOptimize(out.data());
    }
    SetPixelRate(state, src.size());
    state.counters["best Mpx/s"] = BestRate(src.size(), best);
}

// The selection exactly as the rule is written, in the same sliding
// histogram, cleared for every row, and the same parallel row loop: the walk
// from bin 0 costs as many steps as the selected bin's index.
template <class Pixel>
void LiteralMedian(const Pixel* src, Pixel* dst, int w, int h, int r)
{
    const uint32_t count = sizeof(Pixel) == 2 ? 65536 : 262144;
    const unsigned shift = sizeof(Pixel) == 2 ? 0 : 14;
#pragma omp parallel
    {
        std::unique_ptr<uint32_t[]> hist(new uint32_t[count]);
#pragma omp for schedule(static)
        for (int y = 0; y < h; ++y) {
            std::fill_n(hist.get(), count, 0u);
            const int top = std::max(0, y - r), bottom = std::min(h - 1, y + r), nr = bottom - top + 1;
            auto column = [&](int x, int delta) {
                for (int i = top; i <= bottom; ++i)
                    hist[src[static_cast<size_t>(i) * w + x] >> shift] += delta;
            };
            uint32_t n = r * nr;
            for (int x = 0; x < r; ++x)
                column(x, 1);
            for (int x = 0; x < w; ++x) {
                if (x > r)
                    column(x - r - 1, -1), n -= nr;
                if (x < w - r)
                    column(x + r, 1), n += nr;
                const uint32_t half = n / 2;
                uint64_t selected = 0;
                if (half != 0) {
                    uint32_t b = 0, total = hist[0];
                    while (total < half)
                        total += hist[++b];
                    selected = b + 1;
                }
                dst[static_cast<size_t>(y) * w + x] = static_cast<Pixel>(std::min<uint64_t>(selected << shift, Pixel(-1)));
            }
        }
    }
}

// Runs the library and the literal selection alternately on the same crop
// and reports the speed-up fast / literal: how many times the library's time
// the literal selection takes, from the fastest call of each. bright picks
// the flat frame, whose values near 30000 make the literal walk some 25 times
// longer than the sky's values near 1000.
template <class Pixel>
void VersusLiteral(benchmark::State& state, bool bright)
{
    const int side = bright ? 512 : 1024, r = static_cast<int>(state.range(0));
    const std::vector<Pixel>& full = bright ? Frame<Pixel>(Kind::Flat) : Sky<Pixel>();
    std::vector<Pixel> crop(static_cast<size_t>(side) * side), fast(crop.size()), literal(crop.size());
    for (int y = 0; y < side; ++y)
        std::copy_n(full.begin() + static_cast<std::ptrdiff_t>(y + 1024) * kSide + 1024, side, crop.begin() + y * side);
    Clock::duration fastBest = Clock::duration::max(), literalBest = fastBest;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        RunMedian(crop.data(), fast.data(), side, side, r);
        const auto t1 = Clock::now();
        LiteralMedian(crop.data(), literal.data(), side, side, r);
        fastBest = std::min(fastBest, t1 - t0);
        literalBest = std::min(literalBest, Clock::now() - t1);
    }
    if (fast != literal)
        state.SkipWithError("the library and the literal selection disagree");
    state.counters["fast Mpx/s"] = BestRate(crop.size(), fastBest);
    state.counters["literal Mpx/s"] = BestRate(crop.size(), literalBest);
    state.counters["fast/literal"] = std::chrono::duration<double>(literalBest) / fastBest;
}

template <class Pixel>
void Register(std::initializer_list<int> radii)
{
    for (int r : radii)
        benchmark::RegisterBenchmark((std::string("Median/") + DepthName<Pixel>() + "/r:" + std::to_string(r)).c_str(),
                                     &MedianBench<Pixel>)
            ->Arg(r)
            ->Iterations(5)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
    for (int r : radii)
        benchmark::RegisterBenchmark(
            (std::string("MedianVsLiteral/") + DepthName<Pixel>() + "/sky/r:" + std::to_string(r)).c_str(),
            [](benchmark::State& state) { VersusLiteral<Pixel>(state, false); })
            ->Arg(r)
            ->Iterations(5)
            ->UseRealTime()
            ->Unit(benchmark::kMillisecond);
}

const int registered = (Register<uint16_t>({1, 2, 5, 10, 25}), Register<uint32_t>({1, 5, 25}),
                        benchmark::RegisterBenchmark("MedianVsLiteral/u16/bright/r:5",
                                                     [](benchmark::State& state) { VersusLiteral<uint16_t>(state, true); })
                            ->Arg(5)
                            ->Iterations(3)
                            ->UseRealTime()
                            ->Unit(benchmark::kMillisecond),
                        0);

} // namespace
} // namespace tamrix::bench
