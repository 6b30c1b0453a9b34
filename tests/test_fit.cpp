// Least-squares fit of two cubic surfaces: its limits.
#include "reference/polynom.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <new>
#include <vector>

namespace {

using Cubic = std::array<double, 10>; // x^3, y^3, x^2 y, x y^2, x^2, y^2, x y, x, y, 1
using tamrix::reference::P;

struct Fit {
    Cubic a, b;
};

Fit FitPoints(std::vector<double> points)
{
    Fit f;
    f.a.fill(-99.0);
    f.b.fill(-99.0);
    double *a = f.a.data(), *b = f.b.data();
    tamrix::FitSurface(points.data(), static_cast<unsigned>(points.size() / 4), a, a + 1, a + 2, a + 3, a + 4, a + 5,
                       a + 6, a + 7, a + 8, a + 9, b, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7, b + 8, b + 9);
    return f;
}

// Surfaces given exactly by their points, and no points, are soak cases.
TEST(FitSurface, TooManyPointsThrowBadAlloc)
{
    // count x 10 elements must fit 32-bit positions: beyond that the design
    // matrix is an allocation failure, never a short array.
    double point[4] = {0, 0, 0, 0}, o[20];
    EXPECT_THROW(tamrix::FitSurface(point, 429496730u, o, o + 1, o + 2, o + 3, o + 4, o + 5, o + 6, o + 7, o + 8, o + 9,
                                    o + 10, o + 11, o + 12, o + 13, o + 14, o + 15, o + 16, o + 17, o + 18, o + 19),
                 std::bad_alloc);
}

// Points on a horizontal line at y = 1e-9 leave every y term with a singular
// value far below 1e-6 of the largest: the y coefficient that the data asks
// for (1000) is dropped instead of being fitted from rounding noise.
TEST(FitSurface, TermBelowTheThresholdContributesNothing)
{
    std::vector<double> points;
    for (int k = 0; k < 30; ++k) {
        const double x = -0.5 + k / 29.0, y = 1e-9;
        points.insert(points.end(), {x, y, x - (0.25 * x + 1000.0 * y), y});
    }
    const Fit f = FitPoints(points);
    EXPECT_NEAR(f.a[7], 0.25, 1e-6);    // x: determined
    EXPECT_LT(std::fabs(f.a[8]), 1e-3); // y: left out
    EXPECT_LT(std::fabs(f.a[5]), 1e-3); // y^2
    EXPECT_LT(std::fabs(f.a[1]), 1e-3); // y^3
}

// Fewer points than terms: the minimum-norm solution still passes through
// every point.
TEST(FitSurface, FewPointsAreInterpolated)
{
    const std::vector<double> points = {0.1, 0.2, 0.13, 0.2, -0.3, 0.4, -0.25, 0.45, 0.25, -0.1, 0.2, -0.15};
    const Fit f = FitPoints(points);
    for (size_t k = 0; k < points.size(); k += 4) {
        const double x = points[k], y = points[k + 1];
        EXPECT_NEAR(P(f.a.data(), x, y), x - points[k + 2], 1e-12);
        EXPECT_NEAR(P(f.b.data(), x, y), y - points[k + 3], 1e-12);
    }
}

} // namespace
