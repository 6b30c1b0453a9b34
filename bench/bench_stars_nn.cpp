// Neural star detection with the shipped network (r = 5, level 0.98) on 2048
// x 2048 (the top-left quarter of the synthetic light frame) and 4096 x 4096
// 16-bit fields, against the literal per-pixel loop it replaces (the window
// vector and one network query per interior pixel, into the candidate map)
// in the same run; the classic single-thread scan of the same pixels runs
// beside for scale.
#include "support.h"
#include "tamrix.h"

#include "hostlib.h"
#include "nnet.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <string>

namespace tamrix::bench {
namespace {

constexpr int kRadius = 5; // 11 x 11 windows, 121 inputs
constexpr int kHidden = 32;

// The top-left side x side corner of the light frame.
std::vector<uint16_t> Field(int side)
{
    const auto& full = Frame<uint16_t>(Kind::Light);
    std::vector<uint16_t> f(size_t(side) * side);
    for (int y = 0; y < side; ++y)
        std::copy_n(full.begin() + ptrdiff_t{y} * kSide, side, f.begin() + ptrdiff_t{y} * side);
    return f;
}

// The shipped network (121-32-1), used at its level; a network of that
// shape with fixed weights if the file cannot be read (the cost is the same,
// only the star count differs).
constexpr float kLevel = 0.98f;
std::unique_ptr<nnet::CNetwork> Network()
{
    auto net = std::make_unique<nnet::CNetwork>();
    const char* file = TAMRIX_DATA_DIR "/stars.net";
    char message[256];
    if (net->LoadNet(static_cast<int>(std::strlen(file)) + 1, file, sizeof message, message))
        return net;
    const int sizes[] = {(2 * kRadius + 1) * (2 * kRadius + 1), kHidden, 1};
    Lib::FixSeed(7);
    return std::make_unique<nnet::CNetwork>(3, sizes);
}

void Count(void* context, int, int, double, double, double, unsigned)
{
    ++*static_cast<size_t*>(context);
}

void Detect(benchmark::State& state, int side)
{
    auto pixels = Field(side);
    auto net = Network();
    std::vector<unsigned> mask((pixels.size() + 31) / 32);
    size_t stars = 0;
    for (auto _ : state) {
        stars = 0;
        FindStarsNN(net.get(), kRadius, kLevel, pixels.data(), side, side, 2, mask.data(), &stars, Count);
    }
    state.counters["stars"] = static_cast<double>(stars);
    state.counters["frames/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void Literal(benchmark::State& state, int side)
{
    auto pixels = Field(side);
    auto net = Network();
    const int n = (2 * kRadius + 1) * (2 * kRadius + 1);
    float* input = static_cast<float*>(net->Alloc(n * sizeof(float)));
    std::vector<unsigned> candidates((pixels.size() + 31) / 32);
    size_t count = 0;
    for (auto _ : state) {
        std::fill(candidates.begin(), candidates.end(), 0u);
        count = 0;
        for (int y = kRadius; y < side - kRadius; ++y)
            for (int x = kRadius; x < side - kRadius; ++x) {
                SubFrameToVector(pixels.data(), side, side, 2, x, y, kRadius, input);
                float out;
                if (net->Infer(n, input, 1, &out) && !std::isnan(input[0]) && out >= kLevel) {
                    const size_t i = size_t(y) * side + x;
                    candidates[i / 32] |= 1u << (i % 32);
                    ++count;
                }
            }
        benchmark::DoNotOptimize(candidates.data());
    }
    net->Free(input);
    state.counters["candidates"] = static_cast<double>(count);
    state.counters["frames/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void Classic(benchmark::State& state, int side)
{
    auto pixels = Field(side);
    std::vector<unsigned> mask((pixels.size() + 31) / 32);
    size_t stars = 0;
    for (auto _ : state) {
        std::fill(mask.begin(), mask.end(), 0u);
        stars = 0;
        FindStars1C(10, 3.0, 2, 0, pixels.data(), side, side, 2, mask.data(), &stars, Count);
    }
    state.counters["stars"] = static_cast<double>(stars);
    state.counters["frames/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

// Medians of a few repetitions, the detector and the literal loop of each
// size side by side.
void Register()
{
    for (int side : {2048, 4096}) {
        const size_t pixels = size_t(side) * side;
        const std::string name = "FindStarsNN/u16/" + std::to_string(side);
        auto add = [&](const std::string& full, void (*fn)(benchmark::State&, int), int repetitions) {
            benchmark::RegisterBenchmark(full.c_str(), [fn, side, pixels](benchmark::State& state) {
                fn(state, side);
                SetPixelRate(state, pixels);
            })->UseRealTime()->Unit(benchmark::kMillisecond)->Repetitions(repetitions)->ReportAggregatesOnly(true);
        };
        add(name, &Detect, 5);
        add(name + "/literal-loop", &Literal, 3);
        add(name + "/classic-1C-every-position", &Classic, 3);
    }
}

const int registered = (Register(), 0);

} // namespace
} // namespace tamrix::bench
