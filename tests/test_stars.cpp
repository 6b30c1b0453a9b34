// Classic star detection: the window measurement, the scan and the claim mask.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <bitset>
#include <chrono>
#include <climits>
#include <cmath>
#include <random>
#include <vector>

using tamrix::test::ThreadCount;

namespace {

struct Report {
    int x, y;
    double cx, cy, flux;
    unsigned peak;
};

void Collect(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    static_cast<std::vector<Report>*>(context)->push_back({x, y, cx, cy, flux, peak});
}

using Detector = void (*)(int, double, int, unsigned, void*, int, int, int, unsigned*, void*, tamrix::TStarCallback);
const Detector kDetectors[] = {tamrix::FindStars, tamrix::FindStars1C};

// A frame on a checkerboard background of 1000 and 1002 (mean 1001, standard
// deviation 1), so that the clipped statistics have a known, non-zero spread.
template <class Pixel>
struct Field {
    int width, height;
    std::vector<Pixel> pixels;
    std::vector<unsigned> mask;

    Field(int w, int h) : width(w), height(h), pixels(static_cast<size_t>(w) * h), mask((pixels.size() + 31) / 32)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                Set(x, y, (x + y) % 2 == 0 ? 1000 : 1002);
    }
    void Set(int x, int y, uint64_t v) { pixels[static_cast<size_t>(y) * width + x] = static_cast<Pixel>(v); }
    void Block(int x0, int y0, int w, int h, uint64_t v)
    {
        for (int y = y0; y < y0 + h; ++y)
            for (int x = x0; x < x0 + w; ++x)
                Set(x, y, v);
    }
    bool Marked(int x, int y) const
    {
        const size_t i = static_cast<size_t>(y) * width + x;
        return (mask[i / 32] >> (i % 32)) & 1u;
    }
    void Mark(int x, int y)
    {
        const size_t i = static_cast<size_t>(y) * width + x;
        mask[i / 32] |= 1u << (i % 32);
    }
    std::vector<Report> Find(Detector find, int r, double k, int q, unsigned start = 0)
    {
        std::vector<Report> found;
        find(r, k, q, start, pixels.data(), width, height, sizeof(Pixel) == 2 ? 2 : 4, mask.data(), &found, Collect);
        return found;
    }
    // Finds with both detectors on fresh copies of the mask; they must agree.
    size_t Count(int r, double k, int q, unsigned start = 0)
    {
        const std::vector<unsigned> saved = mask;
        const size_t parallel = Find(tamrix::FindStars, r, k, q, start).size();
        mask = saved;
        const size_t serial = Find(tamrix::FindStars1C, r, k, q, start).size();
        mask = saved;
        EXPECT_EQ(parallel, serial);
        return serial;
    }
};

template <class Pixel>
class ClassicStars : public testing::Test {};
using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(ClassicStars, PixelTypes);

// A 3 x 3 star of 1500 / 2000 / 3000 (2500 on its right) with a hot pixel of
// 5000 in the window. With k = 1 the threshold is 1352: all nine pixels are
// star pixels and the background mean B is that of the 71 other window pixels
// and the hot pixel, (71 * ~1001 + 5000) / 72 = 1056.53: flux = 17500 - 9 B,
// cx = 8 + 500 / flux (the right column outweighs the left by 500), cy = 8.
// With k = 3 the threshold is 1889: the corners fall back into the background
// (B = 1079.87) and the star is the 5-pixel cross.
TYPED_TEST(ClassicStars, MeasuresBackgroundSubtractedCentroidFluxAndPeak)
{
    Field<TypeParam> f(16, 16);
    f.Block(7, 7, 3, 3, 1500);
    f.Block(8, 7, 1, 3, 2000);
    f.Block(7, 8, 3, 1, 2000);
    f.Set(8, 8, 3000);
    f.Set(9, 8, 2500);
    f.Set(5, 10, 5000);
    for (Detector find : kDetectors) {
        f.mask.assign(f.mask.size(), 0);
        auto found = f.Find(find, 4, 1.0, 2);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(found[0].x, 8);
        EXPECT_EQ(found[0].y, 8);
        EXPECT_NEAR(found[0].cx, 8.0625684342249, 1e-12);
        EXPECT_NEAR(found[0].cy, 8.0, 1e-12);
        EXPECT_NEAR(found[0].flux, 7991.25, 1e-9);
        EXPECT_EQ(found[0].peak, 3000u);

        f.mask.assign(f.mask.size(), 0);
        found = f.Find(find, 4, 3.0, 2);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_NEAR(found[0].cx, 8.08195837377332, 1e-12);
        EXPECT_NEAR(found[0].cy, 8.0, 1e-12);
        EXPECT_NEAR(found[0].flux, 6100.6578947368, 1e-9);
        EXPECT_EQ(found[0].peak, 3000u);
        // The mask holds exactly the cross.
        for (int y = 6; y <= 10; ++y)
            for (int x = 6; x <= 10; ++x)
                EXPECT_EQ(f.Marked(x, y), std::abs(x - 8) + std::abs(y - 8) <= 1) << x << "," << y;
    }
}

