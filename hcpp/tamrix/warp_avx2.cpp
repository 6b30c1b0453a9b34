// AVX2 row kernels of the affine transform and the sub-pixel shift. They
// compute exactly what the baseline kernels in warp.cpp compute: the same
// double products and sums per pixel (multiply, then add, never fused), the
// same truncations, the same integer weights.
#include "hcpp/tamrix/warp_kernels.h"

#include <immintrin.h>

namespace tamrix::opt_avx2 {
namespace {

// Positions of eight consecutive destination pixels.
struct Positions {
    int inside;      // bit i: pixel i samples inside the source
    __m256i mask;    // the same as 32-bit lanes of all ones
    __m256i offset;  // iy * srcWidth + ix (only meaningful inside)
    __m256i fx, fy;  // fractions in 1/64 pixel
};

struct AffineConstants {
    __m256d a, by, c, d, ey, f, maxX, maxY;
    __m256i stride;

    explicit AffineConstants(const warp::AffineRow& row)
        : a(_mm256_set1_pd(row.a)), by(_mm256_set1_pd(row.by)), c(_mm256_set1_pd(row.c)),
          d(_mm256_set1_pd(row.d)), ey(_mm256_set1_pd(row.ey)), f(_mm256_set1_pd(row.f)),
          maxX(_mm256_set1_pd(row.maxX)), maxY(_mm256_set1_pd(row.maxY)), stride(_mm256_set1_epi32(row.srcWidth))
    {
    }
};

// Four pixels at the columns in xd: the in-mask and both positions in 1/64
// pixel, truncated. For 0 <= s < 2^25, s * 64 is exact, so trunc(s * 64) is
// 64 * trunc(s) + trunc((s - trunc(s)) * 64): the whole pixel in the upper
// bits and the fraction in the low six, from one conversion.
struct Quad {
    __m256d in;
    __m128i qx, qy;
};

inline Quad Locate(const AffineConstants& k, __m256d xd)
{
    const __m256d sx = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(k.a, xd), k.by), k.c);
    const __m256d sy = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(k.d, xd), k.ey), k.f);
    const __m256d zero = _mm256_setzero_pd();
    const __m256d in = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(sx, zero, _CMP_GE_OQ), _mm256_cmp_pd(sy, zero, _CMP_GE_OQ)),
                                     _mm256_and_pd(_mm256_cmp_pd(sx, k.maxX, _CMP_LT_OQ), _mm256_cmp_pd(sy, k.maxY, _CMP_LT_OQ)));
    // Outside lanes may hold NaN or huge values; their conversions give the
    // integer indefinite value, which is never used.
    const __m256d k64 = _mm256_set1_pd(64.0);
    return {in, _mm256_cvttpd_epi32(_mm256_mul_pd(sx, k64)), _mm256_cvttpd_epi32(_mm256_mul_pd(sy, k64))};
}

inline Positions Locate8(const AffineConstants& k, int x)
{
    const __m256d x0 = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(x)), _mm256_setr_pd(0, 1, 2, 3));
    const __m256d x1 = _mm256_add_pd(x0, _mm256_set1_pd(4.0));
    const Quad q0 = Locate(k, x0), q1 = Locate(k, x1);
    Positions p;
    p.inside = _mm256_movemask_pd(q0.in) | (_mm256_movemask_pd(q1.in) << 4);
    const __m256i bits = _mm256_setr_epi32(1, 2, 4, 8, 16, 32, 64, 128);
    p.mask = _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_set1_epi32(p.inside), bits), bits);
    const __m256i qx = _mm256_setr_m128i(q0.qx, q1.qx);
    const __m256i qy = _mm256_setr_m128i(q0.qy, q1.qy);
    const __m256i low6 = _mm256_set1_epi32(63);
    p.offset = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_srli_epi32(qy, 6), k.stride), _mm256_srli_epi32(qx, 6));
    p.fx = _mm256_and_si256(qx, low6);
    p.fy = _mm256_and_si256(qy, low6);
    return p;
}

// Sources wider or taller than 2^25 pixels are left to the baseline kernel.
inline bool Fits(const warp::AffineRow& row)
{
    return row.maxX <= 33554432.0 && row.maxY <= 33554432.0;
}

} // namespace

