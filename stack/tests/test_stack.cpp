#include "reference/combine.h"
#include "stack/files.h"
#include "support.h"

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
};

// What the methods promise, written out; the shared reference must agree.
const PixelCase kPixelCases[] = {
    { "OneOutlierAmongThreeIsClipped", Method::SigmaClip, { 10, 10, 1000 }, 10, 1 },
    { "OneOutlierAmongFiveIsClipped", Method::SigmaClip, { 10, 11, 12, 13, 1000 }, 11.5, 1 },
    { "TwoValuesAreNeverClipped", Method::SigmaClip, { 10, 1000 }, 505, 0 },
    { "UndefinedValuesDoNotCountTowardsThree", Method::Winsorized, { 10, NaN, 1000 }, 505, 0 },
    // Round two keeps 10..13 around 11.5 with a spread of 1.4826 times the
    // factor for 4 values.
    { "WinsorizedMovesTheOutlierToTheBound", Method::Winsorized, { 10, 11, 12, 13, 1000 },
        (46 + 11.5 + 3 * 1.4826 * 1.363) / 5, 1 },
    // MAD 0: the floor keeps the values one step off the median.
    { "ValuesThatMostlyAgreeKeepTheirNeighbours", Method::SigmaClip, { 100, 100, 100, 101, 98 }, 99.8, 0, 1 },
    { "MedianOfAnEvenCountIsTheMiddleMean", Method::Median, { 1, 5, NaN, 2, 8 }, 3.5, 0 },
    { "MeanLeavesUndefinedOut", Method::Mean, { 1, NaN, 2 }, 1.5, 0 },
    { "AllUndefinedIsUndefined", Method::SigmaClip, { NaN, NaN, NaN }, NaN, 0 },
};

class PixelTest : public ::testing::TestWithParam<PixelCase> { };

TEST_P(PixelTest, KnownAnswer)
{
    const PixelCase& c = GetParam();
    const Settings settings { c.method, 3, 3, c.floor };
    std::vector<double> scratch(2 * c.values.size());
    int rejected = -1;
    const double value
        = CombinePixel(c.values.data(), static_cast<int>(c.values.size()), settings, scratch.data(), rejected);
    const reference::Combined expected = reference::Combine(c.values, settings);
    for (const auto& [got, count] : { std::pair(value, rejected), std::pair(expected.value, expected.rejected) }) {
        if (std::isnan(c.value))
            EXPECT_TRUE(std::isnan(got));
        else
            EXPECT_NEAR(got, c.value, 1e-12);
        EXPECT_EQ(count, c.rejected);
    }
}

INSTANTIATE_TEST_SUITE_P(Combine, PixelTest, ::testing::ValuesIn(kPixelCases),
    [](const auto& info) { return std::string(info.param.name); });

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

struct BandCase {
    Method method;
    Budget budget;
    int sinks; // bands written
};

class BandTest : public ::testing::TestWithParam<BandCase> { };

TEST_P(BandTest, EveryPixelMatchesTheReferenceWhateverTheBandsGroupsAndThreads)
{
    const BandCase& c = GetParam();
    const Settings settings { c.method, 2.5, 3 };
    const auto frames = TestFrames();
    for (int threads : test::kThreadCounts) {
        test::ThreadCount scope(threads);
        std::vector<const double*> pointers;
        for (const auto& f : frames)
            pointers.push_back(f.data());
        HeldFrames source(pointers, kWidth, kHeight);
        std::vector<float> values(kWidth * kHeight, -1);
        std::vector<uint16_t> rejected(kWidth * kHeight, 9);
        int sinks = 0;
        Combine(source, settings, c.budget, [&](int y, int rows, const float* v, const uint16_t* r) {
            std::copy(v, v + rows * kWidth, values.begin() + y * kWidth);
            std::copy(r, r + rows * kWidth, rejected.begin() + y * kWidth);
            ++sinks;
        });
        EXPECT_EQ(sinks, c.sinks);
        EXPECT_LE(source.most, static_cast<size_t>(c.budget.files));
        EXPECT_TRUE(source.held.empty());
        for (int p = 0; p < kWidth * kHeight; ++p) {
            std::vector<double> stackOf;
            for (const auto& f : frames)
                stackOf.push_back(f[p]);
            const reference::Combined expected = reference::Combine(stackOf, settings);
            const float want = static_cast<float>(expected.value);
            EXPECT_TRUE(values[p] == want || (std::isnan(want) && std::isnan(values[p])))
                << "pixel " << p << " threads " << threads << ": " << values[p] << " != " << want;
            EXPECT_EQ(rejected[p], expected.rejected) << "pixel " << p;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Combine, BandTest,
    ::testing::Values(BandCase { Method::Median, { 1, 2 }, kHeight }, BandCase { Method::Mean, { 1 << 20, 64 }, 1 },
        BandCase { Method::SigmaClip, { 1, 2 }, kHeight },
        // Two rows a band: the last band is short.
        BandCase { Method::Winsorized, { 2 * kWidth * (kFrames * 8 + 6) + 5, 3 }, 3 }));

// A 16-bit frame file written by the intake layer, optionally gzip'd.
void WriteFrame(const std::string& path, const std::vector<double>& values, int width, int height, bool gzip)
{
    intake::Frame f(width, height, 2);
    for (size_t i = 0; i < values.size(); ++i)
        f.Set(i, static_cast<uint32_t>(values[i]));
    const std::vector<char> bytes = intake::FitsBytes(f, {}, false);
    if (!gzip) {
        test::WriteFile(path, std::string(bytes.begin(), bytes.end()));
        return;
    }
    gzFile z = gzopen(path.c_str(), "wb");
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
        std::vector<double> stackOf;
        for (const auto& f : frames)
            stackOf.push_back(f[p]);
        const reference::Combined expected = reference::Combine(stackOf, grid);
        EXPECT_EQ(values[p], static_cast<float>(expected.value)) << "pixel " << p;
        EXPECT_EQ(counts[p] + 32768, expected.rejected) << "pixel " << p;
    }
}

} // namespace
} // namespace tamrix::stack
