// Polynomial frame fills: one polynomial as grey values, two as a vector
// field with a grid of marks.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <set>
#include <utility>
#include <vector>

namespace {

using Cubic = std::array<double, 10>;

template <class Pixel> std::vector<Pixel> Polynom(int w, int h, double scale, int offset, const Cubic& c)
{
    std::vector<Pixel> frame(static_cast<size_t>(w) * h, Pixel(0xA5A5A5A5u));
    tamrix::FillFrameWithPolynom(frame.data(), w, h, sizeof(Pixel), scale, offset, c[0], c[1], c[2], c[3], c[4], c[5],
                                 c[6], c[7], c[8], c[9]);
    return frame;
}

template <class Pixel> std::vector<Pixel> Field(int w, int h, const Cubic& c, const Cubic& d)
{
    std::vector<Pixel> frame(static_cast<size_t>(w) * h, Pixel(0xA5A5A5A5u));
    tamrix::FillFrameWithPolynoms(frame.data(), w, h, sizeof(Pixel), c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                  c[8], c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    return frame;
}

Cubic Constant(double v) { return {0, 0, 0, 0, 0, 0, 0, 0, 0, v}; }

template <class Pixel> class PolynomFill : public testing::Test {};
TYPED_TEST_SUITE(PolynomFill, tamrix::test::PixelTypes);

TYPED_TEST(PolynomFill, ClampsToThePixelRangeAndNaNGivesZero)
{
    using P = TypeParam;
    EXPECT_EQ(Polynom<P>(7, 5, 1.0, 1000, Cubic{}), std::vector<P>(35, 1000));
    EXPECT_EQ(Polynom<P>(7, 5, 1.0, -5, Cubic{}), std::vector<P>(35, 0));
    EXPECT_EQ(Polynom<P>(3, 2, 70000.0, 0, Constant(1)), std::vector<P>(6, sizeof(P) == 2 ? 65535u : 70000u));
    EXPECT_EQ(Polynom<P>(3, 2, 1e10, 0, Constant(1)), std::vector<P>(6, P(-1)));
    EXPECT_EQ(Polynom<P>(3, 2, 1.0, 7, Constant(std::nan(""))), std::vector<P>(6, 0));
}

using Pixels = std::set<std::pair<int, int>>;

// A plus of arms 4 at the grid point, a cross of arms 3 at the vector's end.
Pixels Marks(int gx, int gy, int ex, int ey)
{
    Pixels p;
    for (int k = -4; k <= 4; ++k)
        p.insert({gx + k, gy}), p.insert({gx, gy + k});
    for (int k = -3; k <= 3; ++k)
        p.insert({ex + k, ey + k}), p.insert({ex + k, ey - k});
    return p;
}

// The frame as the background value with value 0 at the given pixels.
template <class Pixel> std::vector<Pixel> Marked(int w, int h, Pixel background, const Pixels& zeros)
{
    std::vector<Pixel> frame(static_cast<size_t>(w) * h, background);
    for (const auto& [x, y] : zeros)
        frame[static_cast<size_t>(y) * w + x] = 0;
    return frame;
}

// No field: grey 32767, R = 0, so M = 12, n = 4 and the grid points lie at
// 13, 38, 63, 88, each with a plus and a cross; below 24 columns no marks.
TYPED_TEST(PolynomFill, ZeroFieldGivesMidGreyAndTheFourByFourGrid)
{
    using P = TypeParam;
    Pixels zeros;
    for (int gx : {13, 38, 63, 88})
        for (int gy : {13, 38, 63, 88})
            zeros.merge(Marks(gx, gy, gx, gy));
    EXPECT_EQ(Field<P>(100, 100, Cubic{}, Cubic{}), Marked<P>(100, 100, 32767, zeros));
    EXPECT_EQ(Field<P>(23, 40, Cubic{}, Cubic{}), std::vector<P>(23 * 40, 32767));
}

// A constant field on a 30 x 30 frame has one grid point, (15, 15); the
// joining line shows the fixed-point stepping, including the last pixel one
// step short of the end point. End points are rounded toward zero after
// adding 0.5, so a vector of -7 pixels ends 6 pixels to the left.
TYPED_TEST(PolynomFill, JoiningLinesFollowTheFixedPointSteps)
{
    using P = TypeParam;
    const struct {
        int vx, vy, ex, ey;
        unsigned grey; // 32767 + 100 per pixel of length
        Pixels line;
    } cases[] = {
        {5, 2, 20, 17, 33305, {{15, 15}, {16, 15}, {17, 15}, {18, 16}, {19, 16}, {20, 16}}},
        {4, 2, 19, 17, 33214, {{15, 15}, {16, 15}, {17, 16}, {18, 16}, {19, 17}}},
        {-7, 6, 9, 21, 33688, {{15, 15}, {14, 16}, {13, 17}, {12, 18}, {11, 19}, {10, 20}, {9, 21}}},
    };
    for (const auto& lc : cases) {
        Pixels zeros = Marks(15, 15, lc.ex, lc.ey);
        zeros.insert(lc.line.begin(), lc.line.end());
        EXPECT_EQ(Field<P>(30, 30, Constant(lc.vx / 30.0), Constant(lc.vy / 30.0)),
                  Marked<P>(30, 30, static_cast<P>(lc.grey), zeros))
            << "vector " << lc.vx << ", " << lc.vy;
    }
}

TEST(PolynomFillEdges, EmptyFramesWriteNothing)
{
    std::vector<uint16_t> frame(16, 7);
    tamrix::FillFrameWithPolynoms(frame.data(), 40, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    tamrix::FillFrameWithPolynoms(frame.data(), -40, 4, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    tamrix::FillFrameWithPolynom(frame.data(), 4, -1, 2, 1.0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(frame, std::vector<uint16_t>(16, 7));
}

} // namespace
