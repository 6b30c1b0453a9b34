// Every instruction-set variant of the area statistics that this machine
// runs gives the baseline's bits: the same extremes and sums, the same lane
// order of the squared deviations.
#include "hcpp/tamrix/statistics_kernels.h"
#include "support.h"

#include <gtest/gtest.h>

#include <vector>

using tamrix::detail::Isa;
using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

namespace {

struct Result {
    unsigned min, max;
    double mean, sd;
    bool operator==(const Result& o) const { return min == o.min && max == o.max && mean == o.mean && sd == o.sd; }
};

template <class Pixel>
Result Measure(Isa isa, const std::vector<Pixel>& frame, int width, int height, int x, int y, int w, int h)
{
    Result r{};
    tamrix::stats::CalculateAreaStatistics(isa, frame.data(), width, height, sizeof(Pixel) == 2 ? 2 : 4, x, y, w, h,
                                           &r.min, &r.max, &r.mean, &r.sd);
    return r;
}

template <class Pixel>
class StatisticsVariants : public testing::Test {};

using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(StatisticsVariants, PixelTypes);

TYPED_TEST(StatisticsVariants, AgreeBitForBitWithTheBaseline)
{
    const Isa best = tamrix::detail::FrameIsa();
    if (best == Isa::Baseline)
        GTEST_SKIP() << "no vector variant on this machine";
    const int width = 1100, height = 9;
    // Full-range pixels, and a narrow range whose deviations are small.
    const auto wide = RandomFrame<TypeParam>(width, height, 1);
    const auto narrow = RandomFrame<TypeParam>(width, height, 2, 1000, 1060);
    ThreadCount one(1); // the thread partial sums are a separate matter
    // Widths around the 16-, 32- and 64-pixel blocks of the kernels, and long
    // rows whose 16-bit lane sums are flushed.
    for (int w : {1, 15, 16, 31, 32, 33, 63, 64, 65, 517, 1100})
        for (const auto* frame : {&wide, &narrow}) {
            const Result base = Measure(Isa::Baseline, *frame, width, height, 1100 - w, 1, w, 7);
            EXPECT_TRUE(Measure(Isa::Avx2, *frame, width, height, 1100 - w, 1, w, 7) == base) << "AVX2, w = " << w;
            if (best == Isa::Avx512) {
                EXPECT_TRUE(Measure(Isa::Avx512, *frame, width, height, 1100 - w, 1, w, 7) == base)
                    << "AVX-512, w = " << w;
            }
        }
}

TEST(StatisticsVariants16, LongRowsKeepExactSums)
{
    // 300000 full-scale pixels: more than the 32-bit lane sums of the vector
    // kernels could hold without flushing.
    const int n = 300000;
    const std::vector<uint16_t> row(n, 65535);
    for (Isa isa : {Isa::Baseline, tamrix::detail::FrameIsa()}) {
        const Result r = Measure(isa, row, n, 1, 0, 0, n, 1);
        EXPECT_EQ(r.mean, 65535.0);
        EXPECT_EQ(r.sd, 0.0);
    }
}

} // namespace
