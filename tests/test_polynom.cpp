// Polynomial frame fills: one polynomial as grey values, two as a vector
// field with a grid of marks.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

using tamrix::test::ThreadCount;

namespace {

using Cubic = std::array<double, 10>;

template <class Pixel>
constexpr int kDepth = sizeof(Pixel) == 2 ? 2 : 4;

template <class Pixel>
std::vector<Pixel> Polynom(int w, int h, double scale, int offset, const Cubic& c)
{
    std::vector<Pixel> frame(static_cast<size_t>(w) * h, Pixel(0xA5A5A5A5u));
    tamrix::FillFrameWithPolynom(frame.data(), w, h, kDepth<Pixel>, scale, offset, c[0], c[1], c[2], c[3], c[4],
                                 c[5], c[6], c[7], c[8], c[9]);
    return frame;
}

template <class Pixel>
std::vector<Pixel> Field(int w, int h, const Cubic& c, const Cubic& d)
{
    std::vector<Pixel> frame(static_cast<size_t>(w) * h, Pixel(0xA5A5A5A5u));
    tamrix::FillFrameWithPolynoms(frame.data(), w, h, kDepth<Pixel>, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                  c[8], c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    return frame;
}

using Pixels = std::set<std::pair<int, int>>;

Pixels Plus(int x, int y)
{
    Pixels p;
    for (int k = -4; k <= 4; ++k)
        p.insert({x + k, y}), p.insert({x, y + k});
    return p;
}

Pixels Cross(int x, int y)
{
    Pixels p;
    for (int k = -3; k <= 3; ++k)
        p.insert({x + k, y + k}), p.insert({x + k, y - k});
    return p;
}

// The frame as the background value with value 0 at the given pixels.
template <class Pixel>
std::vector<Pixel> Marked(int w, int h, Pixel background, const Pixels& zeros)
{
    std::vector<Pixel> frame(static_cast<size_t>(w) * h, background);
    for (const auto& [x, y] : zeros)
        frame[static_cast<size_t>(y) * w + x] = 0;
    return frame;
}

template <class Pixel>
class PolynomFill : public testing::Test {};
using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(PolynomFill, PixelTypes);

TYPED_TEST(PolynomFill, ConstantOffsetAndNegativeClampToZero)
{
    using P = TypeParam;
    EXPECT_EQ(Polynom<P>(7, 5, 1.0, 1000, Cubic{}), std::vector<P>(35, 1000));
    EXPECT_EQ(Polynom<P>(7, 5, 1.0, -5, Cubic{}), std::vector<P>(35, 0));
}

TYPED_TEST(PolynomFill, FullScaleClampAndNaN)
{
    using P = TypeParam;
    const Cubic one = {0, 0, 0, 0, 0, 0, 0, 0, 0, 1.0};
    EXPECT_EQ(Polynom<P>(3, 2, 70000.0, 0, one), std::vector<P>(6, sizeof(P) == 2 ? 65535u : 70000u));
    EXPECT_EQ(Polynom<P>(3, 2, 1e10, 0, one), std::vector<P>(6, std::numeric_limits<P>::max()));
    const Cubic nan = {0, 0, 0, 0, 0, 0, 0, 0, 0, std::nan("")};
    EXPECT_EQ(Polynom<P>(3, 2, 1.0, 7, nan), std::vector<P>(6, 0));
}

// Every pixel against a literal evaluation (terms formed left to right with
// the powers as units, summed in term order), on a frame wider than the
// column runs and with an uneven row count, with one and several threads;
// the second scale takes 32-bit pixels across 2^31 and past 2^32.
TYPED_TEST(PolynomFill, EveryPixelMatchesTheLiteralPolynomial)
{
    using P = TypeParam;
    const int w = 301, h = 19, cx = 150, cy = 9;
    const double s = 301.0;
    const Cubic c = {0.7, -1.3, 2.1, -0.4, 0.9, 1.7, -2.2, 0.35, -0.65, 0.123};
    for (const auto& [scale, offset] : {std::pair{20000.0, 30000}, std::pair{6e9, 2000000000}}) {
        std::vector<P> expected(static_cast<size_t>(w) * h);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const double u = (x - cx) / s, v = (y - cy) / s;
                const double uu = u * u, vv = v * v;
                const double p = c[0] * (uu * u) + c[1] * (vv * v) + c[2] * uu * v + c[3] * u * vv + c[4] * uu
                    + c[5] * vv + c[6] * u * v + c[7] * u + c[8] * v + c[9];
                const double z = p * scale + offset;
                const double full = static_cast<double>(std::numeric_limits<P>::max());
                expected[static_cast<size_t>(y) * w + x] = z < 0 ? P(0) : z > full ? P(full) : P(int64_t(z));
            }
        for (int threads : tamrix::test::kThreadCounts) {
            ThreadCount scope(threads);
            EXPECT_EQ(Polynom<P>(w, h, scale, offset, c), expected) << threads << " threads, scale " << scale;
        }
    }
}

template <class Pixel>
class VectorField : public testing::Test {};
TYPED_TEST_SUITE(VectorField, PixelTypes);

// No field: grey 32767, R = 0, so M = 12, n = 4 and the grid points lie at
// 13, 38, 63, 88, each with a plus, a cross and a one-pixel line.
TYPED_TEST(VectorField, ZeroFieldGivesMidGreyAndTheFourByFourGrid)
{
    using P = TypeParam;
    Pixels zeros;
    for (int gx : {13, 38, 63, 88})
        for (int gy : {13, 38, 63, 88}) {
            zeros.merge(Plus(gx, gy));
            zeros.merge(Cross(gx, gy));
        }
    EXPECT_EQ(Field<P>(100, 100, Cubic{}, Cubic{}), Marked<P>(100, 100, 32767, zeros));
}

TYPED_TEST(VectorField, NoMarksBelowTwentyFourColumns)
{
    using P = TypeParam;
    EXPECT_EQ(Field<P>(23, 40, Cubic{}, Cubic{}), std::vector<P>(23 * 40, 32767));
}

// On a frame wider than high the grid runs past the top and bottom; a mark
// line is drawn only where both its ends are inside. At row 30 of 34 the
// plus loses its vertical arm (rows 26 to 34) but keeps everything else.
TYPED_TEST(VectorField, MarkLinesLeavingTheFrameAreSkipped)
{
    using P = TypeParam;
    Pixels zeros;
    for (int gx : {13, 38, 63, 88}) {
        zeros.merge(Plus(gx, 5));
        zeros.merge(Cross(gx, 5));
        zeros.merge(Cross(gx, 30));
        for (int k = -4; k <= 4; ++k)
            zeros.insert({gx + k, 30});
    }
    EXPECT_EQ(Field<P>(100, 34, Cubic{}, Cubic{}), Marked<P>(100, 34, 32767, zeros));
}

// A constant field on a 30 x 30 frame has one grid point, (15, 15); the
// joining line shows the fixed-point stepping, including the last pixel one
// step short of the end point. End points are rounded toward zero after
// adding 0.5, so a vector of -7 pixels ends 6 pixels to the left.
struct LineCase {
    int vx, vy;    // the vector in pixels
    int ex, ey;    // where it ends
    unsigned grey; // 32767 + 100 per pixel of length
    Pixels line;
};

TYPED_TEST(VectorField, JoiningLinesFollowTheFixedPointSteps)
{
    using P = TypeParam;
    const LineCase cases[] = {
        {5, 2, 20, 17, 33305, {{15, 15}, {16, 15}, {17, 15}, {18, 16}, {19, 16}, {20, 16}}},
        {4, 2, 19, 17, 33214, {{15, 15}, {16, 15}, {17, 16}, {18, 16}, {19, 17}}},
        {-7, 6, 9, 21, 33688, {{15, 15}, {14, 16}, {13, 17}, {12, 18}, {11, 19}, {10, 20}, {9, 21}}},
    };
    for (const LineCase& lc : cases) {
        Pixels zeros = Plus(15, 15);
        zeros.merge(Cross(lc.ex, lc.ey));
        zeros.insert(lc.line.begin(), lc.line.end());
        const Cubic c = {0, 0, 0, 0, 0, 0, 0, 0, 0, lc.vx / 30.0}, d = {0, 0, 0, 0, 0, 0, 0, 0, 0, lc.vy / 30.0};
        EXPECT_EQ(Field<P>(30, 30, c, d), Marked<P>(30, 30, static_cast<P>(lc.grey), zeros))
            << "vector " << lc.vx << ", " << lc.vy;
    }
}

// 400 pixels of length: 72767 in a 32-bit frame, full scale in a 16-bit one,
// which 327.68 pixels already reach. Long vectors also leave no room for a
// grid.
TYPED_TEST(VectorField, LongVectorsSaturateSixteenBitFrames)
{
    using P = TypeParam;
    const Cubic c400 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 400.0 / 64}, c327 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 327.68 / 64};
    EXPECT_EQ(Field<P>(64, 3, c400, Cubic{}), std::vector<P>(64 * 3, sizeof(P) == 2 ? 65535u : 72767u));
    EXPECT_EQ(Field<P>(64, 3, Cubic{}, c327), std::vector<P>(64 * 3, 65535u));
}

