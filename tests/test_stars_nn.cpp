// Neural star detection with networks whose outputs are known: a single
// logistic neuron weighing only the window's centre, so that a pixel is a
// candidate exactly when it is the brightest (or, negated, the darkest) of a
// window that is not flat. Outputs at and next to the level are checked at
// every vector level in test_internal_kernels.cpp.
#include "nnet_support.h"
#include "reference/stars.h"
#include "support.h"
#include "tamrix.h"
#include "tools/star_fields.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <vector>

using tamrix::reference::Collect;
using Report = tamrix::reference::Star;

namespace {

// sizes {(2r+1)^2, 1}: output = 1 / (1 + exp(-(centreWeight * centre + bias))).
std::unique_ptr<nnet::CNetwork> CentreNet(int inputs, float centreWeight, int outputs = 1)
{
    auto net = nnet::test::Build(nnet::CNetwork().GetSIMDlevel(), { inputs, outputs });
    nnet::CLayer* out = net->Layers[1];
    for (int i = 0; i < outputs; ++i) {
        for (int j = 0; j < inputs; ++j)
            out->Weights[i][j] = j == inputs / 2 ? centreWeight : 0.0f;
        out->Biases[i] = 0.0f;
    }
    return net;
}

// Level 0.6: a candidate needs a scaled centre of at least 0.405; with a
// weight of 1 that is the window's maximum (+1 gives 0.731), never a pixel at
// the minimum (-1 gives 0.269).
constexpr float kLevel = 0.6f;

template <class Pixel> struct Sky {
    int width, height;
    std::vector<Pixel> pixels;
    std::vector<unsigned> mask;
    std::vector<Report> found;

    Sky(int w, int h, uint32_t background)
        : width(w)
        , height(h)
        , pixels(size_t(w) * h, Pixel(background))
        , mask((pixels.size() + 31) / 32, 0xFFFFFFFFu) // stale bits the detector must clear
    {
    }
    void Set(int x, int y, uint32_t v) { pixels[size_t(y) * width + x] = Pixel(v); }
    size_t MarkedCount() const
    {
        size_t n = 0;
        for (size_t i = 0; i < pixels.size(); ++i)
            n += (mask[i / 32] >> (i % 32)) & 1u;
        return n;
    }
    void Find(nnet::CNetwork* net, int r, float level)
    {
        tamrix::FindStarsNN(net, r, level, pixels.data(), width, height, sizeof(Pixel), mask.data(), &found, Collect);
    }
};

template <class Pixel> class FindStarsNN : public ::testing::Test {
};
TYPED_TEST_SUITE(FindStarsNN, tamrix::test::PixelTypes);

// Thin shapes of 1000 on a flat 100: every shape pixel is its window's
// maximum, every other pixel either a window minimum or in a flat window.
TYPED_TEST(FindStarsNN, GroupsInRasterOrderOfFirstPixelWithRawCentroids)
{
    Sky<TypeParam> sky(16, 12, 100);
    for (int y = 2; y <= 6; ++y)
        sky.Set(10, y, 1000); // A: first pixel in row 2, centroid in row 4
    for (int x = 2; x <= 5; ++x)
        sky.Set(x, 3, 1000); // B: centroid row 3, yet after A
    sky.Set(5, 8, 1000); // C and D touch only at a corner
    sky.Set(6, 9, 1000);
    for (int y = 9; y <= 11; ++y)
        sky.Set(13, y, 1000); // E: its pixel in the last row is no candidate
    sky.Set(0, 5, 1000); // within r of the edge
    auto net = CentreNet(9, 1.0f);
    sky.Find(net.get(), 1, kLevel);

    const Report expected[] = {
        { 10, 4, 10.0, 4.0, 5000.0, 1000 },
        { 4, 3, 3.5, 3.0, 4000.0, 1000 },
        { 5, 8, 5.0, 8.0, 1000.0, 1000 },
        { 6, 9, 6.0, 9.0, 1000.0, 1000 },
        { 13, 10, 13.0, 9.5, 2000.0, 1000 },
    };
    EXPECT_EQ(sky.found, std::vector<Report>(std::begin(expected), std::end(expected)));
    // The reported pixels are marked, 5 + 4 + 1 + 1 + 2 (which ones at every
    // level: test_internal_kernels.cpp), the stale marks cleared.
    EXPECT_EQ(sky.MarkedCount(), 13u);
}

// Nothing to find: a flat sky, NaN outputs, a network that does not fit the
// window, a negative half-size, a window larger than the frame. None reads
// outside the frame; each clears the mask.
TYPED_TEST(FindStarsNN, NoCandidatesFindNothingAndClearTheMask)
{
    auto nan = CentreNet(9, 1.0f);
    nan->Layers[1]->Biases[0] = std::numeric_limits<float>::quiet_NaN();
    const struct {
        std::unique_ptr<nnet::CNetwork> net;
        int r;
        bool flat;
    } cases[] = { { CentreNet(9, 1.0f), 1, true }, { std::move(nan), 1, false }, { CentreNet(25, 1.0f), 1, false },
        { CentreNet(9, 1.0f, 2), 1, false }, { CentreNet(1, 1.0f), -1, false }, { CentreNet(121, 1.0f), 5, false } };
    for (const auto& c : cases) {
        Sky<TypeParam> sky(10, 10, 500);
        for (int i = 0; i < 100 && !c.flat; ++i)
            sky.Set(i % 10, i / 10, i * 7 % 100);
        sky.Find(c.net.get(), c.r, -std::numeric_limits<float>::infinity());
        EXPECT_TRUE(sky.found.empty()) << &c - cases;
        EXPECT_EQ(sky.MarkedCount(), 0u) << &c - cases;
    }
}

// A group of zeros has no weighted centroid: it is reported at the plain
// mean of its pixel positions, with flux and peak 0.
TYPED_TEST(FindStarsNN, GroupOfZerosIsReportedAtItsPlainCentre)
{
    Sky<TypeParam> sky(10, 8, 100);
    sky.Set(4, 4, 0);
    sky.Set(5, 4, 0);
    auto darkest = CentreNet(9, -1.0f);
    sky.Find(darkest.get(), 1, kLevel);
    EXPECT_EQ(sky.found, std::vector<Report>({ { 5, 4, 4.5, 4.0, 0.0, 0 } }));
    EXPECT_EQ(sky.MarkedCount(), 2u);
}

// A group of a million pixels would overflow the call stack if collected
// recursively. 32-bit values near full scale make value * column exceed 32
// bits; the reference sums are exact integers.
TEST(FindStarsNNHuge, GroupCoveringTheWholeInterior)
{
    const int w = 1000, h = 1000;
    Sky<uint32_t> sky(w, h, 0);
    unsigned __int128 s = 0, sx = 0, sy = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint32_t v = 4000000000u + uint32_t((x * 7 + y * 13) % 101) * 1000000u / 4;
            sky.Set(x, y, v);
            if (x >= 1 && x < w - 1 && y >= 1 && y < h - 1) {
                s += v;
                sx += (unsigned __int128)v * x;
                sy += (unsigned __int128)v * y;
            }
        }
    auto net = CentreNet(9, 1.0f);
    sky.Find(net.get(), 1, 0.0f);
    ASSERT_EQ(sky.found.size(), 1u);
    EXPECT_NEAR(sky.found[0].flux / double(s), 1.0, 1e-12);
    EXPECT_NEAR(sky.found[0].cx, double(sx) / double(s), 1e-9);
    EXPECT_NEAR(sky.found[0].cy, double(sy) / double(s), 1e-9);
    EXPECT_EQ(sky.found[0].peak, 4000000000u + 100u * 1000000u / 4);
    EXPECT_EQ(sky.MarkedCount(), size_t(w - 2) * (h - 2));
}

