// Every instruction-set variant of the flat division against the
// pixel-by-pixel reference, forced one after another on this machine.
#include "isa_levels.h"
#include "reference/calibration.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

class KernelVariants : public tamrix::test::AtEveryLevel { };

// Rows of random pixels, then rows with special pixels: zero flats,
// saturated raw pixels, tiny flats that clamp; then quotients exactly on,
// just below and just above integers (step s). Widths are not multiples of
// the vector width.
template <class Pixel> void CheckFlat(int w, uint32_t s, std::initializer_list<uint64_t> levels)
{
    const int h = 6;
    const Pixel full = static_cast<Pixel>(-1);
    auto raw = tamrix::test::RandomFrame<Pixel>(w, h, 21 + sizeof(Pixel));
    auto flat = tamrix::test::RandomFrame<Pixel>(w, h, 22 + sizeof(Pixel));
    for (int x = 0; x < w; x += 3) {
        flat[x] = static_cast<Pixel>(x % 5);
        raw[w + x] = static_cast<Pixel>(full - x % 2);
        flat[2 * w + x] = static_cast<Pixel>(1 + x % 4);
    }
    for (int x = 0; x < w; ++x) {
        flat[3 * w + x] = static_cast<Pixel>(full - x);
        raw[3 * w + x] = static_cast<Pixel>(full - x - (x % 3 == 0));
        raw[4 * w + x] = static_cast<Pixel>((x + 1) * s - (x % 2));
        flat[4 * w + x] = static_cast<Pixel>(s);
    }
    for (uint64_t m : levels) {
        const double level = m == 0 ? 0.25 : static_cast<double>(m); // 0.25 rounds to m = 0
        std::vector<Pixel> out(raw.size());
        double written = level;
        tamrix::Flat(raw.data(), out.data(), flat.data(), &written, w, h, sizeof(Pixel));
        EXPECT_EQ(out, tamrix::reference::Flat(raw, flat, level)) << sizeof(Pixel) * 8 << "-bit, m = " << m;
    }
}

TEST_P(KernelVariants, SixteenBitFlatMatchesTheReference)
{
    CheckFlat<uint16_t>(1000, 60, { 0, 1, 2000, 30001, 65535, 65536, 1000000, 4294967295u });
}

// The largest level of the double path, the first beyond it, and 2^32.
TEST_P(KernelVariants, ThirtyTwoBitFlatMatchesTheReference)
{
    CheckFlat<uint32_t>(1001, 2097151u, { 0, 1, 30000, 2097151, 2097152, 4294967296ull });
}

TAMRIX_AT_EVERY_LEVEL(KernelVariants);

} // namespace
