// Every frame function at every instruction-set level this machine runs:
// fixed cases of each soak operation against its reference, with the seam
// capped at the level, so that every table of variants is read at each.
#include "isa_levels.h"
#include "soak/soak.h"
#include "tamrix.h"

#include <gtest/gtest.h>

namespace {

class Operations : public tamrix::test::AtEveryLevel { };

TEST_P(Operations, FixedCasesMatchTheReference)
{
    for (const soak::Operation& op : soak::Operations())
        for (uint64_t index = 0; index < 60; ++index) {
            const std::string difference = soak::Difference(op, soak::CaseSeed(3, index));
            ASSERT_EQ(difference, "");
        }
}

// 300000 full-scale pixels: more than the 32-bit lane sums of the vector
// statistics kernels could hold without flushing.
TEST_P(Operations, LongRowsKeepExactStatistics)
{
    std::vector<uint16_t> row(300000, 65535);
    unsigned lo = 0, hi = 0;
    double mean = 0, deviation = 1;
    tamrix::CalculateAreaStatistics(row.data(), 300000, 1, 2, 0, 0, 300000, 1, &lo, &hi, &mean, &deviation);
    EXPECT_EQ(mean, 65535.0);
    EXPECT_EQ(deviation, 0.0);
}

TAMRIX_AT_EVERY_LEVEL(Operations);

} // namespace
