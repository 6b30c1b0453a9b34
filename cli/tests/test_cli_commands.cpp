// End-to-end: the frame commands median, stats, stars, fit-field, render
// and render-field: their known answers and the rules of their own files and
// messages.
#include "cli_support.h"

#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace tamrix::clitest {
namespace {

// A bad line of a text input (star list, field file) and the problem its message names.
using BadLine = std::pair<std::string, std::string>;

TEST_F(Cli, MedianOfThirtyTwoBitFramesUsesTheirOwnRangeDrawsTheFiltersProgressAndStopsOnSigterm)
{
    // Range 1000 .. 1999 gives bins of one value: a uniform 1500 filters to
    // 1501, which leaves 1500 - 1501 + 50 with --offset 50.
    std::vector<double> v(16 * 200, 1500);
    v[0] = 1000;
    v.back() = 1999;
    WriteFits(dir / "in.fits", { 16, 200, 0, 32, 2147483648.0 }, v);
    // Worker threads report outside the lock and may overtake each other, and
    // the bar skips a report behind the one drawn: one thread keeps every
    // report, the 37 % included.
    const char* threads = std::getenv("OMP_NUM_THREADS");
    const std::string before = threads ? threads : "";
    setenv("OMP_NUM_THREADS", "1", 1);
    const Result run
        = Tamrix({ "median", dir / "in.fits", "-r", "2", "-s", "--offset", "50", "--progress", "-o", dir / "b.fits" });
    before.empty() ? unsetenv("OMP_NUM_THREADS") : setenv("OMP_NUM_THREADS", before.c_str(), 1);
    ASSERT_EQ(run.status, 0) << run.err;
    const FitsImage b = ReadFits(dir / "b.fits");
    EXPECT_EQ(b.physical[16 * 100 + 8], 49);
    EXPECT_TRUE(b.HasCard("background subtracted: 5 x 5 median"));
    EXPECT_TRUE(Has(run.err, "] 37 %")) << "the filter's own text for row 74 of 200";
    const std::string full = "median [" + std::string(40, '#') + "] 100 %\n";
    EXPECT_EQ(run.err.substr(run.err.size() - std::min(run.err.size(), full.size())), full);

    // SIGTERM stops the filter as Ctrl-C does (which is the stack test's); the
    // status and the message tell which.
    WriteU16(dir / "big.fits", 1200, 2000, test::RandomFrame<uint32_t>(1200, 2000, 1, 0, 59999));
    const Result stopped
        = Tamrix({ "median", dir / "big.fits", "-r", "25", "--progress", "-o", dir / "out.fits" }, "median [", SIGTERM);
    EXPECT_EQ(stopped.status, 128 + SIGTERM) << stopped.err;
    EXPECT_TRUE(Has(stopped.err, "terminated; no output written"));
    EXPECT_FALSE(Has(stopped.err, "100 %")) << "the filter ran to the end before the signal";
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "b.fits", "big.fits", "in.fits" }));
}

TEST_F(Cli, StatsTabulatesOrListsAsJsonEveryReadableFrameAndGivesALinePerFailure)
{
    WriteU16(dir / "a.fits", 2, 1, { 10, 20 });
    WriteFits(dir / "b.fits", { 2, 1, 0, 32, 2147483648.0 }, { 0, 4294967295.0 });
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
    std::string unflagged = ReadFile(dir / "s.csv");
    unflagged.replace(unflagged.find(",2\n"), 3, ",0\n");
    EXPECT_EQ(Ok({ "stars", dir / "sky.fits", "-r", "8", "--saturation", "1e6" }).out, unflagged);
    // NaN over 70 % of a frame is no sky: the star it covers is gone, the other found alone.
    WriteSky(dir / "wide.fits", 256, 192, 1000, 3, { { 60.3, 90.6, 3000, 1.2 }, { 200.8, 100.2, 3000, 1.2 } });
    FitsImage sky = ReadFits(dir / "wide.fits");
    for (size_t i = 0; i < sky.physical.size(); ++i)
        sky.physical[i] = i % 256 < 180 ? NAN : sky.physical[i];
    WriteFits(dir / "nan.fits", { 256, 192, 0, -32, 0 }, sky.physical);
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

// Ten stars or more give the motion; a bad line names the file and line.
TEST_F(Cli, FitFieldRecoversAUniformMotionFromTenStarsOrMoreAndRefusesABadLine)
{
    const auto fit = [&] {
        return Tamrix({ "fit-field", dir / "a.csv", dir / "b.csv", "--size", "256,200", "-o", dir / "f.txt" });
    };
    WriteFile(dir / "a.csv", StarList(0, 0, 36));
    WriteFile(dir / "b.csv", StarList(1.5, -0.5, 36));
    const Result run = fit();
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Has(run.out, "36 matched stars, mean motion (1.500, -0.500) px"));
    // The constant term, the last, carries the motion in units of the longer side.
    const std::string text = ReadFile(dir / "f.txt");
    const size_t dx = text.find("\ndx "), end = text.find('\n', dx + 1);
    EXPECT_NEAR(std::stod(text.substr(text.rfind(' ', end) + 1, end)), 1.5 / 256, 1e-9) << text;

    WriteFile(dir / "a.csv", StarList(0, 0, 9));
    WriteFile(dir / "b.csv", StarList(1, 0, 9));
    ExpectOneLineError(fit(), 5, "", "only 9 stars match");
    EXPECT_EQ(ReadFile(dir / "f.txt"), text); // the previous result stays

    WriteFile(dir / "b.csv", StarList(1, 0, 12));
    for (const auto& [line, problem] : { BadLine { "1,2,3.5,oops,4,5", "cy is not a number: 'oops'" },
             // Read as 3 before: the text ended at the NUL.
             BadLine { std::string("1,2,3\0x,4,4,5", 13), "cx is not a number" },
             // Past the int of the rounded position.
             BadLine { "1,2,1e17,4,4,5", "the position 1e17, 4 lies beyond any frame" } }) {
        WriteFile(dir / "a.csv", StarList(0, 0, 12) + line + "\n");
        ExpectOneLineError(fit(), 3, dir / "a.csv" + ": line 14: ", problem);
    }
}

