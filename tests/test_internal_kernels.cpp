// Every instruction-set variant of the frame kernels against the literal
// rules, forced one after another on this machine.
#include "isa_levels.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class KernelVariants : public tamrix::test::AtEveryLevel {};

uint16_t LiteralFlat16(uint16_t raw, uint16_t f, uint32_t m)
{
    if (raw == 65535 || f == 0)
        return raw;
    const uint32_t q = static_cast<uint32_t>(raw) * m / f; // 32-bit product, wrapping
    return q > 65535 ? 65535 : static_cast<uint16_t>(q);
}

TEST_P(KernelVariants, SixteenBitFlatMatchesLiteralRuleForEveryLevel)
{
    const int w = 1000, h = 7; // not a multiple of the vector width
    auto raw = tamrix::test::RandomFrame<uint16_t>(w, h, 21);
    auto flat = tamrix::test::RandomFrame<uint16_t>(w, h, 22);
    // Rows with special pixels: zero flat, saturated raw, tiny flats that clamp.
    for (int x = 0; x < w; x += 3) {
        flat[x] = static_cast<uint16_t>(x % 5);
        raw[w + x] = static_cast<uint16_t>(65535 - x % 2);
        flat[2 * w + x] = static_cast<uint16_t>(1 + x % 4);
    }
    // Quotients landing exactly on and right next to integers.
    for (int x = 0; x < w; ++x) {
        flat[3 * w + x] = static_cast<uint16_t>(1 + x);
        raw[3 * w + x] = static_cast<uint16_t>(1 + x);
        raw[4 * w + x] = static_cast<uint16_t>((x + 1) * 60 - 1);
        flat[4 * w + x] = 60;
    }
    for (uint32_t m : {0u, 1u, 2000u, 30001u, 65535u, 65536u, 1000000u, 4294967295u}) {
        std::vector<uint16_t> out(raw.size()), expected(raw.size());
        for (size_t i = 0; i < raw.size(); ++i)
            expected[i] = LiteralFlat16(raw[i], flat[i], m);
        double level = m == 0 ? 0.25 : static_cast<double>(m); // 0.25 rounds to m = 0
        tamrix::Flat(raw.data(), out.data(), flat.data(), &level, w, h, 2);
        EXPECT_EQ(out, expected) << "m = " << m;
    }
}

uint32_t LiteralFlat32(uint32_t raw, uint32_t f, uint64_t m)
{
    if (raw == 0xFFFFFFFFu || f == 0)
        return raw;
    const uint64_t q = raw * m / f; // 64-bit product, wrapping
    return q > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(q);
}

TEST_P(KernelVariants, ThirtyTwoBitFlatMatchesLiteralRuleForEveryLevel)
{
    const int w = 1001, h = 6;
    auto raw = tamrix::test::RandomFrame<uint32_t>(w, h, 31);
    auto flat = tamrix::test::RandomFrame<uint32_t>(w, h, 32);
    for (int x = 0; x < w; x += 3) {
        flat[x] = static_cast<uint32_t>(x % 5);
        raw[w + x] = 0xFFFFFFFFu - x % 2;
        flat[2 * w + x] = static_cast<uint32_t>(1 + x % 4);
    }
    // Quotients exactly on, just below and just above integers.
    for (int x = 0; x < w; ++x) {
        flat[3 * w + x] = 0xFFFFFFFFu - static_cast<uint32_t>(x);
        raw[3 * w + x] = 0xFFFFFFFFu - static_cast<uint32_t>(x) - (x % 3 == 0);
        raw[4 * w + x] = static_cast<uint32_t>(x + 1) * 2097151u - (x % 2);
        flat[4 * w + x] = 2097151u;
    }
    // The largest level of the double path, the first beyond it, and 2^32.
    for (uint64_t m : {0ull, 1ull, 30000ull, 2097151ull, 2097152ull, 4294967296ull}) {
        std::vector<uint32_t> out(raw.size()), expected(raw.size());
        for (size_t i = 0; i < raw.size(); ++i)
            expected[i] = LiteralFlat32(raw[i], flat[i], m);
        double level = m == 0 ? 0.25 : static_cast<double>(m);
        tamrix::Flat(raw.data(), out.data(), flat.data(), &level, w, h, 4);
        EXPECT_EQ(out, expected) << "m = " << m;
    }
}

TAMRIX_AT_EVERY_LEVEL(KernelVariants);

} // namespace
