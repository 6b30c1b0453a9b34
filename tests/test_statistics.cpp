// Area statistics through the exported interface.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

namespace {

struct Result {
    unsigned min = 0xDEADu, max = 0xDEADu;
    double mean = -1.0, sd = -1.0;
    bool Untouched() const { return min == 0xDEADu && max == 0xDEADu && mean == -1.0 && sd == -1.0; }
};

template <class Pixel>
Result Stats(const std::vector<Pixel>& frame, int width, int height, int x, int y, int w, int h)
{
    Result r;
    tamrix::CalculateAreaStatistics(const_cast<Pixel*>(frame.data()), width, height, sizeof(Pixel) == 2 ? 2 : 4, x, y,
                                    w, h, &r.min, &r.max, &r.mean, &r.sd);
    return r;
}

// 100 x 100, pixel (x, y) = 100 * y + x: a rectangle's mean and variance
// follow from its corner and size.
template <class Pixel>
std::vector<Pixel> Grid()
{
    std::vector<Pixel> frame(10000);
    for (int i = 0; i < 10000; ++i)
        frame[i] = static_cast<Pixel>(i);
    return frame;
}

template <class Pixel>
class AreaStatistics : public testing::Test {};

using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(AreaStatistics, PixelTypes);

TYPED_TEST(AreaStatistics, SinglePixel)
{
    const auto r = Stats(Grid<TypeParam>(), 100, 100, 7, 3, 1, 1);
    EXPECT_EQ(r.min, 307u);
    EXPECT_EQ(r.max, 307u);
    EXPECT_EQ(r.mean, 307.0);
    EXPECT_EQ(r.sd, 0.0);
}

TYPED_TEST(AreaStatistics, PopulationDeviation)
{
    const std::vector<TypeParam> frame = {10, 20, 30, 40};
    const auto r = Stats(frame, 2, 2, 0, 0, 2, 1);
    EXPECT_EQ(r.min, 10u);
    EXPECT_EQ(r.max, 20u);
    EXPECT_EQ(r.mean, 15.0);
    EXPECT_EQ(r.sd, 5.0);
}

TYPED_TEST(AreaStatistics, RectangleIsCutAtTheFarEdges)
{
    // Columns 90 .. 99, rows 95 .. 99: N = 50, variance 8.25 + 100^2 * 2.
    const auto r = Stats(Grid<TypeParam>(), 100, 100, 90, 95, 20, 20);
    EXPECT_EQ(r.min, 9590u);
    EXPECT_EQ(r.max, 9999u);
    EXPECT_EQ(r.mean, 9794.5);
    EXPECT_DOUBLE_EQ(r.sd, std::sqrt(20008.25));
}

TYPED_TEST(AreaStatistics, StartRightOfTheFrameMeasuresTheLastColumn)
{
    const auto r = Stats(Grid<TypeParam>(), 100, 100, 150, 10, 5, 5);
    EXPECT_EQ(r.min, 1099u);
    EXPECT_EQ(r.max, 1499u);
    EXPECT_EQ(r.mean, 1299.0);
    EXPECT_DOUBLE_EQ(r.sd, std::sqrt(20000.0));
}

TYPED_TEST(AreaStatistics, NegativeCornerKeepsThePartInsideTheFrame)
{
    // x = -5, w = 8 keeps columns 0 .. 2; y = -1, h = 2 keeps row 0.
    const auto r = Stats(Grid<TypeParam>(), 100, 100, -5, -1, 8, 2);
    EXPECT_EQ(r.min, 0u);
    EXPECT_EQ(r.max, 2u);
    EXPECT_EQ(r.mean, 1.0);
    EXPECT_DOUBLE_EQ(r.sd, std::sqrt(2.0 / 3.0));
    EXPECT_TRUE(Stats(Grid<TypeParam>(), 100, 100, -5, 0, 5, 3).Untouched()); // wholly left of the frame
}

TYPED_TEST(AreaStatistics, EmptyRectanglesAndMissingFramesWriteNothing)
{
    const auto grid = Grid<TypeParam>();
    EXPECT_TRUE(Stats(grid, 100, 100, 1, 1, 0, 5).Untouched());
    EXPECT_TRUE(Stats(grid, 100, 100, 1, 1, 5, 0).Untouched());
    EXPECT_TRUE(Stats(grid, 100, 100, 1, 1, -3, 5).Untouched());
    EXPECT_TRUE(Stats(grid, 0, 100, 1, 1, 5, 5).Untouched()); // would otherwise read column -1
    Result r;
    tamrix::CalculateAreaStatistics(nullptr, 100, 100, 2, 0, 0, 5, 5, &r.min, &r.max, &r.mean, &r.sd);
    EXPECT_TRUE(r.Untouched());
}

TEST(AreaStatistics32, FullScalePixelsGiveAPositiveMean)
{
    const std::vector<uint32_t> frame = {4294967295u, 4294967295u, 4294967295u, 1u};
    const auto r = Stats(frame, 2, 2, 0, 0, 2, 2);
    EXPECT_EQ(r.min, 1u);
    EXPECT_EQ(r.max, 4294967295u);
    EXPECT_EQ(r.mean, (3.0 * 4294967295.0 + 1.0) / 4.0);
}

TEST(AreaStatistics32, SameValuesAtBothDepthsGiveTheSameResult)
{
    const auto frame16 = RandomFrame<uint16_t>(203, 77, 9);
    const std::vector<uint32_t> frame32(frame16.begin(), frame16.end());
    const auto a = Stats(frame16, 203, 77, 3, 5, 150, 60), b = Stats(frame32, 203, 77, 3, 5, 150, 60);
    EXPECT_EQ(a.min, b.min);
    EXPECT_EQ(a.max, b.max);
    EXPECT_EQ(a.mean, b.mean);
    EXPECT_EQ(a.sd, b.sd);
}

// A 32-bit row can sum past 2^53; the mean is then the pixel-by-pixel double
// sum (9007473723690810 here), not the exact integer sum rounded once
// (9007473723690812).
TEST(AreaStatistics32, RowsSummingPast2To53AddPixelByPixel)
{
    const int n = (1 << 21) + 64;
    std::vector<uint32_t> row(n);
    for (int i = 0; i < n; ++i)
        row[i] = i % 3 == 0 ? 4294967295u : 4294967001u + i % 7;
    const auto r = Stats(row, n, 1, 0, 0, n, 1);
    EXPECT_EQ(r.mean, 9007473723690810.0 / n);
}

// Against plain double sums. Extremes and the mean (an exact integer sum over
// N) do not depend on the thread count; the deviation's last bits may.
TEST(AreaStatistics32, MatchesPlainSumsWithAnyThreadCount)
{
    const int w = 517, h = 93;
    const auto frame = RandomFrame<uint32_t>(w, h, 10, 1000000, 3000000000u);
    double sum = 0, squares = 0;
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (int y = 2; y < h; ++y)
        for (int x = 11; x < w; ++x) {
            const uint32_t v = frame[static_cast<size_t>(y) * w + x];
            lo = std::min(lo, v);
            hi = std::max(hi, v);
            sum += v;
        }
    const double n = (w - 11.0) * (h - 2.0), mean = sum / n;
    for (int y = 2; y < h; ++y)
        for (int x = 11; x < w; ++x)
            squares += std::pow(frame[static_cast<size_t>(y) * w + x] - mean, 2);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        const auto r = Stats(frame, w, h, 11, 2, w, h);
        EXPECT_EQ(r.min, lo);
        EXPECT_EQ(r.max, hi);
        EXPECT_EQ(r.mean, mean);
        EXPECT_NEAR(r.sd, std::sqrt(squares / n), 1e-12 * r.sd) << threads << " threads";
    }
}

} // namespace
