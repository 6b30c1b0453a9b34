// Registration from star lists: a field seen twice, the reference through
// the identity and the frame through a known map, which the recovered map
// must agree with at the frame's corners; unrelated fields and short lists
// refused. Warping a frame onto the reference's grid.
#include "stack/register.h"
#include "stack/warp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>

namespace tamrix::stack {
namespace {

constexpr int kSize = 1024;
using Map = std::function<void(double, double, double*, double*)>;
const Map kIdentity = [](double x, double y, double* fx, double* fy) { *fx = x, *fy = y; };

// A field of stars spread over the frame, fluxes over `decades` from 1000.
std::vector<Point> Field(uint32_t seed, int count, double decades = 3)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> at(0, kSize - 1), power(0, decades);
    std::vector<Point> field(count);
    for (Point& p : field)
        p = { at(random), at(random), 1000 * std::pow(10.0, power(random)) };
    return field;
}

// The field through `map` as a detector lists it: stars mapped off the
// frame lost, 30 % of the stars missing, the others off by Gaussian errors
// of 0.03 px and their fluxes by `spread` of theirs, and 20 stars of no field
// added.
std::vector<Point> View(const std::vector<Point>& field, const Map& map, uint32_t seed, double spread = 0)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> unit(0, 1);
    std::normal_distribution<double> error(0, 0.03), gain(1, spread);
    std::vector<Point> out;
    for (const Point& p : field) {
        double x, y;
        map(p.x, p.y, &x, &y);
        if (unit(random) >= 0.3 && x >= 0 && y >= 0 && x <= kSize - 1 && y <= kSize - 1)
            out.push_back({ x + error(random), y + error(random), spread ? p.flux * gain(random) : p.flux });
    }
    const std::vector<Point> extra = Field(seed + 1000, 20);
    out.insert(out.end(), extra.begin(), extra.end());
    return out;
}

// The largest distance at the frame's corners between the registration's
// map and the true one.
double CornerError(const Report& r, const Map& truth)
{
    double worst = 0;
    for (double x : { 0, kSize - 1 })
        for (double y : { 0, kSize - 1 }) {
            double fx, fy, tx, ty;
            MapToFrame(r, x, y, &fx, &fy);
            truth(x, y, &tx, &ty);
            worst = std::max(worst, std::hypot(fx - tx, fy - ty));
        }
    return worst;
}

struct Case {
    const char* name;
    double degrees, scale;
    bool mirror;
    double dx, dy;
    double cubic = 0; // a distortion of this many px at the frame's corners, added to the map
    // Stars of much the same brightness (within 5 %), each view's fluxes off
    // by 20 %: the brightest of one view are mostly not the other's.
    bool similar = false;
};

// Mirror in x, scale and rotate about the frame's centre, shift, then distort.
Map Truth(const Case& c)
{
    return [c](double x, double y, double* fx, double* fy) {
        const double h = (kSize - 1) / 2.0, t = c.degrees * M_PI / 180;
        const double u = (c.mirror ? -1 : 1) * (x - h) * c.scale, v = (y - h) * c.scale;
        *fx = std::cos(t) * u - std::sin(t) * v + h + c.dx;
        *fy = std::sin(t) * u + std::cos(t) * v + h + c.dy;
        const double p = (x - h) / h, q = (y - h) / h;
        *fx += c.cubic * p * p * p / 2;
        *fy += c.cubic * p * q * q / 2;
    };
}

class Registers : public testing::TestWithParam<Case> { };

TEST_P(Registers, WithinAFiftiethOfAPixelAtTheCorners)
{
    const Case& c = GetParam();
    const std::vector<Point> field = Field(1, 1000, c.similar ? 0.02 : 3);
    const double spread = c.similar ? 0.2 : 0;
    Options o;
    o.distortion = c.cubic != 0;
    const Report r = Register(View(field, kIdentity, 2, spread), View(field, Truth(c), 3, spread), o);
    ASSERT_TRUE(r.Registered()) << r.reason;
    EXPECT_GT(r.matched, 150u);
    EXPECT_LT(r.rms, 0.07); // two centroid errors of 0.03 px per axis: 0.06 px
    EXPECT_LT(CornerError(r, Truth(c)), 0.05);
    if (c.cubic != 0) { // the affine map alone cannot follow the distortion
        EXPECT_GT(r.affineRms, 1.5 * r.rms);
    }
}

