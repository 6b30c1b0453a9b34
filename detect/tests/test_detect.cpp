// Star detection with settings from the frame: a noisy 16-bit field with
// stars of known position and width, one of them cut by the frame's edge,
// one saturated, one too wide for the largest window, and a cosmic-ray track.
#include "detect/stars.h"
#include "detect/training.h"
#include "nnet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <tuple>

namespace tamrix::detect {
namespace {

constexpr int kW = 400, kH = 300;
constexpr double kSky = 1000, kNoise = 10, kPi = 3.14159265358979323846;

struct Truth {
    double x, y, flux, fwhm;
};

// Gaussian stars over a sky of kSky with Gaussian noise of `sigma`, three
// times that from column `noisyFrom` on, clipped at 65535.
std::vector<uint16_t> Field(const std::vector<Truth>& stars, uint32_t seed, int noisyFrom = kW, double sigma = kNoise)
{
    std::mt19937 random(seed);
    std::normal_distribution<double> noise;
    std::vector<double> v(size_t(kW) * kH);
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = kSky + sigma * (int(i % kW) >= noisyFrom ? 3 : 1) * noise(random);
    for (const Truth& s : stars) {
        const double sigma = s.fwhm / 2.3548, reach = 6 * sigma + 2;
        for (int y = std::max(0, int(s.y - reach)); y <= std::min(kH - 1, int(s.y + reach)); ++y)
            for (int x = std::max(0, int(s.x - reach)); x <= std::min(kW - 1, int(s.x + reach)); ++x)
                v[size_t(y) * kW + x] += s.flux / (2 * kPi * sigma * sigma)
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

// The stars are `truth`, each found within `within` px of where it is.
void ExpectStars(const std::vector<Star>& stars, const std::vector<Truth>& truth, double within)
{
    EXPECT_EQ(stars.size(), truth.size());
    for (const Truth& t : truth)
        EXPECT_NE(Near(stars, t.x, t.y, within), nullptr) << t.x << "," << t.y;
}

// Options that use the shipped network, loaded into `net`, at its level.
Options Shipped(nnet::CNetwork& net)
{
    const char* file = TAMRIX_DATA_DIR "/stars.net";
    char message[256] = "";
    EXPECT_TRUE(net.LoadNet(int(std::strlen(file)) + 1, file, sizeof message - 1, message)) << message;
    Options o;
    o.network = &net;
    o.level = kShippedLevel;
    return o;
}

// The ordinary stars of the field below, with a cosmic-ray track.
std::vector<Truth> GridField(std::vector<uint16_t>& frame)
{
    std::vector<Truth> truth;
    for (int i = 0; i < 24; ++i) // a grid of ordinary stars, SNR 20 to 300
        truth.push_back({ 40.3 + 45 * (i % 6), 40.6 + 50 * (i / 6), 3000.0 * (1 + i), 3.0 });
    const Truth edge { 1.2, 150.4, 20000, 3.0 }, saturated { 330.5, 60.5, 3e6, 3.0 }, wide { 330.2, 200.7, 6e6, 24 };
    truth.insert(truth.end(), { edge, saturated, wide });
    frame = Field(truth, 7);
    for (int x = 200; x < 212; ++x) // a cosmic-ray track, one pixel wide
        frame[size_t(260) * kW + x] = 4000;
    return truth;
}

// Also from a camera whose data clip below the type's range: its ceiling is
// the saturation level.
TEST(DetectStars, FindsEveryKindOfStarWithItsFlagsAndDropsACosmicRay)
{
    std::vector<uint16_t> frame;
    const std::vector<Truth> truth = GridField(frame); // the edge, saturated and wide stars last
    for (const uint16_t ceiling : { 65535, 30000 }) {
        SCOPED_TRACE(ceiling);
        for (uint16_t& p : frame)
            p = std::min(p, ceiling);
        const Result r = FindStars(frame.data(), kW, kH, 2, Options {});
        EXPECT_EQ(r.saturation, ceiling);
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
        for (const auto& [t, within, flag] :
            { std::tuple { truth[24], 1.5, kEdge }, { truth[25], 0.5, kSaturated }, { truth[26], 1.0, kTooLarge } }) {
            const Star* s = Near(r.stars, t.x, t.y, within);
            ASSERT_NE(s, nullptr) << t.x;
            EXPECT_EQ(s->flags, unsigned(flag)) << t.x;
        }
        EXPECT_NEAR(Near(r.stars, truth[26].x, truth[26].y, 1.0)->fwhm, 24, 2);
        EXPECT_EQ(r.stars.size(), truth.size()); // not the track
    }
}

// A star's SNR is against the noise about it: the same star where a third
// of the frame is three times as noisy (a nebula's own light) has a third of
// the SNR, while the sky's noise stays the quiet part's. The same frame
// stored around 2^31 (signed 32-bit data: sums of four would wrap) gives the
// same stars.
TEST(DetectStars, SignalToNoiseIsAgainstTheNoiseAboutTheStarAt16And32Bits)
{
    const std::vector<Truth> truth { { 50.3, 150.6, 30000, 3.0 }, { 350.4, 150.2, 30000, 3.0 } };
    const std::vector<uint16_t> frame = Field(truth, 11, 270);
    std::vector<uint32_t> shifted(frame.begin(), frame.end());
    for (uint32_t& v : shifted)
        v += 0x80000000u;
    Options o;
    o.parallel = false;
    const Result r = FindStars(frame.data(), kW, kH, 2, o), b = FindStars(shifted.data(), kW, kH, 4, o);
    EXPECT_NEAR(r.sky.noise, kNoise, 1);
    EXPECT_EQ(r.saturation, 65535u); // its highest pixel is one star's peak
    ExpectStars(r.stars, truth, 1);
    ASSERT_EQ(b.stars.size(), r.stars.size());
    for (size_t i = 0; i < r.stars.size(); ++i) {
        EXPECT_NEAR(b.stars[i].cx, r.stars[i].cx, 1e-9);
        EXPECT_NEAR(b.stars[i].flux, r.stars[i].flux, 1e-9 * r.stars[i].flux); // the library sums squares near 2^62
    }
    const Star *quiet = Near(r.stars, 50.3, 150.6, 1), *noisy = Near(r.stars, 350.4, 150.2, 1);
    ASSERT_TRUE(quiet && noisy);
    EXPECT_NEAR(noisy->snr / quiet->snr, 1.0 / 3, 0.1) << noisy->snr << " " << quiet->snr;
}

// The shipped network through the same measures: every star once, near its
// centre, but the one cut by the edge, which it does not rate, and no report
// on the track. Stars 8 px wide, too flat for
// the network's window at full resolution, are found on the binned copy, once.
TEST(DetectStars, TheShippedNetworkFindsEachStarOnceAndNoCosmicRay)
{
    nnet::CNetwork net;
    const Options o = Shipped(net);
    std::vector<uint16_t> frame;
    std::vector<Truth> truth = GridField(frame);
    truth.erase(truth.begin() + 24);
    ExpectStars(FindStars(frame.data(), kW, kH, 2, o).stars, truth, 1.5);
    std::vector<Truth> wide;
    for (int i = 0; i < 12; ++i)
        wide.push_back({ 45.4 + 60 * (i % 6), 60.7 + 100 * (i / 6), 1.2e4, 8 });
    const std::vector<uint16_t> broad = Field(wide, 4);
    ExpectStars(FindStars(broad.data(), kW, kH, 2, o).stars, wide, 1.0);
}

// Positions are windowed centroids: a faint star 6.5 px from one ten times
// brighter is not pulled towards it, nor one on a galaxy's side, and the
// galaxy is no star: the star is reported, not the blend. Nor is one 6 px
// from one seven times brighter with wide wings, which the window still
// holds (found by the network); nor a compact galaxy with a star 20 times
// fainter on its side, among undersampled stars.
TEST(DetectStars, CloseStarsAreFoundOnceWhereTheyAre)
{
    const std::vector<Truth> pair { { 100.3, 100.4, 2e5, 3 }, { 106.8, 100.2, 2e4, 3 }, { 250.2, 150.6, 5e4, 3 },
        { 246, 150, 2e5, 12 } };
    const std::vector<uint16_t> close = Field(pair, 3);
    const Result r = FindStars(close.data(), kW, kH, 2, Options {});
    ExpectStars(r.stars, { pair[0], pair[1], pair[2] }, 0.25);
    for (const Truth& t : { pair[0], pair[1] }) // neither pulled towards the other
        EXPECT_NE(Near(r.stars, t.x, t.y, 0.1), nullptr) << t.x;

    nnet::CNetwork net;
    const Options o = Shipped(net);
    std::vector<Truth> leaning { { 150.4, 130.3, 2e5, 4 }, { 156.0, 132.4, 4e4, 4 } };
    for (int i = 0; i < 6; ++i) // isolated stars of that width
        leaning.push_back({ 50.5 + 60 * i, 250.2, 5e4, 4 });
    std::vector<Truth> drawn = leaning;
    drawn.push_back({ 150.4, 130.3, 1e5, 12 }); // the bright one's wings
    const std::vector<uint16_t> beside = Field(drawn, 5);
    ExpectStars(FindStars(beside.data(), kW, kH, 2, o).stars, leaning, 0.1);

    std::vector<Truth> sharp { { 200.3, 150.6, 2e5, 5.5 }, { 206.4, 154.2, 1e4, 1.8 } };
    for (int i = 0; i < 6; ++i)
        sharp.push_back({ 50.5 + 60 * i, 250.2, 5e4, 1.8 });
    const std::vector<uint16_t> compact = Field(sharp, 6);
    ExpectStars(FindStars(compact.data(), kW, kH, 2, o).stars, sharp, 0.5);
}

// Labels: a star's centre pixels, its ignored surroundings, its wings and
// the sky; a faint star's surroundings are ignored with no centre. Windows:
// one per centre pixel and the asked negatives; none from a flat frame.
// Training: the same samples and seed give the same network.
TEST(StarTraining, LabelsCutsAndTrainsReproducibly)
{
    const LabelMap map = LabelStars(40, 30, { { 10.3, 10.6, 4, true }, { 30, 20, 4, false } });
    auto at = [&](int x, int y) { return map.labels[size_t(y) * 40 + x]; };
    for (const auto& [x, y, label] : { std::tuple { 10, 11, kCentre }, { 10, 10, kCentre }, { 12, 10, kIgnore },
             { 16, 10, kWing }, { 30, 20, kIgnore }, { 34, 20, Label::kSky }, { 25, 2, Label::kSky } })
        EXPECT_EQ(at(x, y), label) << x << "," << y;

    std::vector<uint16_t> frame;
    GridField(frame);
    std::vector<LabelledStar> stars;
    for (int i = 0; i < 24; ++i)
        stars.push_back({ 40.3 + 45 * (i % 6), 40.6 + 50 * (i / 6), 3, true });
    const LabelMap grid = LabelStars(kW, kH, stars);
    size_t centres = 0;
    for (uint8_t l : grid.labels)
        centres += l == kCentre;
    Samples samples;
    const double mix[kLabels] = { 0, 0, 2, 1, 0, 0 };
    CutSamples(frame.data(), kW, kH, 2, grid, 5, mix, 1, samples);
    ASSERT_EQ(samples.inputs, 121);
    EXPECT_EQ(samples.targets.size(), 4 * centres);
    EXPECT_EQ(std::count(samples.targets.begin(), samples.targets.end(), 1.0f), std::ptrdiff_t(centres));
    Samples none;
    const std::vector<uint16_t> flat(size_t(kW) * kH, 1000);
    CutSamples(flat.data(), kW, kH, 2, grid, 5, mix, 1, none);
    EXPECT_TRUE(none.targets.empty());

    nnet::CNetwork a, b;
    ASSERT_TRUE(TrainStarNetwork(samples, 4, 1, 9, a));
    ASSERT_TRUE(TrainStarNetwork(samples, 4, 1, 9, b));
    float outA = 0, outB = 1;
    ASSERT_TRUE(a.Infer(121, samples.windows.data(), 1, &outA));
    ASSERT_TRUE(b.Infer(121, samples.windows.data(), 1, &outB));
    EXPECT_EQ(outA, outB);
}

// Pixels outside the data: a registered frame's uncovered corner filled
// with 0, and more than half a frame undefined (NaN in its file) and held at
// the sky's level. Their edge is no star to either detector, and a star
// that it cuts is flagged as one at the frame's edge.
TEST(DetectStars, PixelsOutsideTheDataAreNoStarsAndCutTheirs)
{
    std::vector<Truth> truth;
    for (int i = 0; i < 18; ++i)
        truth.push_back({ 40.3 + 60 * (i % 6), 60.6 + 80 * (i / 6), 2e4, 3.0 });
    nnet::CNetwork net;
    const Options network = Shipped(net);
    for (const auto& [edge, value, undefined] : { std::tuple { 160, 0, false }, { 380, 1000, true } }) {
        std::vector<uint16_t> frame = Field(truth, 9);
        std::vector<bool> outside(frame.size());
        for (size_t i = 0; i < frame.size(); ++i)
            if (int(i % kW) + int(i / kW) < edge) {
                frame[i] = uint16_t(value);
                outside[i] = true;
            }
        for (Options o : { Options {}, network }) {
            o.undefined = undefined ? &outside : nullptr;
            const Result r = FindStars(frame.data(), kW, kH, 2, o);
            size_t expected = 0;
            for (const Truth& t : truth) {
                const double beyond = t.x + t.y - edge; // the star's centre from the edge, times sqrt(2)
                if (beyond < -10)
                    continue;
                ++expected;
                const Star* s = Near(r.stars, t.x, t.y, 1.5);
                ASSERT_NE(s, nullptr) << t.x << "," << t.y;
                EXPECT_EQ(s->flags, beyond < 10 ? kEdge : 0u) << t.x << "," << t.y;
            }
            EXPECT_EQ(r.stars.size(), expected) << edge << (o.network ? " network" : "");
        }
    }
}

// A model frame: its sky's deviation is the rounding's, not 0, so a star's
// SNR is a number, and a flat sky at the frame's top (a frame of dips) is
// not taken for a saturation level. Flat frames, and frames without room for
// a window, have no stars.
TEST(DetectStars, NoiseFreeFramesHaveFiniteSignalToNoiseAndFlatOnesNoStars)
{
    const std::vector<Truth> truth = { { 100.3, 100.6, 20000, 3.0 }, { 250.4, 180.2, 8000, 3.0 } };
    const std::vector<uint16_t> model = Field(truth, 0, kW, 0);
    const Result r = FindStars(model.data(), kW, kH, 2, Options {});
    ExpectStars(r.stars, truth, 0.05);
    for (const Star& s : r.stars)
        EXPECT_TRUE(std::isfinite(s.snr) && s.flags == 0) << s.snr << " " << s.flags;
    std::vector<uint16_t> dips(model.size());
    for (size_t i = 0; i < dips.size(); ++i)
        dips[i] = uint16_t(2 * kSky - std::min<double>(model[i], 2 * kSky));
    const Result d = FindStars(dips.data(), kW, kH, 2, Options {});
    EXPECT_TRUE(d.stars.empty());
    EXPECT_EQ(d.saturation, 65535u);
    for (const auto& [w, h, value] : { std::tuple { 1, 1, 0 }, { 7, 5, 1000 }, { 64, 64, 0 }, { 300, 2, 65535 } }) {
        const std::vector<uint16_t> frame(size_t(w) * h, uint16_t(value));
        EXPECT_TRUE(FindStars(frame.data(), w, h, 2, Options {}).stars.empty()) << w << "x" << h;
    }
}

} // namespace
} // namespace tamrix::detect
