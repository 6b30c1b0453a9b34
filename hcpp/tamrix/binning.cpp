// Binning: sums of binX x binY blocks into 32-bit output pixels.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"

namespace tamrix {
namespace {

// Adds one source row's contribution to an output row. The block sums wrap
// modulo 2^32, so adding row by row gives the same result as walking each
// block column by column, and lets the compiler vectorise the common factors
// (kBinX > 0 fixes binX at compile time).
template <int kBinX, class Pixel>
void AddRow(const Pixel* src, uint32_t* out, int outWidth, int binX, bool first)
{
    const int bx = kBinX > 0 ? kBinX : binX;
    for (int c = 0; c < outWidth; ++c) {
        const Pixel* block = src + static_cast<std::ptrdiff_t>(c) * bx;
        uint32_t sum = 0;
        for (int i = 0; i < bx; ++i)
            sum += block[i]; // 16-bit pixels widen to 32 bits here
        out[c] = first ? sum : out[c] + sum;
    }
}

template <int kBinX, class Pixel>
void BinRows(int binX, int binY, const Pixel* src, uint32_t* dst, int width, int outWidth, int outHeight)
{
    detail::ParallelRows(outHeight, [&](int r) {
        uint32_t* out = dst + static_cast<std::ptrdiff_t>(r) * outWidth;
        const Pixel* top = src + static_cast<std::ptrdiff_t>(r) * binY * width;
        for (int j = 0; j < binY; ++j)
            AddRow<kBinX>(top + static_cast<std::ptrdiff_t>(j) * width, out, outWidth, binX, j == 0);
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