TYPED_TEST(ClassicStars, HalfSizeOutsideTwoToTwentyFiveFindsNothing)
{
    Field<TypeParam> f(64, 64);
    f.Block(31, 31, 3, 3, 3000);
    f.Set(32, 32, 5000);
    EXPECT_EQ(f.Count(2, 1.0, 1), 1u);
    EXPECT_EQ(f.Count(25, 1.0, 1), 1u);
    for (int r : {1, 26, 0, -3, INT_MIN, INT_MAX})
        EXPECT_EQ(f.Count(r, 1.0, 1), 0u) << "r = " << r;
}

// The window and a one-pixel margin must fit: with r = 3 a 10 x 10 frame has
// exactly one scan position, (5, 5), and a frame one pixel smaller none.
TYPED_TEST(ClassicStars, FrameNeedsTwoRPlusFourPixelsEachWay)
{
    for (auto [w, h, expected] : {std::tuple{10, 10, 1u}, {9, 10, 0u}, {10, 9, 0u}, {9, 9, 0u}}) {
        Field<TypeParam> f(w, h);
        f.Block(4, 4, 3, 3, 4000);
        EXPECT_EQ(f.Count(3, 1.0, 1), expected) << w << " x " << h;
    }
}

TYPED_TEST(ClassicStars, IsolatedHotPixelIsNeverAStar)
{
    Field<TypeParam> f(32, 32);
    f.Set(16, 16, 60000);
    for (int q = 0; q <= 8; ++q)
        EXPECT_EQ(f.Count(4, 1.0, q), 0u) << "q = " << q;
}

// Two adjacent bright pixels have one bright neighbour each.
TYPED_TEST(ClassicStars, NeighbourCountZeroActsAsOne)
{
    Field<TypeParam> f(32, 32);
    f.Block(16, 16, 2, 1, 5000);
    const auto one = f.Find(tamrix::FindStars1C, 4, 3.0, 1);
    f.mask.assign(f.mask.size(), 0);
    const auto zero = f.Find(tamrix::FindStars1C, 4, 3.0, 0);
    ASSERT_EQ(one.size(), 1u);
    ASSERT_EQ(zero.size(), 1u);
    EXPECT_EQ(zero[0].cx, one[0].cx);
    EXPECT_EQ(zero[0].flux, one[0].flux);
    EXPECT_NEAR(one[0].cx, 16.5, 1e-12);
    f.mask.assign(f.mask.size(), 0);
    EXPECT_EQ(f.Count(4, 3.0, 0), 1u);
    EXPECT_EQ(f.Count(4, 3.0, 2), 0u);
}

// In a 5 x 5 block only the inner 3 x 3 pixels have all 8 neighbours bright.
TYPED_TEST(ClassicStars, NeighbourCountAboveEightOrNegativeFindsNothing)
{
    Field<TypeParam> f(40, 40);
    f.Block(18, 18, 5, 5, 5000);
    const auto eight = f.Find(tamrix::FindStars1C, 6, 1.0, 8);
    ASSERT_EQ(eight.size(), 1u);
    EXPECT_EQ(eight[0].x, 20);
    EXPECT_EQ(eight[0].y, 20);
    EXPECT_TRUE(f.Marked(19, 19) && f.Marked(21, 21) && !f.Marked(18, 20) && !f.Marked(22, 20));
    f.mask.assign(f.mask.size(), 0);
    for (int q : {9, 100, -1, INT_MIN})
        EXPECT_EQ(f.Count(6, 1.0, q), 0u) << "q = " << q;
}

