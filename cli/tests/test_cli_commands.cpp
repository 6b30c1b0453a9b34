// End-to-end: the frame commands' known answers (bin, resample, shift,
// transform, median, stats, stars, fit-field, render, render-field) and the
// rules of their own files and messages.
#include "cli_support.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tamrix::clitest {
namespace {

// ---- one frame in, one frame out ---------------------------------------------

struct Known {
    const char* name;
    FitsLayout layout;
    std::vector<double> in;
    std::vector<std::string> args; // the command and its options, around the input and -o
    std::vector<double> out;
    friend void PrintTo(const Known& k, std::ostream* os) { *os << k.name; }
};

const std::vector<double> kRows = { 1000, 2000, 3000, 4000, 5000, 6000, 7000, 8000 }; // 4 x 2
const std::vector<double> kRamp
    = { 0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000, 1100, 1200, 1300, 1400, 1500 }; // 4 x 4

const Known kKnown[] = {
    // Signed data: the sum carries the offset of every pixel of the block.
    { "BinSigned", { 3, 2, 0, 16, 0 }, { -1, -2, -3, 4, 5, 6 }, { "bin", "-x", "3", "-y", "1" }, { -6, 15 } },
    // Interpolates along rows and repeats the last pixel.
    { "Resample", { 3, 1 }, { 0, 10, 20 }, { "resample", "-x", "2", "-y", "1" }, { 0, 5, 10, 15, 20, 20 } },
    // Weights are 256ths, rounded: 0.998 leaves 1/256 of the pixel itself.
    { "ShiftAlmostOne", { 4, 2 }, kRows, { "shift", "--by", "0.998,0" }, { 0, 1003, 2003, 3003, 0, 0, 0, 0 } },
    // Output (x, y) samples input (x + 0.5, y): the mean of two neighbours.
    { "TransformMatrix", { 4, 4 }, kRamp, { "transform", "--matrix", "1,0,0.5,0,1,0" },
        { 50, 150, 250, 0, 450, 550, 650, 0, 850, 950, 1050, 0, 0, 0, 0, 0 } },
    { "TransformTranslate", { 4, 4 }, kRamp, { "transform", "--translate", "1,0", "--fill", "7" },
        { 7, 0, 100, 200, 7, 400, 500, 600, 7, 800, 900, 1000, 7, 7, 7, 7 } },
};

using KnownAnswer = CliParamTest<Known>;

TEST_P(KnownAnswer, OfTheCommand)
{
    const Known& k = GetParam();
    WriteFits(dir / "in.fits", k.layout, k.in);
    std::vector<std::string> args = { k.args[0], dir / "in.fits" };
    args.insert(args.end(), k.args.begin() + 1, k.args.end());
    args.insert(args.end(), { "-o", dir / "out.fits" });
    Ok(args);
    EXPECT_EQ(ReadFits(dir / "out.fits").physical, k.out);
}

INSTANTIATE_TEST_SUITE_P(Cli, KnownAnswer, ::testing::ValuesIn(kKnown), ByName());

// ---- median --------------------------------------------------------------------

TEST_F(Cli, MedianOfThirtyTwoBitFramesUsesTheirOwnValueRangeAndSubtractsTheBackground)
{
    // Range 1000 .. 1999 gives bins of one value: a uniform 1500 filters to
    // 1501, which leaves 1500 - 1501 + 50 with --offset 50.
    Values v(12, 1500);
    v[0] = 1000;
    v[11] = 1999;
    WriteU32(dir / "in.fits", 4, 3, v);
    Ok({ "median", dir / "in.fits", "-r", "1", "-s", "--offset", "50", "-q", "-o", dir / "b.fits" });
    const FitsImage b = ReadFits(dir / "b.fits");
    EXPECT_EQ(b.physical[5], 49);
    EXPECT_TRUE(b.HasHistory("background subtracted: 3 x 3 median"));
}

TEST_F(Cli, MedianProgressBarFollowsTheFilterToOneHundredPercent)
{
    WriteU16(dir / "in.fits", 16, 200, Values(16 * 200, 7));
    // Worker threads report outside the lock and may overtake each other, and
    // the bar skips a report behind the one drawn: one thread keeps every
    // report, the 37 % included.
    const char* threads = std::getenv("OMP_NUM_THREADS");
    const std::string before = threads ? threads : "";
    setenv("OMP_NUM_THREADS", "1", 1);
    const Result run = Tamrix({ "median", dir / "in.fits", "-r", "2", "--progress", "-o", dir / "out.fits" });
    before.empty() ? unsetenv("OMP_NUM_THREADS") : setenv("OMP_NUM_THREADS", before.c_str(), 1);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.err, "] 37 %")) << "the filter's own text for row 74 of 200";
    const std::string full = "median [" + std::string(40, '#') + "] 100 %\n";
    EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), full.size())), full);
}

