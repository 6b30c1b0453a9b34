// Neural star detection on a 1024 x 1024 16-bit field (the top-left corner of
// the synthetic light frame): one network query per interior pixel, on the
// calling thread. The reference beside it is the bare query loop (window
// extraction and inference, no candidate map or grouping), so the ratio is
// the detector's own overhead; the classic single-thread scan of the same
// pixels runs beside for scale.
#include "support.h"
#include "tamrix.h"

#include "hostlib.h"
#include "nnet.h"

#include <cstring>
#include <memory>

namespace tamrix::bench {
namespace {

constexpr int kSideNN = 1024;
constexpr int kRadius = 5; // 11 x 11 windows, 121 inputs
constexpr int kHidden = 12;

const std::vector<uint16_t>& Field()
{
    static const std::vector<uint16_t> field = [] {
        const auto& full = Frame<uint16_t>(Kind::Light);
        std::vector<uint16_t> f(size_t{kSideNN} * kSideNN);
        for (int y = 0; y < kSideNN; ++y)
            std::copy_n(full.begin() + ptrdiff_t{y} * kSide, kSideNN, f.begin() + ptrdiff_t{y} * kSideNN);
        return f;
    }();
    return field;
}

// The shipped network (121-12-1), used at its level; a network of that
// shape with fixed weights if the file cannot be read (the cost is the same,
// only the star count differs).
constexpr float kLevel = 0.95f;
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

void Detect(benchmark::State& state)
{
    auto pixels = Field();
    auto net = Network();
    std::vector<unsigned> mask((pixels.size() + 31) / 32);
    size_t stars = 0;
    for (auto _ : state) {
        stars = 0;
        FindStarsNN(net.get(), kRadius, kLevel, pixels.data(), kSideNN, kSideNN, 2, mask.data(), &stars, Count);
    }
    state.counters["stars"] = static_cast<double>(stars);
    state.counters["frames/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void QueriesOnly(benchmark::State& state)
{
    auto pixels = Field();
    auto net = Network();
    const int n = (2 * kRadius + 1) * (2 * kRadius + 1);
    float* input = static_cast<float*>(net->Alloc(n * sizeof(float)));
    float sum = 0;
    for (auto _ : state) {
        for (int y = kRadius; y < kSideNN - kRadius; ++y)
            for (int x = kRadius; x < kSideNN - kRadius; ++x) {
                SubFrameToVector(pixels.data(), kSideNN, kSideNN, 2, x, y, kRadius, input);
                float out;
                net->Infer(n, input, 1, &out);
                sum += out;
            }
        benchmark::DoNotOptimize(sum);
    }
    net->Free(input);
    state.counters["frames/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void Classic(benchmark::State& state)
{
    auto pixels = Field();
    std::vector<unsigned> mask((pixels.size() + 31) / 32);
    size_t stars = 0;
    for (auto _ : state) {
        std::fill(mask.begin(), mask.end(), 0u);
        stars = 0;
        FindStars1C(10, 3.0, 2, 0, pixels.data(), kSideNN, kSideNN, 2, mask.data(), &stars, Count);
    }
    state.counters["stars"] = static_cast<double>(stars);
    state.counters["frames/s"] = benchmark::Counter(1.0, benchmark::Counter::kIsIterationInvariantRate);
}

void Register()
{
    const size_t pixels = size_t{kSideNN} * kSideNN;
    auto add = [pixels](const char* name, void (*fn)(benchmark::State&)) {
        benchmark::RegisterBenchmark(name, [fn, pixels](benchmark::State& state) {
            fn(state);
            SetPixelRate(state, pixels);
        })->UseRealTime()->Unit(benchmark::kMillisecond);
    };
    add("FindStarsNN/u16/1024", &Detect);
    add("FindStarsNN/u16/1024/queries-only", &QueriesOnly);
    add("FindStarsNN/u16/1024/classic-1C-every-position", &Classic);
}

const int registered = (Register(), 0);

} // namespace
} // namespace tamrix::bench