INSTANTIATE_TEST_SUITE_P(Maps, Registers,
    testing::Values(Case { "LargeShift", 0, 1, false, 380, -310 }, Case { "Rotated37", 37, 1, false, 25, -14 },
        Case { "Rotated180", 180, 1, false, -3.3, 7.9 }, Case { "Mirrored", 10, 1, true, 12, 5 },
        Case { "Smaller", 120, 0.95, false, -30, 20 }, Case { "Larger", -60, 1.05, false, 8, 40 },
        Case { "CubicField", 5, 1, false, 10, 10, 1.0 }, Case { "SimilarStars", 12, 1, false, 30, -20, 0, true }),
    [](const auto& info) { return std::string(info.param.name); });

// Bilinear sampling is exact on a plane, so every warped pixel is the plane
// at the position the registration maps it to, affine or with a cubic field;
// undefined exactly where that position leaves the frame or meets an
// undefined pixel. The affine path goes through Transform.
TEST(WarpOnto, SamplesThePlaneWhereTheRegistrationMapsEachPixel)
{
    const int w = 64, h = 48;
    const auto plane = [](double x, double y) { return 1000 + 30 * x + 50 * y; };
    intake::Frame frame(w, h, intake::Mapping { -500, 0.5, 4, true });
    frame.invalid.assign(frame.Pixels(), false);
    frame.invalid[20 * w + 30] = true;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            frame.Set(size_t(y) * w + x, uint32_t((plane(x, y) + 500) / 0.5));
    Report r;
    r.transform = Affine { 0.98, -0.17, 6.5, 0.17, 0.98, -3.25 };
    for (const bool field : { false, true }) {
        r.distortion.fitted = field;
        r.distortion.cx = w / 2.0, r.distortion.cy = h / 2.0, r.distortion.scale = w / 2.0;
        r.distortion.a = { 0.4, 0, 0.1, 0, 0, 0.3, 0, 0, 0, 1.25 };
        r.distortion.b = { 0, -0.2, 0, 0.1, 0.2, 0, 0, 0, 0, -0.5 };
        std::vector<uint16_t> coverage(size_t(w) * h, 1);
        const std::vector<float> out = WarpOnto(frame, r, w, h, coverage);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                double sx, sy;
                MapToFrame(r, x, y, &sx, &sy);
                const int ix = int(sx), iy = int(sy);
                const bool defined
                    = sx >= 0 && sy >= 0 && sx < w - 1 && sy < h - 1 && !(iy >= 19 && iy <= 20 && ix >= 29 && ix <= 30);
                const size_t i = size_t(y) * w + x;
                ASSERT_EQ(std::isnan(out[i]), !defined) << field << " " << x << "," << y;
                EXPECT_EQ(coverage[i], defined ? 2 : 1);
                if (defined) { // Transform's fractions are quantised to 1/64 px
                    EXPECT_NEAR(out[i], plane(sx, sy), field ? 1e-3 : 2) << field << " " << x << "," << y;
                }
            }
    }
}

// Unrelated fields, short lists and stars without finite positions.
TEST(Register, RefusesWithAReasonAndNoTransform)
{
    // Two dense unrelated fields that share only their ten brightest stars.
    std::vector<Point> shared = Field(3, 10), dense = Field(1, 3000), denseFrame = Field(2, 3000);
    for (Point& p : shared)
        p.flux *= 1e4;
    dense.insert(dense.end(), shared.begin(), shared.end());
    denseFrame.insert(denseFrame.end(), shared.begin(), shared.end());
    const struct {
        std::vector<Point> reference, frame;
        Status status;
        const char* reason;
    } cases[] = {
        { Field(1, 300), Field(2, 300), Status::kNoMatch, "pattern" },
        { dense, denseFrame, Status::kNoMatch, "chance" }, // the few bright agree, the many stars do not
        { Field(1, 5), Field(1, 5), Status::kTooFewStars, "needed" },
        { std::vector<Point>(50, { NAN, 1, 1 }), Field(1, 50), Status::kTooFewStars, "needed" },
    };
    for (const auto& c : cases) {
        const Report r = Register(c.reference, c.frame);
        EXPECT_EQ(r.status, c.status) << c.reference.size() << ": " << r.reason;
        EXPECT_NE(r.reason.find(c.reason), std::string::npos) << r.reason;
        EXPECT_EQ(r.transform.c, 0);
        EXPECT_EQ(r.transform.f, 0);
    }
}

} // namespace
} // namespace tamrix::stack
