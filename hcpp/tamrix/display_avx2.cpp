// AVX2 kernels of the display bitmaps: the table entries are gathered, eight
// pixels at a time, for tables of any length; the 2 x 2 and 4 x 4 block means
// of the reductions. Only reached when the processor has AVX2.
#include "hcpp/tamrix/display_kernels.h"

#include <immintrin.h>

namespace tamrix::opt_avx2 {
namespace {

using display::LaneMapping;

struct Settings {
    __m256i low, top, clamp;
    __m128i count;
    const int* base;
};

// Dword gathers read four bytes from the index on. From the caller's table
// the index is clamped to span - 3 (span >= 256 there) and the byte shifted
// down from its place in the dword, so nothing past lut[span] is read; the
// small copy is padded instead.
inline Settings Load(const LaneMapping& m)
{
    Settings s;
    s.low = _mm256_set1_epi32(static_cast<int>(m.low));
    s.top = _mm256_set1_epi32(static_cast<int>(m.top));
    s.clamp = _mm256_set1_epi32(static_cast<int>(m.smallValid ? 255u : m.span - 3));
    s.count = _mm_cvtsi32_si128(static_cast<int>(m.shift)); // 32 or more clears
    s.base = reinterpret_cast<const int*>(m.smallValid ? m.small : m.lut);
    return s;
}

// The bytes of eight pixels, one per dword.
inline __m256i Map8(const Settings& s, __m256i v)
{
    const __m256i black = _mm256_cmpeq_epi32(_mm256_max_epu32(v, s.low), s.low);
    const __m256i notWhite = _mm256_cmpeq_epi32(_mm256_max_epu32(v, s.top), s.top);
    const __m256i between = _mm256_andnot_si256(black, notWhite);
    const __m256i idx = _mm256_srl_epi32(_mm256_sub_epi32(v, s.low), s.count);
    const __m256i at = _mm256_min_epu32(idx, s.clamp);
    __m256i d = _mm256_mask_i32gather_epi32(_mm256_setzero_si256(), s.base, at, between, 1);
    d = _mm256_srlv_epi32(d, _mm256_slli_epi32(_mm256_sub_epi32(idx, at), 3));
    const __m256i byteMask = _mm256_set1_epi32(0xFF);
    return _mm256_or_si256(_mm256_and_si256(d, byteMask), _mm256_andnot_si256(_mm256_or_si256(notWhite, black), byteMask));
}

// 32 bytes from four vectors of dwords below 256, in order.
inline __m256i Pack(__m256i a, __m256i b, __m256i c, __m256i d)
{
    const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(a, b), _mm256_packus_epi32(c, d));
    return _mm256_permutevar8x32_epi32(bytes, _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
}

template <class Pixel>
inline uint8_t MapOne(Pixel pixel, const LaneMapping& m)
{
    const uint32_t v = pixel;
    return v <= m.low ? uint8_t{0} : v > m.top ? uint8_t{255} : m.lut[static_cast<uint64_t>(v - m.low) >> m.shift];
}

} // namespace

void Map16(const uint16_t* src, int n, uint8_t* dst, const LaneMapping& m)
{
    const Settings s = Load(m);
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i + 16));
        const __m256i r = Pack(Map8(s, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(lo))),
                               Map8(s, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(lo, 1))),
                               Map8(s, _mm256_cvtepu16_epi32(_mm256_castsi256_si128(hi))),
                               Map8(s, _mm256_cvtepu16_epi32(_mm256_extracti128_si256(hi, 1))));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), r);
    }
    for (; i < n; ++i)
        dst[i] = MapOne(src[i], m);
}

void Map32(const uint32_t* src, int n, uint8_t* dst, const LaneMapping& m)
{
    const Settings s = Load(m);
    int i = 0;
    for (; i + 32 <= n; i += 32) {
        const auto* p = reinterpret_cast<const __m256i*>(src + i);
        const __m256i r = Pack(Map8(s, _mm256_loadu_si256(p)), Map8(s, _mm256_loadu_si256(p + 1)),
                               Map8(s, _mm256_loadu_si256(p + 2)), Map8(s, _mm256_loadu_si256(p + 3)));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), r);
    }
    for (; i < n; ++i)
        dst[i] = MapOne(src[i], m);
}

// Pairs of bytes are summed by vpmaddubsw (times 1; at most 510, no
// saturation), rows added as 16-bit words, and pairs of pairs by vpmaddwd.
void MeanOf2x2(const uint8_t* const* rows, int count, uint8_t* dst)
{
    const __m256i ones = _mm256_set1_epi8(1);
    const uint8_t *a = rows[0], *b = rows[1];
    int x = 0;
    for (; x + 32 <= count; x += 32) {
        const auto* pa = reinterpret_cast<const __m256i*>(a + 2 * x);
        const auto* pb = reinterpret_cast<const __m256i*>(b + 2 * x);
        const __m256i lo = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(pa), ones),
                                            _mm256_maddubs_epi16(_mm256_loadu_si256(pb), ones));
        const __m256i hi = _mm256_add_epi16(_mm256_maddubs_epi16(_mm256_loadu_si256(pa + 1), ones),
                                            _mm256_maddubs_epi16(_mm256_loadu_si256(pb + 1), ones));
        const __m256i bytes = _mm256_packus_epi16(_mm256_srli_epi16(lo, 2), _mm256_srli_epi16(hi, 2));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + x), _mm256_permute4x64_epi64(bytes, 0xD8));
    }
    for (; x < count; ++x)
        dst[x] = static_cast<uint8_t>((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1]) >> 2);
}

void MeanOf4x4(const uint8_t* const* rows, int count, uint8_t* dst)
{
    const __m256i ones8 = _mm256_set1_epi8(1), ones16 = _mm256_set1_epi16(1);
    int x = 0;
    for (; x + 16 <= count; x += 16) {
        __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
        for (int j = 0; j < 4; ++j) {
            const auto* p = reinterpret_cast<const __m256i*>(rows[j] + 4 * x);
            lo = _mm256_add_epi16(lo, _mm256_maddubs_epi16(_mm256_loadu_si256(p), ones8));
            hi = _mm256_add_epi16(hi, _mm256_maddubs_epi16(_mm256_loadu_si256(p + 1), ones8));
        }
        // Block sums (at most 4080) of outputs 0-7 and 8-15, then words in order.
        const __m256i words = _mm256_permute4x64_epi64(
            _mm256_packus_epi32(_mm256_srli_epi32(_mm256_madd_epi16(lo, ones16), 4),
                                _mm256_srli_epi32(_mm256_madd_epi16(hi, ones16), 4)),
            0xD8);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + x),
                         _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1)));
    }
    for (; x < count; ++x) {
        unsigned sum = 0;
        for (int j = 0; j < 4; ++j)
            sum += rows[j][4 * x] + rows[j][4 * x + 1] + rows[j][4 * x + 2] + rows[j][4 * x + 3];
        dst[x] = static_cast<uint8_t>(sum >> 4);
    }
}

} // namespace tamrix::opt_avx2