int TransformRow(const warp::AffineRow& row, const uint16_t* src, uint16_t* dst)
{
    if (!Fits(row))
        return 0;
    const AffineConstants k(row);
    const int n = row.width > 0 ? row.width & ~7 : 0;
    const __m256i k64 = _mm256_set1_epi32(64);
    const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80008000u));
    const __m256i bias = _mm256_set1_epi32(64 * 32768);
    const int* base = reinterpret_cast<const int*>(src);
    for (int x = 0; x < n; x += 8) {
        const Positions p = Locate8(k, x);
        if (p.inside == 0)
            continue;
        // One 32-bit load per source row brings both pixels of the square's
        // row: p00 in the low half, p10 in the high half.
        const __m256i below = _mm256_add_epi32(p.offset, k.stride);
        __m256i g0, g1;
        if (p.inside == 0xFF) {
            g0 = _mm256_i32gather_epi32(base, p.offset, 2);
            g1 = _mm256_i32gather_epi32(base, below, 2);
        } else {
            g0 = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, p.offset, p.mask, 2);
            g1 = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), base, below, p.mask, 2);
        }
        // gx * left + fx * right per row with one signed 16-bit multiply-add:
        // the pixels are biased by -32768, which costs (gx + fx) * 32768 =
        // 64 * 32768, added back.
        const __m256i gx = _mm256_sub_epi32(k64, p.fx);
        const __m256i wx = _mm256_or_si256(gx, _mm256_slli_epi32(p.fx, 16));
        const __m256i top = _mm256_add_epi32(_mm256_madd_epi16(_mm256_xor_si256(g0, flip), wx), bias);
        const __m256i bottom = _mm256_add_epi32(_mm256_madd_epi16(_mm256_xor_si256(g1, flip), wx), bias);
        // gy * top + fy * bottom is the four-weight sum, below 2^28.
        const __m256i gy = _mm256_sub_epi32(k64, p.fy);
        const __m256i sum = _mm256_add_epi32(_mm256_mullo_epi32(gy, top), _mm256_mullo_epi32(p.fy, bottom));
        const __m256i value = _mm256_srli_epi32(sum, 12);
        const __m128i packed = _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packus_epi32(value, value), 0x08));
        __m128i* out = reinterpret_cast<__m128i*>(dst + x);
        if (p.inside == 0xFF) {
            _mm_storeu_si128(out, packed);
        } else {
            const __m128i mask16 =
                _mm256_castsi256_si128(_mm256_permute4x64_epi64(_mm256_packs_epi32(p.mask, p.mask), 0x08));
            _mm_storeu_si128(out, _mm_blendv_epi8(_mm_loadu_si128(out), packed, mask16));
        }
    }
    return n;
}

