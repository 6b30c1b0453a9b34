// End-to-end: FITS images of every type in and out, calibrate and bin, how
// bad input fails, and every kind of output path.
#include "cli_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

namespace tamrix::clitest {
namespace {

const double kNaN = std::nan("");

// ---- every image type round-trips through a command -----------------------

struct Stored {
    const char* name;
    FitsLayout layout; // 4 x 3 pixels
    std::vector<double> values;
    std::string suffix = ""; // the image named in the file name: [SCI], [1]
    std::vector<std::string> options = {};
    friend void PrintTo(const Stored& s, std::ostream* os) { *os << s.name; }
};

const std::vector<double> kSigned16 = { -32768, -1, 0, 1, 32767, 5, 6, 7, 8, 9, 10, 11 };
const std::vector<double> kReals = { -2.5, 0, 1e-3, 0.1, 3.14159, 100.5, 1234.567, 4000, 7, 8, 9, 4096.25 };

using EveryImageType = CliParamTest<Stored>;

// `bin -n 1` keeps every value: integers come back exactly, floating-point
// values within half a step of their quantisation (2^24 levels from 0).
TEST_P(EveryImageType, RoundTripsThroughACommandInPhysicalUnits)
{
    const Stored& s = GetParam();
    const FitsLayout& layout = s.layout;
    const std::string name = layout.gzip ? "in.fits.gz" : layout.tiled ? "in.fits.fz" : "in.fits";
    std::vector<double> values = s.values;
    if (layout.planes > 0) // the second plane holds the values
        values.insert(values.begin(), values.size(), 99.0);
    WriteFits(dir / name, layout, values);
    std::vector<std::string> args = { "bin", "-n", "1", dir / name + s.suffix, "-o", dir / "out.fits" };
    args.insert(args.end(), s.options.begin(), s.options.end());
    Ok(args);
    const FitsImage out = ReadFits(dir / "out.fits");
    const auto [lo, hi] = std::minmax({ 0.0, *std::min_element(s.values.begin(), s.values.end()),
        *std::max_element(s.values.begin(), s.values.end()) });
    const double tolerance = layout.bitpix < 0 ? (hi - lo) / (1 << 24) : 1e-9 * std::max(1.0, hi - lo);
    ASSERT_EQ(out.physical.size(), s.values.size());
    for (size_t i = 0; i < s.values.size(); ++i)
        EXPECT_NEAR(out.physical[i], s.values[i], tolerance) << i;
    EXPECT_TRUE(layout.bitpix > 0 || out.bitpix == layout.bitpix); // floating point stays floating point
}

// The mapping's choice for each type is the intake layer's own test; here
// each way into and out of a file: scaled integers, the full 32-bit range,
// 64-bit data with --range, an extension, gzip, and floating point in tiles
// and in a cube's plane.
INSTANTIATE_TEST_SUITE_P(Cli, EveryImageType,
    ::testing::Values(Stored { "Scaled16", { 4, 3, 0, 16, 1500, false, 0.5 },
                          { 1500, 1499.5, 0, 2000, 16883.5, 5, 6, 7, 8, 9, 10, 11 } },
        Stored { "Unsigned32", { 4, 3, 0, 32, 2147483648.0 },
            { 0, 4294967295.0, 2147483648.0, 3, 4, 5, 6, 7, 8, 9, 10, 11 } },
        Stored { "SixtyFourBitWithARange", { 4, 3, 0, 64, 0 }, { -1000, 0, 1e9, 3, 4, 5, 6, 7, 8, 9, 10, 11 }, "",
            { "--range", "-1000,1000000000" } },
        Stored { "ExtensionByName", { 4, 3, 0, 16, 0, true }, kSigned16, "[SCI]" },
        Stored { "Gzipped32", { 4, 3, 0, 32, 0, true, 1, false, 0, false, true }, kSigned16 },
        Stored { "TiledFloat", { 4, 3, 0, -32, 0, false, 1, false, 0, true }, kReals },
        Stored { "CubePlane", { 4, 3, 2, -32, 0 }, kReals, "", { "--plane", "1" } }),
    ByName());

TEST_F(Cli, UndefinedPixelsComeBackUndefinedFromPixelWiseCommands)
{
    WriteFits(dir / "light.fits", { 3, 1, 0, 16, 0, false, 1, true, -32768 }, { 100, kNaN, 300 }); // BLANK -32768
    WriteFits(dir / "dark.fits", { 3, 1, 0, -32, 0 }, { kNaN, 10, 20 });
    const Result run = Ok({ "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-o", dir / "out.fits" });
    EXPECT_TRUE(Has(run.err, "1 pixel is NaN, infinite or BLANK (they stay undefined"));
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_TRUE(std::isnan(out.physical[0]) && std::isnan(out.physical[1]));
    EXPECT_EQ(out.physical[2], 280);
}

// ---- calibrate and bin --------------------------------------------------

TEST_F(Cli, CalibrateKeepsNegativeDarkDifferencesOfSignedDataAndDividesByTheFlatMean)
{
    // Signed light and dark share the signed mapping, so light - dark may be
    // negative; the division needs values from 0 (-100 becomes 0, with a
    // warning, and the saturated pixel the new full scale), and a
    // floating-point flat normalised to 1 divides at its mean.
    WriteFits(dir / "light.fits", { 4, 1, 0, 16, 0 }, { -50, 1000, 2000, 32767 });
    WriteFits(dir / "dark.fits", { 4, 1, 0, 16, 0 }, { 50, -100, 0, 0 });
    WriteFits(dir / "flat.fits", { 4, 1, 0, -32, 0 }, { 1.0, 0.5, 1.5, 1.0 });
    Ok({ "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-o", dir / "dark-only.fits" });
    EXPECT_EQ(ReadFits(dir / "dark-only.fits").physical, (std::vector<double> { -100, 1100, 2000, 32767 }));
    const Result run = Ok(
        { "calibrate", dir / "light.fits", "-d", dir / "dark.fits", "-f", dir / "flat.fits", "-o", dir / "out.fits" });
    const FitsImage out = ReadFits(dir / "out.fits");
    EXPECT_EQ(out.physical, (std::vector<double> { 0, 2200, 1333, 65535 }));
    EXPECT_TRUE(out.HasHistory("at level 1 (its mean)"));
    EXPECT_TRUE(Has(run.err, "1 pixel below 0 set to 0"));
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
    EXPECT_DOUBLE_EQ(std::stod(ReadFits(dir / "out.fits").Key("CRPIX2")), 1.25);
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
    WriteU32(dir / "w.fits", 2, 1, { 0, 4000000000u });
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

struct OutputPath {
    const char* name;
    std::vector<std::string> args; // after the command, names are in the folder ("IN" is in.fits)
    int (*prepare)(const Scratch&); // returns the read end of a pipe the output goes to, or -1
    void (*check)(const Scratch&, const Result&, int pipe);
    friend void PrintTo(const OutputPath& path, std::ostream* os) { *os << path.name; }
};
const std::string kNoStars = "x,y,cx,cy,flux,peak,fwhm,elongation,snr,sharpness,flags\n";

mode_t Mode(const std::string& path)
{
    struct stat st { };
    lstat(path.c_str(), &st);
    return st.st_mode;
}

int OpenFifo(const std::string& path)
{
    mkfifo(path.c_str(), 0600);
    return open(path.c_str(), O_RDONLY | O_NONBLOCK); // a reader, so that the program's open does not wait
}

const OutputPath kOutputPaths[] = {
    { "NewFileGetsTheUmasksPermissions", { "stars", "IN", "--csv", "new.csv" }, nullptr,
        [](const Scratch& d, const Result&, int) {
            EXPECT_EQ(ReadFile(d / "new.csv"), kNoStars);
            EXPECT_EQ(Mode(d / "new.csv") & 0777, 0640u); // the test runs under umask 027
        } },
    { "SymlinkWritesItsTargetWhichKeepsItsPermissions", { "stars", "IN", "--csv", "link.csv" },
        [](const Scratch& d) {
            WriteFile(d / "real.csv", "old");
            chmod((d / "real.csv").c_str(), 0604);
            symlink("real.csv", (d / "link.csv").c_str());
            return -1;
        },
        [](const Scratch& d, const Result&, int) {
            EXPECT_TRUE(S_ISLNK(Mode(d / "link.csv")));
            EXPECT_EQ(ReadFile(d / "real.csv"), kNoStars);
            EXPECT_EQ(Mode(d / "real.csv") & 0777, 0604u);
        } },
    { "FifoIsWrittenNotReplaced", { "stars", "IN", "--csv", "out.fifo" },
        [](const Scratch& d) { return OpenFifo(d / "out.fifo"); },
        [](const Scratch& d, const Result&, int pipe) {
            EXPECT_EQ(ReadAll(pipe), kNoStars);
            EXPECT_TRUE(S_ISFIFO(Mode(d / "out.fifo")));
        } },
    { "DevNullStaysADevice", { "bin", "IN", "-o", "/dev/null" }, nullptr,
        [](const Scratch&, const Result&, int) { EXPECT_TRUE(S_ISCHR(Mode("/dev/null"))); } },
    { "DashIsStandardOutput", { "stars", "IN", "--csv", "-", "--regions", "-" }, nullptr,
        [](const Scratch&, const Result& run, int) {
            EXPECT_EQ(run.out, kNoStars + "# Region file format: DS9 version 4.1\nglobal color=green width=1\nimage\n");
        } },
};

using OutputPaths = CliParamTest<OutputPath>;

TEST_P(OutputPaths, WriteWhereThePathLeadsAndLeaveNoTemporary)
{
    const OutputPath& path = GetParam();
    WriteU16(dir / "in.fits", 40, 40, Values(1600, 100));
    const std::string input = ReadFile(dir / "in.fits");
    const int pipe = path.prepare ? path.prepare(dir) : -1;
    std::vector<std::string> args;
    for (const std::string& a : path.args)
        args.push_back(args.empty() || a[0] == '-' || a[0] == '/' ? a : dir / (a == "IN" ? "in.fits" : a));
    const mode_t mask = umask(027);
    const Result run = Tamrix(args);
    umask(mask);
    EXPECT_EQ(run.status, 0) << run.err;
    path.check(dir, run, pipe);
    EXPECT_EQ(ReadFile(dir / "in.fits"), input);
    for (const std::string& f : dir.Files())
        EXPECT_NE(f[0], '.') << "a temporary was left: " << f;
}

INSTANTIATE_TEST_SUITE_P(Cli, OutputPaths, ::testing::ValuesIn(kOutputPaths), ByName());

} // namespace
} // namespace tamrix::clitest