// r = 3 in a 10 x 10 frame: the only window spans columns and rows 2 .. 8.
TYPED_TEST(ClassicStars, StarTouchingTheWindowBorderIsNotMeasured)
{
    Field<TypeParam> inside(10, 10), touching(10, 10);
    inside.Block(6, 4, 2, 2, 4000);
    touching.Block(7, 4, 2, 2, 4000);
    EXPECT_EQ(inside.Count(3, 1.0, 1), 1u);
    EXPECT_EQ(touching.Count(3, 1.0, 1), 0u);

    // A star wider than 2r - 1 touches the border from every position.
    Field<TypeParam> wide(40, 40);
    wide.Block(17, 19, 7, 2, 4000);
    EXPECT_EQ(wide.Count(3, 1.0, 1), 0u);
    EXPECT_EQ(wide.Count(4, 1.0, 1), 1u);
}

// r = 5 in a 14 x 14 frame: one window, columns and rows 2 .. 12. The fainter
// star holds the first star pixel in raster order, so it is the one measured.
TYPED_TEST(ClassicStars, TwoStarsInOneWindowMeasuresTheFirstInRasterOrder)
{
    Field<TypeParam> f(14, 14);
    f.Block(9, 4, 2, 2, 3000);
    f.Block(4, 8, 2, 2, 6000);
    for (Detector find : kDetectors) {
        f.mask.assign(f.mask.size(), 0);
        const auto found = f.Find(find, 5, 1.0, 1);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_NEAR(found[0].cx, 9.5, 1e-12);
        EXPECT_NEAR(found[0].cy, 4.5, 1e-12);
        EXPECT_EQ(found[0].peak, 3000u);
        EXPECT_FALSE(f.Marked(4, 8));
    }
}

TYPED_TEST(ClassicStars, MaskedPixelExcludesTheStar)
{
    Field<TypeParam> f(32, 32);
    f.Block(15, 15, 3, 3, 4000);
    f.Mark(17, 17); // a corner of the star
    EXPECT_EQ(f.Count(4, 1.0, 1), 0u);

    f.mask.assign(f.mask.size(), 0);
    f.Mark(18, 16); // next to the star
    ASSERT_EQ(f.Find(tamrix::FindStars, 4, 1.0, 1).size(), 1u);
    for (int y = 13; y <= 19; ++y)
        for (int x = 13; x <= 19; ++x)
            EXPECT_EQ(f.Marked(x, y), (x >= 15 && x <= 17 && y >= 15 && y <= 17) || (x == 18 && y == 16));
    // What the first run reported stays claimed.
    EXPECT_EQ(f.Count(4, 1.0, 1), 0u);
}

// r = 5 in a 14 x 14 frame: the one scan position, (7, 7), is background
// (1000) and not part of the star.
TYPED_TEST(ClassicStars, StartLevelOnlyChoosesThePositionsExamined)
{
    Field<TypeParam> f(14, 14);
    f.Block(9, 4, 2, 2, 3000);
    EXPECT_EQ(f.Count(5, 1.0, 1, 1000), 1u);
    EXPECT_EQ(f.Count(5, 1.0, 1, 1001), 0u);
    f.Mark(7, 7); // a claimed position is not examined either
    EXPECT_EQ(f.Count(5, 1.0, 1, 1000), 0u);
}

// r = 4 in a 12 x 12 frame, one window: the clip's lower bound (653) drops a
// dead pixel from the statistics, so the threshold stays at 1028 and finds the
// faint star; the dead pixel still counts toward the background mean,
// (76 * 1001 + 0) / 77 = 988, so the flux is 4 * (1100 - 988).
TYPED_TEST(ClassicStars, ClipDropsADeadPixelThatTheBackgroundMeanKeeps)
{
    Field<TypeParam> f(12, 12);
    f.Set(3, 3, 0);
    f.Block(6, 5, 2, 2, 1100);
    for (Detector find : kDetectors) {
        f.mask.assign(f.mask.size(), 0);
        const auto found = f.Find(find, 4, 1.0, 1);
        ASSERT_EQ(found.size(), 1u);
        EXPECT_NEAR(found[0].cx, 6.5, 1e-12);
        EXPECT_NEAR(found[0].cy, 5.5, 1e-12);
        EXPECT_NEAR(found[0].flux, 448.0, 1e-9);
    }
}

