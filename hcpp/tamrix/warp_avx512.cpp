// AVX-512 row kernels of the affine transform: the arithmetic of the
// baseline kernel in warp.cpp, eight double positions per instruction.
// Masked gathers and stores cover the positions outside the source and the
// end of the row, so these kernels finish every row themselves.
#include "hcpp/tamrix/warp_kernels.h"

// GCC 12 warns about the deliberately undefined source operand inside its
// own AVX-512 intrinsics (GCC bug 105593); the warning says nothing about
// this file.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#  pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

#include <cstddef>

namespace tamrix::opt_avx512 {
namespace {

struct AffineConstants {
    __m512d a, by, c, d, ey, f, maxX, maxY;
    __m512i stride;

    explicit AffineConstants(const warp::AffineRow& row)
        : a(_mm512_set1_pd(row.a)), by(_mm512_set1_pd(row.by)), c(_mm512_set1_pd(row.c)),
          d(_mm512_set1_pd(row.d)), ey(_mm512_set1_pd(row.ey)), f(_mm512_set1_pd(row.f)),
          maxX(_mm512_set1_pd(row.maxX)), maxY(_mm512_set1_pd(row.maxY)), stride(_mm512_set1_epi32(row.srcWidth))
    {
    }
};

// Eight destination pixels from column x: which are inside, where their
// squares start and their fractions in 1/64 pixel.
struct Octet {
    __mmask8 inside;
    __m256i ix, iy, fx, fy;
};

// left = columns of the row from x on; lanes past the end are not inside.
// For 0 <= s < 2^25, s * 64 is exact, so trunc(s * 64) is
// 64 * trunc(s) + trunc((s - trunc(s)) * 64): the whole pixel in the upper
// bits and the fraction in the low six, from one conversion.
inline Octet Locate(const AffineConstants& k, double x, int left)
{
    const __m512d xd = _mm512_add_pd(_mm512_set1_pd(x), _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7));
    // Products first, then the row term, then the constant; never fused.
    const __m512d sx = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(k.a, xd), k.by), k.c);
    const __m512d sy = _mm512_add_pd(_mm512_add_pd(_mm512_mul_pd(k.d, xd), k.ey), k.f);
    const __m512d zero = _mm512_setzero_pd();
    __mmask8 inside = left >= 8 ? __mmask8(0xFF) : left <= 0 ? __mmask8(0) : __mmask8((1u << left) - 1);
    inside &= _mm512_cmp_pd_mask(sx, zero, _CMP_GE_OQ) & _mm512_cmp_pd_mask(sy, zero, _CMP_GE_OQ);
    inside &= _mm512_cmp_pd_mask(sx, k.maxX, _CMP_LT_OQ) & _mm512_cmp_pd_mask(sy, k.maxY, _CMP_LT_OQ);
    // Outside lanes may hold NaN or huge values: indefinite, never used.
    const __m512d k64 = _mm512_set1_pd(64.0);
    const __m256i qx = _mm512_cvttpd_epi32(_mm512_mul_pd(sx, k64));
    const __m256i qy = _mm512_cvttpd_epi32(_mm512_mul_pd(sy, k64));
    const __m256i low6 = _mm256_set1_epi32(63);
    return {inside, _mm256_srli_epi32(qx, 6), _mm256_srli_epi32(qy, 6), _mm256_and_si256(qx, low6),
            _mm256_and_si256(qy, low6)};
}

// Sources wider or taller than 2^25 pixels are left to the baseline kernel.
inline bool Fits(const warp::AffineRow& row)
{
    return row.maxX <= 33554432.0 && row.maxY <= 33554432.0;
}

inline __m512i Join(__m256i lo, __m256i hi)
{
    return _mm512_inserti64x4(_mm512_castsi256_si512(lo), hi, 1);
}

// Gathers are slow; most affine maps (rotations, moderate scales) send a run
// of consecutive destination pixels into a narrow band of the source. When
// all squares of a run lie within `span` + 1 columns and `rows` + 1 rows
// starting at (x0, y0), each of those rows is loaded once and its pixels are
// moved into place by a permutation. The window is found from the run's
// first and last positions (the positions are monotonic along a row) and
// checked lane by lane, so a wrong guess only means the gathers are used.
struct Window {
    int x0, y0, width, rows;
};

inline bool FindWindow(int xa, int xb, int ya, int yb, int span, int rows, Window& w)
{
    w.x0 = xa < xb ? xa : xb;
    w.y0 = ya < yb ? ya : yb;
    w.width = (xa < xb ? xb : xa) - w.x0 + 2; // pixels: the right column of the rightmost square too
    w.rows = (ya < yb ? yb : ya) - w.y0 + 2;
    return w.width <= span + 1 && w.rows <= rows + 1;
}

