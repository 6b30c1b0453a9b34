// Resampling: enlargement by whole factors with integer linear interpolation.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"

#include <cstring>

namespace tamrix {
namespace {

// The k-th step from a toward b for factor f: a + (k * (b - a)) / f. The
// difference and the product are signed 32-bit and wrap (k * (b - a) is the
// running sum of k differences, which wraps the same way); the division
// truncates toward zero, so the steps lean toward a.
//
// How the quotient is formed is chosen so that the compiler vectorises it,
// and every form gives the truncated integer quotient exactly:
// kF = 2 or 3 divides by that constant; kF = kFloat divides in single
// precision, for 16-bit pixels and f <= 256, where |k * (b - a)| < 2^24; kF = 0
// divides in double. A correctly rounded quotient n / f of integers with
// |n| below 2^24 (float) or 2^53 (double) lies closer to n / f than the
// distance 1 / f to the next integer, so it truncates to the same integer.
constexpr int kFloat = -1;

template <int kF, class Pixel>
inline Pixel Step(Pixel a, Pixel b, uint32_t k, int f)
{
    const int32_t product = static_cast<int32_t>((static_cast<uint32_t>(b) - static_cast<uint32_t>(a)) * k);
    int32_t q;
    if constexpr (kF > 0)
        q = product / kF;
    else if constexpr (kF == kFloat)
        q = static_cast<int32_t>(static_cast<float>(product) / static_cast<float>(f));
    else
        q = static_cast<int32_t>(static_cast<double>(product) / static_cast<double>(f));
    return static_cast<Pixel>(static_cast<uint32_t>(a) + static_cast<uint32_t>(q));
}

// Horizontal pass: one source row into its block's base row.
template <int kF, class Pixel>
void WidenRow(const Pixel* in, Pixel* out, int width, int fx)
{
    const int f = kF > 0 ? kF : fx;
    for (int i = 0; i + 1 < width; ++i) {
        const Pixel a = in[i], b = in[i + 1];
        Pixel* o = out + static_cast<std::ptrdiff_t>(i) * f;
        o[0] = a;
        for (int k = 1; k < f; ++k)
            o[k] = Step<kF>(a, b, static_cast<uint32_t>(k), f);
    }
    Pixel* last = out + static_cast<std::ptrdiff_t>(width - 1) * f;
    for (int k = 0; k < f; ++k)
        last[k] = in[width - 1];
}

// Vertical pass: rows 1 .. f - 1 of a block, between its base row and the
// next block's base row, column by column.
template <int kF, class Pixel>
void FillBlock(Pixel* base, const Pixel* next, std::ptrdiff_t rowPixels, int fy)
{
    const int f = kF > 0 ? kF : fy;
    for (int k = 1; k < f; ++k) {
        Pixel* out = base + k * rowPixels;
        for (std::ptrdiff_t c = 0; c < rowPixels; ++c)
            out[c] = Step<kF>(base[c], next[c], static_cast<uint32_t>(k), f);
    }
}

template <int kF, class Pixel>
void WidenRows(int fx, const Pixel* src, Pixel* dst, int width, int height, std::ptrdiff_t block)
{
    detail::ParallelRows(height, [&](int r) {
        WidenRow<kF>(src + static_cast<std::ptrdiff_t>(r) * width, dst + r * block, width, fx);
    });
}

// Every base row is complete before any block between two of them is
// filled; the fill reads only base rows and writes only the others.
template <int kF, class Pixel>
void FillBlocks(int fy, Pixel* dst, int height, std::ptrdiff_t outRow, std::ptrdiff_t block)
{
    detail::ParallelRows(height - 1, [&](int r) {
        Pixel* base = dst + r * block;
        FillBlock<kF>(base, base + block, outRow, fy);
    });
}

// The division each factor takes (see Step).
template <class Pixel>
int DivisionFor(int f)
{
    if (f == 2 || (f == 3 && sizeof(Pixel) == 4))
        return f;
    return sizeof(Pixel) == 2 && f <= 256 ? kFloat : 0;
}

template <class Pixel>
void ResampleFrame(int fx, int fy, const Pixel* src, Pixel* dst, int width, int height)
{
    const std::ptrdiff_t outRow = static_cast<std::ptrdiff_t>(fx) * width;
    const std::ptrdiff_t block = outRow * fy;
    if (fx == 1) {
        for (int r = 0; r < height; ++r)
            std::memcpy(dst + r * block, src + static_cast<std::ptrdiff_t>(r) * width, sizeof(Pixel) * width);
    } else {
        switch (DivisionFor<Pixel>(fx)) {
        case 2: WidenRows<2>(fx, src, dst, width, height, block); break;
        case 3: WidenRows<3>(fx, src, dst, width, height, block); break;
        case kFloat: WidenRows<kFloat>(fx, src, dst, width, height, block); break;
        default: WidenRows<0>(fx, src, dst, width, height, block); break;
        }
    }
    if (fy == 1)
        return;
    switch (DivisionFor<Pixel>(fy)) {
    case 2: FillBlocks<2>(fy, dst, height, outRow, block); break;
    case 3: FillBlocks<3>(fy, dst, height, outRow, block); break;
    case kFloat: FillBlocks<kFloat>(fy, dst, height, outRow, block); break;
    default: FillBlocks<0>(fy, dst, height, outRow, block); break;
    }
    Pixel* lastBase = dst + (height - 1) * block;
    for (int k = 1; k < fy; ++k)
        std::memcpy(lastBase + k * outRow, lastBase, sizeof(Pixel) * outRow);
}

} // namespace

void Resample(int fx, int fy, void* src, void* dst, int width, int height, int depth)
{
    // Factors below 1 would give a destination without pixels; nothing is
    // written rather than a row copied into it.
    if (fx < 1 || fy < 1 || width < 1 || height < 1)
        return;
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        ResampleFrame(fx, fy, detail::Pixels<Pixel>(src), detail::Pixels<Pixel>(dst), width, height);
    });
}

} // namespace tamrix
