#include "support.h"
#include "tamrix.h"

#include <cmath>

namespace tamrix::bench {
namespace {

// An asinh stretch of `entries` grey levels, as a display would use.
std::vector<unsigned char> StretchTable(int entries)
{
    std::vector<unsigned char> lut(entries);
    for (int i = 0; i < entries; ++i)
        lut[i] = static_cast<unsigned char>(255.0 * std::asinh(8.0 * i / entries) / std::asinh(8.0));
    return lut;
}

struct Setting {
    unsigned low, high, shift;
    int entries;
};

// Black and white points around each synthetic frame's values: the sky's
// background and brightest stars, the dark's bias, the flat's level. The
// tables have 256 entries; "wide" is a 4096-entry table (shift 0).
constexpr Setting kLight{800, 1824, 2, 256};
constexpr Setting kFlat{20000, 36384, 6, 256};
constexpr Setting kDark{40, 296, 0, 256};
constexpr Setting kWide{800, 4896, 0, 4096};

int Stride(int outWidth, int bytesPerPixel)
{
    return (outWidth * bytesPerPixel + 3) & ~3;
}

int OutSide(int zoom)
{
    return zoom >= 0 ? kSide * (zoom + 1) : kSide / (1 - zoom);
}

template <int kZoom, const Setting& kSet>
void MonoBench(benchmark::State& state)
{
    const auto& light = Frame<uint16_t>(Kind::Light);
    auto lut = StretchTable(kSet.entries);
    std::vector<unsigned char> bitmap(static_cast<size_t>(Stride(OutSide(kZoom), 1)) * OutSide(kZoom));
    for (auto _ : state) {
        tamrix::CreateMonoDIB(kZoom, bitmap.data(), kSide, kSide, 2, const_cast<uint16_t*>(light.data()), kSet.low,
                              kSet.high, kSet.shift, lut.data());
        benchmark::DoNotOptimize(bitmap.data());
    }
}

template <int kZoom>
void ColorBench(benchmark::State& state)
{
    auto* red = const_cast<uint16_t*>(Frame<uint16_t>(Kind::Light).data());
    auto* green = const_cast<uint16_t*>(Frame<uint16_t>(Kind::Flat).data());
    auto* blue = const_cast<uint16_t*>(Frame<uint16_t>(Kind::Dark).data());
    auto lut = StretchTable(256);
    std::vector<unsigned char> bitmap(static_cast<size_t>(Stride(OutSide(kZoom), 3)) * OutSide(kZoom));
    for (auto _ : state) {
        tamrix::CreateColorDIB(kZoom, bitmap.data(), kSide, kSide, 2,
                               red, kLight.low, kLight.high, kLight.shift, lut.data(),
                               green, kFlat.low, kFlat.high, kFlat.shift, lut.data(),
                               blue, kDark.low, kDark.high, kDark.shift, lut.data());
        benchmark::DoNotOptimize(bitmap.data());
    }
}

template <int kZoom>
void Register()
{
    const size_t pixels = size_t{kSide} * kSide, bytes = pixels * sizeof(uint16_t);
    const size_t side = static_cast<size_t>(OutSide(kZoom));
    const std::string zoom = "/zoom" + std::to_string(kZoom);
    RegisterWithFloor("CreateMonoDIB/u16" + zoom, pixels, bytes, Stride(side, 1) * side, &MonoBench<kZoom, kLight>);
    RegisterWithFloor("CreateColorDIB/u16" + zoom, pixels, 3 * bytes, Stride(side, 3) * side, &ColorBench<kZoom>);
}

const int registered = (Register<-3>(), Register<-1>(), Register<0>(), Register<1>(),
                        RegisterWithFloor("CreateMonoDIB/u16/zoom0/wide", size_t{kSide} * kSide,
                                          size_t{kSide} * kSide * 2, size_t{kSide} * kSide, &MonoBench<0, kWide>),
                        0);

} // namespace
} // namespace tamrix::bench