// The network shipped in data/stars.net, used as it is meant to be (r = 5,
// level 0.98) on a noisy sky: each star is one report near its centre; a hot
// pixel, a short cosmic-ray track and the noise give none.
TEST(ShippedStarNetwork, FindsStarsAndIgnoresHotPixelsAndTracks)
{
    nnet::CNetwork net;
    const char* file = TAMRIX_DATA_DIR "/stars.net";
    char message[256] = "";
    ASSERT_TRUE(net.LoadNet(int(std::strlen(file)) + 1, file, sizeof message, message)) << message;
    starnet::Recipe recipe;
    recipe.width = recipe.height = 90, recipe.gradient = 0, recipe.hotPixels = recipe.tracks = 0;
    recipe.given
        = { { 20.3, 20.7, 300, 1.4 }, { 60.6, 24.2, 2000, 1.8 }, { 28.5, 62.1, 80, 1.2 }, { 66.2, 64.8, 15000, 2.2 } };
    const starnet::Field field = starnet::MakeField(7, recipe);
    Sky<uint16_t> frame(90, 90, 0);
    frame.pixels = field.pixels;
    frame.Set(45, 45, 30000); // hot pixel
    for (int i = 0; i < 4; ++i)
        frame.Set(40 + i, 75 + i / 2, 9000); // cosmic-ray track
    frame.Find(&net, 5, 0.98f);
    ASSERT_EQ(frame.found.size(), recipe.given.size());
    for (const auto& s : recipe.given) {
        int near = 0;
        for (const Report& r : frame.found)
            near += std::hypot(r.cx - s.x, r.cy - s.y) < 1.0;
        EXPECT_EQ(near, 1) << "star at " << s.x << ", " << s.y;
    }
}

} // namespace
