// Display bitmaps: frames mapped through black point, white point and look-up
// table into 8-bit and 24-bit bitmap pixel arrays, enlarged by replication or
// reduced by block means.
#include "tamrix.h"

#include "hcpp/tamrix/display_kernels.h"
#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/isa.h"

#include <algorithm>
#include <cstring>
#include <type_traits>

namespace tamrix {
namespace {

using display::LaneMapping;

// Frame pixels mapped per step. The scratch rows of a step live on the
// worker's stack (the display functions allocate nothing), and stay in L1.
constexpr int kPiece = 2048;

template <class Pixel>
using MapFn = void (*)(const Pixel* src, int n, uint8_t* dst, const LaneMapping& m);
using InterleaveFn = void (*)(const uint8_t* b, const uint8_t* g, const uint8_t* r, int n, uint8_t* bgr);

template <class Pixel>
void MapScalar(const Pixel* src, int n, uint8_t* dst, const LaneMapping& m)
{
    for (int i = 0; i < n; ++i) {
        const uint32_t v = src[i];
        // The difference is below 2^32 and the shift below 64, so the 64-bit
        // shift is defined for every setting and gives 0 from 32 on.
        dst[i] = v <= m.low ? uint8_t{0}
               : v > m.top  ? uint8_t{255}
                            : m.lut[static_cast<uint64_t>(v - m.low) >> m.shift];
    }
}

void InterleaveScalar(const uint8_t* b, const uint8_t* g, const uint8_t* r, int n, uint8_t* bgr)
{
    for (int i = 0; i < n; ++i) {
        bgr[3 * i] = b[i];
        bgr[3 * i + 1] = g[i];
        bgr[3 * i + 2] = r[i];
    }
}

using BlockMeanFn = void (*)(const uint8_t* const* rows, int count, uint8_t* dst);

// The kernels of a level. A channel maps through `registers` when its table
// has at most 256 entries (LaneMapping::smallValid), else through `gathers`
// while the span fits their signed 32-bit indices, else through the scalar
// kernel. A null block mean leaves those blocks to the portable sums.
struct Kernels {
    MapFn<uint16_t> registers16, gathers16;
    MapFn<uint32_t> registers32, gathers32;
    InterleaveFn interleave;
    BlockMeanFn mean2, mean4;

    MapFn<uint16_t> Registers(uint16_t) const { return registers16; }
    MapFn<uint32_t> Registers(uint32_t) const { return registers32; }
    MapFn<uint16_t> Gathers(uint16_t) const { return gathers16; }
    MapFn<uint32_t> Gathers(uint32_t) const { return gathers32; }
};

// The gathers serve small tables too below VBMI; the AVX-512 gathers are no
// faster on the processors measured.
constexpr Kernels kBaseline{&MapScalar<uint16_t>, &MapScalar<uint16_t>, &MapScalar<uint32_t>, &MapScalar<uint32_t>,
                           &InterleaveScalar, nullptr, nullptr};
constexpr Kernels kAvx2{&opt_avx2::Map16, &opt_avx2::Map16, &opt_avx2::Map32, &opt_avx2::Map32,
                       &InterleaveScalar, &opt_avx2::MeanOf2x2, &opt_avx2::MeanOf4x4};
constexpr Kernels kAvx512Vbmi{&opt_avx512::Map16, &opt_avx2::Map16, &opt_avx512::Map32, &opt_avx2::Map32,
                             &opt_avx512::InterleaveBgr, &opt_avx2::MeanOf2x2, &opt_avx2::MeanOf4x4};
constexpr Kernels kVariants[isa::kLevelCount] = {kBaseline, kBaseline, kBaseline, kAvx2, kAvx2, kAvx512Vbmi};

// One channel of a call: where its rows are and how its pixels map.
template <class Pixel>
struct Channel {
    const char* frame;
    std::ptrdiff_t rowBytes; // width x depth, as the caller's depth says
    MapFn<Pixel> map;
    LaneMapping m;