int TransformRow(const warp::AffineRow& row, const uint32_t* src, uint32_t* dst)
{
    if (!Fits(row))
        return 0;
    const AffineConstants k(row);
    const int n = row.width > 0 ? row.width & ~7 : 0;
    const __m256i k64 = _mm256_set1_epi32(64);
    const __m256i evens = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    const long long* base = reinterpret_cast<const long long*>(src);
    for (int x = 0; x < n; x += 8) {
        const Positions p = Locate8(k, x);
        if (p.inside == 0)
            continue;
        const __m256i gx = _mm256_sub_epi32(k64, p.fx);
        const __m256i gy = _mm256_sub_epi32(k64, p.fy);
        const __m256i w00 = _mm256_mullo_epi32(gx, gy), w10 = _mm256_mullo_epi32(p.fx, gy);
        const __m256i w01 = _mm256_mullo_epi32(gx, p.fy), w11 = _mm256_mullo_epi32(p.fx, p.fy);
        const __m256i below = _mm256_add_epi32(p.offset, k.stride);
        __m128i half[2];
        for (int h = 0; h < 2; ++h) {
            // One 64-bit load per source row brings p00 (low) and p10 (high).
            const __m128i o0 = h ? _mm256_extracti128_si256(p.offset, 1) : _mm256_castsi256_si128(p.offset);
            const __m128i o1 = h ? _mm256_extracti128_si256(below, 1) : _mm256_castsi256_si128(below);
            const __m128i m32 = h ? _mm256_extracti128_si256(p.mask, 1) : _mm256_castsi256_si128(p.mask);
            const __m256i m64 = _mm256_cvtepi32_epi64(m32);
            const __m256i g0 = _mm256_mask_i32gather_epi64(_mm256_setzero_si256(), base, o0, m64, 4);
            const __m256i g1 = _mm256_mask_i32gather_epi64(_mm256_setzero_si256(), base, o1, m64, 4);
            auto weight = [h](__m256i w) {
                return _mm256_cvtepu32_epi64(h ? _mm256_extracti128_si256(w, 1) : _mm256_castsi256_si128(w));
            };
            // 64-bit sums: exact for every 32-bit pixel value.
            __m256i sum = _mm256_mul_epu32(g0, weight(w00));
            sum = _mm256_add_epi64(sum, _mm256_mul_epu32(_mm256_srli_epi64(g0, 32), weight(w10)));
            sum = _mm256_add_epi64(sum, _mm256_mul_epu32(g1, weight(w01)));
            sum = _mm256_add_epi64(sum, _mm256_mul_epu32(_mm256_srli_epi64(g1, 32), weight(w11)));
            half[h] = _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(_mm256_srli_epi64(sum, 12), evens));
        }
        const __m256i value = _mm256_setr_m128i(half[0], half[1]);
        __m256i* out = reinterpret_cast<__m256i*>(dst + x);
        if (p.inside == 0xFF)
            _mm256_storeu_si256(out, value);
        else
            _mm256_storeu_si256(out, _mm256_blendv_epi8(_mm256_loadu_si256(out), value, p.mask));
    }
    return n;
}

int ShiftRow(const warp::ShiftRow& row, const uint16_t* top, const uint16_t* bottom, uint16_t* dst)
{
    const __m256i w00 = _mm256_set1_epi32(static_cast<int>(row.w00)), w10 = _mm256_set1_epi32(static_cast<int>(row.w10));
    const __m256i w01 = _mm256_set1_epi32(static_cast<int>(row.w01)), w11 = _mm256_set1_epi32(static_cast<int>(row.w11));
    const __m128i shift = _mm_cvtsi32_si128(row.shift);
    auto load = [](const uint16_t* p) { return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))); };
    int i = row.begin;
    // The square of the last pixel reads one pixel further: i + 8 <= end.
    for (; i + 8 <= row.end; i += 8) {
        __m256i sum = _mm256_mullo_epi32(load(top + i), w00);
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(load(top + i + 1), w10));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(load(bottom + i), w01));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(load(bottom + i + 1), w11));
        const __m256i value = _mm256_srl_epi32(sum, shift);
        // The low 16 bits of each quotient, as a 16-bit destination keeps them.
        const __m256i low = _mm256_shuffle_epi8(value, _mm256_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1,
                                                                        0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                         _mm256_castsi256_si128(_mm256_permute4x64_epi64(low, 0x08)));
    }
    return i;
}

int ShiftRow(const warp::ShiftRow& row, const uint32_t* top, const uint32_t* bottom, uint32_t* dst)
{
    const __m256i w00 = _mm256_set1_epi32(static_cast<int>(row.w00)), w10 = _mm256_set1_epi32(static_cast<int>(row.w10));
    const __m256i w01 = _mm256_set1_epi32(static_cast<int>(row.w01)), w11 = _mm256_set1_epi32(static_cast<int>(row.w11));
    const __m128i shift = _mm_cvtsi32_si128(row.shift);
    auto load = [](const uint32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); };
    int i = row.begin;
    for (; i + 8 <= row.end; i += 8) {
        __m256i sum = _mm256_mullo_epi32(load(top + i), w00);
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(load(top + i + 1), w10));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(load(bottom + i), w01));
        sum = _mm256_add_epi32(sum, _mm256_mullo_epi32(load(bottom + i + 1), w11));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_srl_epi32(sum, shift));
    }
    return i;
}

} // namespace tamrix::opt_avx2
