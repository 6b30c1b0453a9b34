// Binning: sums of binX x binY blocks into 32-bit output pixels.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"

#include <cstring>

namespace tamrix {
namespace {

// The block sums wrap modulo 2^32, so any order of the additions gives the
// same result: the rows of a block are added two at a time into the output
// row, which lets the compiler vectorise the common factors (kBinX > 0 fixes
// binX at compile time).
template <int kBinX, class Pixel>
void AddRows(const Pixel* a, const Pixel* b, uint32_t* out, int outWidth, int binX, bool first)
{
    const int bx = kBinX > 0 ? kBinX : binX;
    for (int c = 0; c < outWidth; ++c) {
        const std::ptrdiff_t at = static_cast<std::ptrdiff_t>(c) * bx;
        uint32_t sum = 0;
        for (int i = 0; i < bx; ++i)
            sum += a[at + i]; // 16-bit pixels widen to 32 bits here
        if (b)
            for (int i = 0; i < bx; ++i)
                sum += b[at + i];
        out[c] = first ? sum : out[c] + sum;
    }
}

// Horizontal pairs of 16-bit pixels read as one 32-bit word: its two halves
// are the pair, whichever the byte order, and the compiler keeps whole
// vectors of words instead of shuffling pixels apart.
template <>
void AddRows<2, uint16_t>(const uint16_t* a, const uint16_t* b, uint32_t* out, int outWidth, int, bool first)
{
    for (int c = 0; c < outWidth; ++c) {
        uint32_t pa, pb = 0;
        std::memcpy(&pa, a + 2 * static_cast<std::ptrdiff_t>(c), sizeof pa);
        if (b)
            std::memcpy(&pb, b + 2 * static_cast<std::ptrdiff_t>(c), sizeof pb);
        const uint32_t sum = (pa & 0xFFFFu) + (pa >> 16) + (pb & 0xFFFFu) + (pb >> 16);
        out[c] = first ? sum : out[c] + sum;
    }
}

template <int kBinX, class Pixel>
void BinRows(int binX, int binY, const Pixel* src, uint32_t* dst, int width, int outWidth, int outHeight)
{
    detail::ParallelRows(outHeight, [&](int r) {
        uint32_t* out = dst + static_cast<std::ptrdiff_t>(r) * outWidth;
        const Pixel* top = src + static_cast<std::ptrdiff_t>(r) * binY * width;
        for (int j = 0; j < binY; j += 2) {
            const Pixel* a = top + static_cast<std::ptrdiff_t>(j) * width;
            const Pixel* b = j + 1 < binY ? a + width : nullptr;
            AddRows<kBinX>(a, b, out, outWidth, binX, j == 0);
        }
    });
}

} // namespace

void Bin(int binX, int binY, void* src, void* dst, int width, int height, int depth)
{
    const int outWidth = width / binX;
    const int outHeight = height / binY;
    if (outWidth < 1)
        return;
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const auto* in = detail::Pixels<Pixel>(src);
        auto* out = detail::Pixels<uint32_t>(dst);
        switch (binX) {
        case 1: BinRows<1>(binX, binY, in, out, width, outWidth, outHeight); break;
        case 2: BinRows<2>(binX, binY, in, out, width, outWidth, outHeight); break;
        case 3: BinRows<3>(binX, binY, in, out, width, outWidth, outHeight); break;
        case 4: BinRows<4>(binX, binY, in, out, width, outWidth, outHeight); break;
        default: BinRows<0>(binX, binY, in, out, width, outWidth, outHeight); break;
        }
    });
}

} // namespace tamrix