// The pixels as libpng's simplified reader decodes them in the file's own
// format: grey, or red, green, blue.
std::vector<unsigned char> ReadPng(const std::string& path)
{
    png_image image {};
    image.version = PNG_IMAGE_VERSION;
    std::vector<unsigned char> pixels;
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        image.format = image.format & PNG_FORMAT_FLAG_COLOR ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
        pixels.resize(PNG_IMAGE_SIZE(image));
        png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr);
    }
    EXPECT_EQ(image.warning_or_error & PNG_IMAGE_ERROR, 0u) << path << ": " << image.message;
    return pixels;
}

TEST_F(Cli, RenderMapsBlackAndWhitePointsInGreyAndColourAndMarksStars)
{
    WriteU16(dir / "a.fits", 3, 2, { 100, 150, 200, 0, 65535, 125 });
    Ok({ "render", dir / "a.fits", "--black", "100", "--white", "200", "-o", dir / "a.png" });
    // Bottom-up, as DS9 shows the frame: its last row is the picture's top one.
    // Linear: the table entry of 150 covers 150 and shows the middle of its span.
    EXPECT_EQ(ReadPng(dir / "a.png"), (std::vector<unsigned char> { 0, 255, 65, 0, 129, 255 }));

    WriteU16(dir / "r.fits", 2, 1, { 1000, 0 });
    WriteU16(dir / "g.fits", 2, 1, { 0, 1000 });
    Ok({ "render", dir / "r.fits", dir / "g.fits", dir / "g.fits", "--black", "10", "--white", "500", "-o",
        dir / "c.png" });
    EXPECT_EQ(ReadPng(dir / "c.png"), (std::vector<unsigned char> { 255, 0, 0, 0, 255, 255 }));

    // Stars marked with green circles.
    WriteU16(dir / "a.fits", 40, 40, Values(1600, 0));
    WriteFile(dir / "s.csv", "x,y,cx,cy,flux,peak\n20,12,20.0,12.0,100,9\n");
    Ok({ "render", dir / "a.fits", "--stars", dir / "s.csv", "--mark-radius", "5", "--black", "1", "--white", "2", "-o",
        dir / "m.png" });
    const std::vector<unsigned char> png = ReadPng(dir / "m.png");
    ASSERT_EQ(png.size(), 40u * 40 * 3); // in colour
    // Frame row y is picture row 39 - y: the marks turn with the picture.
    auto at = [&](int x, int y, int c) { return png[(size_t(39 - y) * 40 + x) * 3 + c]; };
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
    const std::vector<unsigned char> png = ReadPng(dir / "f.png");
    ASSERT_EQ(png.size(), 100u * 100);
    EXPECT_EQ(png[13 * 100 + 13], 0);
    EXPECT_GT(png[0], 0);

    for (const auto& [line, problem] : { BadLine { "dx 0 0 0", "dx needs 10 numbers" },
             // Past an int: an undefined conversion before.
             BadLine { "pairs 1e20", "pairs must be a whole number of matched stars" },
             BadLine { "rms -1", "rms must be 0 or more" }, BadLine { std::string("rms 1\0x", 7), "rms: '1" } }) {
        WriteFile(dir / "f.txt", "width 100\nheight 100\n" + line + "\n");
        ExpectOneLineError(
            Tamrix({ "render-field", dir / "f.txt", "-o", dir / "f.png" }), 3, dir / "f.txt", "line 3: " + problem);
    }
}

} // namespace
} // namespace tamrix::clitest