// SIGTERM stops the filter as Ctrl-C does (which is the stack test's); the
// status and the message tell which.
TEST_F(Cli, MedianStoppedBySigtermCancelsTheFilterAndWritesNothing)
{
    WriteU16(dir / "in.fits", 1200, 2000, test::RandomFrame<uint32_t>(1200, 2000, 1, 0, 59999));
    const Result run
        = Tamrix({ "median", dir / "in.fits", "-r", "25", "--progress", "-o", dir / "out.fits" }, "median [", SIGTERM);
    EXPECT_EQ(run.status, 128 + SIGTERM) << run.err;
    EXPECT_TRUE(Has(run.err, "terminated; no output written"));
    EXPECT_FALSE(Has(run.err, "100 %")) << "the filter ran to the end before the signal";
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "in.fits" }));
}

// ---- stats -------------------------------------------------------------------

TEST_F(Cli, StatsTabulatesOrListsAsJsonEveryReadableFrameAndGivesALinePerFailure)
{
    WriteU16(dir / "a.fits", 2, 1, { 10, 20 });
    WriteU32(dir / "b.fits", 2, 1, { 0, 4294967295u });
    WriteU16(dir / "narrow.fits", 1, 1, { 1 }); // the rectangle misses it
    WriteFile(dir / "text.fits", "not FITS");
    const Result run = Tamrix({ "stats", dir / "none.fits", dir / "narrow.fits", dir / "a.fits", dir / "text.fits",
        dir / "b.fits", "--rect", "1,0,1,1" });
    EXPECT_EQ(run.status, 3) << run.err; // the first failure's
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 3) << run.err;
    EXPECT_TRUE(Has(run.err, dir / "none.fits: no such file\n"));
    EXPECT_TRUE(Has(run.err, dir / "text.fits: not a readable FITS file"));
    EXPECT_TRUE(Has(run.out, "1x1   16           20           20             20            0"));
    EXPECT_TRUE(Has(run.out, "1x1   32   4294967295   4294967295     4294967295            0"));
    // As JSON, with a rectangle clipped to the frame.
    EXPECT_EQ(Tamrix({ "stats", dir / "a.fits", "--rect", "0,0,5,5", "--json" }).out,
        "[\n  {\"file\": \"" + dir / "a.fits"
            + "\", \"width\": 2, \"height\": 1, \"bits\": 16, \"rect\": [0, 0, 2, 1], "
            + "\"min\": 10, \"max\": 20, \"mean\": 15, \"stddev\": 5, \"undefined\": 0}\n]\n");
}

// ---- stars and fit-field -----------------------------------------------------

