#include "reference/combine.h"
#include "stack/arrays.h"
#include "stack/files.h"
#include "stack/lights.h"
#include "support.h"
#include "tools/star_fields.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <set>

namespace tamrix::stack {
namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();

struct PixelCase {
    const char* name;
    Method method;
    std::vector<double> values;
    double value;
    int rejected;
    double floor = 0;
    std::vector<double> weights = {};
};

// What the methods promise, written out; the shared reference must agree.
const PixelCase kPixelCases[] = {
    { "OneOutlierAmongThreeIsClipped", Method::SigmaClip, { 10, 10, 1000 }, 10, 1 },
    // MAD 0: the floor keeps the values one step off the median.
    { "ValuesThatMostlyAgreeKeepTheirNeighbours", Method::SigmaClip, { 100, 100, 100, 101, 98 }, 99.8, 0, 1 },
    // The clipped frame's weight counts nowhere; winsorized weighs the bound,
    // where round two keeps 10..13 around 11.5 with a spread of 1.4826 times
    // the factor for 4 values.
    { "WeightsOfTheValuesKept", Method::SigmaClip, { 10, 13, NaN, 1000 }, (10 + 3 * 13) / 4.0, 1, 0, { 1, 3, 5, 7 } },
    { "WeightsOfTheValuesMoved", Method::Winsorized, { 10, 11, 12, 13, 1000 },
        (10 + 11 + 12 + 13 + 2 * (11.5 + 3 * 1.4826 * 1.363)) / 6, 1, 0, { 1, 1, 1, 1, 2 } },
    { "WeightedMean", Method::Mean, { 1, 4 }, 3, 0, 0, { 1, 2 } },
};

TEST(Combine, KnownAnswersOfEveryMethod)
{
    for (const PixelCase& c : kPixelCases) {
        SCOPED_TRACE(c.name);
        const Settings settings { c.method, 3, 3, c.floor, c.weights.empty() ? nullptr : c.weights.data() };
        std::vector<double> scratch(2 * c.values.size());
        int rejected = -1;
        const double value
            = CombinePixel(c.values.data(), static_cast<int>(c.values.size()), settings, scratch.data(), rejected);
        const reference::Combined expected = reference::Combine(c.values, settings);
        for (const auto& [got, count] : { std::pair(value, rejected), std::pair(expected.value, expected.rejected) }) {
            EXPECT_NEAR(got, c.value, 1e-12);
            EXPECT_EQ(count, c.rejected);
        }
    }
}

// Frames in memory that note how many are held at once.
class HeldFrames : public ArrayFrames {
public:
    using ArrayFrames::ArrayFrames;
    void Read(int index, int y, int rows, double* out) override
    {
        held.insert(index);
        most = std::max(most, held.size());
        ArrayFrames::Read(index, y, rows, out);
    }
    void Release(int index) override { held.erase(index); }
    std::set<int> held;
    size_t most = 0;
};

constexpr int kWidth = 7, kHeight = 6, kFrames = 5;

// Noisy frames around 100 with an outlier, undefined pixels, a pixel
// undefined in every frame and one defined in two.
std::vector<std::vector<double>> TestFrames()
{
    std::vector<std::vector<double>> frames;
    for (int i = 0; i < kFrames; ++i) {
        const auto noise = test::RandomFrame<uint16_t>(kWidth, kHeight, 7 + i, 90, 110);
        frames.emplace_back(noise.begin(), noise.end());
        frames.back()[3] = i == 2 ? 5000 : frames.back()[3];
        frames.back()[10] = NaN;
        frames.back()[11] = i < 3 ? NaN : frames.back()[11];
        frames.back()[17 + i] = NaN;
    }
    return frames;
}

// The shared reference's answer for pixel p of the frames.
reference::Combined Expected(const std::vector<std::vector<double>>& frames, int p, const Settings& settings)
{
    std::vector<double> stackOf;
    for (const auto& f : frames)
        stackOf.push_back(f[p]);
    return reference::Combine(stackOf, settings);
}

// Every pixel matches the reference whatever the bands, groups and threads.
TEST(Combine, BandsOfFramesInMemoryGiveTheReference)
{
    const struct {
        Method method;
        Budget budget;
        int sinks; // bands written
    } cases[] = {
        { Method::Median, { 1, 2 }, kHeight }, { Method::Mean, { 1 << 20, 64 }, 1 },
        { Method::SigmaClip, { 1, 2 }, kHeight },
        { Method::Winsorized, { 2 * kWidth * (kFrames * 8 + 6) + 5, 3 }, 3 }, // two rows a band: the last is short
    };
    const auto frames = TestFrames();
    std::vector<const double*> pointers;
    for (const auto& f : frames)
        pointers.push_back(f.data());
    for (const auto& c : cases)
        for (int threads : test::kThreadCounts) {
            test::ThreadCount scope(threads);
            const Settings settings { c.method, 2.5, 3 };
            HeldFrames source(pointers, kWidth, kHeight);
            std::vector<float> values(kWidth * kHeight, -1);
            std::vector<uint16_t> rejected(kWidth * kHeight, 9);
            int sinks = 0;
            Combine(source, settings, c.budget, [&](int y, int rows, const float* v, const uint16_t* r) {
                std::copy(v, v + rows * kWidth, values.begin() + y * kWidth);
                std::copy(r, r + rows * kWidth, rejected.begin() + y * kWidth);
                ++sinks;
            });
            SCOPED_TRACE(MethodName(c.method) + ", threads " + std::to_string(threads));
            EXPECT_EQ(sinks, c.sinks);
            EXPECT_LE(source.most, static_cast<size_t>(c.budget.files));
            EXPECT_TRUE(source.held.empty());
            for (int p = 0; p < kWidth * kHeight; ++p) {
                const reference::Combined expected = Expected(frames, p, settings);
                const float want = static_cast<float>(expected.value);
                EXPECT_TRUE(values[p] == want || (std::isnan(want) && std::isnan(values[p])))
                    << "pixel " << p << ": " << values[p] << " != " << want;
                EXPECT_EQ(rejected[p], expected.rejected) << "pixel " << p;
            }
        }
}

// A 16-bit frame file written by the intake layer, optionally gzip'd.
void WriteFrame(const std::string& path, const std::vector<double>& values, int width, int height, bool gzip)
{
    intake::Frame f(width, height, 2);
    for (size_t i = 0; i < values.size(); ++i)
        f.Set(i, static_cast<uint32_t>(values[i]));
    const std::vector<char> bytes = intake::FitsBytes(f, {}, false);
    gzFile z = gzopen(path.c_str(), gzip ? "wb" : "wbT"); // T: transparent, no compression
    gzwrite(z, bytes.data(), static_cast<unsigned>(bytes.size()));
    gzclose(z);
}

template <typename T> std::vector<T> ReadAll(const std::string& path)
{
    intake::ImageRows rows(path, -1);
    std::vector<T> v(static_cast<size_t>(rows.Width()) * rows.Height());
    rows.Read(0, rows.Height(), v.data());
    return v;
}

TEST(CombineFiles, BandsOfGroupedAndPackedFilesGiveTheReference)
{
    test::ScratchDir dir;
    auto frames = TestFrames();
    std::vector<std::string> names;
    for (int i = 0; i < kFrames; ++i) {
        for (double& v : frames[i])
            v = std::isnan(v) ? 0 : v; // 16-bit files: no undefined pixels
        names.push_back(dir / ("f" + std::to_string(i) + ".fits"));
        WriteFrame(names.back(), frames[i], kWidth, kHeight, i == 1);
    }
    FileOptions options;
    options.settings = { Method::SigmaClip, 3, 3 };
    options.budget = { 1, 2 };
    options.scratchIn = dir / "";
    intake::Warnings warnings;
    int bands = 0;
    CombineFiles(names, dir / "out.fits", dir / "rej.fits", {}, options, warnings,
        [&](int done, int total) { bands = done == total ? total : -1; });
    EXPECT_EQ(bands, kHeight);
    EXPECT_TRUE(warnings.empty());
    // The unpacked copy of the gzip'd input is gone with its folder.
    EXPECT_EQ(dir.Files(),
        (std::vector<std::string> { "f0.fits", "f1.fits", "f2.fits", "f3.fits", "f4.fits", "out.fits", "rej.fits" }));

    Settings grid = options.settings;
    grid.floor = 1; // the spread is at least the 16-bit files' step
    const auto values = ReadAll<float>(dir / "out.fits");
    const auto counts = ReadAll<int16_t>(dir / "rej.fits"); // stored around BZERO 32768
    for (int p = 0; p < kWidth * kHeight; ++p) {
        const reference::Combined expected = Expected(frames, p, grid);
        EXPECT_EQ(values[p], static_cast<float>(expected.value)) << "pixel " << p;
        EXPECT_EQ(counts[p] + 32768, expected.rejected) << "pixel " << p;
    }
}

// Lights of one star field seen through known maps (reference -> light),
// one light of another field: the stack must register the four from the
// stars the detector finds, cover the reference's grid with them, average
// the noise down, leave the stranger out and say so. Where the pixels land
// is the warp's tests'.
TEST(StackFiles, RegisteredLightsAverageOnTheReferenceGrid)
{
    constexpr int kSide = 300;
    starnet::Recipe recipe;
    recipe.width = recipe.height = kSide;
    recipe.gradient = 0, recipe.hotPixels = recipe.tracks = 0;
    recipe.stars = 80, recipe.pairs = 0, recipe.moffat = false;
    recipe.minPeak = 300, recipe.decades = 1, recipe.sigma = 1.3, recipe.sigmaSpread = 0;
    const std::vector<starnet::Star> field = starnet::MakeField(20, recipe).stars;
    const Affine maps[] = { {}, { 1, 0, 3.3, 0, 1, -2.6 }, { 0.9994, -0.0349, 4.1, 0.0349, 0.9994, 1.7 },
        { -1, 0, kSide - 1 + 0.4, 0, -1, kSide - 1 - 0.7 } };
    test::ScratchDir dir;
    std::vector<std::string> lights;
    for (int k = 0; k <= 4; ++k) {
        recipe.given.clear(); // the last light: stars of its own
        for (const starnet::Star& s : field)
            if (k < 4)
                recipe.given.push_back({ maps[k].a * s.x + maps[k].b * s.y + maps[k].c,
                    maps[k].d * s.x + maps[k].e * s.y + maps[k].f, s.peak, s.width });
        const starnet::Field light = starnet::MakeField(20 + k, recipe);
        lights.push_back(dir / ("light" + std::to_string(k) + ".fits"));
        WriteFrame(lights.back(), std::vector<double>(light.pixels.begin(), light.pixels.end()), kSide, kSide, false);
    }
    StackOptions options;
    options.files.settings.method = Method::Mean;
    options.files.scratchIn = dir / "";
    options.stars.parallel = false;
    intake::Warnings warnings;
    const std::vector<LightReport> reports
        = StackFiles(lights, dir / "out.fits", dir / "coverage.fits", {}, options, warnings);
    ASSERT_EQ(reports.size(), 5u);
    for (int k = 0; k < 4; ++k) { // registered from the detector's stars within 0.03 px
        ASSERT_TRUE(reports[k].stacked) << k << ": " << reports[k].registration.reason;
        const Affine& m = maps[k];
        for (double x : { 0, kSide - 1 })
            for (double y : { 0, kSide - 1 }) {
                double fx, fy;
                MapToFrame(reports[k].registration, x, y, &fx, &fy);
                EXPECT_NEAR(fx, m.a * x + m.b * y + m.c, 0.03) << k;
                EXPECT_NEAR(fy, m.d * x + m.e * y + m.f, 0.03) << k;
            }
    }
    EXPECT_FALSE(reports[4].stacked);
    EXPECT_FALSE(reports[4].registration.reason.empty());
    EXPECT_EQ(dir.Files(),
        (std::vector<std::string> {
            "coverage.fits", "light0.fits", "light1.fits", "light2.fits", "light3.fits", "light4.fits", "out.fits" }));

    const auto stack = ReadAll<float>(dir / "out.fits");
    const auto coverage = ReadAll<int16_t>(dir / "coverage.fits");
    EXPECT_EQ(coverage[size_t(kSide / 2) * kSide + kSide / 2] + 32768, 4);
    // The sky covered by all four lights has half the noise of one or less.
    std::vector<uint16_t> middle;
    for (int y = 30; y < kSide - 30; ++y)
        for (int x = 30; x < kSide - 30; ++x)
            middle.push_back(uint16_t(std::lround(stack[size_t(y) * kSide + x])));
    EXPECT_LT(detect::MeasureSky(middle.data(), kSide - 60, kSide - 60, 2).noise, 0.5 * starnet::kNoise);
}

// A light of 30 s, a bias of 100, a dark of 60 s 200 above it and a flat
// holding the bias: light - bias - dark / 2, times the bias-free flat's
// mean over its value, worked out by hand.
TEST(Calibrate, TakesTheBiasOffEveryMasterAndScalesTheDarkByExposure)
{
    Masters masters;
    masters.width = 2, masters.height = 1;
    masters.bias = { 100, 100 };
    masters.dark = { 300, 300 };
    masters.flat = { 1100, 2100 };
    masters.darkExposure = 60;
    const std::pair<double, double> range = LightsRange({ { 1000, 1010 } }, 300, 30.0 / 60);
    EXPECT_EQ(range, std::make_pair(-300.0, 1010.0)); // the whole dark comes off unscaled lights
    intake::Warnings warnings;
    const Calibration calibration = CalibrationOf(masters, ArrayMapping(range), warnings);
    intake::Frame light(2, 1, calibration.mapping);
    light.Set(0, calibration.mapping.FrameValue(1000, "light"));
    light.Set(1, calibration.mapping.FrameValue(1010, "light"));
    Calibrate(light, "light", 30.0, calibration, warnings);
    EXPECT_NEAR(light.mapping.Physical(light.At(0)), 800 * 1500 / 1000.0, 0.01);
    EXPECT_NEAR(light.mapping.Physical(light.At(1)), 810 * 1500 / 2000.0, 0.01);
    EXPECT_TRUE(warnings.empty());
    EXPECT_THROW(Calibrate(light, "light", std::nullopt, calibration, warnings), intake::Error);
}

// A star clipped in the light as read (at its SATURATE, or where the data
// pile up below full scale) is left out of registration, though a flat's
// division spreads its clipped pixels over many values.
TEST(FindLightStars, LeavesOutStarsSaturatedBeforeCalibration)
{
    starnet::Recipe recipe;
    recipe.width = recipe.height = 200;
    recipe.hotPixels = recipe.tracks = 0;
    recipe.given = { { 50.3, 50.7, 3000 }, { 150.2, 60.4, 3000 }, { 60.5, 150.1, 3000 }, { 150.6, 140.3, 40000 } };
    const starnet::Field field = starnet::MakeField(5, recipe);
    for (const bool card : { true, false }) {
        SCOPED_TRACE(card ? "SATURATE" : "clipped");
        intake::Frame raw(recipe.width, recipe.height, 2);
        for (size_t i = 0; i < raw.Pixels(); ++i)
            raw.Set(i, card ? field.pixels[i] : std::min<uint16_t>(field.pixels[i], 20000));
        if (card)
            raw.cards = { "SATURATE=                15000" };
        const std::vector<unsigned> saturated = SaturatedPixels(raw);
        intake::Frame flattened = raw; // as a flat 10 % brighter on the right divides it
        for (size_t i = 0; i < raw.Pixels(); ++i)
            flattened.Set(i, uint32_t(std::lround(raw.At(i) / (1 + 0.1 * double(i % 200) / 200))));
        EXPECT_EQ(FindLightStars(flattened, detect::Options {}).stars.size(), 4u); // not flagged saturated
        const std::vector<Point> stars = FindLightStars(flattened, detect::Options {}, saturated).stars;
        EXPECT_EQ(stars.size(), 3u);
        for (const Point& p : stars)
            EXPECT_GT(std::hypot(p.x - 150.6, p.y - 140.3), 5) << p.x << "," << p.y;
    }
    // Pixels without data over 70 % of a frame (NaN in an earlier stack
    // given as the reference), held at the sky's level, are no sky.
    intake::Frame held(recipe.width, recipe.height, 2);
    held.invalid.assign(held.Pixels(), false);
    for (size_t i = 0; i < held.Pixels(); ++i) {
        held.invalid[i] = i % 200 < 140;
        held.Set(i, held.invalid[i] ? 1000 : field.pixels[i]);
    }
    const Light light = FindLightStars(held, detect::Options {});
    EXPECT_EQ(light.stars.size(), 2u);
    EXPECT_NEAR(light.noise, starnet::kNoise, 1); // it weighs the light in a weighted stack
}

} // namespace
} // namespace tamrix::stack
