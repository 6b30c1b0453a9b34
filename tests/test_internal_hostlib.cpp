// The generator's mapping of random bits, reached directly.
#include "hostlib/random.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

TEST(UnitInterval, ZeroBitsGiveTheSmallestStepAndAllOnesGiveOne)
{
    EXPECT_EQ(Lib::detail::UnitFromBits(0), 0x1.0p-53);
    EXPECT_EQ(Lib::detail::UnitFromBits(~0ull), 1.0);
}

struct Script {
    std::vector<uint32_t> words;
    size_t next = 0;
    uint32_t operator()() { return words.at(next++); }
};

TEST(BoundedDraw, WordsInTheBiasedLowZoneAreRedrawn)
{
    // n = 3 * 2^30: 2^32 mod n = 2^30, so a word whose low product half is
    // below 2^30 is rejected; word 0 gives low half 0.
    const uint32_t n = 3u << 30;
    Script s { { 0u, 0xFFFFFFFFu } };
    EXPECT_EQ(Lib::detail::Bounded(n, std::ref(s)), n - 1);
    EXPECT_EQ(s.next, 2u);
    Script t { { 2u } }; // low half 2n mod 2^32 = 2^31: kept, high half 1
    EXPECT_EQ(Lib::detail::Bounded(n, std::ref(t)), 1u);
}

} // namespace
