// Cubic polynomials rendered into frames: one polynomial as grey values, or
// two as a vector field with a grid of marks.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"
#include "hcpp/tamrix/isa.h"
#include "hcpp/tamrix/polynom_kernels.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

#include <emmintrin.h>

// The baseline kernels: SSE2, two doubles a vector.
namespace tamrix::opt_baseline {

constexpr int kLanes = 2;
#define VecSqrt(v) _mm_sqrt_pd(v)
#include "hcpp/tamrix/polynom.simd.h"
#undef VecSqrt

} // namespace tamrix::opt_baseline

namespace tamrix {
namespace {

// Pixel (x, y) sits at u = (x - cx) / s, v = (y - cy) / s.
struct Geometry {
    int width, height;
    int cx, cy;
    double s;
};

Geometry GeometryOf(int width, int height)
{
    return {width, height, width / 2, height / 2, static_cast<double>(width >= height ? width : height)};
}

// P(u, v) for the grid of marks. Each term is formed left to right with its
// powers as units (u^3 = (u u) u, c3 u^2 v = (c3 u^2) v), and the terms are
// summed in term order. The row kernels compute the factors that depend on
// u alone once per column; the arithmetic is the same.
double Evaluate(const double* c, double u, double v)
{
    const double uu = u * u, vv = v * v;
    double p = c[0] * (uu * u) + c[1] * (vv * v);
    p += (c[2] * uu) * v;
    p += (c[3] * u) * vv;
    p += c[4] * uu;
    p += c[5] * vv;
    p += (c[6] * u) * v;
    p += c[7] * u;
    p += c[8] * v;
    p += c[9];
    return p;
}

// Rows per task of the parallel loop: the u-factors of a run of columns are
// computed once for these rows.
constexpr int kBlockRows = 8;

// Runs block(y0, y1) over blocks of rows on the team, statically scheduled.
template <class BlockFn>
void ParallelRowBlocks(int height, BlockFn&& block)
{
    const int blocks = height < 1 ? 0 : (height - 1) / kBlockRows + 1;
    detail::ParallelRows(blocks, [&](int b) {
        const int y0 = b * kBlockRows;
        block(y0, std::min(height, y0 + kBlockRows));
    });
}

// The kernels of each level; they all give the same bits.
struct Kernels {
    void (*fill16)(const detail::PolynomRows&, int, int);
    void (*fill32)(const detail::PolynomRows&, int, int);
    double (*field16)(const detail::PolynomRows&, int, int);
    double (*field32)(const detail::PolynomRows&, int, int);
};

constexpr Kernels kBaseline{&opt_baseline::FillRows16, &opt_baseline::FillRows32, &opt_baseline::FieldRows16,
                            &opt_baseline::FieldRows32};
constexpr Kernels kAvx2{&opt_avx2::FillRows16, &opt_avx2::FillRows32, &opt_avx2::FieldRows16,
                        &opt_avx2::FieldRows32};
constexpr Kernels kAvx512{&opt_avx512::FillRows16, &opt_avx512::FillRows32, &opt_avx512::FieldRows16,
                          &opt_avx512::FieldRows32};
constexpr Kernels kVariants[isa::kLevelCount] = {kBaseline, kBaseline, kBaseline, kAvx2, kAvx512, kAvx512};

// Double to a coordinate, truncated toward zero. Values beyond any frame
// (and NaN) become a coordinate far outside every frame, on which the
// arithmetic of the marks cannot overflow.
int64_t Coordinate(double z)
{
    constexpr double kLimit = 4611686018427387904.0; // 2^62
    if (!(z > -kLimit && z < kLimit))
        return -(int64_t{1} << 62);
    return static_cast<int64_t>(z);
}

// The drawing routines work in 64-bit coordinates: identical to 32-bit ones
// for lines shorter than 32768 pixels, and free of overflow beyond.
template <class Pixel>
struct Canvas {
    Pixel* frame;
    int64_t width, height;

    bool Inside(int64_t x, int64_t y) const { return x >= 0 && x < width && y >= 0 && y < height; }
    void Set(int64_t x, int64_t y, uint32_t value) { frame[y * width + x] = static_cast<Pixel>(value); }

    // One pixel per step along the longer axis, the other coordinate advanced
    // by a 16-bit fixed-point fraction. The line starts at the end point the
    // ordering puts first; its last pixel may lie one step short of the
    // second end point in the other coordinate.
    void DrawLine(uint32_t value, int64_t x1, int64_t y1, int64_t x2, int64_t y2)
    {
        if (!Inside(x1, y1) || !Inside(x2, y2))
            return;
        if (x1 == x2) {
            for (int64_t y = std::min(y1, y2); y <= std::max(y1, y2); ++y)
                Set(x1, y, value);
            return;
        }
        if (y1 == y2) {
            for (int64_t x = std::min(x1, x2); x <= std::max(x1, x2); ++x)
                Set(x, y1, value);
            return;
        }
        const int64_t dx = x2 > x1 ? x2 - x1 : x1 - x2;
        const int64_t dy = y2 > y1 ? y2 - y1 : y1 - y2;
        // Walk the longer axis (a) and step the other (b) by the fraction.
        const bool alongX = dx > dy;
        int64_t a1 = alongX ? x1 : y1, b1 = alongX ? y1 : x1;
        int64_t a2 = alongX ? x2 : y2, b2 = alongX ? y2 : x2;
        if (a1 > a2) {
            std::swap(a1, a2);
            std::swap(b1, b2);
        }
        const int64_t da = alongX ? dx : dy, db = alongX ? dy : dx;
        const int64_t inc = db * 65536 / da;
        int64_t frac = db * 65536 % da / 2;
        const int64_t bstep = b1 <= b2 ? 1 : -1;
        for (int64_t a = a1, b = b1; a <= a2; ++a) {
            frac += inc;
            if (alongX)
                Set(a, b, value);
            else
                Set(b, a, value);
            if (frac >= 65536) {
                frac &= 0xFFFF;
                b += bstep;
            }
        }
    }

