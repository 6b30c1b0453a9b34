// The instruction-set seam: the level decoded from the processor's words,
// and this processor's.
#include "hcpp/tamrix/isa.h"

#include <gtest/gtest.h>

using tamrix::isa::Level;

namespace {

TEST(Detection, TestsAvx512ThenAvx2ThenAvxThenSse3WhereTheSystemSavesWideRegisters)
{
    constexpr uint32_t sse3 = 1u << 0, fma = 1u << 12, osxsave = 1u << 27, avx = 1u << 28; // leaf 1, ECX
    constexpr uint32_t avx2 = 1u << 5, f = 1u << 16, dq = 1u << 17, bw = 1u << 30, vl = 1u << 31; // leaf 7, EBX
    constexpr uint32_t vbmi = 1u << 1; // leaf 7, ECX
    constexpr uint32_t leaf1 = osxsave | avx | sse3 | fma, avx512 = avx2 | f | dq | bw | vl;
    const struct {
        tamrix::isa::CpuidWords words;
        Level level;
    } cases[] = {
        { { 7, leaf1, avx2, 0, 7 }, Level::Avx2 },
        { { 7, osxsave | fma, avx2, 0, 7 }, Level::Avx2 }, // leaf 1's AVX bit is not needed
        { { 7, leaf1 & ~fma, avx512, 0, 0xE7 }, Level::Avx }, // AVX2 and AVX-512 come with FMA
        { { 13, leaf1, 0, 0, 7 }, Level::Avx }, { { 13, osxsave | sse3, 0, 0, 7 }, Level::Sse3 },
        { { 13, osxsave, 0, 0, 7 }, Level::Baseline },
        { { 6, leaf1, avx512, vbmi, 0xE7 }, Level::Avx }, // leaf 7 is not there
        { { 0, leaf1, avx512, vbmi, 0xE7 }, Level::Baseline },
        { { 7, avx | sse3 | fma, avx2, 0, 7 }, Level::Sse3 }, // no OSXSAVE: AVX would fault
        { { 7, leaf1, avx2, 0, 3 }, Level::Sse3 }, // YMM state not enabled
        { { 7, leaf1, avx512, 0, 0xE7 }, Level::Avx512 }, { { 7, leaf1, avx512, vbmi, 0xE7 }, Level::Avx512Vbmi },
        { { 7, leaf1, avx512, vbmi, 0x67 }, Level::Avx2 }, // ZMM16-31 state not enabled
        { { 7, leaf1, avx512 & ~bw, vbmi, 0xE7 }, Level::Avx2 }, // one of F, BW, DQ, VL missing
    };
    for (const auto& c : cases)
        EXPECT_EQ(tamrix::isa::Decode(c.words), c.level)
            << c.words.maxLeaf << " " << c.words.leaf1Ecx << " " << c.words.leaf7Ebx << " " << c.words.leaf7Ecx << " "
            << c.words.xcr0;

    // This processor's, by the compiler's own detection.
    __builtin_cpu_init();
    const bool hasFma = __builtin_cpu_supports("fma");
    const bool hasAvx512 = hasFma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
        && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx2");
    const Level here = hasAvx512 ? (__builtin_cpu_supports("avx512vbmi") ? Level::Avx512Vbmi : Level::Avx512)
        : hasFma && __builtin_cpu_supports("avx2") ? Level::Avx2
        : __builtin_cpu_supports("avx")            ? Level::Avx
        : __builtin_cpu_supports("sse3")           ? Level::Sse3
                                                   : Level::Baseline;
    EXPECT_EQ(tamrix::isa::Detected(), here);
}

TEST(Cap, LowersTheActiveLevelUntilRaisedAgain)
{
    const Level previous = tamrix::isa::SetCap(Level::Baseline);
    EXPECT_EQ(tamrix::isa::Active(), Level::Baseline);
    EXPECT_EQ(tamrix::isa::SetCap(Level::Avx512Vbmi), Level::Baseline);
    EXPECT_EQ(tamrix::isa::Active(), tamrix::isa::Detected());
    tamrix::isa::SetCap(previous);
}

} // namespace