TEST_F(Cli, StarsFindsBothStarsAndWritesTheCsvAndOneBasedDs9Regions)
{
    // A 96 x 64 sky of level 1000, noise 3, Gaussian stars of sigma 1.2 px
    // and fluxes 20000 and 12000 (peaks about 3200 and 2300): the header's
    // SATURATE flags the first.
    const double peak = 1 / (2 * M_PI * 1.44);
    const std::vector<starnet::Star> truth = { { 30.3, 20.6, 20000 * peak, 1.2 }, { 70.8, 40.2, 12000 * peak, 1.2 } };
    WriteSky(dir / "sky.fits", 96, 64, 1000, 3, truth, { "SATURATE=                 3000" });
    Ok({ "stars", dir / "sky.fits", "-r", "8", "--csv", dir / "s.csv", "--regions", dir / "s.reg", "--mark-radius",
        "4" });
    // The headers are the output-path tests'; the measures the library's own.
    std::istringstream csv(ReadFile(dir / "s.csv"));
    std::string line, flags;
    std::getline(csv, line);
    const std::string reg = ReadFile(dir / "s.reg");
    for (const auto& s : truth) {
        ASSERT_TRUE(std::getline(csv, line));
        double cx = 0, cy = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%*d,%*d,%lf,%lf", &cx, &cy), 2) << line;
        EXPECT_NEAR(cx, s.x, 0.15);
        EXPECT_NEAR(cy, s.y, 0.15);
        char circle[80];
        std::snprintf(circle, sizeof circle, "circle(%.4f,%.4f,4)\n", cx + 1, cy + 1);
        EXPECT_TRUE(Has(reg, circle));
        flags += line.substr(line.rfind(',') + 1) + ",";
    }
    EXPECT_FALSE(std::getline(csv, line)) << line;
    EXPECT_EQ(flags, "2,0,");
    // --saturation overrides the header.
    std::istringstream out(Ok({ "stars", dir / "sky.fits", "-r", "8", "--saturation", "1e6" }).out);
    for (flags.clear(), std::getline(out, line); std::getline(out, line);)
        flags += line.substr(line.rfind(',') + 1) + ",";
    EXPECT_EQ(flags, "0,0,");
    // NaN over 70 % of a frame is no sky: the star it covers is gone, the other found alone.
    WriteSky(dir / "wide.fits", 256, 192, 1000, 3, { { 60.3, 90.6, 3000, 1.2 }, { 200.8, 100.2, 3000, 1.2 } });
    FitsImage sky = ReadFits(dir / "wide.fits");
    for (size_t i = 0; i < sky.physical.size(); ++i)
        if (i % 256 < 180)
            sky.physical[i] = NAN;
    FitsLayout layout { 256, 192 };
    layout.bitpix = -32;
    WriteFits(dir / "nan.fits", layout, sky.physical);
    const std::string list = Ok({ "stars", dir / "nan.fits" }).out;
    EXPECT_EQ(std::count(list.begin(), list.end(), '\n'), 2) << list;
}

std::string StarList(double dx, double dy, int count)
{
    std::string text = "x,y,cx,cy,flux,peak\n";
    for (int i = 0; i < count; ++i) {
        const double x = 20 + (i % 6) * 40 + dx, y = 15 + (i / 6) * 35 + dy;
        char line[100];
        std::snprintf(line, sizeof line, "%d,%d,%.4f,%.4f,1000.00,500\n", int(x + 0.5), int(y + 0.5), x, y);
        text += line;
    }
    return text;
}

Result FitField(const Scratch& dir)
{
    return Tamrix({ "fit-field", dir / "a.csv", dir / "b.csv", "--size", "256,200", "-o", dir / "f.txt" });
}

// Ten stars or more give the motion; a bad line names the file and line.
TEST_F(Cli, FitFieldRecoversAUniformMotionFromTenStarsOrMoreAndRefusesABadLine)
{
    WriteFile(dir / "a.csv", StarList(0, 0, 36));
    WriteFile(dir / "b.csv", StarList(1.5, -0.5, 36));
    const Result run = FitField(dir);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "36 matched stars, mean motion (1.500, -0.500) px"));
    // The constant term, the last, carries the motion in units of the longer side.
    const std::string text = ReadFile(dir / "f.txt");
    const size_t dx = text.find("\ndx "), end = text.find('\n', dx + 1);
    EXPECT_NEAR(std::stod(text.substr(text.rfind(' ', end) + 1, end)), 1.5 / 256, 1e-9) << text;

    WriteFile(dir / "a.csv", StarList(0, 0, 9));
    WriteFile(dir / "b.csv", StarList(1, 0, 9));
    ExpectOneLineError(FitField(dir), 5, "", "only 9 stars match");
    EXPECT_EQ(ReadFile(dir / "f.txt"), text); // the previous result stays

    WriteFile(dir / "b.csv", StarList(1, 0, 12));
    for (const BadLine& bad : { BadLine { "1,2,3.5,oops,4,5", "cy is not a number: 'oops'" },
             // Read as 3 before: the text ended at the NUL.
             BadLine { std::string("1,2,3\0x,4,4,5", 13), "cx is not a number" },
             // Past the int of the rounded position.
             BadLine { "1,2,1e17,4,4,5", "the position 1e17, 4 lies beyond any frame" } }) {
        WriteFile(dir / "a.csv", StarList(0, 0, 12) + bad.line + "\n");
        ExpectOneLineError(FitField(dir), 3, dir / "a.csv" + ": line 14: ", bad.problem);
    }
}

// ---- render and render-field -------------------------------------------------

struct Png {
    int width = 0;
    bool colour = false;
    std::vector<unsigned char> pixels; // grey, or red, green, blue
};