// A hot pixel that lifts the background mean to 101000, between the two
// pixels of a star (100000 and 102001), leaves weights of -1000 and +1001:
// their "centroid" would lie a thousand pixels to the right, outside the
// frame. Such a star is dropped rather than reported there.
TEST(ClassicStarCentroid, CentroidOutsideTheWindowIsDropped)
{
    Field<uint32_t> f(10, 10); // r = 3: one window, columns and rows 2 .. 8
    f.Set(4, 5, 100000);
    f.Set(5, 5, 102001);
    f.Set(7, 7, 4700954);
    EXPECT_EQ(f.Count(3, 1.0, 1), 0u);
    f.Set(7, 7, 50000); // a background mean far below the star
    EXPECT_EQ(f.Count(3, 1.0, 1), 1u);
}

// Checkerboard 1000 / 1010 (clipped deviation 5) and a 3 x 3 saturated star:
// k = 13800 puts the threshold at about 70000, which a 16-bit frame limits to
// 65535, so nothing exceeds it (a threshold wrapped to 16 bits, 4464, would
// find the star). A 32-bit frame has no such limit: a star of 80000 is found.
TEST(ClassicStarThreshold, SixteenBitThresholdStopsAtFullScale)
{
    Field<uint16_t> f16(32, 32);
    Field<uint32_t> f32(32, 32);
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x) {
            f16.Set(x, y, (x + y) % 2 ? 1010 : 1000);
            f32.Set(x, y, (x + y) % 2 ? 1010 : 1000);
        }
    f16.Block(15, 15, 3, 3, 65535);
    f32.Block(15, 15, 3, 3, 80000);
    EXPECT_EQ(f16.Count(6, 12000.0, 1), 1u); // threshold about 61000
    EXPECT_EQ(f16.Count(6, 13800.0, 1), 0u);
    EXPECT_EQ(f32.Count(6, 13800.0, 1), 1u);
}

// A 512 x 512 sky: background 1000 with a gradient and Gaussian noise of 10,
// 49 Gaussian stars (sigma 1.2 .. 2, peaks 3000 .. 40000) at sub-pixel
// positions at least 40 pixels apart, and hot pixels between them.
class StarField : public testing::Test {
protected:
    static constexpr int kSide = 512, kHalf = 16, kLevel = 1200;
    static constexpr double kFactor = 3.0;
    struct Truth {
        double x, y;
    };

    static void SetUpTestSuite()
    {
        std::mt19937_64 rng(7);
        std::uniform_real_distribution<double> unit(0.0, 1.0);
        std::normal_distribution<double> noise(0.0, 10.0);
        std::vector<double> sky(static_cast<size_t>(kSide) * kSide);
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                sky[static_cast<size_t>(y) * kSide + x] = 1000 + 0.1 * x + 0.05 * y + noise(rng);
        truth_ = new std::vector<Truth>;
        for (int i = 0; i < 7; ++i)
            for (int j = 0; j < 7; ++j) {
                const Truth t{32 + 64 * j + 16 * (unit(rng) - 0.5), 32 + 64 * i + 16 * (unit(rng) - 0.5)};
                const double sigma = 1.2 + 0.8 * unit(rng), peak = 3000 * std::pow(40000 / 3000.0, unit(rng));
                for (int y = static_cast<int>(t.y) - 12; y <= static_cast<int>(t.y) + 12; ++y)
                    for (int x = static_cast<int>(t.x) - 12; x <= static_cast<int>(t.x) + 12; ++x) {
                        const double d2 = (x - t.x) * (x - t.x) + (y - t.y) * (y - t.y);
                        sky[static_cast<size_t>(y) * kSide + x] += peak * std::exp(-d2 / (2 * sigma * sigma));
                    }
                truth_->push_back(t);
                sky[static_cast<size_t>(64 * i) * kSide + 64 * j] += 20000; // hot pixel between stars
            }
        frame_ = new std::vector<uint16_t>(sky.size());
        for (size_t i = 0; i < sky.size(); ++i)
            (*frame_)[i] = static_cast<uint16_t>(std::lround(std::min(sky[i], 65535.0)));
    }
    static void TearDownTestSuite()
    {
        delete truth_;
        delete frame_;
    }

    static std::vector<Report> Find(Detector find, std::vector<unsigned>& mask, tamrix::TStarCallback cb = Collect)
    {
        std::vector<Report> found;
        find(kHalf, kFactor, 2, kLevel, frame_->data(), kSide, kSide, 2, mask.data(), &found, cb);
        return found;
    }
    static std::vector<unsigned> EmptyMask() { return std::vector<unsigned>((kSide * kSide + 31) / 32); }

