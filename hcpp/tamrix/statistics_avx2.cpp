// AVX2 row kernels of the area statistics. The extremes and the integer sums
// do not depend on the order of the pixels; the squared deviations keep the
// lane order of statistics_kernels.h and the arithmetic of the baseline
// (convert, subtract, multiply, add; never fused).
#include "hcpp/tamrix/statistics_kernels.h"

#include <immintrin.h>

namespace tamrix::opt_avx2 {
namespace {

inline uint32_t MinU16(__m256i v)
{
    const __m128i m = _mm_min_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(m))) & 0xFFFFu;
}

inline uint32_t MaxU16(__m256i v)
{
    const __m128i m = _mm_max_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return 0xFFFFu - (static_cast<uint32_t>(_mm_cvtsi128_si32(_mm_minpos_epu16(_mm_xor_si128(m, _mm_set1_epi32(-1))))) & 0xFFFFu);
}

inline uint32_t MinU32(__m256i v)
{
    __m128i m = _mm_min_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_min_epu32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_min_epu32(m, _mm_shuffle_epi32(m, 0xB1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(m));
}

inline uint32_t MaxU32(__m256i v)
{
    __m128i m = _mm_max_epu32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0x4E));
    m = _mm_max_epu32(m, _mm_shuffle_epi32(m, 0xB1));
    return static_cast<uint32_t>(_mm_cvtsi128_si32(m));
}

inline int64_t SumI32(__m256i v)
{
    int32_t lane[8];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lane), v);
    int64_t s = 0;
    for (int32_t x : lane)
        s += x;
    return s;
}

inline uint64_t SumU64(__m256i v)
{
    uint64_t lane[4];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(lane), v);
    return lane[0] + lane[1] + lane[2] + lane[3];
}

} // namespace

int Extremes(const uint16_t* p, int n, stats::Extremes* e)
{
    if (n < 16)
        return 0;
    __m256i lo = _mm256_set1_epi16(-1), hi = _mm256_setzero_si256();
    const __m256i flip = _mm256_set1_epi16(static_cast<short>(0x8000)), ones = _mm256_set1_epi16(1);
    uint64_t sum = 0;
    int i = 0;
    while (i + 16 <= n) {
        // Pairs of pixels biased by -32768 summed by a multiply-add: each
        // 32-bit lane moves by less than 2^17 per step, so 2^13 steps stay
        // far inside its range.
        const int stop = n - i > (16 << 13) ? i + (16 << 13) : n;
        const int start = i;
        __m256i acc = _mm256_setzero_si256();
        for (; i + 16 <= stop; i += 16) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
            lo = _mm256_min_epu16(lo, v);
            hi = _mm256_max_epu16(hi, v);
            acc = _mm256_add_epi32(acc, _mm256_madd_epi16(_mm256_xor_si256(v, flip), ones));
        }
        sum += static_cast<uint64_t>(SumI32(acc) + int64_t{32768} * (i - start));
    }
    const uint32_t vmin = MinU16(lo), vmax = MaxU16(hi);
    e->min = vmin < e->min ? vmin : e->min;
    e->max = vmax > e->max ? vmax : e->max;
    e->sum += sum;
    return i;
}

int Extremes(const uint32_t* p, int n, stats::Extremes* e)
{
    if (n < 8)
        return 0;
    __m256i lo = _mm256_set1_epi32(-1), hi = _mm256_setzero_si256(), even = _mm256_setzero_si256(),
            odd = _mm256_setzero_si256();
    const __m256i low32 = _mm256_set1_epi64x(0xFFFFFFFFll);
    int i = 0;
    for (; i + 8 <= n; i += 8) {
        const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i));
        lo = _mm256_min_epu32(lo, v);
        hi = _mm256_max_epu32(hi, v);
        even = _mm256_add_epi64(even, _mm256_and_si256(v, low32));
        odd = _mm256_add_epi64(odd, _mm256_srli_epi64(v, 32));
    }
    const uint32_t vmin = MinU32(lo), vmax = MaxU32(hi);
    e->min = vmin < e->min ? vmin : e->min;
    e->max = vmax > e->max ? vmax : e->max;
    e->sum += SumU64(_mm256_add_epi64(even, odd));
    return i;
}

// Lanes 4j .. 4j + 3 live in acc[j].
int DeviationLanes(const uint16_t* p, int n, double mean, double* lanes)
{
    const __m256d m = _mm256_set1_pd(mean);
    __m256d acc[8];
    for (auto& a : acc)
        a = _mm256_setzero_pd();
    int i = 0;
    for (; i + stats::kLanes <= n; i += stats::kLanes)
        for (int j = 0; j < 8; ++j) {
            const __m128i v = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + i + 4 * j)));
            const __m256d d = _mm256_sub_pd(_mm256_cvtepi32_pd(v), m);
            acc[j] = _mm256_add_pd(acc[j], _mm256_mul_pd(d, d));
        }
    for (int j = 0; j < 8; ++j)
        _mm256_storeu_pd(lanes + 4 * j, acc[j]);
    return i;
}

int DeviationLanes(const uint32_t* p, int n, double mean, double* lanes)
{
    const __m256d m = _mm256_set1_pd(mean);
    // Unsigned to double: flip the top bit, convert as signed, add 2^31 back
    // (exact: every value involved is an integer below 2^33).
    const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000u));
    const __m256d two31 = _mm256_set1_pd(2147483648.0);
    __m256d acc[8];
    for (auto& a : acc)
        a = _mm256_setzero_pd();
    int i = 0;
    for (; i + stats::kLanes <= n; i += stats::kLanes)
        for (int j = 0; j < 8; ++j) {
            const __m128i v = _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 4 * j)), flip);
            const __m256d d = _mm256_sub_pd(_mm256_add_pd(_mm256_cvtepi32_pd(v), two31), m);
            acc[j] = _mm256_add_pd(acc[j], _mm256_mul_pd(d, d));
        }
    for (int j = 0; j < 8; ++j)
        _mm256_storeu_pd(lanes + 4 * j, acc[j]);
    return i;
}

} // namespace tamrix::opt_avx2
