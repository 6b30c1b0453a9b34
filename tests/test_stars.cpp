// Classic star detection where the soak does not reach: limits of the
// half-size, the neighbour count and the centroid, and the parallel scan on
// several threads.
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

    Field(int w, int h, std::initializer_list<Block> blocks)
        : width(w)
        , height(h)
        , pixels(static_cast<size_t>(w) * h)
    {
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                pixels[static_cast<size_t>(y) * w + x] = static_cast<Pixel>((x + y) % 2 ? 1002 : 1000);
        for (const Block& b : blocks)
            for (int y = b.y; y < b.y + b.h; ++y)
                for (int x = b.x; x < b.x + b.w; ++x)
                    pixels[static_cast<size_t>(y) * w + x] = static_cast<Pixel>(b.value);
    }
    // The stars both detectors find from a clear mask; they must agree.
    size_t Count(int r, double k, int q)
    {
        size_t found[2], n = 0;
        for (Detector find : { tamrix::FindStars, tamrix::FindStars1C }) {
            std::vector<unsigned> mask((pixels.size() + 31) / 32);
            std::vector<Report> stars;
            find(r, k, q, 0, pixels.data(), width, height, sizeof(Pixel), mask.data(), &stars, Collect);
            found[n++] = stars.size();
        }
        EXPECT_EQ(found[0], found[1]);
        return found[1];
    }
};

template <class Pixel> class ClassicStars : public testing::Test {
};
TYPED_TEST_SUITE(ClassicStars, tamrix::test::PixelTypes);

// The windows, thresholds, neighbour counts, start level and masks are soak
// cases; its draws miss the half-sizes next to the range and the largest
// neighbour count.
TYPED_TEST(ClassicStars, HalfSizeAndNeighbourCountLimits)
{
    Field<TypeParam> star(64, 64, { { 31, 31, 3, 3, 3000 }, { 32, 32, 1, 1, 5000 } });
    EXPECT_EQ(star.Count(2, 1, 1), 1u);
    EXPECT_EQ(star.Count(26, 1, 1), 0u);
    // At half-size 1 a diagonal pair would be a star of the centre pixel alone.
    EXPECT_EQ(Field<TypeParam>(10, 10, { { 5, 5, 1, 1, 4000 }, { 6, 6, 1, 1, 4000 } }).Count(1, 1, 1), 0u);
    // The inner 3 x 3 pixels of a 5 x 5 block have 8 bright neighbours.
    EXPECT_EQ(Field<TypeParam>(40, 40, { { 18, 18, 5, 5, 5000 } }).Count(6, 1, 8), 1u);
}

// The threshold's limits at full scale are soak cases. A hot pixel lifting
// the background mean to 101000, between the two pixels of a star (100000
// and 102001), leaves weights of -1000 and +1001 whose "centroid" would lie a
// thousand pixels to the right, outside the frame. Such a star is dropped,
// not reported there.
TEST(ClassicStarLimits, OutlyingCentroidsAreDropped)
{
    Field<uint32_t> f(10, 10, { { 4, 5, 1, 1, 100000 }, { 5, 5, 1, 1, 102001 }, { 7, 7, 1, 1, 4700954 } });
    EXPECT_EQ(f.Count(3, 1.0, 1), 0u);
    Field<uint32_t> g(10, 10, { { 4, 5, 1, 1, 100000 }, { 5, 5, 1, 1, 102001 }, { 7, 7, 1, 1, 50000 } });
    EXPECT_EQ(g.Count(3, 1.0, 1), 1u);
}

// A noisy 512 x 512 sky with a gradient, a star near the centre of each
// 64-pixel cell and hot pixels at the cell corners: every star is found once,
// no hot pixel. Threads may claim a star from neighbouring grid positions: the
// same stars within a small tolerance (on one thread exactly the serial ones:
// the soak).
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
