// Sub-frame extraction into a scaled float vector.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

template <class Pixel>
std::vector<float> Window(const std::vector<Pixel>& frame, int width, int x, int y, int radius)
{
    const int n = 2 * radius + 1;
    std::vector<float> v(static_cast<size_t>(n) * n, 42.0f);
    tamrix::SubFrameToVector(const_cast<Pixel*>(frame.data()), width, 0, sizeof(Pixel) == 2 ? 2u : 4u, x, y, radius,
                             v.data());
    return v;
}

template <class Pixel>
class SubFrame : public testing::Test {};

using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(SubFrame, PixelTypes);

TYPED_TEST(SubFrame, ScalesTheWindowByItsOwnExtremes)
{
    // The window of radius 1 around (2, 1) of a 5 x 4 frame, in raster order.
    const std::vector<TypeParam> frame = {99, 99, 99, 99, 99, //
                                          99, 10, 20, 30, 99, //
                                          99, 10, 10, 10, 99, //
                                          99, 10, 10, 10, 99};
    EXPECT_EQ(Window(frame, 5, 2, 2, 1), (std::vector<float>{-1, 0, 1, -1, -1, -1, -1, -1, -1}));
}

TYPED_TEST(SubFrame, MidpointsMapLinearly)
{
    const std::vector<TypeParam> frame = {100, 200, 150, 300};
    const auto v = Window(frame, 4, 1, 0, 0); // radius 0: one pixel, flat
    EXPECT_TRUE(std::isnan(v[0]));
    const std::vector<TypeParam> square = {100, 200, 150, 300, 250, 100, 100, 100, 100};
    EXPECT_EQ(Window(square, 3, 1, 1, 1), (std::vector<float>{-1, 0, -0.5f, 1, 0.5f, -1, -1, -1, -1}));
}

TYPED_TEST(SubFrame, FlatWindowGivesNaNEverywhere)
{
    const std::vector<TypeParam> frame(25, 7);
    for (float f : Window(frame, 5, 2, 2, 2))
        EXPECT_TRUE(std::isnan(f));
}

TYPED_TEST(SubFrame, ProductAndSubtractionRoundSeparately)
{
    // max - min = 7: scale = 2/7 in single precision. A fused multiply-add
    // would give 1.0000001 for the maximum and other last bits elsewhere.
    const std::vector<TypeParam> frame = {0, 1, 2, 3, 4, 5, 6, 7, 7};
    EXPECT_EQ(Window(frame, 3, 1, 1, 1), (std::vector<float>{-0x1p+0f, -0x1.6db6dcp-1f, -0x1.b6db6cp-2f,
                                                              -0x1.24924p-3f, 0x1.24925p-3f, 0x1.b6db7p-2f,
                                                              0x1.6db6ep-1f, 0x1p+0f, 0x1p+0f}));
}

TYPED_TEST(SubFrame, NegativeRadiusWritesNothing)
{
    const std::vector<TypeParam> frame(9, 1);
    std::vector<float> v(4, 42.0f);
    tamrix::SubFrameToVector(const_cast<TypeParam*>(frame.data()), 3, 3, 2, 1, 1, -1, v.data());
    EXPECT_EQ(v, std::vector<float>(4, 42.0f));
}

TEST(SubFrame32, FullRangeWindowAndAnyDepthButTwo)
{
    const std::vector<uint32_t> frame = {0, 4294967295u, 2147483648u, 1};
    std::vector<float> v(1);
    // depth 3 reads 32-bit pixels too; the window (radius 0) at (1, 0) is flat.
    tamrix::SubFrameToVector(const_cast<uint32_t*>(frame.data()), 4, 1, 3, 1, 0, 0, v.data());
    EXPECT_TRUE(std::isnan(v[0]));
    const std::vector<uint32_t> square = {0, 4294967295u, 2147483648u, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(Window(square, 3, 1, 1, 1), (std::vector<float>{-1, 1, 0, -1, -1, -1, -1, -1, -1}));
}

} // namespace
