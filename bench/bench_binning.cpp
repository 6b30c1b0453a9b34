#include "support.h"
#include "tamrix.h"

namespace tamrix::bench {
namespace {

template <class Pixel, int kFactor>
void BinBench(benchmark::State& state)
{
    auto src = Frame<Pixel>(Kind::Light);
    std::vector<uint32_t> dst(static_cast<size_t>(kSide / kFactor) * (kSide / kFactor));
    for (auto _ : state) {
        tamrix::Bin(kFactor, kFactor, src.data(), dst.data(), kSide, kSide, Depth<Pixel>());
        benchmark::DoNotOptimize(dst.data());
    }
}

template <class Pixel, int kFactor>
void Register()
{
    const size_t pixels = size_t{kSide} * kSide;
    const size_t out = pixels / (kFactor * kFactor) * sizeof(uint32_t);
    RegisterWithFloor(std::string("Bin") + std::to_string(kFactor) + "x" + std::to_string(kFactor) + "/"
                          + DepthName<Pixel>(),
                      pixels, pixels * sizeof(Pixel), out, &BinBench<Pixel, kFactor>);
}

const int registered = (Register<uint16_t, 2>(), Register<uint32_t, 2>(), Register<uint16_t, 3>(),
                        Register<uint32_t, 3>(), 0);

} // namespace
} // namespace tamrix::bench
