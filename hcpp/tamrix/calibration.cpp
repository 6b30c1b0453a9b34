// Dark subtraction and flat-field division.
#include "tamrix.h"

#include "hcpp/tamrix/calibration_kernels.h"
#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/isa.h"

#include <algorithm>
#include <cmath>

namespace tamrix {
namespace {

template <class Pixel>
void DarkRow(const Pixel* in, Pixel* out, const Pixel* dark, int width)
{
    constexpr Pixel full = detail::kFullScale<Pixel>;
    for (int x = 0; x < width; ++x) {
        const Pixel raw = in[x];
        const Pixel d = dark[x];
        // Read before write: out may alias in.
        out[x] = d > raw ? Pixel{0} : (raw == full ? full : static_cast<Pixel>(raw - d));
    }
}

// Mean of the flat frame as the serial double sum in element order would give
// it. While that running sum stays below 2^53 every partial sum is an exact
// integer, so a 64-bit integer sum of a block gives the identical value; only
// a sum that grows past 2^53 (32-bit frames with huge values) needs the
// element-by-element double additions, from the block where it would.
template <class Pixel>
double FlatMean(const Pixel* flat, int width, int height)
{
    const int64_t count = static_cast<int64_t>(width) * height;
    constexpr uint64_t exactLimit = uint64_t{1} << 53;
    constexpr int64_t block = 4096;
    uint64_t exact = 0;
    int64_t i = 0;
    for (; i < count; i += block) {
        const int64_t end = std::min(count, i + block);
        uint64_t part = 0;
        for (int64_t j = i; j < end; ++j)
            part += flat[j];
        if (exact + part >= exactLimit)
            break;
        exact += part;
    }
    double sum = static_cast<double>(exact);
    for (; i < count; ++i)
        sum += static_cast<double>(flat[i]);
    // The pixel count in 64 bits: a 32-bit product wraps to a negative
    // count past 2^31 pixels (46341 x 46341).
    return sum / static_cast<double>(count);
}

// 16-bit flat pixel: raw * m formed in 32 bits (wrapping if a caller passes a
// level above 65535), then divided.
inline uint16_t FlatPixel(uint16_t raw, uint16_t f, uint32_t m)
{
    if (raw == 0xFFFFu || f == 0)
        return raw;
    const uint32_t q = static_cast<uint32_t>(raw) * m / f;
    return q > 0xFFFFu ? uint16_t{0xFFFFu} : static_cast<uint16_t>(q);
}

// 32-bit flat pixel: raw * m / f in 64 bits. The quotient is estimated in
// double and corrected by its remainder, which is exact and avoids a 64-bit
// division per pixel.
inline uint32_t FlatPixel(uint32_t raw, uint32_t f, uint64_t m)
{
    if (raw == 0xFFFFFFFFu || f == 0)
        return raw;
    const uint64_t product = raw * m;
    if ((product >> 32) >= f) // product / f > 4294967295 exactly when product >= f * 2^32
        return 0xFFFFFFFFu;
    uint64_t q = static_cast<uint64_t>(static_cast<double>(product) / static_cast<double>(f));
    const int64_t rest = static_cast<int64_t>(product - q * f); // |rest| < 2f, no overflow
    if (rest < 0)
        --q;
    else if (rest >= static_cast<int64_t>(f))
        ++q;
    return static_cast<uint32_t>(q);
}

template <class Pixel, class Level>
void FlatRow(const Pixel* in, Pixel* out, const Pixel* flat, Level m, int width)
{
    for (int x = 0; x < width; ++x)
        out[x] = FlatPixel(in[x], flat[x], m);
}

// The flat kernels of each level.
struct FlatKernels {
    void (*row16)(const uint16_t* in, uint16_t* out, const uint16_t* flat, uint32_t m, int width);
    void (*row32)(const uint32_t* in, uint32_t* out, const uint32_t* flat, uint64_t m, int width);

    auto Row(uint16_t) const { return row16; }
    auto Row(uint32_t) const { return row32; }
};

constexpr FlatKernels kBaseline{&opt_baseline::FlatRow16, &opt_baseline::FlatRow32};
constexpr FlatKernels kAvx2{&opt_avx2::FlatRow16, &opt_avx2::FlatRow32};
constexpr FlatKernels kVariants[isa::kLevelCount] = {kBaseline, kBaseline, kBaseline, kAvx2, kAvx2, kAvx2};

} // namespace

namespace opt_baseline {
void FlatRow16(const uint16_t* in, uint16_t* out, const uint16_t* flat, uint32_t m, int width)
{
    FlatRow(in, out, flat, m, width);
}
void FlatRow32(const uint32_t* in, uint32_t* out, const uint32_t* flat, uint64_t m, int width)
{
    FlatRow(in, out, flat, m, width);
}
} // namespace opt_baseline

void DiffDark(void* input, void* result, void* dark, int width, int height, int depth)
{
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const Pixel* in = detail::Pixels<Pixel>(input);
        Pixel* out = detail::Pixels<Pixel>(result);
        const Pixel* d = detail::Pixels<Pixel>(dark);
        detail::ParallelRows(height, [&](int y) {
            const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(y) * width;
            DarkRow(in + row, out + row, d + row, width);
        });
    });
}

void Flat(void* input, void* result, void* flat, double* level, int width, int height, int depth)
{
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const Pixel* in = detail::Pixels<Pixel>(input);
        Pixel* out = detail::Pixels<Pixel>(result);
        const Pixel* f = detail::Pixels<Pixel>(flat);
        // An empty frame has no mean; its level is left as the caller gave it
        // rather than overwritten with 0 / 0.
        if (height < 1 || width < 1)
            return;
        if (*level <= 0.0)
            *level = FlatMean(f, width, height);
        // m is 32 bits for 16-bit frames, 64 bits for 32-bit frames, where
        // raw * m needs the wider product.
        using Level = std::conditional_t<sizeof(Pixel) == 2, uint32_t, uint64_t>;
        const Level m = detail::TruncToUnsigned<Level>(*level + 0.5);
        const auto rowKernel = isa::Pick(kVariants).Row(Pixel{});
        detail::ParallelRows(height, [&](int y) {
            const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(y) * width;
            rowKernel(in + row, out + row, f + row, m, width);
        });
    });
}

} // namespace tamrix