// Sixteen lanes, 16-bit pixels: a window of up to 32 pixels per row, whose
// words a 16-bit permutation pairs as (p(ix), p(ix + 1)).
inline bool WindowPairs(const uint16_t* src, int stride, const Window& w, __m512i ix, __m512i iy, __m512i& g0,
                        __m512i& g1)
{
    const __m512i rel = _mm512_sub_epi32(ix, _mm512_set1_epi32(w.x0));
    const __m512i band = _mm512_sub_epi32(iy, _mm512_set1_epi32(w.y0));
    if (_mm512_cmpgt_epu32_mask(rel, _mm512_set1_epi32(w.width - 2))
        | _mm512_cmpgt_epu32_mask(band, _mm512_set1_epi32(w.rows - 2)))
        return false;
    const __m512i index = _mm512_or_si512(rel, _mm512_slli_epi32(_mm512_add_epi32(rel, _mm512_set1_epi32(1)), 16));
    const __mmask32 words = w.width == 32 ? ~__mmask32{0} : (__mmask32{1} << w.width) - 1;
    const uint16_t* line = src + static_cast<std::ptrdiff_t>(w.y0) * stride + w.x0;
    g0 = g1 = _mm512_setzero_si512();
    for (int r = 0; r < w.rows; ++r, line += stride) {
        const __m512i pairs = _mm512_permutexvar_epi16(index, _mm512_maskz_loadu_epi16(words, line));
        g0 = _mm512_mask_mov_epi32(g0, _mm512_cmpeq_epi32_mask(band, _mm512_set1_epi32(r)), pairs);
        g1 = _mm512_mask_mov_epi32(g1, _mm512_cmpeq_epi32_mask(band, _mm512_set1_epi32(r - 1)), pairs);
    }
    return true;
}

// Eight lanes, 32-bit pixels: a window of up to 16 pixels per row, whose
// doublewords a permutation pairs as (p(ix), p(ix + 1)) in 64-bit lanes.
inline bool WindowPairs(const uint32_t* src, int stride, const Window& w, __m256i ix, __m256i iy, __m512i& g0,
                        __m512i& g1)
{
    const __m256i rel = _mm256_sub_epi32(ix, _mm256_set1_epi32(w.x0));
    const __m256i band = _mm256_sub_epi32(iy, _mm256_set1_epi32(w.y0));
    if (_mm256_cmpgt_epu32_mask(rel, _mm256_set1_epi32(w.width - 2))
        | _mm256_cmpgt_epu32_mask(band, _mm256_set1_epi32(w.rows - 2)))
        return false;
    const __m512i index = _mm512_or_si512(
        _mm512_cvtepu32_epi64(rel), _mm512_slli_epi64(_mm512_cvtepu32_epi64(_mm256_add_epi32(rel, _mm256_set1_epi32(1))), 32));
    const __mmask16 words = static_cast<__mmask16>(w.width == 16 ? 0xFFFF : (1u << w.width) - 1);
    const uint32_t* line = src + static_cast<std::ptrdiff_t>(w.y0) * stride + w.x0;
    g0 = g1 = _mm512_setzero_si512();
    for (int r = 0; r < w.rows; ++r, line += stride) {
        const __m512i pairs = _mm512_permutexvar_epi32(index, _mm512_maskz_loadu_epi32(words, line));
        g0 = _mm512_mask_mov_epi64(g0, _mm256_cmpeq_epi32_mask(band, _mm256_set1_epi32(r)), pairs);
        g1 = _mm512_mask_mov_epi64(g1, _mm256_cmpeq_epi32_mask(band, _mm256_set1_epi32(r - 1)), pairs);
    }
    return true;
}

} // namespace

