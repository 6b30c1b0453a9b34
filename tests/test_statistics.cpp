// Area statistics and the sub-frame vector through the exported interface.
#include "reference/statistics.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace ref = tamrix::reference;

namespace {

constexpr ref::Statistics kUntouched{0xDEADu, 0xDEADu, -1.0, -1.0};

template <class Pixel> ref::Statistics Stats(const std::vector<Pixel>& frame, int width, int height, int x, int y, int w, int h)
{
    ref::Statistics r = kUntouched;
    tamrix::CalculateAreaStatistics(const_cast<Pixel*>(frame.data()), width, height, sizeof(Pixel), x, y, w, h, &r.min,
                                    &r.max, &r.mean, &r.sd);
    return r;
}

void ExpectStats(const ref::Statistics& got, unsigned min, unsigned max, double mean, double sd)
{
    EXPECT_EQ(got.min, min);
    EXPECT_EQ(got.max, max);
    EXPECT_EQ(got.mean, mean);
    EXPECT_DOUBLE_EQ(got.sd, sd);
}

template <class Pixel> class AreaStatistics : public testing::Test {};
TYPED_TEST_SUITE(AreaStatistics, tamrix::test::PixelTypes);

// 100 x 100, pixel (x, y) = 100 y + x: a rectangle's mean and variance
// follow from its corner and size.
TYPED_TEST(AreaStatistics, RectanglesAreFittedIntoTheFrame)
{
    std::vector<TypeParam> grid(10000);
    for (int i = 0; i < 10000; ++i)
        grid[i] = static_cast<TypeParam>(i);
    ExpectStats(Stats(grid, 100, 100, 7, 3, 1, 1), 307, 307, 307.0, 0.0);
    ExpectStats(Stats(grid, 100, 100, 0, 0, 2, 1), 0, 1, 0.5, 0.5); // the population deviation
    // Columns 90 .. 99, rows 95 .. 99: N = 50, variance 8.25 + 100^2 * 2.
    ExpectStats(Stats(grid, 100, 100, 90, 95, 20, 20), 9590, 9999, 9794.5, std::sqrt(20008.25));
    ExpectStats(Stats(grid, 100, 100, 150, 10, 5, 5), 1099, 1499, 1299.0, std::sqrt(20000.0)); // the last column
    // x = -5, w = 8 keeps columns 0 .. 2; y = -1, h = 2 keeps row 0.
    ExpectStats(Stats(grid, 100, 100, -5, -1, 8, 2), 0, 2, 1.0, std::sqrt(2.0 / 3.0));
    for (auto [x, y, w, h, width] : {std::array{-5, 0, 5, 3, 100}, {1, 1, 0, 5, 100}, {1, 1, 5, 0, 100},
                                     {1, 1, -3, 5, 100}, {1, 1, 5, 5, 0}}) {
        const auto r = Stats(grid, width, 100, x, y, w, h);
        EXPECT_TRUE(r.min == kUntouched.min && r.mean == kUntouched.mean) << x << " " << y << " " << w << " " << h;
    }
    ref::Statistics r = kUntouched;
    tamrix::CalculateAreaStatistics(nullptr, 100, 100, 2, 0, 0, 5, 5, &r.min, &r.max, &r.mean, &r.sd);
    EXPECT_EQ(r.mean, kUntouched.mean);
}

// A 32-bit row can sum past 2^53: the mean is then the pixel-by-pixel double
// sum (9007473723690810 here), not the exact integer sum rounded once
// (9007473723690812). Full-scale pixels count as unsigned, and so does a
// maximum past 2^31 among small values.
TEST(AreaStatistics32, LargeValuesAddPixelByPixelAsUnsigned)
{
    const int n = (1 << 21) + 64;
    std::vector<uint32_t> row(n);
    for (int i = 0; i < n; ++i)
        row[i] = i % 3 == 0 ? 4294967295u : 4294967001u + i % 7;
    EXPECT_EQ(Stats(row, n, 1, 0, 0, n, 1).mean, 9007473723690810.0 / n);
    EXPECT_EQ(Stats(std::vector<uint32_t>{4294967295u, 4294967295u, 4294967295u, 1u}, 2, 2, 0, 0, 2, 2).mean,
              (3.0 * 4294967295.0 + 1.0) / 4.0);
    for (int at = 0; at < 16; ++at) { // a maximum past 2^31 among small values, in every lane
        std::vector<uint32_t> small(40, 7u);
        small[at] = 3000000000u;
        EXPECT_EQ(Stats(small, 40, 1, 0, 0, 40, 1).max, 3000000000u) << at;
    }
}

template <class Pixel> std::vector<float> Window(const std::vector<Pixel>& frame, int width, int x, int y, int radius)
{
    std::vector<float> v(static_cast<size_t>(2 * radius + 1) * (2 * radius + 1), 42.0f);
    tamrix::SubFrameToVector(const_cast<Pixel*>(frame.data()), width, 0, sizeof(Pixel), x, y, radius, v.data());
    return v;
}

// The window scaled by its own extremes to -1 .. 1, product and difference
// rounded separately (a fused multiply-add would give 1.0000001 for the
// maximum of a span of 7); a flat window gives NaN throughout.
TYPED_TEST(AreaStatistics, SubFrameVectors)
{
    using P = TypeParam;
    const std::vector<P> frame = {99, 99, 99, 99, 99, 99, 10, 20, 30, 99, 99, 10, 10, 10, 99, 99, 10, 10, 10, 99};
    EXPECT_EQ(Window(frame, 5, 2, 2, 1), (std::vector<float>{-1, 0, 1, -1, -1, -1, -1, -1, -1}));
    const std::vector<P> ramp = {0, 1, 2, 3, 4, 5, 6, 7, 7};
    EXPECT_EQ(Window(ramp, 3, 1, 1, 1), ref::SubFrame(ramp, 3, 1, 1, 1));
    EXPECT_EQ(Window(ramp, 3, 1, 1, 1)[1], -0x1.6db6dcp-1f);
    EXPECT_EQ(Window(ramp, 3, 1, 1, 1)[8], 1.0f);
    for (float f : Window(std::vector<P>(25, 7), 5, 2, 2, 2))
        EXPECT_TRUE(std::isnan(f));
    std::vector<float> v(4, 42.0f); // a negative radius writes nothing
    tamrix::SubFrameToVector(const_cast<P*>(frame.data()), 5, 4, sizeof(P), 2, 2, -1, v.data());
    EXPECT_EQ(v, std::vector<float>(4, 42.0f));
}

TEST(SubFrame32, FullRangeWindowAndAnyDepthButTwo)
{
    std::vector<uint32_t> square = {0, 4294967295u, 2147483648u, 0, 0, 0, 0, 0, 0};
    std::vector<float> v(9);
    tamrix::SubFrameToVector(square.data(), 3, 3, 3, 1, 1, 1, v.data()); // depth 3 reads 32 bits too
    EXPECT_EQ(v, (std::vector<float>{-1, 1, 0, -1, -1, -1, -1, -1, -1}));
}

} // namespace
