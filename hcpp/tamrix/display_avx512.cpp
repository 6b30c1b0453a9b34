// AVX-512 VBMI kernels of the display bitmaps: the look-up table (up to 256
// entries) sits in four registers and vpermi2b looks up 64 pixels at once;
// the compares give the black and white masks. Only reached when the
// processor has AVX-512 F, BW, VL and VBMI.
#pragma GCC target("avx512vbmi")

#include "hcpp/tamrix/display_kernels.h"

// GCC 12 takes the deliberately undefined pass-through operand inside the
// AVX-512 intrinsics for an uninitialised variable (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace tamrix::opt_avx512 {
namespace {

using display::LaneMapping;

// The register-resident table and the settings broadcast to every lane.
struct Lookup {
    __m512i t0, t1, t2, t3; // entries 0-63, 64-127, 128-191, 192-255
};

inline Lookup LoadTable(const LaneMapping& m)
{
    return {_mm512_load_si512(m.small), _mm512_load_si512(m.small + 64), _mm512_load_si512(m.small + 128),
            _mm512_load_si512(m.small + 192)};
}

// table[idx] for 64 byte indices, with 0 where black and 255 where white.
inline __m512i Lookup64(const Lookup& t, __m512i idx, __mmask64 black, __mmask64 white)
{
    const __m512i lo = _mm512_permutex2var_epi8(t.t0, idx, t.t1);
    const __m512i hi = _mm512_permutex2var_epi8(t.t2, idx, t.t3);
    __m512i r = _mm512_mask_blend_epi8(_mm512_movepi8_mask(idx), lo, hi);
    r = _mm512_mask_mov_epi8(r, white, _mm512_set1_epi8(-1));
    return _mm512_maskz_mov_epi8(_knot_mask64(black), r);
}

inline __mmask64 FirstBytes(int n)
{
    return n >= 64 ? ~__mmask64{0} : (__mmask64{1} << n) - 1;
}

// Byte k of the result: byte 2k of the 128 bytes a:b (low bytes of words).
inline __m512i LowBytesOfWords()
{
    alignas(64) unsigned char idx[64];
    for (int k = 0; k < 64; ++k)
        idx[k] = static_cast<unsigned char>(2 * k);
    return _mm512_load_si512(idx);
}

// Byte k of the result: byte 4k of the 128 bytes a:b for k < 32, byte
// 4(k - 32) for k >= 32.
inline __m512i LowBytesOfDwords()
{
    alignas(64) unsigned char idx[64];
    for (int k = 0; k < 64; ++k)
        idx[k] = static_cast<unsigned char>((4 * k) & 127);
    return _mm512_load_si512(idx);
}

// Positions of the interleaved bytes: for output byte j of the k-th 64-byte
// block, pixel p / 3 and channel p % 3 with p = 64k + j.
struct InterleaveIndex {
    unsigned char bg[3][64]; // from b (0..63) or g (64..127)
    unsigned char r[3][64];
    unsigned long long rMask[3];
};

constexpr InterleaveIndex MakeInterleaveIndex()
{
    InterleaveIndex t{};
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 64; ++j) {
            const int p = 64 * k + j, pixel = p / 3, channel = p % 3;
            t.bg[k][j] = static_cast<unsigned char>(channel == 0 ? pixel : channel == 1 ? 64 + pixel : 0);
            t.r[k][j] = static_cast<unsigned char>(pixel);
            if (channel == 2)
                t.rMask[k] |= 1ull << j;
        }
    return t;
}

constexpr InterleaveIndex kInterleave = MakeInterleaveIndex();

} // namespace

