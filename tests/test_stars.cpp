// Classic star detection: which windows report a star, the limits of the
// threshold and the centroid, and the parallel scan. The measurement and the
// claim mask are soak cases.
#include "reference/stars.h"
#include "support.h"
#include "tamrix.h"
#include "tools/star_fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using tamrix::reference::Collect;
using tamrix::test::ThreadCount;
using Report = tamrix::reference::Star;

namespace {

using Detector = decltype(&tamrix::FindStars);

struct Block {
    int x, y, w, h;
    uint32_t value;
};

// A frame on a checkerboard of 1000 and 1002 (mean 1001, deviation 1), so
// that the clipped statistics have a known, non-zero spread.
template <class Pixel> struct Field {
    int width, height;
    std::vector<Pixel> pixels;
    std::vector<unsigned> mask;

    Field(int w, int h, std::initializer_list<Block> blocks = {}, uint32_t odd = 1002)
        : width(w)
        , height(h)
        , pixels(static_cast<size_t>(w) * h)
        , mask((pixels.size() + 31) / 32)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                pixels[static_cast<size_t>(y) * w + x] = static_cast<Pixel>((x + y) % 2 ? odd : 1000);
        for (const Block& b : blocks)
            for (int y = b.y; y < b.y + b.h; ++y)
                for (int x = b.x; x < b.x + b.w; ++x)
                    pixels[static_cast<size_t>(y) * w + x] = static_cast<Pixel>(b.value);
    }
    void Mark(int x, int y) { mask[(y * width + x) / 32] |= 1u << ((y * width + x) % 32); }
    std::vector<Report> Find(Detector find, int r, double k, int q, unsigned start = 0)
    {
        std::vector<Report> found;
        find(r, k, q, start, pixels.data(), width, height, sizeof(Pixel) == 2 ? 2 : 4, mask.data(), &found, Collect);
        return found;
    }
    // Both detectors, each from the mask as it is now; they must agree.
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

template <class Pixel> class ClassicStars : public testing::Test {
};
TYPED_TEST_SUITE(ClassicStars, tamrix::test::PixelTypes);

// Each case: a frame, the marks set beforehand, the arguments, the number of
// stars expected. With r = 3 a 10 x 10 frame has one scan position, (5, 5),
// whose window spans 2 .. 8; with r = 5 a 14 x 14 frame has one, (7, 7), a
// background pixel of 1000, window 2 .. 12.
TYPED_TEST(ClassicStars, ReportsOnlyWhatTheRulesAllow)
{
    const Block star3[] = { { 31, 31, 3, 3, 3000 }, { 32, 32, 1, 1, 5000 } };
    struct Case {
        const char* what;
        Field<TypeParam> field;
        std::vector<std::pair<int, int>> marks;
        int r;
        double k;
        int q;
        unsigned start;
        size_t expected;
    };
    const Case cases[] = {
        { "half-size 2", Field<TypeParam>(64, 64, { star3[0], star3[1] }), {}, 2, 1, 1, 0, 1 },
        { "half-size 25", Field<TypeParam>(64, 64, { star3[0], star3[1] }), {}, 25, 1, 1, 0, 1 },
        { "half-size 1", Field<TypeParam>(64, 64, { star3[0], star3[1] }), {}, 1, 1, 1, 0, 0 },
        { "half-size 26", Field<TypeParam>(64, 64, { star3[0], star3[1] }), {}, 26, 1, 1, 0, 0 },
        { "frame 2r + 4", Field<TypeParam>(10, 10, { { 4, 4, 3, 3, 4000 } }), {}, 3, 1, 1, 0, 1 },
        { "frame 2r + 3 wide", Field<TypeParam>(9, 10, { { 4, 4, 3, 3, 4000 } }), {}, 3, 1, 1, 0, 0 },
        { "frame 2r + 3 high", Field<TypeParam>(10, 9, { { 4, 4, 3, 3, 4000 } }), {}, 3, 1, 1, 0, 0 },
        { "hot pixel, q = 0", Field<TypeParam>(32, 32, { { 16, 16, 1, 1, 60000 } }), {}, 4, 1, 0, 0, 0 },
        // Two adjacent bright pixels have one bright neighbour each.
        { "pair, q = 1", Field<TypeParam>(32, 32, { { 16, 16, 2, 1, 5000 } }), {}, 4, 3, 1, 0, 1 },
        { "pair, q = 2", Field<TypeParam>(32, 32, { { 16, 16, 2, 1, 5000 } }), {}, 4, 3, 2, 0, 0 },
        // The inner 3 x 3 pixels of a 5 x 5 block have 8 bright neighbours.
        { "block, q = 8", Field<TypeParam>(40, 40, { { 18, 18, 5, 5, 5000 } }), {}, 6, 1, 8, 0, 1 },
        { "block, q = 9", Field<TypeParam>(40, 40, { { 18, 18, 5, 5, 5000 } }), {}, 6, 1, 9, 0, 0 },
        { "block, q = -1", Field<TypeParam>(40, 40, { { 18, 18, 5, 5, 5000 } }), {}, 6, 1, -1, 0, 0 },
        { "inside the window", Field<TypeParam>(10, 10, { { 6, 4, 2, 2, 4000 } }), {}, 3, 1, 1, 0, 1 },
        { "touching its border", Field<TypeParam>(10, 10, { { 7, 4, 2, 2, 4000 } }), {}, 3, 1, 1, 0, 0 },
        { "7 wide, r = 4", Field<TypeParam>(40, 40, { { 17, 19, 7, 2, 4000 } }), {}, 4, 1, 1, 0, 1 },
        { "star pixel masked", Field<TypeParam>(32, 32, { { 15, 15, 3, 3, 4000 } }), { { 17, 17 } }, 4, 1, 1, 0, 0 },
        { "neighbour masked", Field<TypeParam>(32, 32, { { 15, 15, 3, 3, 4000 } }), { { 18, 16 } }, 4, 1, 1, 0, 1 },
        // The star need not include the scan position's pixel.
        { "start at position", Field<TypeParam>(14, 14, { { 9, 4, 2, 2, 3000 } }), {}, 5, 1, 1, 1000, 1 },
        { "start above it", Field<TypeParam>(14, 14, { { 9, 4, 2, 2, 3000 } }), {}, 5, 1, 1, 1001, 0 },
        { "position masked", Field<TypeParam>(14, 14, { { 9, 4, 2, 2, 3000 } }), { { 7, 7 } }, 5, 1, 1, 1000, 0 },
    };
    for (Case c : cases) {
        for (auto [x, y] : c.marks)
            c.field.Mark(x, y);
        EXPECT_EQ(c.field.Count(c.r, c.k, c.q, c.start), c.expected) << c.what;
    }
}

// Checkerboard 1000 / 1010 (clipped deviation 5) and a 3 x 3 saturated star:
// k = 13800 puts the threshold near 70000, which a 16-bit frame limits to
// 65535, so nothing exceeds it (wrapped to 16 bits, 4464, it would find the
// star). A 32-bit frame has no such limit: a star of 80000 is found.
// A hot pixel lifting the background mean to 101000, between the two pixels
// of a star (100000 and 102001), leaves weights of -1000 and +1001 whose
// "centroid" would lie a thousand pixels to the right, outside the frame.
// Such a star is dropped, not reported there.
TEST(ClassicStarLimits, SixteenBitThresholdStopsAtFullScaleAndOutlyingCentroidsAreDropped)
{
    Field<uint16_t> f16(32, 32, { { 15, 15, 3, 3, 65535 } }, 1010);
    Field<uint32_t> f32(32, 32, { { 15, 15, 3, 3, 80000 } }, 1010);
    EXPECT_EQ(f16.Count(6, 12000.0, 1), 1u); // threshold near 61000
    EXPECT_EQ(f16.Count(6, 13800.0, 1), 0u);
    EXPECT_EQ(f32.Count(6, 13800.0, 1), 1u);
    Field<uint32_t> f(10, 10, { { 4, 5, 1, 1, 100000 }, { 5, 5, 1, 1, 102001 }, { 7, 7, 1, 1, 4700954 } });
    EXPECT_EQ(f.Count(3, 1.0, 1), 0u);
    Field<uint32_t> g(10, 10, { { 4, 5, 1, 1, 100000 }, { 5, 5, 1, 1, 102001 }, { 7, 7, 1, 1, 50000 } });
    EXPECT_EQ(g.Count(3, 1.0, 1), 1u);
}

// A 512 x 512 sky of 1000 with a gradient and noise of 10, 64 Gaussian stars
// (sigma 1.2 .. 2, peaks 3000 .. 40000) at sub-pixel positions near the
// centres of 64-pixel cells, and hot pixels at the cell corners; r = 16,
// k = 3, q = 2, start level 1200. Every star is found once, no hot pixel.
// Threads may claim a star from neighbouring grid positions: the same stars
// within a small tolerance (on one thread exactly the serial ones: the soak).
TEST(StarField, ParallelScanReportsTheSameStars)
{
    starnet::Recipe recipe;
    recipe.cell = 64, recipe.minPeak = 3000, recipe.decades = std::log10(40000 / 3000.0);
    recipe.sigma = 1.2, recipe.sigmaSpread = 0.8, recipe.moffat = false, recipe.pairs = 0;
    recipe.hotPixels = recipe.tracks = 0;
    starnet::Field field = starnet::MakeField(7, recipe);
    for (int i = 0; i < 64; ++i)
        field.pixels[size_t(64 * (i / 8)) * 512 + 64 * (i % 8)] += 20000;
    auto find = [&](Detector detector) {
        std::vector<unsigned> mask(512 * 512 / 32);
        std::vector<Report> found;
        detector(16, 3.0, 2, 1200, field.pixels.data(), 512, 512, 2, mask.data(), &found, Collect);
        return found;
    };
    const auto serial = find(tamrix::FindStars1C);
    ASSERT_EQ(serial.size(), field.stars.size());
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        const auto parallel = find(tamrix::FindStars);
        ASSERT_EQ(parallel.size(), serial.size()) << threads << " threads";
        for (const auto& s : serial) {
            auto distance = [&](const Report& p) { return std::hypot(p.cx - s.cx, p.cy - s.cy); };
            const Report& p = *std::min_element(parallel.begin(), parallel.end(),
                [&](const Report& a, const Report& b) { return distance(a) < distance(b); });
            EXPECT_LT(distance(p), 0.02) << threads << " threads";
            EXPECT_NEAR(p.flux, s.flux, 0.01 * s.flux);
        }
    }
}

} // namespace
