// AVX-512 row kernels of the area statistics: the AVX2 kernels' work with
// twice the lanes per instruction, the same lane order of the squared
// deviations (statistics_kernels.h).
#include "hcpp/tamrix/statistics_kernels.h"

// GCC 12 warns about the deliberately undefined source operand inside its
// own AVX-512 intrinsics (GCC bug 105593); the warning says nothing about
// this file.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#  pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace tamrix::opt_avx512 {

int Extremes(const uint16_t* p, int n, stats::Extremes* e)
{
    if (n < 32)
        return 0;
    __m512i lo = _mm512_set1_epi16(-1), hi = _mm512_setzero_si512();
    const __m512i flip = _mm512_set1_epi16(static_cast<short>(0x8000)), ones = _mm512_set1_epi16(1);
    uint64_t sum = 0;
    int i = 0;
    while (i + 32 <= n) {
        // Pairs of pixels biased by -32768 summed by a multiply-add: each
        // 32-bit lane moves by less than 2^17 per step, so 2^13 steps stay
        // far inside its range.
        const int stop = n - i > (32 << 13) ? i + (32 << 13) : n;
        const int start = i;
        __m512i acc = _mm512_setzero_si512();
        for (; i + 32 <= stop; i += 32) {
            const __m512i v = _mm512_loadu_si512(p + i);
            lo = _mm512_min_epu16(lo, v);
            hi = _mm512_max_epu16(hi, v);
            acc = _mm512_add_epi32(acc, _mm512_madd_epi16(_mm512_xor_si512(v, flip), ones));
        }
        sum += static_cast<uint64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(
                                         _mm512_cvtepi32_epi64(_mm512_castsi512_si256(acc)),
                                         _mm512_cvtepi32_epi64(_mm512_extracti64x4_epi64(acc, 1))))
                                     + int64_t{32768} * (i - start));
    }
    // Widen the 16-bit extremes to 32-bit lanes for the reductions.
    const __m512i lo32 = _mm512_min_epu32(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(lo)),
                                          _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(lo, 1)));
    const __m512i hi32 = _mm512_max_epu32(_mm512_cvtepu16_epi32(_mm512_castsi512_si256(hi)),
                                          _mm512_cvtepu16_epi32(_mm512_extracti64x4_epi64(hi, 1)));
    const uint32_t vmin = _mm512_reduce_min_epu32(lo32), vmax = _mm512_reduce_max_epu32(hi32);
    e->min = vmin < e->min ? vmin : e->min;
    e->max = vmax > e->max ? vmax : e->max;
    e->sum += sum;
    return i;
}

int Extremes(const uint32_t* p, int n, stats::Extremes* e)
{
    if (n < 16)
        return 0;
    __m512i lo = _mm512_set1_epi32(-1), hi = _mm512_setzero_si512(), even = _mm512_setzero_si512(),
            odd = _mm512_setzero_si512();
    const __m512i low32 = _mm512_set1_epi64(0xFFFFFFFFll);
    int i = 0;
    for (; i + 16 <= n; i += 16) {
        const __m512i v = _mm512_loadu_si512(p + i);
        lo = _mm512_min_epu32(lo, v);
        hi = _mm512_max_epu32(hi, v);
        even = _mm512_add_epi64(even, _mm512_and_si512(v, low32));
        odd = _mm512_add_epi64(odd, _mm512_srli_epi64(v, 32));
    }
    const uint32_t vmin = _mm512_reduce_min_epu32(lo), vmax = _mm512_reduce_max_epu32(hi);
    e->min = vmin < e->min ? vmin : e->min;
    e->max = vmax > e->max ? vmax : e->max;
    e->sum += static_cast<uint64_t>(_mm512_reduce_add_epi64(_mm512_add_epi64(even, odd)));
    return i;
}

// Lanes 8j .. 8j + 7 live in acc[j].
int DeviationLanes(const uint16_t* p, int n, double mean, double* lanes)
{
    const __m512d m = _mm512_set1_pd(mean);
    __m512d acc[4];
    for (auto& a : acc)
        a = _mm512_setzero_pd();
    int i = 0;
    for (; i + stats::kLanes <= n; i += stats::kLanes)
        for (int j = 0; j < 4; ++j) {
            const __m256i v = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 8 * j)));
            const __m512d d = _mm512_sub_pd(_mm512_cvtepi32_pd(v), m);
            acc[j] = _mm512_add_pd(acc[j], _mm512_mul_pd(d, d));
        }
    for (int j = 0; j < 4; ++j)
        _mm512_storeu_pd(lanes + 8 * j, acc[j]);
    return i;
}

int DeviationLanes(const uint32_t* p, int n, double mean, double* lanes)
{
    const __m512d m = _mm512_set1_pd(mean);
    __m512d acc[4];
    for (auto& a : acc)
        a = _mm512_setzero_pd();
    int i = 0;
    for (; i + stats::kLanes <= n; i += stats::kLanes)
        for (int j = 0; j < 4; ++j) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 8 * j));
            const __m512d d = _mm512_sub_pd(_mm512_cvtepu32_pd(v), m);
            acc[j] = _mm512_add_pd(acc[j], _mm512_mul_pd(d, d));
        }
    for (int j = 0; j < 4; ++j)
        _mm512_storeu_pd(lanes + 8 * j, acc[j]);
    return i;
}

} // namespace tamrix::opt_avx512