// Decodes with libpng's simplified reader, in the file's own format.
Png ReadPng(const std::string& path)
{
    png_image image {};
    image.version = PNG_IMAGE_VERSION;
    Png png;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        png.colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
        image.format = png.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
        png.width = int(image.width);
        png.pixels.resize(PNG_IMAGE_SIZE(image));
        png_image_finish_read(&image, nullptr, png.pixels.data(), 0, nullptr);
    }
    EXPECT_EQ(image.warning_or_error & PNG_IMAGE_ERROR, 0u) << path << ": " << image.message;
    return png;
}

TEST_F(Cli, RenderMapsBlackAndWhitePointsInGreyAndColour)
{
    WriteU16(dir / "a.fits", 3, 2, { 100, 150, 200, 0, 65535, 125 });
    Ok({ "render", dir / "a.fits", "--black", "100", "--white", "200", "-o", dir / "a.png" });
    const Png grey = ReadPng(dir / "a.png");
    EXPECT_EQ(grey.width, 3);
    // Bottom-up, as DS9 shows the frame: its last row is the picture's top one.
    // Linear: the table entry of 150 covers 150 and shows the middle of its span.
    EXPECT_EQ(grey.pixels, (std::vector<unsigned char> { 0, 255, 65, 0, 129, 255 }));

    WriteU16(dir / "r.fits", 2, 1, { 1000, 0 });
    WriteU16(dir / "g.fits", 2, 1, { 0, 1000 });
    Ok({ "render", dir / "r.fits", dir / "g.fits", dir / "g.fits", "--black", "10", "--white", "500", "-o",
        dir / "c.png" });
    EXPECT_EQ(ReadPng(dir / "c.png").pixels, (std::vector<unsigned char> { 255, 0, 0, 0, 255, 255 }));
}

TEST_F(Cli, RenderMarksStarsWithGreenCircles)
{
    WriteU16(dir / "a.fits", 40, 40, Values(1600, 0));
    WriteFile(dir / "s.csv", "x,y,cx,cy,flux,peak\n20,12,20.0,12.0,100,9\n");
    Ok({ "render", dir / "a.fits", "--stars", dir / "s.csv", "--mark-radius", "5", "--black", "1", "--white", "2", "-o",
        dir / "m.png" });
    const Png png = ReadPng(dir / "m.png");
    ASSERT_TRUE(png.colour);
    // Frame row y is picture row 39 - y: the marks turn with the picture.
    auto at = [&](int x, int y, int c) { return png.pixels[(size_t(39 - y) * 40 + x) * 3 + c]; };
    EXPECT_EQ(at(25, 12, 1), 230); // on the circle
    EXPECT_EQ(at(20, 7, 1), 230);
    EXPECT_EQ(at(20, 12, 1), 0); // the centre stays
}

// A bad line of a field file names the file and line.
TEST_F(Cli, RenderFieldDrawsVectorLengthsAndMarksAndRefusesABadLine)
{
    // A uniform motion of 1.5 pixels to the right on a 100 x 100 frame.
    WriteFile(dir / "f.txt", "width 100\nheight 100\ndx 0 0 0 0 0 0 0 0 0 0.015\ndy 0 0 0 0 0 0 0 0 0 0\n");
    Ok({ "render-field", dir / "f.txt", "-o", dir / "f.fits" });
    const FitsImage f = ReadFits(dir / "f.fits");
    EXPECT_EQ(f.physical[0], 32767 + 150);
    // R = 2, so M = 12 and the grid points lie at 13, 38, 63, 88: a plus mark there.
    EXPECT_EQ(f.physical[13 * 100 + 13 - 4], 0);
    Ok({ "render-field", dir / "f.txt", "-o", dir / "f.png" });
    const Png png = ReadPng(dir / "f.png");
    EXPECT_EQ(png.width, 100);
    EXPECT_EQ(png.pixels[13 * 100 + 13], 0);
    EXPECT_GT(png.pixels[0], 0);

    for (const BadLine& bad : { BadLine { "dx 0 0 0", "dx needs 10 numbers" },
             // Past an int: an undefined conversion before.
             BadLine { "pairs 1e20", "pairs must be a whole number of matched stars" },
             BadLine { "rms -1", "rms must be 0 or more" }, BadLine { std::string("rms 1\0x", 7), "rms: '1" } }) {
        WriteFile(dir / "f.txt", "width 100\nheight 100\n" + bad.line + "\n");
        ExpectOneLineError(
            Tamrix({ "render-field", dir / "f.txt", "-o", dir / "f.png" }), 3, dir / "f.txt", "line 3: " + bad.problem);
    }
}

} // namespace
} // namespace tamrix::clitest