// The longest vector lies in the last rows (x component growing from about 0
// at the top to 20 pixels at the bottom), so the largest rounded length,
// merged from every thread, sets the grid: M = 20, n = 5 and a grid point at
// (21, 21), where a lost maximum would give n = 8 and no mark there.
TYPED_TEST(VectorField, LongestVectorOfAllThreadsSetsTheGrid)
{
    using P = TypeParam;
    const Cubic c = {0, 0, 0, 0, 0, 0, 0, 0, 20.0 / 199.0, 10.0 / 199.0};
    std::vector<P> single;
    {
        ThreadCount scope(1);
        single = Field<P>(200, 200, c, Cubic{});
    }
    EXPECT_EQ(single[25 * 200 + 21], 0u);
    EXPECT_EQ(single[21 * 200 + 25], 0u);
    EXPECT_NE(single[13 * 200 + 17], 0u);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        EXPECT_EQ(Field<P>(200, 200, c, Cubic{}), single) << threads << " threads";
    }
}

TEST(VectorFieldEdges, EmptyFramesWriteNothing)
{
    std::vector<uint16_t> frame(16, 7);
    tamrix::FillFrameWithPolynoms(frame.data(), 40, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    tamrix::FillFrameWithPolynoms(frame.data(), -40, 4, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    tamrix::FillFrameWithPolynom(frame.data(), 4, -1, 2, 1.0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
    EXPECT_EQ(frame, std::vector<uint16_t>(16, 7));
}

} // namespace
