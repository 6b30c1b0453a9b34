// Star detection with settings from the frame: a noisy 16-bit field with
// stars of known position and width, one of them cut by the frame's edge,
// one saturated, one too wide for the largest window, and a cosmic-ray track.
#include "detect/stars.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <tuple>

namespace tamrix::detect {
namespace {

constexpr int kW = 400, kH = 300;
constexpr double kSky = 1000, kNoise = 10;

struct Truth {
    double x, y, flux, fwhm;
};

// Gaussian stars over a sky of kSky with Gaussian noise of kNoise, clipped at 65535.
std::vector<uint16_t> Field(const std::vector<Truth>& stars, uint32_t seed)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(kSky, kNoise);
    std::vector<double> v(size_t(kW) * kH);
    for (double& p : v)
        p = noise(random);
    for (const Truth& s : stars) {
        const double sigma = s.fwhm / 2.3548, reach = 6 * sigma + 2;
        for (int y = std::max(0, int(s.y - reach)); y <= std::min(kH - 1, int(s.y + reach)); ++y)
            for (int x = std::max(0, int(s.x - reach)); x <= std::min(kW - 1, int(s.x + reach)); ++x)
                v[size_t(y) * kW + x] += s.flux / (2 * M_PI * sigma * sigma)
                    * std::exp(-((x - s.x) * (x - s.x) + (y - s.y) * (y - s.y)) / (2 * sigma * sigma));
    }
    std::vector<uint16_t> frame(v.size());
    for (size_t i = 0; i < v.size(); ++i)
        frame[i] = uint16_t(std::clamp(std::round(v[i]), 0.0, 65535.0));
    return frame;
}

const Star* Near(const std::vector<Star>& stars, double x, double y, double within)
{
    for (const Star& s : stars)
        if (std::hypot(s.cx - x, s.cy - y) < within)
            return &s;
    return nullptr;
}

TEST(DetectStars, FindsEveryKindOfStarWithItsFlagsAndDropsACosmicRay)
{
    std::vector<Truth> truth;
    for (int i = 0; i < 24; ++i) // a grid of ordinary stars, SNR 20 to 300
        truth.push_back({ 40.3 + 45 * (i % 6), 40.6 + 50 * (i / 6), 3000.0 * (1 + i), 3.0 });
    const Truth edge { 1.2, 150.4, 20000, 3.0 }, saturated { 330.5, 60.5, 3e6, 3.0 }, wide { 330.2, 200.7, 6e6, 24 };
    truth.insert(truth.end(), { edge, saturated, wide });
    std::vector<uint16_t> frame = Field(truth, 7);
    for (int x = 200; x < 212; ++x) // a cosmic-ray track, one pixel wide
        frame[size_t(260) * kW + x] = 4000;

    const Result r = FindStars(frame.data(), kW, kH, 2, Options {});
    EXPECT_NEAR(r.sky.level, kSky, 1);
    EXPECT_NEAR(r.sky.noise, kNoise, 1);
    EXPECT_NEAR(r.fwhm, 3.0, 0.5);
    for (size_t i = 0; i < 24; ++i) {
        const Star* s = Near(r.stars, truth[i].x, truth[i].y, 0.3);
        ASSERT_NE(s, nullptr) << truth[i].x << "," << truth[i].y;
        EXPECT_EQ(s->flags, 0u);
        EXPECT_NEAR(s->fwhm, 3.0, 0.6);
        EXPECT_LT(s->elongation, 1.3);
    }
    const Star* e = Near(r.stars, edge.x, edge.y, 1.5);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->flags, unsigned(kEdge));
    const Star* s = Near(r.stars, saturated.x, saturated.y, 0.5);
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->flags & kSaturated);
    const Star* w = Near(r.stars, wide.x, wide.y, 1.0);
    ASSERT_NE(w, nullptr);
    EXPECT_NEAR(w->fwhm, 24, 2);
    EXPECT_TRUE(w->flags & kTooLarge);
    EXPECT_EQ(Near(r.stars, 205.5, 260, 8), nullptr);
    EXPECT_EQ(r.stars.size(), truth.size());
}

TEST(DetectStars, FindsTheSameStarsInA32BitFrameStoredAroundTwoToThe31)
{
    std::vector<Truth> truth;
    for (int i = 0; i < 6; ++i)
        truth.push_back({ 60.4 + 50 * i, 150.2, 20000, 3.0 });
    const std::vector<uint16_t> frame = Field(truth, 3);
    std::vector<uint32_t> shifted(frame.begin(), frame.end());
    for (uint32_t& v : shifted)
        v += 0x80000000u; // signed 32-bit data: sums of four would wrap
    Options o;
    o.parallel = false;
    const Result a = FindStars(frame.data(), kW, kH, 2, o), b = FindStars(shifted.data(), kW, kH, 4, o);
    ASSERT_EQ(a.stars.size(), truth.size());
    ASSERT_EQ(b.stars.size(), truth.size());
    for (size_t i = 0; i < truth.size(); ++i) {
        EXPECT_NEAR(b.stars[i].cx, a.stars[i].cx, 1e-9);
        EXPECT_NEAR(b.stars[i].flux, a.stars[i].flux, 1e-9 * a.stars[i].flux); // the library sums squares near 2^62
    }
}

TEST(DetectStars, FramesWithoutStarsOrRoomForAWindowReportNothing)
{
    for (const auto& [w, h, value] : { std::tuple { 1, 1, 0 }, { 7, 5, 1000 }, { 64, 64, 0 }, { 300, 2, 65535 } }) {
        const std::vector<uint16_t> frame(size_t(w) * h, uint16_t(value));
        EXPECT_TRUE(FindStars(frame.data(), w, h, 2, Options {}).stars.empty()) << w << "x" << h;
    }
}

} // namespace
} // namespace tamrix::detect
