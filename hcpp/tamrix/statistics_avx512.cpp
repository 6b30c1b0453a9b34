// AVX-512 row kernels of the area statistics: the squared deviations with
// twice the lanes per instruction of the AVX2 kernels, in the same lane
// order (statistics_kernels.h). The extremes stay with the AVX2 kernels,
// which stream a frame faster on the processors measured.
#include "hcpp/tamrix/statistics_kernels.h"

// GCC 12 warns about the deliberately undefined source operand inside its
// own AVX-512 intrinsics (GCC bug 105593); the warning says nothing about
// this file.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ < 13
#  pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>

namespace tamrix::opt_avx512 {

// Lanes 8j .. 8j + 7 live in acc[j].
int DeviationLanes(const uint16_t* p, int n, double mean, double* lanes)
{
    const __m512d m = _mm512_set1_pd(mean);
    __m512d acc[4];
    for (auto& a : acc)
        a = _mm512_setzero_pd();
    int i = 0;
    for (; i + stats::kLanes <= n; i += stats::kLanes)
        for (int j = 0; j < 4; j += 2) {
            const __m512i v = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + 8 * j)));
            const __m512d d0 = _mm512_sub_pd(_mm512_cvtepi32_pd(_mm512_castsi512_si256(v)), m);
            const __m512d d1 = _mm512_sub_pd(_mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(v, 1)), m);
            acc[j] = _mm512_add_pd(acc[j], _mm512_mul_pd(d0, d0));
            acc[j + 1] = _mm512_add_pd(acc[j + 1], _mm512_mul_pd(d1, d1));
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