    static std::vector<Truth>* truth_;
    static std::vector<uint16_t>* frame_;
};
std::vector<StarField::Truth>* StarField::truth_ = nullptr;
std::vector<uint16_t>* StarField::frame_ = nullptr;

const Report* Nearest(const std::vector<Report>& found, double x, double y)
{
    const Report* best = nullptr;
    for (const auto& s : found)
        if (!best || std::hypot(s.cx - x, s.cy - y) < std::hypot(best->cx - x, best->cy - y))
            best = &s;
    return best;
}

TEST_F(StarField, BrightIsolatedStarsAreCentredWithinATenthOfAPixel)
{
    auto mask = EmptyMask();
    const auto found = Find(tamrix::FindStars1C, mask);
    EXPECT_EQ(found.size(), truth_->size()); // no hot pixel, no star twice
    for (const auto& t : *truth_) {
        const Report* s = Nearest(found, t.x, t.y);
        ASSERT_NE(s, nullptr);
        EXPECT_LT(std::hypot(s->cx - t.x, s->cy - t.y), 0.1) << t.x << "," << t.y;
        EXPECT_EQ(s->x, static_cast<int>(s->cx + 0.5));
        EXPECT_EQ(s->y, static_cast<int>(s->cy + 0.5));
    }
}

TEST_F(StarField, ParallelScanReportsTheSameStars)
{
    auto serialMask = EmptyMask();
    const auto serial = Find(tamrix::FindStars1C, serialMask);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        auto mask = EmptyMask();
        const auto parallel = Find(tamrix::FindStars, mask);
        ASSERT_EQ(parallel.size(), serial.size()) << threads << " threads";
        for (const auto& s : serial) {
            const Report* p = Nearest(parallel, s.cx, s.cy);
            EXPECT_LT(std::hypot(p->cx - s.cx, p->cy - s.cy), 0.02) << threads << " threads";
            EXPECT_NEAR(p->flux, s.flux, 0.01 * s.flux);
            EXPECT_EQ(p->peak, s.peak);
        }
        if (threads != 1)
            continue;
        // One thread walks the grid in the serial order.
        for (size_t i = 0; i < serial.size(); ++i)
            EXPECT_EQ(parallel[i].cx, serial[i].cx);
        EXPECT_EQ(mask, serialMask);
    }
}

TEST_F(StarField, EveryReportedStarIsMarkedAndASecondRunFindsNothing)
{
    auto mask = EmptyMask();
    const auto found = Find(tamrix::FindStars, mask);
    ASSERT_FALSE(found.empty());
    auto marked = [&](int x, int y) { return (mask[(y * kSide + x) / 32] >> ((y * kSide + x) % 32)) & 1u; };
    size_t bits = 0;
    for (unsigned word : mask)
        bits += std::bitset<32>(word).count();
    size_t near = 0;
    for (const auto& s : found)
        for (int y = s.y - 8; y <= s.y + 8; ++y)
            for (int x = s.x - 8; x <= s.x + 8; ++x) {
                if (std::abs(x - s.x) <= 1 && std::abs(y - s.y) <= 1) {
                    EXPECT_TRUE(marked(x, y)) << x << "," << y;
                }
                near += marked(x, y);
            }
    EXPECT_EQ(near, bits); // nothing marked away from the reported stars
    for (Detector find : kDetectors) {
        auto again = mask;
        EXPECT_TRUE(Find(find, again).empty());
        EXPECT_EQ(again, mask);
    }
}

std::atomic<int> inside{0}, overlaps{0}, calls{0};

void SlowCallback(void*, int, int, double, double, double, unsigned)
{
    if (inside.fetch_add(1) != 0)
        overlaps.fetch_add(1);
    calls.fetch_add(1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(300);
    while (std::chrono::steady_clock::now() < until) {
    }
    inside.fetch_sub(1);
}

TEST_F(StarField, CallbacksNeverOverlap)
{
    ThreadCount scope(7);
    auto mask = EmptyMask();
    Find(tamrix::FindStars, mask, SlowCallback);
    EXPECT_EQ(calls.load(), static_cast<int>(truth_->size()));
    EXPECT_EQ(overlaps.load(), 0);
}

} // namespace
