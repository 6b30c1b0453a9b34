// End-to-end: combine and stack (their refusals are in the table of
// test_cli_files.cpp).
#include "cli_support.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace tamrix::clitest {
namespace {

// Three 4 x 1 frames of three kinds (floating point with an undefined pixel,
// tile-compressed, gzip'd) through one mapping: an outlier among three is
// clipped, two values are not, and compressed inputs leave nothing behind.
TEST_F(Cli, CombineClipsOneOutlierAmongThreeInPhysicalUnits)
{
    FitsLayout real { 4, 1, 0, -32, 0 };
    real.cards = { "OBJECT  = 'dark    '" };
    WriteFits(dir / "a.fits", real, { 10, kNaN, 7.5, -100 });
    WriteFits(dir / "b.fits", { 4, 1, 0, -32, 0, false, 1, false, 0, true }, { 10, 20, 8, -100 }); // tiled
    WriteFits(dir / "c.fits.gz", { 4, 1, 0, 16, 0, false, 1, false, 0, false, true }, { 1000, 22, 9, -100 }); // gzip
    const Result run = Ok({ "combine", dir / "a.fits", dir / "b.fits", dir / "c.fits.gz", "-o", dir / "m.fits",
        "--method", "sigma-clip", "--rejection", dir / "r.fits" });
    EXPECT_TRUE(Has(run.err, "a.fits: 1 pixel is NaN, infinite or BLANK (left out of the combination)"));
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "a.fits", "b.fits", "c.fits.gz", "m.fits", "r.fits" }));

    const FitsImage master = ReadFits(dir / "m.fits");
    EXPECT_EQ(master.bitpix, -32);
    EXPECT_EQ(master.physical, (std::vector<double> { 10, 21, double(float(24.5 / 3)), -100 }));
    for (const std::string card : { "NCOMBINE=                    3 /", "OBJECT  = 'dark    '",
             "HISTORY tamrix combine: sigma-clip of 3 frames, bounds 3,3 sigma" })
        EXPECT_TRUE(master.HasCard(card)) << card;
    EXPECT_EQ(ReadFits(dir / "r.fits").physical, (std::vector<double> { 1, 0, 0, 0 }));
}