    const Pixel* Row(int y) const
    {
        return reinterpret_cast<const Pixel*>(frame + y * rowBytes);
    }
};

template <class Pixel>
void Prepare(Channel<Pixel>& ch, const void* frame, int width, int depth, unsigned low, unsigned high,
             unsigned shift, const unsigned char* lut, const Kernels& k)
{
    constexpr uint32_t maxValue = detail::kFullScale<Pixel>;
    ch.frame = static_cast<const char*>(frame);
    ch.rowBytes = static_cast<std::ptrdiff_t>(width) * depth;

    LaneMapping& m = ch.m;
    // Above low, v >= high is v > high - 1. With high <= low + 1 nothing lies
    // between the two points: the mapping is a threshold at low, and the
    // table is never read.
    const uint32_t top = uint64_t{high} > uint64_t{low} + 1 ? high - 1 : low;
    m.low = std::min<uint32_t>(low, maxValue);
    m.top = std::min<uint32_t>(top, maxValue);
    m.shift = shift & 63;
    m.span = static_cast<uint32_t>(static_cast<uint64_t>(m.top - m.low) >> m.shift);
    m.lut = lut;
    // The lookups read lut[0 .. span] only when some pixel value lies between
    // low and top; copying exactly those entries reads nothing the mapping
    // of some pixel value could not read.
    m.smallValid = m.span < 256;
    std::memset(m.small, 0, sizeof m.small);
    if (m.smallValid && m.top > m.low)
        std::memcpy(m.small, lut, m.span + 1);

    ch.map = m.smallValid ? k.Registers(Pixel{}) : m.span < 0x80000000u ? k.Gathers(Pixel{}) : &MapScalar<Pixel>;
}

// The bitmap size of a zoom step. A factor or a bitmap side too large for an
// int leaves nothing to show.
struct Geometry {
    int outWidth = 0, outHeight = 0;
    int factor = 1; // n when enlarging, f when reducing
};

Geometry Size(int zoom, int width, int height)
{
    Geometry g;
    if (zoom > 0) {
        const int64_t n = int64_t{zoom} + 1, outWidth = n * width, outHeight = n * height;
        if (outWidth > INT32_MAX || outHeight > INT32_MAX)
            return g;
        g.factor = static_cast<int>(n);
        g.outWidth = static_cast<int>(outWidth);
        g.outHeight = static_cast<int>(outHeight);
    } else {
        const int64_t f = 1 - int64_t{zoom};
        if (f > width || f > height)
            return g;
        g.factor = static_cast<int>(f);
        g.outWidth = width / g.factor;
        g.outHeight = height / g.factor;
    }
    return g;
}

// Writes each of count pixels (kBytes bytes each) n times in a row; kN > 0
// fixes n at compile time.
template <int kN, int kBytes>
void Replicate(const uint8_t* px, int count, int n, uint8_t* dst)
{
    const int times = kN > 0 ? kN : n;
    for (int i = 0; i < count; ++i)
        for (int k = 0; k < times; ++k)
            for (int c = 0; c < kBytes; ++c)
                dst[(i * times + k) * kBytes + c] = px[kBytes * i + c];
}

template <int kBytes>
void ReplicateBy(int n, const uint8_t* px, int count, uint8_t* dst)
{
    switch (n) {
    case 2: Replicate<2, kBytes>(px, count, n, dst); break;
    case 3: Replicate<3, kBytes>(px, count, n, dst); break;
    default: Replicate<0, kBytes>(px, count, n, dst); break;
    }
}

// Frame pixels per row and step of a reduction. Longer than kPiece: the f
// rows of a block are read one after the other, and steps of one page per
// row leave the hardware prefetchers behind.
constexpr int kReducePiece = 8192;

// Blocks up to this side are summed in 32 bits (255 x 4096^2 < 2^32); from
// f = 4105 on, 255 x f^2 would wrap.
constexpr int kLargest32BitBlock = 4096;

// Bitmap pixels per reduction step.
int ReduceStep(int f)
{
    return f > kLargest32BitBlock ? 1 : kReducePiece / f;
}

// The means of the mapped bytes of the f x f blocks under bitmap pixels
// x0 .. x0 + count - 1 of bitmap row y, one channel, into dst[0 .. count).
// kF > 0 fixes f at compile time. With a block-mean kernel, the f mapped
// rows go to it.
template <int kF, class Pixel>
void ReduceByKernel(const Channel<Pixel>& ch, int y, int x0, int count, uint8_t* dst, BlockMeanFn mean)
{
    uint8_t mapped[kF][kReducePiece];
    const uint8_t* rows[kF];
    for (int j = 0; j < kF; ++j) {
        ch.map(ch.Row(kF * y + j) + static_cast<std::ptrdiff_t>(x0) * kF, count * kF, mapped[j], ch.m);
        rows[j] = mapped[j];
    }
    mean(rows, count, dst);
}

// Otherwise the mapped bytes are summed column by column over the block's
// rows, then across.
template <int kF, class Pixel>
void ReduceBySums(const Channel<Pixel>& ch, int f, int y, int x0, int count, uint8_t* dst)
{
    const int ff = kF > 0 ? kF : f;
    // A column sum of up to 257 bytes fits 16 bits.
    using ColumnSum = std::conditional_t<(kF > 0 && kF <= 257), uint16_t, uint32_t>;
    uint8_t mapped[kReducePiece];
    ColumnSum columns[kReducePiece];
    const int cols = count * ff;
    const std::ptrdiff_t left = static_cast<std::ptrdiff_t>(x0) * ff;
    ch.map(ch.Row(ff * y) + left, cols, mapped, ch.m);
    for (int i = 0; i < cols; ++i)
        columns[i] = mapped[i];
    for (int j = 1; j < ff; ++j) {
        ch.map(ch.Row(ff * y + j) + left, cols, mapped, ch.m);
        for (int i = 0; i < cols; ++i)
            columns[i] = static_cast<ColumnSum>(columns[i] + mapped[i]);
    }
    const uint32_t area = static_cast<uint32_t>(ff * ff);
    for (int x = 0; x < count; ++x) {
        uint32_t sum = 0;
        for (int i = 0; i < ff; ++i)
            sum += columns[x * ff + i];
        dst[x] = static_cast<uint8_t>(sum / area);
    }
}

// A larger block (then count is 1), summed in 64 bits.
template <class Pixel>
void ReduceHugeBlock(const Channel<Pixel>& ch, int f, int y, int x0, uint8_t* dst)
{
    uint8_t mapped[kReducePiece];
    uint64_t sum = 0;
    for (int j = 0; j < f; ++j)
        for (int i0 = 0; i0 < f; i0 += kReducePiece) {
            const int cols = std::min(kReducePiece, f - i0);
            ch.map(ch.Row(f * y + j) + static_cast<std::ptrdiff_t>(x0) * f + i0, cols, mapped, ch.m);
            for (int i = 0; i < cols; ++i)
                sum += mapped[i];
        }
    dst[0] = static_cast<uint8_t>(sum / (static_cast<uint64_t>(f) * f));
}

template <class Pixel>
void Reduce(const Channel<Pixel>& ch, int f, int y, int x0, int count, uint8_t* dst, const Kernels& k)
{
    if (f == 2 && k.mean2)
        ReduceByKernel<2>(ch, y, x0, count, dst, k.mean2);
    else if (f == 4 && k.mean4)
        ReduceByKernel<4>(ch, y, x0, count, dst, k.mean4);
    else if (f == 2)
        ReduceBySums<2>(ch, f, y, x0, count, dst);
    else if (f == 3)
        ReduceBySums<3>(ch, f, y, x0, count, dst);
    else if (f == 4)
        ReduceBySums<4>(ch, f, y, x0, count, dst);
    else if (f <= kLargest32BitBlock)
        ReduceBySums<0>(ch, f, y, x0, count, dst);
    else
        ReduceHugeBlock(ch, f, y, x0, dst);
}

template <class Pixel>
void RenderMono(int zoom, uint8_t* bitmap, int width, int height, const Channel<Pixel>& ch, const Kernels& k)
{
    const Geometry g = Size(zoom, width, height);
    if (g.outWidth < 1)
        return;
    const std::ptrdiff_t stride = (static_cast<std::ptrdiff_t>(g.outWidth) + 3) & ~std::ptrdiff_t{3};
    if (zoom == 0) {
        detail::ParallelRows(height, [&](int y) { ch.map(ch.Row(y), width, bitmap + y * stride, ch.m); });
    } else if (zoom > 0) {
        const int n = g.factor;
        detail::ParallelRows(height, [&](int y) {
            uint8_t* first = bitmap + static_cast<std::ptrdiff_t>(n) * y * stride;
            uint8_t mapped[kPiece];
            for (int x0 = 0; x0 < width; x0 += kPiece) {
                const int count = std::min(kPiece, width - x0);
                ch.map(ch.Row(y) + x0, count, mapped, ch.m);
                ReplicateBy<1>(n, mapped, count, first + static_cast<std::ptrdiff_t>(x0) * n);
            }
            for (int copy = 1; copy < n; ++copy)
                std::memcpy(first + copy * stride, first, stride);
        });
    } else {
        const int f = g.factor, step = ReduceStep(f);
        detail::ParallelRows(g.outHeight, [&](int y) {
            for (int x0 = 0; x0 < g.outWidth; x0 += step)
                Reduce(ch, f, y, x0, std::min(step, g.outWidth - x0), bitmap + y * stride + x0, k);
        });
    }
}

template <class Pixel>
void RenderColor(int zoom, uint8_t* bitmap, int width, int height, const Channel<Pixel>* rgb, const Kernels& k)
{
    const Geometry g = Size(zoom, width, height);
    if (g.outWidth < 1)
        return;
    const std::ptrdiff_t stride = ((static_cast<std::ptrdiff_t>(g.outWidth) + 1) * 3) & ~std::ptrdiff_t{3};
    const Channel<Pixel>&red = rgb[0], &green = rgb[1], &blue = rgb[2];
    if (zoom >= 0) {
        // Each channel's bytes are replicated on their own, then interleaved:
        // a step takes as many frame pixels as fill the scratch when enlarged.
        const int n = g.factor, step = std::max(1, kPiece / n);
        detail::ParallelRows(height, [&](int y) {
            uint8_t* first = bitmap + static_cast<std::ptrdiff_t>(n) * y * stride;
            uint8_t r[kPiece], gr[kPiece], b[kPiece];
            uint8_t rn[kPiece], gn[kPiece], bn[kPiece];
            for (int x0 = 0; x0 < width; x0 += step) {
                const int count = std::min(step, width - x0);
                red.map(red.Row(y) + x0, count, r, red.m);
                green.map(green.Row(y) + x0, count, gr, green.m);
                blue.map(blue.Row(y) + x0, count, b, blue.m);
                uint8_t* dst = first + static_cast<std::ptrdiff_t>(x0) * 3 * n;
                if (n == 1) {
                    k.interleave(b, gr, r, count, dst);
                } else if (n <= kPiece) {
                    ReplicateBy<1>(n, r, count, rn);
                    ReplicateBy<1>(n, gr, count, gn);
                    ReplicateBy<1>(n, b, count, bn);
                    k.interleave(bn, gn, rn, count * n, dst);
                } else {
                    const uint8_t bgr[3] = {b[0], gr[0], r[0]}; // one pixel per step
                    Replicate<0, 3>(bgr, 1, n, dst);
                }
            }
            for (int copy = 1; copy < n; ++copy)
                std::memcpy(first + copy * stride, first, stride);
        });
    } else {
        const int f = g.factor, step = ReduceStep(f);
        detail::ParallelRows(g.outHeight, [&](int y) {
            uint8_t r[kReducePiece / 2], gr[kReducePiece / 2], b[kReducePiece / 2];
            for (int x0 = 0; x0 < g.outWidth; x0 += step) {
                const int count = std::min(step, g.outWidth - x0);
                Reduce(red, f, y, x0, count, r, k);
                Reduce(green, f, y, x0, count, gr, k);
                Reduce(blue, f, y, x0, count, b, k);
                k.interleave(b, gr, r, count, bitmap + y * stride + static_cast<std::ptrdiff_t>(x0) * 3);
            }
        });
    }
}

} // namespace

void CreateMonoDIB(int zoom, void* bitmap, int width, int height, int depth, void* frame, unsigned low,
                   unsigned high, unsigned shift, unsigned char* lut)
{
    const Kernels& k = isa::Pick(kVariants);
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        Channel<Pixel> ch;
        Prepare(ch, frame, width, depth, low, high, shift, lut, k);
        RenderMono(zoom, static_cast<uint8_t*>(bitmap), width, height, ch, k);
    });
}

void CreateColorDIB(int zoom, void* bitmap, int width, int height, int depth, void* red, unsigned redLow,
                    unsigned redHigh, unsigned redShift, unsigned char* redLut, void* green, unsigned greenLow,
                    unsigned greenHigh, unsigned greenShift, unsigned char* greenLut, void* blue,
                    unsigned blueLow, unsigned blueHigh, unsigned blueShift, unsigned char* blueLut)
{
    const Kernels& k = isa::Pick(kVariants);
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        Channel<Pixel> rgb[3];
        Prepare(rgb[0], red, width, depth, redLow, redHigh, redShift, redLut, k);
        Prepare(rgb[1], green, width, depth, greenLow, greenHigh, greenShift, greenLut, k);
        Prepare(rgb[2], blue, width, depth, blueLow, blueHigh, blueShift, blueLut, k);
        RenderColor(zoom, static_cast<uint8_t*>(bitmap), width, height, rgb, k);
    });
}

} // namespace tamrix
