#include "support.h"
#include "tamrix.h"

namespace tamrix::bench {
namespace {

template <class Pixel>
void DarkBench(benchmark::State& state)
{
    auto light = Frame<Pixel>(Kind::Light);
    auto dark = Frame<Pixel>(Kind::Dark);
    std::vector<Pixel> out(light.size());
    for (auto _ : state) {
        tamrix::DiffDark(light.data(), out.data(), dark.data(), kSide, kSide, Depth<Pixel>());
        benchmark::DoNotOptimize(out.data());
    }
}

// The level is given, as a host calibrating a series does after the first
// frame.
template <class Pixel>
void FlatBench(benchmark::State& state)
{
    auto light = Frame<Pixel>(Kind::Light);
    auto flat = Frame<Pixel>(Kind::Flat);
    std::vector<Pixel> out(light.size());
    for (auto _ : state) {
        double level = 27000.0;
        tamrix::Flat(light.data(), out.data(), flat.data(), &level, kSide, kSide, Depth<Pixel>());
        benchmark::DoNotOptimize(out.data());
    }
}

// A level of 0 asks for the flat's mean first: a serial pass on the calling
// thread before the parallel division.
template <class Pixel>
void FlatWithMeanBench(benchmark::State& state)
{
    auto light = Frame<Pixel>(Kind::Light);
    auto flat = Frame<Pixel>(Kind::Flat);
    std::vector<Pixel> out(light.size());
    for (auto _ : state) {
        double level = 0.0;
        tamrix::Flat(light.data(), out.data(), flat.data(), &level, kSide, kSide, Depth<Pixel>());
        benchmark::DoNotOptimize(out.data());
    }
}

template <class Pixel>
void Register()
{
    const size_t pixels = size_t{kSide} * kSide, bytes = pixels * sizeof(Pixel);
    RegisterWithFloor(std::string("DiffDark/") + DepthName<Pixel>(), pixels, 2 * bytes, bytes, &DarkBench<Pixel>);
    RegisterWithFloor(std::string("Flat/") + DepthName<Pixel>(), pixels, 2 * bytes, bytes, &FlatBench<Pixel>);
    RegisterWithFloor(std::string("FlatWithMean/") + DepthName<Pixel>(), pixels, 3 * bytes, bytes,
                      &FlatWithMeanBench<Pixel>);
}

const int registered = (Register<uint16_t>(), Register<uint32_t>(), 0);

} // namespace
} // namespace tamrix::bench
