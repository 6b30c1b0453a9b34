// End-to-end: FITS images of every type in and out, the known answers of
// bin, resample, shift and transform, calibrate, how bad input fails, and
// every kind of output path.
#include "cli_support.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace tamrix::clitest {
namespace {

struct Known {
    const char* name;
    FitsLayout layout;
    std::vector<double> in;
    std::vector<std::string> args = { "bin", "-n", "1" }; // the command and its options
    std::vector<double> out = {}; // the input's values when empty
    friend void PrintTo(const Known& k, std::ostream* os) { *os << k.name; }
};

const std::vector<double> kReals = { -2.5, 0, 1e-3, 0.1, 3.14159, 100.5, 1234.567, 4000, 7, 8, 9, 4096.25 };
const std::vector<double> kRows = { 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000 }; // 4 x 2
const std::vector<double> kRamp
    = { 0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200, 1300, 1400, 1500 }; // 4 x 4

struct KnownAnswer : ::testing::TestWithParam<Known> {
    test::ScratchDir dir;
};

// Integers come back exactly, floating-point values within half a step of
// their quantisation (2^24 levels from 0).
TEST_P(KnownAnswer, OfTheCommandInPhysicalUnits)
{
    const Known& k = GetParam();
    const FitsLayout& layout = k.layout;
    const std::string name = layout.gzip ? "in.fits.gz" : layout.tiled ? "in.fits.fz" : "in.fits";
    std::vector<double> values = k.in;
    if (layout.planes > 0) // the second plane holds the values
        values.insert(values.begin(), values.size(), 99.0);
    WriteFits(dir / name, layout, values);
    // An image in an extension is chosen by its name.
    std::vector<std::string> args
        = { k.args[0], dir / name + (layout.inExtension ? "[SCI]" : ""), "-o", dir / "out.fits" };
    args.insert(args.end(), k.args.begin() + 1, k.args.end());
    Ok(args);
    const FitsImage out = ReadFits(dir / "out.fits");
    const std::vector<double>& expected = k.out.empty() ? k.in : k.out;
    const auto [lo, hi] = std::minmax({ 0.0, *std::min_element(expected.begin(), expected.end()),
        *std::max_element(expected.begin(), expected.end()) });
    const double tolerance = layout.bitpix < 0 ? (hi - lo) / (1 << 24) : 1e-9 * std::max(1.0, hi - lo);
    ASSERT_EQ(out.physical.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_NEAR(out.physical[i], expected[i], tolerance) << i;
    EXPECT_TRUE(layout.bitpix > 0 || out.bitpix == layout.bitpix); // floating point stays floating point
}

// The mapping's choice for each type is the intake layer's own test; here
// `bin -n 1` takes each way into and out of a file: scaled integers, the
// full 32-bit range, 64-bit data with --range, an extension, gzip, and
// floating point in tiles and in a cube's plane. Then each geometry command
// with its options.
INSTANTIATE_TEST_SUITE_P(Cli, KnownAnswer,
    ::testing::Values(Known { "Scaled16", { 4, 3, 0, 16, 1500, false, 0.5 },
                          { 1500, 1499.5, 0, 2000, 16883.5, 5, 6, 7, 8, 9, 10, 11 } },
        Known { "Unsigned32", { 4, 3, 0, 32, 2147483648.0 },
            { 0, 4294967295.0, 2147483648.0, 3, 4, 5, 6, 7, 8, 9, 10, 11 } },
        Known { "SixtyFourBitWithARange", { 4, 3, 0, 64, 0 }, { -1000, 0, 1e9, 3, 4, 5, 6, 7, 8, 9, 10, 11 },
            { "bin", "-n", "1", "--range", "-1000,1000000000" } },
        Known { "Gzipped32InAnExtensionByName", { 4, 3, 0, 32, 0, true, 1, false, 0, false, true },
            { -32768, -1, 0, 1, 32767, 5, 6, 7, 8, 9, 10, 11 } },
        Known { "TiledFloatCubePlane", { 4, 3, 2, -32, 0, false, 1, false, 0, true }, kReals,
            { "bin", "-n", "1", "--plane", "1" } },
        // Signed data: the sum carries the offset of every pixel of the block.
        Known { "BinSigned", { 3, 2, 0, 16, 0 }, { -1, -2, -3, 4, 5, 6 }, { "bin", "-x", "3", "-y", "1" }, { -6, 15 } },
        // Interpolates along rows and repeats the last pixel.
        Known { "Resample", { 3, 1 }, { 0, 10, 20 }, { "resample", "-x", "2", "-y", "1" }, { 0, 5, 10, 15, 20, 20 } },
        // Weights are 256ths, rounded: 0.998 leaves 1/256 of the pixel itself.
        Known {
            "ShiftAlmostOne", { 4, 2 }, kRows, { "shift", "--by", "0.998,0" }, { 0, 1003, 2003, 3003, 0, 0, 0, 0 } },
        // Output (x, y) samples input (x + 0.5, y): the mean of two neighbours.
        Known { "TransformMatrix", { 4, 4 }, kRamp, { "transform", "--matrix", "1,0,0.5,0,1,0" },
            { 50, 150, 250, 0, 450, 550, 650, 0, 850, 950, 1050, 0, 0, 0, 0, 0 } },
        Known { "TransformTranslate", { 4, 4 }, kRamp, { "transform", "--translate", "1,0", "--fill", "7" },
            { 7, 0, 100, 200, 7, 400, 500, 600, 7, 800, 900, 1000, 7, 7, 7, 7 } }),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Cli, CalibrateKeepsNegativeDarkDifferencesOfSignedDataDividesByTheFlatMeanAndKeepsUndefinedPixels)
{
    // Signed light and dark share the signed mapping, so light - dark may be
    // negative; the division needs values from 0 (-100 becomes 0, with a
    // warning, and the saturated pixel the new full scale), and a
    // floating-point flat normalised to 1 divides at its mean. A BLANK light
    // pixel and a NaN flat pixel stay undefined.
    WriteFits(dir / "light.fits", { 6, 1, 0, 16, 0, false, 1, true, -32768 }, { -50, 1000, 2000, 32767, kNaN, 500 });
    WriteFits(dir / "dark.fits", { 6, 1, 0, 16, 0 }, { 50, -100, 0, 0, 0, 0 });
    WriteFits(dir / "flat.fits", { 6, 1, 0, -32, 0 }, { 1.0, 0.5, 1.5, 1.0, 1.0, kNaN });
    Ok({ "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-o", dir / "dark-only.fits" });
    EXPECT_EQ(
        ::testing::PrintToString(ReadFits(dir / "dark-only.fits").physical), "{ -100, 1100, 2000, 32767, nan, 500 }");
    const Result run = Ok(
        { "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-f", dir / "flat.fits", "-o", dir / "out.fits" });
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(::testing::PrintToString(out.physical), "{ 0, 2200, 1333, 65535, nan, nan }");
    EXPECT_TRUE(out.HasCard("at level 1 (its mean)"));
    EXPECT_TRUE(Has(run.err, "1 pixel below 0 set to 0"));
    for (const std::string frame : { "light", "flat" })
        EXPECT_TRUE(Has(run.err, frame + ".fits: 1 pixel is NaN, infinite or BLANK (they stay undefined"));
}

TEST_F(Cli, BinMovesTheWorldCoordinatesOntoTheBinnedGrid)
{
    // Output pixel 0 is centred on input 0.5: CRPIX' = (CRPIX + 0.5) / 2, CD' = 2 CD.
    FitsLayout layout { 6, 4, 0, 16, 32768 };
    layout.cards
        = { "CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'", "CRVAL1  = 150.0", "CRVAL2  = 2.0", "CRPIX1  = 3.5",
              "CRPIX2  = 2.0", "CD1_1   = -1.0E-4", "CD1_2   = 2.0E-5", "CD2_1   = 3.0E-5", "CD2_2   = 1.0E-4" };
    WriteFits(dir / "in.fits", layout, std::vector<double>(24, 100));
    Ok({ "bin", dir / "in.fits", "-o", dir / "out.fits" });
    // The mapping itself is the intake layer's test: here that bin applies it.
    EXPECT_TRUE(ReadFits(dir / "out.fits").HasCard("CRPIX2  =                 1.25"));
}

// ---- bad input: a one-line error, its exit status, and no output ----------

// Refusals: their status, one line, and every file as it was. In the
// folder: a.fits and b.fits (4 x 4), s.fits (4 x 1), c.fits (4 x 4, a colour
// frame), w.fits (2 x 1, 32-bit values 4e9 apart), h.fits (4 x 4, BSCALE
// 0.5), cube.fits (4 x 4 x 3), big.fits and huge.fits (a.fits claiming
// 50000 and 2^31 - 1 pixels a side), alias.fits (a link to a.fits) and
// o.fits (a previous result); other names are outputs. Every command reads
// frames through one reader (its messages for a missing or unreadable file
// are the stats test's).
const struct {
    std::vector<std::string> args;
    int status;
    std::string problem;
} kRefusals[] = {
    { { "calibrate", "a.fits", "-o", "o.fits" }, 2, "calibrate needs --dark, --flat or both" },
    { { "calibrate", "cube.fits", "-d", "a.fits", "-o", "o.fits" }, 2,
        "cube.fits: a cube of 3 planes (4 x 4 x 3): choose one with --plane N" },
    { { "calibrate", "big.fits", "-d", "a.fits", "-o", "o.fits" }, 4,
        "big.fits: the image of 50000 x 50000 pixels is too large" },
    { { "calibrate", "huge.fits", "-d", "a.fits", "-o", "o.fits" }, 4,
        "huge.fits: the image of 2147483647 x 2147483647 pixels is too large" },
    { { "calibrate", "a.fits", "-d", "s.fits", "-o", "o.fits" }, 5, "s.fits: 4 x 1 pixels, but " },
    { { "calibrate", "a.fits", "-d", "h.fits", "-o", "o.fits" }, 5, "h.fits: BSCALE 0.5 differs" },
    { { "bin", "a.fits", "-o", "nowhere/o.fits" }, 1, "nowhere/o.fits: cannot create a file in" },
    { { "bin", "a.fits", "-o", "-" }, 2, "name a file" },
    { { "bin", "alias.fits", "-o", "a.fits" }, 2, "a.fits: is the input " },
    { { "stars", "a.fits", "--csv", "o.csv", "--regions", "a.fits" }, 2, "a.fits: is an input too" },
    { { "calibrate", "a.fits", "-d", "a.fits" }, 2, "--output is required" },
    { { "frobnicate" }, 2, "unknown command 'frobnicate'" },
    { { "bin", "a.fits", "-n", "0", "-o", "o.fits" }, 2, "--factor: Value 0" },
    { { "bin", "a.fits", "--plane", "1", "-o", "o.fits" }, 2, "--plane 1 is beyond its 1 plane" },
    { { "bin", "a.fits", "-n", "5", "-o", "o.fits" }, 2, "no whole 5 x 5 block" },
    { { "resample", "w.fits", "-n", "2", "-o", "o.fits" }, 4,
        "w.fits: 32-bit values spanning 4000000000 are too far apart" },
    { { "median", "a.fits", "-r", "4", "-o", "o.fits" }, 2, "must be below the frame width 4" },
    { { "transform", "a.fits", "--matrix", "1,0,0,0,1,0", "--rotate", "3", "-o", "o.fits" }, 2,
        "--matrix excludes --rotate" },
    { { "stats", "a.fits", "--rect", "4,0,1,1" }, 2, "--rect starts at (4, 0), outside the 4 x 4 frame" },
    { { "stats", "a.fits", "--rect", "0,0,0,1" }, 2, "--rect needs a width and height of at least 1" },
    { { "stars", "a.fits", "-r", "26" }, 2, "--radius: Value 26 not in range 2 to 25" },
    { { "stars", "a.fits", "--start-sigma", "3", "--start-level", "1000" }, 2, "--start-level excludes --start-sigma" },
    { { "render", "a.fits", "a.fits", "-o", "o.png" }, 2, "one frame (grey) or three (red, green, blue), not 2" },
    { { "render", "a.fits", "-o", "o.jpg" }, 2, "a picture is written as PNG: name it *.png" },
    { { "render", "a.fits", "s.fits", "a.fits", "-o", "o.png" }, 5, "s.fits: 4 x 1 pixels, but " },
    { { "stars", "a.fits", "--level", "0.5" }, 2, "--level requires --nn or --network" },
    { { "render", "a.fits", "--stretch", "cube", "-o", "o.png" }, 2,
        "tamrix: usage error: --stretch: 'cube' is not linear, sqrt or asinh (see tamrix --help)\n" },
    // NaN passes every range check unless refused by name.
    { { "shift", "a.fits", "--by", "nan,0", "-o", "o.fits" }, 2, "finite" },
    { { "combine", "a.fits", "s.fits", "b.fits", "-o", "m.fits" }, 5, "s.fits: 4 x 1 pixels, but " },
    { { "combine", "a.fits", "b.fits", "-o", "m.fits", "-m", "average" }, 2,
        "'average' is not a method; choose median, mean, sigma-clip or winsorized" },
    { { "combine", "a.fits", "b.fits", "-o", "m.fits", "--sigma", "3,0" }, 2, "--sigma: both bounds must be positive" },
    { { "combine", "a.fits", "b.fits", "-o", "m.fits", "--rejection", "m.fits" }, 2, "--rejection " },
    { { "combine", "a.fits", "b.fits", "-o", "b.fits" }, 2, "is an input too" },
    { { "stack", "a.fits", "c.fits", "-o", "m.fits" }, 4, "c.fits: a colour (Bayer) frame" },
    { { "stack", "a.fits", "b.fits", "--dark", "s.fits", "-o", "m.fits" }, 5, "s.fits: 4 x 1 pixels, but " },
    { { "stack", "a.fits", "b.fits", "-o", "m.fits" }, 1, "the reference has 0 usable stars" },
    { { "stack", "a.fits", "--dark-scale", "-o", "m.fits" }, 2, "scaling the dark needs darks" },
    { { "stack", "a.fits", "--dark", "b.fits", "--dark-scale", "-o", "m.fits" }, 1,
        "b.fits: no EXPTIME card; --dark-scale needs the exposure time of every light and dark" },
    { { "stack", "a.fits", "-o", "m.fits", "--coverage", "r.fits", "--report", "r.fits" }, 2,
        "r.fits is named for two outputs" },
};

TEST_F(Cli, RefusalsExitWithTheirStatusAndOneLineAndChangeNoFile)
{
    WriteU16(dir / "a.fits", 4, 4, Values(16, 1));
    WriteU16(dir / "b.fits", 4, 4, Values(16, 2));
    WriteU16(dir / "s.fits", 4, 1, Values(4, 3));
    FitsLayout colour { 4, 4 };
    colour.cards = { "BAYERPAT= 'RGGB    '" };
    WriteFits(dir / "c.fits", colour, std::vector<double>(16, 4));
    WriteFits(dir / "w.fits", { 2, 1, 0, 32, 2147483648.0 }, { 0, 4e9 });
    WriteFits(dir / "h.fits", { 4, 4, 0, 16, 0, false, 0.5 }, std::vector<double>(16, 1));
    WriteFits(dir / "cube.fits", { 4, 4, 3, 16, 32768 }, std::vector<double>(48, 1));
    for (const auto& [name, side] : { std::pair { "big.fits", "50000" }, { "huge.fits", "2147483647" } }) {
        std::string text = ReadFile(dir / "a.fits");
        for (const char* axis : { "NAXIS1  =", "NAXIS2  =" })
            text.replace(text.find(axis) + 10, 20, std::string(20 - std::strlen(side), ' ') + side);
        WriteFile(dir / name, text);
    }
    symlink("a.fits", (dir / "alias.fits").c_str());
    WriteFile(dir / "o.fits", "previous result");
    const auto contents = [&] { // each name with a digest of its bytes
        std::vector<std::string> files = dir.Files();
        for (std::string& f : files)
            f += " " + std::to_string(std::hash<std::string> {}(ReadFile(dir / f)));
        return files;
    };
    const std::vector<std::string> before = contents();
    for (auto [args, status, problem] : kRefusals) {
        std::string line;
        for (std::string& a : args) {
            a = std::isalpha(static_cast<unsigned char>(a[0])) && a.find('.') != std::string::npos ? dir / a : a;
            line += " " + a;
        }
        SCOPED_TRACE(line);
        ExpectOneLineError(Tamrix(args), status, "", problem);
        EXPECT_EQ(contents(), before);
    }
}

// ---- output paths: whatever the path is, nothing but the output changes ----

namespace fs = std::filesystem;

TEST_F(Cli, OutputsGoWhereThePathLeadsAndLeaveNoTemporary)
{
    const std::string in = dir / "in.fits", kNoStars = "x,y,cx,cy,flux,peak,fwhm,elongation,snr,sharpness,flags\n";
    WriteU16(in, 40, 40, Values(1600, 100));
    const std::string input = ReadFile(in);
    const auto run = [&](const std::vector<std::string>& args) {
        const mode_t mask = umask(027);
        const Result r = Tamrix(args);
        umask(mask);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(ReadFile(in), input);
        for (const std::string& f : dir.Files())
            EXPECT_NE(f[0], '.') << "a temporary was left: " << f;
        return r;
    };
    run({ "stars", in, "--csv", dir / "new.csv" });
    EXPECT_EQ(ReadFile(dir / "new.csv"), kNoStars);
    EXPECT_EQ(fs::status(dir / "new.csv").permissions(), fs::perms(0640)); // the umask's
    // A link writes its target, which keeps its permissions.
    WriteFile(dir / "real.csv", "old");
    chmod((dir / "real.csv").c_str(), 0604);
    symlink("real.csv", (dir / "link.csv").c_str());
    run({ "stars", in, "--csv", dir / "link.csv" });
    EXPECT_TRUE(fs::is_symlink(dir / "link.csv"));
    EXPECT_EQ(ReadFile(dir / "real.csv"), kNoStars);
    EXPECT_EQ(fs::status(dir / "real.csv").permissions(), fs::perms(0604));
    // A FIFO is written, not replaced (its reader is open, so the program's open does not wait).
    mkfifo((dir / "out.fifo").c_str(), 0600);
    const int pipe = open((dir / "out.fifo").c_str(), O_RDONLY | O_NONBLOCK);
    run({ "stars", in, "--csv", dir / "out.fifo" });
    EXPECT_EQ(ReadAll(pipe), kNoStars);
    EXPECT_TRUE(fs::is_fifo(dir / "out.fifo"));
    run({ "bin", in, "-o", "/dev/null" });
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
    EXPECT_EQ(run({ "stars", in, "--csv", "-", "--regions", "-" }).out,
        kNoStars + "# Region file format: DS9 version 4.1\nglobal color=green width=1\nimage\n");
}

} // namespace
} // namespace tamrix::clitest
