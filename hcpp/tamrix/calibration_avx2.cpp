// AVX2 kernel of the 16-bit flat division.
//
// The quotient raw * m / f is estimated in single precision with the
// reciprocal of f refined by one Newton step, then corrected by its exact
// 32-bit remainder. For the quotients that matter (below 65536; larger ones
// clamp) the estimate is within 1 of the truncated quotient: its relative
// error stays below 2^-21, that is below 1/32 in absolute terms.
#include "hcpp/tamrix/calibration_kernels.h"

#include <immintrin.h>

#include <cstdint>

namespace tamrix::opt_avx2 {
namespace {

// Eight pixels widened to 32-bit lanes.
__m256i Quotients(__m256i raw, __m256i f, __m256i m)
{
    const __m256i p = _mm256_mullo_epi32(raw, m); // wraps modulo 2^32, as the scalar rule
    // p as float, rounded once: its two 16-bit halves convert exactly.
    const __m256 pf = _mm256_add_ps(
        _mm256_mul_ps(_mm256_cvtepi32_ps(_mm256_srli_epi32(p, 16)), _mm256_set1_ps(65536.0f)),
        _mm256_cvtepi32_ps(_mm256_and_si256(p, _mm256_set1_epi32(0xFFFF))));
    const __m256 ff = _mm256_cvtepi32_ps(f);
    __m256 inv = _mm256_rcp_ps(ff);
    inv = _mm256_mul_ps(inv, _mm256_sub_ps(_mm256_set1_ps(2.0f), _mm256_mul_ps(ff, inv)));
    __m256 qf = _mm256_min_ps(_mm256_mul_ps(pf, inv), _mm256_set1_ps(65536.0f));
    __m256i q = _mm256_cvttps_epi32(qf);
    // rest = p - q * f in wrapping 32-bit arithmetic; its true value lies in
    // (-f, 2f) whenever the quotient is below 65536.
    const __m256i rest = _mm256_sub_epi32(p, _mm256_mullo_epi32(q, f));
    const __m256i below = _mm256_cmpgt_epi32(_mm256_setzero_si256(), rest);                  // rest < 0
    const __m256i above = _mm256_cmpgt_epi32(rest, _mm256_sub_epi32(f, _mm256_set1_epi32(1))); // rest >= f
    q = _mm256_add_epi32(q, below);                                   // -1
    q = _mm256_sub_epi32(q, above);                                   // +1
    return _mm256_min_epi32(q, _mm256_set1_epi32(65535));            // clamp at full scale
}

} // namespace

void FlatRow16(const uint16_t* in, uint16_t* out, const uint16_t* flat, uint32_t m, int width)
{
    const __m256i vm = _mm256_set1_epi32(static_cast<int>(m));
    const __m256i full = _mm256_set1_epi16(-1);
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        const __m256i raw = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + x));
        const __m256i f = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(flat + x));
        const __m256i qlo = Quotients(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(raw)),
                                      _mm256_cvtepu16_epi32(_mm256_castsi256_si128(f)), vm);
        const __m256i qhi = Quotients(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(raw, 1)),
                                      _mm256_cvtepu16_epi32(_mm256_extracti128_si256(f, 1)), vm);
        // packus works per 128-bit lane; the permute restores pixel order.
        __m256i q = _mm256_permute4x64_epi64(_mm256_packus_epi32(qlo, qhi), 0xD8);
        // A zero flat pixel passes the raw pixel; a saturated one stays saturated.
        const __m256i keep = _mm256_or_si256(_mm256_cmpeq_epi16(f, _mm256_setzero_si256()),
                                             _mm256_cmpeq_epi16(raw, full));
        q = _mm256_blendv_epi8(q, raw, keep);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), q);
    }
    for (; x < width; ++x) {
        const uint16_t raw = in[x], f = flat[x];
        if (raw == 0xFFFFu || f == 0) {
            out[x] = raw;
            continue;
        }
        const uint32_t q = static_cast<uint32_t>(raw) * m / f;
        out[x] = q > 0xFFFFu ? uint16_t{0xFFFFu} : static_cast<uint16_t>(q);
    }
}

// 32-bit pixels: with m < 2^21 the product is below 2^53, so double holds it
// exactly; a quotient below 2^32 of such a product by a 32-bit divisor is
// either whole or at least 2^-32 away from the next integer, far more than
// the rounding of its double, so truncating the double quotient is exact.
namespace {

__m256d ToDouble(__m128i u) // four unsigned 32-bit values
{
    const __m128i flipped = _mm_xor_si128(u, _mm_set1_epi32(INT32_MIN));
    return _mm256_add_pd(_mm256_cvtepi32_pd(flipped), _mm256_set1_pd(2147483648.0));
}

__m128i ToUnsigned(__m256d v) // four doubles in [0, 2^32)
{
    const __m128i shifted = _mm256_cvttpd_epi32(_mm256_sub_pd(v, _mm256_set1_pd(2147483648.0)));
    return _mm_xor_si128(shifted, _mm_set1_epi32(INT32_MIN));
}

// Largest m the vectors take.
constexpr uint64_t kFlatRow32MaxLevel = (uint64_t{1} << 21) - 1;

} // namespace

void FlatRow32(const uint32_t* in, uint32_t* out, const uint32_t* flat, uint64_t m, int width)
{
    if (m > kFlatRow32MaxLevel) {
        opt_baseline::FlatRow32(in, out, flat, m, width);
        return;
    }
    const __m256d md = _mm256_set1_pd(static_cast<double>(m));
    const __m256d limit = _mm256_set1_pd(4294967295.0);
    const __m128i full = _mm_set1_epi32(-1);
    int x = 0;
    for (; x + 4 <= width; x += 4) {
        const __m128i raw = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + x));
        const __m128i f = _mm_loadu_si128(reinterpret_cast<const __m128i*>(flat + x));
        const __m256d fd = _mm256_max_pd(ToDouble(f), _mm256_set1_pd(1.0)); // zero flats are blended out below
        __m256d q = _mm256_div_pd(_mm256_mul_pd(ToDouble(raw), md), fd);
        q = _mm256_min_pd(_mm256_round_pd(q, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC), limit);
        __m128i result = ToUnsigned(q);
        const __m128i keep = _mm_or_si128(_mm_cmpeq_epi32(f, _mm_setzero_si128()), _mm_cmpeq_epi32(raw, full));
        result = _mm_blendv_epi8(result, raw, keep);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), result);
    }
    for (; x < width; ++x) {
        const uint32_t raw = in[x], f = flat[x];
        if (raw == 0xFFFFFFFFu || f == 0) {
            out[x] = raw;
            continue;
        }
        const uint64_t q = raw * m / f;
        out[x] = q > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(q);
    }
}

} // namespace tamrix::opt_avx2
