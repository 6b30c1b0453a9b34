// Polynomial frame fills where the soak does not reach: NaN values.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace {

using Cubic = std::array<double, 10>;

template <class Pixel> std::vector<Pixel> Polynom(int w, int h, double scale, int offset, const Cubic& c)
{
    std::vector<Pixel> frame(static_cast<size_t>(w) * h, Pixel(0xA5A5A5A5u));
    tamrix::FillFrameWithPolynom(
        frame.data(), w, h, sizeof(Pixel), scale, offset, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9]);
    return frame;
}

template <class Pixel> class PolynomFill : public testing::Test {
};
TYPED_TEST_SUITE(PolynomFill, tamrix::test::PixelTypes);

// Clamping and the vector field are soak cases; the soak's coefficients are
// never NaN.
TYPED_TEST(PolynomFill, NaNGivesZero)
{
    using P = TypeParam;
    EXPECT_EQ(Polynom<P>(3, 2, 1.0, 7, { 0, 0, 0, 0, 0, 0, 0, 0, 0, std::nan("") }), std::vector<P>(6, 0));
}

} // namespace
