// Cubic polynomials rendered into frames: one polynomial as grey values, or
// two as a vector field with a grid of marks.
#include "tamrix.h"

#include "hcpp/tamrix/frame.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <utility>

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

// Columns whose u-factors are computed once for a block of rows; the six
// factor rows of two polynomials stay in the first-level cache.
constexpr int kChunk = 256;
constexpr int kBlockRows = 8;

// The factors of one polynomial that depend on u alone, for a run of columns.
struct ColumnTerms {
    double t1[kChunk]; // c1 u^3
    double f3[kChunk]; // c3 u^2, times v
    double f4[kChunk]; // c4 u, times v^2
    double t5[kChunk]; // c5 u^2
    double f7[kChunk]; // c7 u, times v
    double t8[kChunk]; // c8 u

    void Compute(const double* c, const Geometry& g, int x0, int count)
    {
        for (int i = 0; i < count; ++i) {
            const double u = static_cast<double>(x0 + i - g.cx) / g.s;
            const double uu = u * u;
            t1[i] = c[0] * (uu * u);
            f3[i] = c[2] * uu;
            f4[i] = c[3] * u;
            t5[i] = c[4] * uu;
            f7[i] = c[6] * u;
            t8[i] = c[7] * u;
        }
    }
};

// The terms of one polynomial that depend on v alone, for one row.
struct RowTerms {
    double v, vv, t2, t6, t9, t10;

    RowTerms(const double* c, const Geometry& g, int y)
    {
        v = static_cast<double>(y - g.cy) / g.s;
        vv = v * v;
        t2 = c[1] * (vv * v);
        t6 = c[5] * vv;
        t9 = c[8] * v;
        t10 = c[9];
    }
};

inline double Sum(const ColumnTerms& ct, int i, const RowTerms& rt)
{
    double p = ct.t1[i] + rt.t2;
    p += ct.f3[i] * rt.v;
    p += ct.f4[i] * rt.vv;
    p += ct.t5[i];
    p += rt.t6;
    p += ct.f7[i] * rt.v;
    p += ct.t8[i];
    p += rt.t9;
    p += rt.t10;
    return p;
}

// z < 0 (and NaN) gives 0, z above full scale gives full scale, anything else
// is truncated.
template <class Pixel>
inline Pixel ToPixel(double z)
{
    return detail::TruncToUnsigned<Pixel>(z);
}

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

template <class Pixel>
void FillRows(Pixel* frame, const Geometry& g, const double* c, double scale, double offset, int y0, int y1)
{
    ColumnTerms ct;
    for (int x0 = 0; x0 < g.width; x0 += kChunk) {
        const int count = std::min(kChunk, g.width - x0);
        ct.Compute(c, g, x0, count);
        for (int y = y0; y < y1; ++y) {
            const RowTerms rt(c, g, y);
            Pixel* out = frame + static_cast<std::ptrdiff_t>(y) * g.width + x0;
            for (int i = 0; i < count; ++i)
                out[i] = ToPixel<Pixel>(Sum(ct, i, rt) * scale + offset);
        }
    }
}

// Vector length image of a block of rows; returns the largest length seen
// (NaN lengths are skipped: they round to 0).
template <class Pixel>
double FieldRows(Pixel* frame, const Geometry& g, const double* c, const double* d, int y0, int y1)
{
    ColumnTerms cx, cy;
    double longest = 0.0;
    for (int x0 = 0; x0 < g.width; x0 += kChunk) {
        const int count = std::min(kChunk, g.width - x0);
        cx.Compute(c, g, x0, count);
        cy.Compute(d, g, x0, count);
        for (int y = y0; y < y1; ++y) {
            const RowTerms rx(c, g, y), ry(d, g, y);
            Pixel* out = frame + static_cast<std::ptrdiff_t>(y) * g.width + x0;
            for (int i = 0; i < count; ++i) {
                const double dx = Sum(cx, i, rx) * g.s;
                const double dy = Sum(cy, i, ry) * g.s;
                const double m = std::sqrt(dx * dx + dy * dy);
                out[i] = ToPixel<Pixel>(m * 100.0 + 32767.0);
                longest = m > longest ? m : longest;
            }
        }
    }
    return longest;
}

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
        if (dx > dy) {
            if (x1 > x2) {
                std::swap(x1, x2);
                std::swap(y1, y2);
            }
            const int64_t inc = dy * 65536 / dx;
            int64_t frac = dy * 65536 % dx / 2;
            const int64_t ystep = y1 <= y2 ? 1 : -1;
            for (int64_t x = x1, y = y1; x <= x2; ++x) {
                frac += inc;
                Set(x, y, value);
                if (frac >= 65536) {
                    frac &= 0xFFFF;
                    y += ystep;
                }
            }
        } else {
            if (y1 > y2) {
                std::swap(x1, x2);
                std::swap(y1, y2);
            }
            const int64_t inc = dx * 65536 / dy;
            int64_t frac = dx * 65536 % dy / 2;
            const int64_t xstep = x1 <= x2 ? 1 : -1;
            for (int64_t y = y1, x = x1; y <= y2; ++y) {
                frac += inc;
                Set(x, y, value);
                if (frac >= 65536) {
                    frac &= 0xFFFF;
                    x += xstep;
                }
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
    for (double u = first; u < 0.5; u += step)
        for (double v = first; v < 0.5; v += step) {
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
    const double off = static_cast<double>(offset);
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        Pixel* out = detail::Pixels<Pixel>(frame);
        ParallelRowBlocks(height, [&](int y0, int y1) { FillRows(out, g, c, scale, off, y0, y1); });
    });
}

void FillFrameWithPolynoms(void* frame, int width, int height, int depth, double c1, double c2, double c3,
                           double c4, double c5, double c6, double c7, double c8, double c9, double c10, double d1,
                           double d2, double d3, double d4, double d5, double d6, double d7, double d8, double d9,
                           double d10)
{
    const double c[10] = {c1, c2, c3, c4, c5, c6, c7, c8, c9, c10};
    const double d[10] = {d1, d2, d3, d4, d5, d6, d7, d8, d9, d10};
    const Geometry g = GeometryOf(width, height);
    detail::WithPixelType(depth, [&](auto pixel) {
        using Pixel = decltype(pixel);
        Pixel* out = detail::Pixels<Pixel>(frame);
        // The rounded length r = trunc(m + 0.5) grows with m, so the largest
        // r is that of the largest m: each block keeps its own maximum and
        // merges it under the lock once.
        uint32_t longest = 0;
        ParallelRowBlocks(height, [&](int y0, int y1) {
            const uint32_t r = detail::TruncToUnsigned<uint32_t>(FieldRows(out, g, c, d, y0, y1) + 0.5);
            detail::UnderLock([&] {
                if (r > longest)
                    longest = r;
            });
        });
        // Without pixels there is nothing to mark (and a width below 1 would
        // wrap the grid count).
        if (width < 1 || height < 1)
            return;
        DrawGrid(out, g, c, d, longest);
    });
}

} // namespace tamrix
