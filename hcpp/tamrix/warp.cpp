// Sub-pixel shift and affine transform: integer bilinear resampling into a
// destination whose unreachable pixels keep their values.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/isa.h"
#include "hcpp/tamrix/warp_kernels.h"

#include <algorithm>
#include <type_traits>

namespace tamrix {
namespace warp {
namespace {

// The weighted sum of the four pixels around a position: 32 bits are exact for
// 16-bit frames (4096 * 65535 < 2^28); 32-bit frames need 64 bits, which keeps
// every 32-bit value exact (4096 * (2^32 - 1) < 2^44).
template <class Pixel>
using BilinearSum = std::conditional_t<sizeof(Pixel) == 2, uint32_t, uint64_t>;

// The plain per-pixel rendition, from column begin to the end of the row. The
// vector kernels must agree with it bit for bit.
template <class Pixel>
void TransformRowBaseline(const AffineRow& row, const Pixel* src, Pixel* dst, int begin)
{
    using Sum = BilinearSum<Pixel>;
    const std::ptrdiff_t stride = row.srcWidth;
    for (int x = begin; x < row.width; ++x) {
        const double xd = x;
        const double sx = (row.a * xd + row.by) + row.c;
        const double sy = (row.d * xd + row.ey) + row.f;
        // trunc(s) < n - 1 is s < n - 1 for s >= 0; comparing the doubles
        // also rejects NaN and positions too large for an int.
        if (!(sx >= 0.0 && sy >= 0.0 && sx < row.maxX && sy < row.maxY))
            continue;
        const int ix = static_cast<int>(sx);
        const int iy = static_cast<int>(sy);
        const uint32_t fx = static_cast<uint32_t>((sx - ix) * 64.0); // 1/64 pixel, truncated: 0 .. 63
        const uint32_t fy = static_cast<uint32_t>((sy - iy) * 64.0);
        const uint32_t gx = 64 - fx, gy = 64 - fy;
        const Pixel* p = src + iy * stride + ix;
        const Sum sum = Sum{gx * gy} * p[0] + Sum{fx * gy} * p[1] + Sum{gx * fy} * p[stride]
            + Sum{fx * fy} * p[stride + 1];
        dst[x] = static_cast<Pixel>(sum >> 12); // the weights add up to 4096
    }
}

// Columns row.begin .. row.end - 1 (see ShiftRow). Products and sum wrap
// modulo 2^32 as unsigned 32-bit arithmetic does; a 16-bit destination keeps
// the low bits of the quotient.
template <class Pixel>
void ShiftRowBaseline(const ShiftRow& row, const Pixel* top, const Pixel* bottom, Pixel* dst, uint32_t divisor)
{
    for (int i = row.begin; i < row.end; ++i) {
        const uint32_t sum = top[i] * row.w00 + top[i + 1] * row.w10 + bottom[i] * row.w01 + bottom[i + 1] * row.w11;
        dst[i] = static_cast<Pixel>(row.shift >= 0 ? sum >> row.shift : sum / divisor);
    }
}

// The kernels of each level for one pixel type.
template <class Pixel>
struct RowKernels {
    int (*transform)(const AffineRow& row, const Pixel* src, Pixel* dst);
    int (*shift)(const ShiftRow& row, const Pixel* top, const Pixel* bottom, Pixel* dst);
};

template <class Pixel>
constexpr RowKernels<Pixel> kBaseline{&opt_baseline::TransformRow, &opt_baseline::ShiftRow};
template <class Pixel>
constexpr RowKernels<Pixel> kAvx2{&opt_avx2::TransformRow, &opt_avx2::ShiftRow};
template <class Pixel>
constexpr RowKernels<Pixel> kAvx512{&opt_avx512::TransformRow, &opt_avx2::ShiftRow};

template <class Pixel>
constexpr RowKernels<Pixel> kVariants[isa::kLevelCount] = {
    kBaseline<Pixel>, kBaseline<Pixel>, kBaseline<Pixel>, kAvx2<Pixel>, kAvx512<Pixel>, kAvx512<Pixel>};

} // namespace
} // namespace warp

// The baseline leaves whole rows to the per-pixel loops.
namespace opt_baseline {
int TransformRow(const warp::AffineRow&, const uint16_t*, uint16_t*) { return 0; }
int TransformRow(const warp::AffineRow&, const uint32_t*, uint32_t*) { return 0; }
int ShiftRow(const warp::ShiftRow& row, const uint16_t*, const uint16_t*, uint16_t*) { return row.begin; }
int ShiftRow(const warp::ShiftRow& row, const uint32_t*, const uint32_t*, uint32_t*) { return row.begin; }
} // namespace opt_baseline

void Transform(double A, double B, double C, double D, double E, double F, void* src, int srcWidth, int srcHeight,
               int depth, void* dst, int dstWidth, int dstHeight)
{
    using namespace warp;
    if (dstWidth < 1) // no columns: nothing to write, whatever the kernels would round to
        return;
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const RowKernels<Pixel>& k = isa::Pick(kVariants<Pixel>);
        const Pixel* in = detail::Pixels<Pixel>(src);
        Pixel* out = detail::Pixels<Pixel>(dst);
        const double maxX = static_cast<double>(srcWidth) - 1.0, maxY = static_cast<double>(srcHeight) - 1.0;
        detail::ParallelRows(dstHeight, [&](int y) {
            const double yd = y;
            const AffineRow row{A, B * yd, C, D, E * yd, F, maxX, maxY, srcWidth, dstWidth};
            Pixel* line = out + static_cast<std::ptrdiff_t>(y) * dstWidth;
            TransformRowBaseline(row, in, line, k.transform(row, in, line));
        });
    });
}

void SubPixelShift(int dx, int dy, unsigned w00, unsigned w10, unsigned w01, unsigned w11, unsigned divisor,
                   void* src, int srcWidth, int srcHeight, int depth, void* dst, int dstWidth, int dstHeight)
{
    using namespace warp;
    // Destination columns whose square is inside: 0 <= x + dx < srcWidth - 1,
    // in 64 bits so that no offset can overflow. Rows and columns outside
    // that range are not touched at all.
    const int64_t begin = std::max<int64_t>(0, -int64_t{dx});
    const int64_t end = std::min<int64_t>(dstWidth, int64_t{srcWidth} - 1 - dx);
    if (end <= begin)
        return;
    int shift = -1; // a power-of-two divisor divides by a shift
    for (int s = 0; s < 32; ++s)
        if (divisor == uint32_t{1} << s)
            shift = s;
    const ShiftRow row{w00, w10, w01, w11, shift, 0, static_cast<int>(end - begin)};
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        const RowKernels<Pixel>& k = isa::Pick(kVariants<Pixel>);
        const Pixel* in = detail::Pixels<Pixel>(src);
        Pixel* out = detail::Pixels<Pixel>(dst);
        detail::ParallelRows(dstHeight, [&](int y) {
            const int64_t sy = int64_t{y} + dy;
            if (sy < 0 || sy >= int64_t{srcHeight} - 1)
                return;
            const Pixel* top = in + sy * srcWidth + (begin + dx);
            const Pixel* bottom = top + srcWidth;
            Pixel* line = out + static_cast<std::ptrdiff_t>(y) * dstWidth + begin;
            ShiftRow rest = row;
            rest.begin = row.shift >= 0 ? k.shift(row, top, bottom, line) : row.begin;
            ShiftRowBaseline(rest, top, bottom, line, divisor);
        });
    });
}

} // namespace tamrix
