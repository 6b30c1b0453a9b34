#include "support.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>

namespace tamrix::bench {
namespace {

constexpr int kHalf = kSide / 2;

// The upper-left quarter of the sky, enlarged back to full size.
template <class Pixel>
const std::vector<Pixel>& Quarter()
{
    static const std::vector<Pixel> quarter = [] {
        const auto& sky = Frame<Pixel>(Kind::Light);
        std::vector<Pixel> q(static_cast<size_t>(kHalf) * kHalf);
        for (int y = 0; y < kHalf; ++y)
            std::copy_n(sky.begin() + static_cast<size_t>(y) * kSide, kHalf, q.begin() + static_cast<size_t>(y) * kHalf);
        return q;
    }();
    return quarter;
}

template <class Pixel>
void ResampleBench(benchmark::State& state)
{
    const auto& src = Quarter<Pixel>();
    std::vector<Pixel> dst(static_cast<size_t>(kSide) * kSide);
    for (auto _ : state) {
        tamrix::Resample(2, 2, const_cast<Pixel*>(src.data()), dst.data(), kHalf, kHalf, Depth<Pixel>());
        benchmark::DoNotOptimize(dst.data());
    }
}

// A shift by (+1.3, -1.3) pixels: whole part (1, -2), fractions (0.3, 0.7)
// as weights over 4096.
template <class Pixel>
void ShiftBench(benchmark::State& state)
{
    const auto& src = Frame<Pixel>(Kind::Light);
    std::vector<Pixel> dst(src.size());
    const double fx = 0.3, fy = 0.7;
    const unsigned w00 = static_cast<unsigned>(std::lround((1 - fx) * (1 - fy) * 4096));
    const unsigned w10 = static_cast<unsigned>(std::lround(fx * (1 - fy) * 4096));
    const unsigned w01 = static_cast<unsigned>(std::lround((1 - fx) * fy * 4096));
    const unsigned w11 = 4096 - w00 - w10 - w01;
    for (auto _ : state) {
        tamrix::SubPixelShift(1, -2, w00, w10, w01, w11, 4096, const_cast<Pixel*>(src.data()), kSide, kSide,
                              Depth<Pixel>(), dst.data(), kSide, kSide);
        benchmark::DoNotOptimize(dst.data());
    }
}

// A rotation by 10 degrees about the frame centre followed by a shift of
// (3.3, -2.7) pixels, given from destination to source.
template <class Pixel>
void TransformBench(benchmark::State& state)
{
    const auto& src = Frame<Pixel>(Kind::Light);
    std::vector<Pixel> dst(src.size());
    const double t = 10.0 * std::acos(-1.0) / 180.0, c = std::cos(t), s = std::sin(t);
    const double centre = (kSide - 1) / 2.0, tx = 3.3, ty = -2.7;
    const double A = c, B = s, D = -s, E = c;
    const double C = centre - A * (centre + tx) - B * (centre + ty);
    const double F = centre - D * (centre + tx) - E * (centre + ty);
    for (auto _ : state) {
        tamrix::Transform(A, B, C, D, E, F, const_cast<Pixel*>(src.data()), kSide, kSide, Depth<Pixel>(), dst.data(),
                          kSide, kSide);
        benchmark::DoNotOptimize(dst.data());
    }
}

template <class Pixel>
void Register()
{
    const size_t pixels = size_t{kSide} * kSide, bytes = pixels * sizeof(Pixel);
    RegisterWithFloor(std::string("Resample2x2/") + DepthName<Pixel>(), pixels, bytes / 4, bytes, &ResampleBench<Pixel>);
    RegisterWithFloor(std::string("SubPixelShift/") + DepthName<Pixel>(), pixels, bytes, bytes, &ShiftBench<Pixel>);
    RegisterWithFloor(std::string("Transform/") + DepthName<Pixel>(), pixels, bytes, bytes, &TransformBench<Pixel>);
}

const int registered = (Register<uint16_t>(), Register<uint32_t>(), 0);

} // namespace
} // namespace tamrix::bench