void Map16(const uint16_t* src, int n, uint8_t* dst, const LaneMapping& m)
{
    const Lookup t = LoadTable(m);
    const __m512i low = _mm512_set1_epi16(static_cast<short>(m.low));
    const __m512i top = _mm512_set1_epi16(static_cast<short>(m.top));
    // A count of 16 or more clears every word, as the 64-bit shift of a
    // difference below 2^16 does.
    const __m128i count = _mm_cvtsi32_si128(static_cast<int>(m.shift));
    const __m512i pick = LowBytesOfWords();
    for (int i = 0; i < n; i += 64) {
        const int rest = n - i;
        __m512i v0, v1;
        if (rest >= 64) {
            v0 = _mm512_loadu_si512(src + i);
            v1 = _mm512_loadu_si512(src + i + 32);
        } else {
            const __mmask64 live = FirstBytes(rest);
            v0 = _mm512_maskz_loadu_epi16(static_cast<__mmask32>(live), src + i);
            v1 = _mm512_maskz_loadu_epi16(static_cast<__mmask32>(live >> 32), src + i + 32);
        }
        const __mmask64 black = _mm512_kunpackd(_mm512_cmple_epu16_mask(v1, low), _mm512_cmple_epu16_mask(v0, low));
        const __mmask64 white = _mm512_kunpackd(_mm512_cmpgt_epu16_mask(v1, top), _mm512_cmpgt_epu16_mask(v0, top));
        const __m512i i0 = _mm512_srl_epi16(_mm512_sub_epi16(v0, low), count);
        const __m512i i1 = _mm512_srl_epi16(_mm512_sub_epi16(v1, low), count);
        const __m512i r = Lookup64(t, _mm512_permutex2var_epi8(i0, pick, i1), black, white);
        if (rest >= 64)
            _mm512_storeu_si512(dst + i, r);
        else
            _mm512_mask_storeu_epi8(dst + i, FirstBytes(rest), r);
    }
}

void Map32(const uint32_t* src, int n, uint8_t* dst, const LaneMapping& m)
{
    const Lookup t = LoadTable(m);
    const __m512i low = _mm512_set1_epi32(static_cast<int>(m.low));
    const __m512i top = _mm512_set1_epi32(static_cast<int>(m.top));
    const __m512i count = _mm512_set1_epi32(static_cast<int>(m.shift)); // 32 or more clears
    const __m512i pick = LowBytesOfDwords();
    for (int i = 0; i < n; i += 64) {
        const int rest = n - i;
        const __mmask64 live = FirstBytes(rest);
        __m512i v[4];
        __mmask16 black[4], white[4];
        for (int q = 0; q < 4; ++q) {
            const __mmask16 part = static_cast<__mmask16>(live >> (16 * q));
            v[q] = rest >= 64 ? _mm512_loadu_si512(src + i + 16 * q) : _mm512_maskz_loadu_epi32(part, src + i + 16 * q);
            black[q] = _mm512_cmple_epu32_mask(v[q], low);
            white[q] = _mm512_cmpgt_epu32_mask(v[q], top);
            v[q] = _mm512_srlv_epi32(_mm512_sub_epi32(v[q], low), count);
        }
        // Bytes 0-31 from v[0]:v[1], bytes 32-63 from v[2]:v[3].
        const __m512i idx = _mm512_mask_blend_epi8(~__mmask64{0} << 32, _mm512_permutex2var_epi8(v[0], pick, v[1]),
                                                   _mm512_permutex2var_epi8(v[2], pick, v[3]));
        const __mmask64 blackAll = _mm512_kunpackd(_mm512_kunpackw(black[3], black[2]), _mm512_kunpackw(black[1], black[0]));
        const __mmask64 whiteAll = _mm512_kunpackd(_mm512_kunpackw(white[3], white[2]), _mm512_kunpackw(white[1], white[0]));
        const __m512i r = Lookup64(t, idx, blackAll, whiteAll);
        if (rest >= 64)
            _mm512_storeu_si512(dst + i, r);
        else
            _mm512_mask_storeu_epi8(dst + i, live, r);
    }
}

void InterleaveBgr(const uint8_t* b, const uint8_t* g, const uint8_t* r, int n, uint8_t* bgr)
{
    __m512i bg[3], ri[3];
    for (int k = 0; k < 3; ++k) {
        bg[k] = _mm512_loadu_si512(kInterleave.bg[k]);
        ri[k] = _mm512_loadu_si512(kInterleave.r[k]);
    }
    int i = 0;
    for (; i + 64 <= n; i += 64) {
        const __m512i vb = _mm512_loadu_si512(b + i), vg = _mm512_loadu_si512(g + i), vr = _mm512_loadu_si512(r + i);
        for (int k = 0; k < 3; ++k) {
            __m512i out = _mm512_permutex2var_epi8(vb, bg[k], vg);
            out = _mm512_mask_permutexvar_epi8(out, kInterleave.rMask[k], ri[k], vr);
            _mm512_storeu_si512(bgr + 3 * i + 64 * k, out);
        }
    }
    for (; i < n; ++i) {
        bgr[3 * i] = b[i];
        bgr[3 * i + 1] = g[i];
        bgr[3 * i + 2] = r[i];
    }
}

} // namespace tamrix::opt_avx512