// Lights cut from one noisy star field at whole-pixel offsets, each raised
// by a bias and a dark current and shaded by a flat: calibrated, registered
// and warped, they all give the reference's crop (the second light's) back,
// so the stack must too.
TEST_F(Cli, StackGivesTheReferenceCropBackFromCalibratedShiftedLights)
{
    constexpr int kCanvas = 160, kSide = 128;
    starnet::Recipe recipe;
    recipe.width = recipe.height = kCanvas;
    recipe.stars = 70, recipe.gradient = 0, recipe.hotPixels = 0, recipe.tracks = 0, recipe.pairs = 0;
    const starnet::Field field = starnet::MakeField(3, recipe);
    const auto flat = [](int x) { return 2000.0 + 10 * x; };
    const double mean = flat(0) + 10 * (kSide - 1) / 2.0;
    const int offsets[][2] = { { 16, 16 }, { 21, 13 }, { 12, 20 } };
    const auto crop = [&](int k, int x, int y) {
        return double(field.pixels[size_t(y + offsets[k][1]) * kCanvas + x + offsets[k][0]]);
    };
    FitsLayout layout { kSide, kSide, 0, 16, 32768 };
    layout.cards = { "OBJECT  = 'field   '", "EXPTIME =                 10.0" };
    const auto frame = [&](const auto& value) {
        std::vector<double> v;
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
                v.push_back(value(x, y));
        return v;
    };
    for (int k = 0; k < 3; ++k)
        WriteFits(dir / ("l" + std::to_string(k) + ".fits"), layout,
            frame([&](int x, int y) { return std::round(crop(k, x, y) * flat(x) / mean) + 100; }));
    WriteFits(dir / "f.fits", layout, frame([&](int x, int) { return flat(x) + 60; }));
    // The dark current of 100 as a bias of 60 and darks of twice the lights'
    // exposure, 80 above it; the flat holds the bias too.
    WriteFits(dir / "b.fits", layout, std::vector<double>(kSide * kSide, 60));
    FitsLayout longer = layout;
    longer.cards = { "EXPTIME =                 20.0" };
    for (int d = 0; d < 3; ++d)
        WriteFits(dir / ("d" + std::to_string(d) + ".fits"), longer, std::vector<double>(kSide * kSide, 139 + d));

    // --dark takes one name each time: the lights after it stay lights.
    const auto stack = [&](const std::vector<std::string>& more) {
        std::vector<std::string> args { "stack", "--dark", dir / "d0.fits", dir / "l0.fits", dir / "l1.fits",
            dir / "l2.fits", "--dark", dir / "d1.fits" + "," + dir / "d2.fits", "--bias", dir / "b.fits",
            "--dark-scale", "--flat", dir / "f.fits", "--reference", dir / "l1.fits", "--weighted", "--distortion" };
        args.insert(args.end(), more.begin(), more.end());
        return Ok(args);
    };
    stack({ "-o", dir / "out.fits", "--report", dir / "r.csv", "--coverage", dir / "c.fits" });

    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_TRUE(out.HasCard("OBJECT  = 'field   '")); // the rest of the header is combine's
    // Transform takes positions to 1/64 pixel: a shift found a hair short of
    // a whole pixel mixes in 1/64 of the neighbour; the shaded lights were
    // rounded to whole counts.
    for (int y = 8; y < kSide - 8; ++y)
        for (int x = 8; x < kSide - 8; ++x) {
            double step = 0;
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    step = std::max(step, std::abs(crop(1, x + dx, y + dy) - crop(1, x, y)));
            ASSERT_NEAR(out.physical[size_t(y) * kSide + x], crop(1, x, y), 2 + step / 32) << x << "," << y;
        }
    EXPECT_EQ(ReadFits(dir / "c.fits").physical[size_t(kSide / 2) * kSide + kSide / 2], 3);

    // The report as CSV, then as JSON with a starless light under a name JSON
    // must escape: the same fields under the same names, the same digits.
    std::istringstream csv(ReadFile(dir / "r.csv"));
    std::vector<std::vector<std::string>> table;
    for (std::string line; std::getline(csv, line);) {
        table.emplace_back();
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, ',');)
            table.back().push_back(field);
    }
    ASSERT_EQ(table.size(), 4u);
    EXPECT_EQ(table[0],
        (std::vector<std::string> { "file", "status", "stars", "matched", "rms", "a", "b", "c", "d", "e", "f" }));
    std::string json = "[\n";
    for (int k = 0; k < 3; ++k) {
        const std::vector<std::string>& row = table[k + 1];
        ASSERT_EQ(row.size(), 11u);
        EXPECT_EQ(row[0] + "," + row[1], dir / ("l" + std::to_string(k) + ".fits,stacked"));
        EXPECT_GE(std::stod(row[3]), 10) << row[3];
        EXPECT_NEAR(std::stod(row[7]), offsets[1][0] - offsets[k][0], 0.05) << row[7];
        EXPECT_NEAR(std::stod(row[10]), offsets[1][1] - offsets[k][1], 0.05) << row[10];
        json += "  {\"file\": \"" + row[0] + "\", \"status\": \"stacked\"";
        for (size_t i = 2; i < row.size(); ++i)
            json += ", \"" + table[0][i] + "\": " + row[i];
        json += "},\n";
    }
    const std::string odd = dir / "q\"\\.fits";
    WriteFits(odd, layout, std::vector<double>(kSide * kSide, 1000));
    stack({ odd, "-o", dir / "j.fits", "--report", dir / "r.json" });
    json += "  {\"file\": \"" + dir / "q\\\"\\\\.fits" + "\", \"status\": \"left out: 0 stars in the frame and "
        + table[2][2]
        + " in the reference; at least 6 needed in each\", \"stars\": 0, \"matched\": 0, \"rms\": 0.0000, "
        + "\"a\": 1, \"b\": 0, \"c\": 0, \"d\": 0, \"e\": 1, \"f\": 0}\n]\n";
    EXPECT_EQ(ReadFile(dir / "r.json"), json);

    // Ctrl-C on the way leaves no output and no scratch folder; nor did the
    // runs before it.
    std::vector<std::string> args { "stack", "--progress", "--dark", dir / "d0.fits", "-o", dir / "again.fits" };
    for (int i = 0; i < 30; ++i)
        args.push_back(dir / ("l" + std::to_string(i % 3) + ".fits"));
    const Result stopped = Tamrix(args, "register [");
    EXPECT_EQ(stopped.status, 130) << stopped.err;
    EXPECT_FALSE(Has(stopped.err, "30/30 frames")) << "stacked to the end before the interrupt";
    EXPECT_EQ(dir.Files(),
        (std::vector<std::string> { "b.fits", "c.fits", "d0.fits", "d1.fits", "d2.fits", "f.fits", "j.fits", "l0.fits",
            "l1.fits", "l2.fits", "out.fits", "q\"\\.fits", "r.csv", "r.json" }));
}

} // namespace
} // namespace tamrix::clitest