int TransformRow(const warp::AffineRow& row, const uint16_t* src, uint16_t* dst)
{
    if (!Fits(row))
        return 0;
    const AffineConstants k(row);
    const __m512i k64 = _mm512_set1_epi32(64);
    const __m512i flip = _mm512_set1_epi32(static_cast<int>(0x80008000u));
    const __m512i bias = _mm512_set1_epi32(64 * 32768);
    for (int64_t x = 0; x < row.width; x += 16) {
        const int left = static_cast<int>(row.width - x);
        const Octet lo = Locate(k, static_cast<double>(x), left), hi = Locate(k, static_cast<double>(x + 8), left - 8);
        const __mmask16 inside = static_cast<__mmask16>(lo.inside | (hi.inside << 8));
        if (inside == 0)
            continue;
        const __m512i ix = Join(lo.ix, hi.ix), iy = Join(lo.iy, hi.iy);
        const __m512i fx = Join(lo.fx, hi.fx), fy = Join(lo.fy, hi.fy);
        // Every lane gets p00 in the low and p10 in the high half of g0, and
        // p01, p11 likewise in g1.
        __m512i g0, g1;
        Window w;
        if (inside != 0xFFFF
            || !FindWindow(_mm256_cvtsi256_si32(lo.ix), _mm256_extract_epi32(hi.ix, 7), _mm256_cvtsi256_si32(lo.iy),
                           _mm256_extract_epi32(hi.iy, 7), 31, 4, w)
            || !WindowPairs(src, row.srcWidth, w, ix, iy, g0, g1)) {
            // One 32-bit load per square row brings both of its pixels.
            const __m512i offset = _mm512_add_epi32(_mm512_mullo_epi32(iy, k.stride), ix);
            g0 = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), inside, offset, src, 2);
            g1 = _mm512_mask_i32gather_epi32(_mm512_setzero_si512(), inside, _mm512_add_epi32(offset, k.stride), src,
                                             2);
        }
        // gx * left + fx * right with a signed 16-bit multiply-add on pixels
        // biased by -32768; the bias costs (gx + fx) * 32768 = 64 * 32768.
        const __m512i wx = _mm512_or_si512(_mm512_sub_epi32(k64, fx), _mm512_slli_epi32(fx, 16));
        const __m512i top = _mm512_add_epi32(_mm512_madd_epi16(_mm512_xor_si512(g0, flip), wx), bias);
        const __m512i bottom = _mm512_add_epi32(_mm512_madd_epi16(_mm512_xor_si512(g1, flip), wx), bias);
        const __m512i sum =
            _mm512_add_epi32(_mm512_mullo_epi32(_mm512_sub_epi32(k64, fy), top), _mm512_mullo_epi32(fy, bottom));
        _mm256_mask_storeu_epi16(dst + x, inside, _mm512_cvtepi32_epi16(_mm512_srli_epi32(sum, 12)));
    }
    return row.width;
}

int TransformRow(const warp::AffineRow& row, const uint32_t* src, uint32_t* dst)
{
    if (!Fits(row))
        return 0;
    const AffineConstants k(row);
    const __m256i k64 = _mm256_set1_epi32(64);
    const __m256i stride = _mm256_set1_epi32(row.srcWidth);
    for (int64_t x = 0; x < row.width; x += 8) {
        const Octet o = Locate(k, static_cast<double>(x), static_cast<int>(row.width - x));
        if (o.inside == 0)
            continue;
        // Every lane gets p00 in the low and p10 in the high half of g0, and
        // p01, p11 likewise in g1.
        __m512i g0, g1;
        Window w;
        if (o.inside != 0xFF
            || !FindWindow(_mm256_cvtsi256_si32(o.ix), _mm256_extract_epi32(o.ix, 7), _mm256_cvtsi256_si32(o.iy),
                           _mm256_extract_epi32(o.iy, 7), 15, 3, w)
            || !WindowPairs(src, row.srcWidth, w, o.ix, o.iy, g0, g1)) {
            // One 64-bit load per square row brings both of its pixels.
            const __m256i offset = _mm256_add_epi32(_mm256_mullo_epi32(o.iy, stride), o.ix);
            g0 = _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), o.inside, offset, src, 4);
            g1 = _mm512_mask_i32gather_epi64(_mm512_setzero_si512(), o.inside, _mm256_add_epi32(offset, stride), src,
                                             4);
        }
        const __m256i gx = _mm256_sub_epi32(k64, o.fx), gy = _mm256_sub_epi32(k64, o.fy);
        auto weight = [](__m256i a, __m256i b) { return _mm512_cvtepu32_epi64(_mm256_mullo_epi32(a, b)); };
        // 64-bit sums: exact for every 32-bit pixel value.
        __m512i sum = _mm512_mul_epu32(g0, weight(gx, gy));
        sum = _mm512_add_epi64(sum, _mm512_mul_epu32(_mm512_srli_epi64(g0, 32), weight(o.fx, gy)));
        sum = _mm512_add_epi64(sum, _mm512_mul_epu32(g1, weight(gx, o.fy)));
        sum = _mm512_add_epi64(sum, _mm512_mul_epu32(_mm512_srli_epi64(g1, 32), weight(o.fx, o.fy)));
        _mm256_mask_storeu_epi32(dst + x, o.inside, _mm512_cvtepi64_epi32(_mm512_srli_epi64(sum, 12)));
    }
    return row.width;
}

} // namespace tamrix::opt_avx512
