// The area statistics at every instruction-set level that this machine runs
// give the baseline's bits: the same extremes and sums, the same lane order
// of the squared deviations.
#include "isa_levels.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

using tamrix::test::CapTo;
using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

namespace {

struct Result {
    unsigned min, max;
    double mean, sd;
    bool operator==(const Result& o) const { return min == o.min && max == o.max && mean == o.mean && sd == o.sd; }
};

template <class Pixel>
Result Measure(std::vector<Pixel>& frame, int width, int height, int x, int y, int w, int h)
{
    Result r{};
    tamrix::CalculateAreaStatistics(frame.data(), width, height, sizeof(Pixel) == 2 ? 2 : 4, x, y, w, h, &r.min,
                                    &r.max, &r.mean, &r.sd);
    return r;
}

class StatisticsVariants : public tamrix::test::AtEveryLevel {};

template <class Pixel>
void CheckAgainstTheBaseline()
{
    const int width = 1100, height = 9;
    // Full-range pixels, and a narrow range whose deviations are small.
    auto wide = RandomFrame<Pixel>(width, height, 1);
    auto narrow = RandomFrame<Pixel>(width, height, 2, 1000, 1060);
    ThreadCount one(1); // the thread partial sums are a separate matter
    // Widths around the 16-, 32- and 64-pixel blocks of the kernels, and long
    // rows whose 16-bit lane sums are flushed.
    for (int w : {1, 15, 16, 31, 32, 33, 63, 64, 65, 517, 1100})
        for (auto* frame : {&wide, &narrow}) {
            Result base;
            {
                CapTo baseline(tamrix::isa::Level::Baseline);
                base = Measure(*frame, width, height, 1100 - w, 1, w, 7);
            }
            EXPECT_TRUE(Measure(*frame, width, height, 1100 - w, 1, w, 7) == base)
                << sizeof(Pixel) * 8 << "-bit, w = " << w;
        }
}

TEST_P(StatisticsVariants, AgreeBitForBitWithTheBaseline)
{
    CheckAgainstTheBaseline<uint16_t>();
    CheckAgainstTheBaseline<uint32_t>();
}

TEST_P(StatisticsVariants, LongRowsKeepExactSums)
{
    // 300000 full-scale pixels: more than the 32-bit lane sums of the vector
    // kernels could hold without flushing.
    const int n = 300000;
    std::vector<uint16_t> row(n, 65535);
    const Result r = Measure(row, n, 1, 0, 0, n, 1);
    EXPECT_EQ(r.mean, 65535.0);
    EXPECT_EQ(r.sd, 0.0);
}

TAMRIX_AT_EVERY_LEVEL(StatisticsVariants);

} // namespace
