// Area statistics and the sub-frame vector where the soak does not reach:
// frames without columns or pixels, sums past 2^53, unfused rounding and
// depths other than 2 or 4.
#include "reference/statistics.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace ref = tamrix::reference;

namespace {

constexpr ref::Statistics kUntouched { 0xDEADu, 0xDEADu, -1.0, -1.0 };

template <class Pixel>
ref::Statistics Stats(const std::vector<Pixel>& frame, int width, int height, int x, int y, int w, int h)
{
    ref::Statistics r = kUntouched;
    tamrix::CalculateAreaStatistics(
        const_cast<Pixel*>(frame.data()), width, height, sizeof(Pixel), x, y, w, h, &r.min, &r.max, &r.mean, &r.sd);
    return r;
}

template <class Pixel> class AreaStatistics : public testing::Test {
};
TYPED_TEST_SUITE(AreaStatistics, tamrix::test::PixelTypes);

// Rectangles inside, across the edges and empty are soak cases; a frame
// without columns or pixels leaves the results alone.
TEST(AreaStatisticsEdges, NoColumnsOrNoPixelsLeaveTheResults)
{
    const std::vector<uint16_t> grid(100, 5);
    ref::Statistics r = Stats(grid, 0, 10, 1, 1, 5, 5);
    EXPECT_TRUE(r.min == kUntouched.min && r.mean == kUntouched.mean);
    r = kUntouched;
    tamrix::CalculateAreaStatistics(nullptr, 100, 100, 2, 0, 0, 5, 5, &r.min, &r.max, &r.mean, &r.sd);
    EXPECT_EQ(r.mean, kUntouched.mean);
}

// A 32-bit row can sum past 2^53: the mean is then the pixel-by-pixel double
// sum (9007473723690810 here), not the exact integer sum rounded once
// (9007473723690812). Unsigned extremes and sums of fewer pixels are soak
// cases.
TEST(AreaStatistics32, SumsPast2To53AddPixelByPixel)
{
    const int n = (1 << 21) + 64;
    std::vector<uint32_t> row(n);
    for (int i = 0; i < n; ++i)
        row[i] = i % 3 == 0 ? 4294967295u : 4294967001u + i % 7;
    EXPECT_EQ(Stats(row, n, 1, 0, 0, n, 1).mean, 9007473723690810.0 / n);
}

template <class Pixel> std::vector<float> Window(const std::vector<Pixel>& frame, int width, int x, int y, int radius)
{
    std::vector<float> v(static_cast<size_t>(2 * radius + 1) * (2 * radius + 1), 42.0f);
    tamrix::SubFrameToVector(const_cast<Pixel*>(frame.data()), width, 0, sizeof(Pixel), x, y, radius, v.data());
    return v;
}

// The window scaled by its own extremes to -1 .. 1, product and difference
// rounded separately (a fused multiply-add would give 1.0000001 for the
// maximum of a span of 7); flat windows and the rest are soak cases.
TYPED_TEST(AreaStatistics, SubFrameVectors)
{
    using P = TypeParam;
    const std::vector<P> frame = { 99, 99, 99, 99, 99, 99, 10, 20, 30, 99, 99, 10, 10, 10, 99, 99, 10, 10, 10, 99 };
    EXPECT_EQ(Window(frame, 5, 2, 2, 1), (std::vector<float> { -1, 0, 1, -1, -1, -1, -1, -1, -1 }));
    EXPECT_EQ(Window(std::vector<P> { 0, 1, 2, 3, 4, 5, 6, 7, 7 }, 3, 1, 1, 1)[8], 1.0f);
}

TEST(SubFrame32, FullRangeWindowAndAnyDepthButTwo)
{
    std::vector<uint32_t> square = { 0, 4294967295u, 2147483648u, 0, 0, 0, 0, 0, 0 };
    std::vector<float> v(9);
    tamrix::SubFrameToVector(square.data(), 3, 3, 3, 1, 1, 1, v.data()); // depth 3 reads 32 bits too
    EXPECT_EQ(v, (std::vector<float> { -1, 1, 0, -1, -1, -1, -1, -1, -1 }));
}

} // namespace