    void DrawPlusMark(uint32_t value, int64_t x, int64_t y)
    {
        DrawLine(value, x - 4, y, x + 4, y);
        DrawLine(value, x, y - 4, x, y + 4);
    }

    void DrawCrossMark(uint32_t value, int64_t x, int64_t y)
    {
        DrawLine(value, x - 3, y - 3, x + 3, y + 3);
        DrawLine(value, x + 3, y - 3, x - 3, y + 3);
    }
};

// The grid of marks, on the calling thread: spacing s / n pixels with
// n = width / (2 max(R, 12)), so that no vector's line reaches the next grid
// point. Both directions use the same step, which is why the grid runs past
// the shorter side of the frame.
template <class Pixel>
void DrawGrid(Pixel* frame, const Geometry& g, const double* c, const double* d, uint32_t longest)
{
    // 64 bits: 2 M does not fit 32 bits for absurd lengths, and a zero
    // divisor must not arise from the wrap.
    const uint64_t M = std::max<uint64_t>(longest, 12);
    const uint64_t n = static_cast<uint64_t>(g.width) / (2 * M);
    if (n == 0)
        return;
    Canvas<Pixel> canvas{frame, g.width, g.height};
    const double step = 1.0 / static_cast<double>(n);
    const double first = step * 0.5 - 0.5;
    // Both coordinates run through the same accumulated sequence, so taking
    // v in the outer loop visits the same points; all marks have the value
    // 0, so the order does not show in the frame, and a row of grid points
    // reuses the same few frame rows while they are in the cache.
    for (double v = first; v < 0.5; v += step)
        for (double u = first; u < 0.5; u += step) {
            const int64_t gx = Coordinate(u * g.s + 0.5) + g.cx;
            const int64_t gy = Coordinate(v * g.s + 0.5) + g.cy;
            const int64_t ex = Coordinate((Evaluate(c, u, v) + u) * g.s + 0.5) + g.cx;
            const int64_t ey = Coordinate((Evaluate(d, u, v) + v) * g.s + 0.5) + g.cy;
            canvas.DrawPlusMark(0, gx, gy);
            canvas.DrawCrossMark(0, ex, ey);
            canvas.DrawLine(0, gx, gy, ex, ey);
        }
}

} // namespace

void FillFrameWithPolynom(void* frame, int width, int height, int depth, double scale, int offset, double c1,
                          double c2, double c3, double c4, double c5, double c6, double c7, double c8, double c9,
                          double c10)
{
    const double c[10] = {c1, c2, c3, c4, c5, c6, c7, c8, c9, c10};
    const Geometry g = GeometryOf(width, height);
    const detail::PolynomRows task{frame, width, height, g.cx, g.cy, g.s, c, nullptr, scale, static_cast<double>(offset)};
    const Kernels& kernels = isa::Pick(kVariants);
    const auto fill = depth == 2 ? kernels.fill16 : kernels.fill32;
    ParallelRowBlocks(height, [&](int y0, int y1) { fill(task, y0, y1); });
}

void FillFrameWithPolynoms(void* frame, int width, int height, int depth, double c1, double c2, double c3,
                           double c4, double c5, double c6, double c7, double c8, double c9, double c10, double d1,
                           double d2, double d3, double d4, double d5, double d6, double d7, double d8, double d9,
                           double d10)
{
    const double c[10] = {c1, c2, c3, c4, c5, c6, c7, c8, c9, c10};
    const double d[10] = {d1, d2, d3, d4, d5, d6, d7, d8, d9, d10};
    const Geometry g = GeometryOf(width, height);
    const detail::PolynomRows task{frame, width, height, g.cx, g.cy, g.s, c, d, 1.0, 0.0};
    const Kernels& kernels = isa::Pick(kVariants);
    const auto field = depth == 2 ? kernels.field16 : kernels.field32;
    // The rounded length r = trunc(m + 0.5) grows with m, so the largest r is
    // that of the largest m: each block of rows keeps its own maximum and
    // merges it under the lock once.
    uint32_t longest = 0;
    ParallelRowBlocks(height, [&](int y0, int y1) {
        const uint32_t r = detail::TruncToUnsigned<uint32_t>(field(task, y0, y1) + 0.5);
        detail::UnderLock([&] {
            if (r > longest)
                longest = r;
        });
    });
    // Without pixels there is nothing to mark (and a width below 1 would
    // wrap the grid count).
    if (width < 1 || height < 1)
        return;
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        DrawGrid(detail::Pixels<Pixel>(frame), g, c, d, longest);
    });
}

} // namespace tamrix
