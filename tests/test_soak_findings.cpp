// Cases the randomised soak (tests/soak) stopped at, kept as regression
// tests with the values of its reproducer.
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// Range 2468390251 .. 4294967295: 1826577045 values, halved 13 times (dropping
// remainders) to 222970 bins of 8192, which cover 1826570240 values only. The
// top 6805 values of the range have no bin of their own and count in the
// last, whose top the selection reports (2468390251 + 222970 * 8192) rather
// than an index past the histogram. The soak's first reference put such
// pixels in bin 222970.
TEST(MedianSoakFindings, TopOfAnUnevenlyHalvedRangeCountsInTheLastBin)
{
    const unsigned low = 2468390251u, high = 4294967295u;
    for (uint32_t v : {high, 4294960491u, 4294960490u}) {
        std::vector<uint32_t> src(3 * 3, v), dst(src.size(), 7);
        tamrix::Median(nullptr, nullptr, src.data(), dst.data(), 3, 3, 4, static_cast<int>(low),
                       static_cast<int>(high), 1, 0, 1000, 0, 0);
        EXPECT_EQ(dst[4], 4294960491u) << v;
    }
    // One bin lower: its own top.
    std::vector<uint32_t> src(9, 4294952298u), dst(9, 7);
    tamrix::Median(nullptr, nullptr, src.data(), dst.data(), 3, 3, 4, static_cast<int>(low), static_cast<int>(high),
                   1, 0, 1000, 0, 0);
    EXPECT_EQ(dst[4], 4294952299u);
}

} // namespace
