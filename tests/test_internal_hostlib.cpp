// The generator's mapping of random bits, reached directly.
#include "hostlib/random.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

TEST(UnitInterval, ZeroBitsGiveTheSmallestStepAndAllOnesGiveOne)
{
    EXPECT_EQ(Lib::detail::UnitFromBits(0), 0x1.0p-53);
    EXPECT_EQ(Lib::detail::UnitFromBits(~0ull), 1.0);
}

TEST(BoundedDraw, WordsInTheBiasedLowZoneAreRedrawn)
{
    // n = 3 * 2^30: 2^32 mod n = 2^30, so a word whose low product half is
    // below 2^30 is rejected; word 0 gives low half 0.
    const uint32_t n = 3u << 30;
    const std::vector<uint32_t> words { 0u, 0xFFFFFFFFu, 2u };
    size_t next = 0;
    const auto word = [&] { return words.at(next++); };
    EXPECT_EQ(Lib::detail::Bounded(n, word), n - 1);
    EXPECT_EQ(next, 2u);
    EXPECT_EQ(Lib::detail::Bounded(n, word), 1u); // low half 2n mod 2^32 = 2^31: kept, high half 1
}

} // namespace
