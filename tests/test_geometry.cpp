// Resampling through the exported interface, where the soak does not reach:
// wrapping 32-bit steps and large factors. Arguments that write nothing, the
// shift and the transform are soak cases.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

template <class Pixel> constexpr Pixel kSentinel = static_cast<Pixel>(tamrix::test::kSentinel32);

template <class Pixel> std::vector<Pixel> Resample(std::vector<Pixel> src, int fx, int fy, int w, int h)
{
    std::vector<Pixel> dst(src.size() * fx * fy, kSentinel<Pixel>);
    tamrix::Resample(fx, fy, src.data(), dst.data(), w, h, sizeof(Pixel));
    return dst;
}

TEST(Resample, ThirtyTwoBitDifferencesWrapAndLargeFactorsStayExact)
{
    // 2^31 - 1 apart is the largest exact difference; 0 -> 2^31 + 2 wraps to
    // -2^31 + 2, halved to -2^30 + 1.
    EXPECT_EQ(Resample<uint32_t>({ 0, 0x7FFFFFFFu, 0xFFFFFFFEu, 0x80000000u }, 2, 1, 4, 1),
        (std::vector<uint32_t> {
            0, 0x3FFFFFFFu, 0x7FFFFFFFu, 0xBFFFFFFEu, 0xFFFFFFFEu, 0xBFFFFFFFu, 0x80000000u, 0x80000000u }));
    EXPECT_EQ(Resample<uint32_t>({ 0, 0x80000002u }, 2, 1, 2, 1)[1], 0xC0000001u);
    // Factors above 256 divide 16-bit steps in double precision: 65401 x 299
    // = 19554899, one below a multiple of 300, rounds up in single precision.
    EXPECT_EQ(Resample<uint16_t>({ 0, 65401 }, 300, 1, 2, 1)[299], 65182u);
}

} // namespace
