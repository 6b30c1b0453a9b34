// End-to-end: render, render-field.
#include "cli_support.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>

namespace tamrix::clitest {
namespace {

using Values = std::vector<uint32_t>;

struct Png {
    int width = 0, height = 0;
    bool colour = false;
    std::vector<unsigned char> pixels; // grey, or red, green, blue
};

// Decodes with libpng's simplified reader, in the file's own format.
Png ReadPng(const std::string& path)
{
    png_image image {};
    image.version = PNG_IMAGE_VERSION;
    Png png;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        ADD_FAILURE() << path << ": " << image.message;
        return png;
    }
    png.colour = (image.format & PNG_FORMAT_FLAG_COLOR) != 0;
    image.format = png.colour ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
    png.width = int(image.width);
    png.height = int(image.height);
    png.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, png.pixels.data(), 0, nullptr))
        ADD_FAILURE() << path << ": " << image.message;
    return png;
}

class Pictures : public ::testing::Test {
protected:
    Scratch dir;
};

TEST_F(Pictures, GreyPictureMapsBlackAndWhitePoints)
{
    WriteU16(dir / "a.fits", 3, 2, { 100, 150, 200, 0, 65535, 125 });
    const Result run = Tamrix({ "render", dir / "a.fits", "--black", "100", "--white", "200", "-o", dir / "a.png" });
    ASSERT_EQ(run.status, 0) << run.err;
    const Png png = ReadPng(dir / "a.png");
    EXPECT_FALSE(png.colour);
    ASSERT_EQ(png.width, 3);
    ASSERT_EQ(png.height, 2);
    // Bottom-up, as DS9 shows the frame: its last row is the picture's top one.
    // Linear: the table entry of 150 covers 150 and shows the middle of its span.
    EXPECT_EQ(png.pixels, (std::vector<unsigned char> { 0, 255, 65, 0, 129, 255 }));
}

TEST_F(Pictures, ZoomEnlargesAndReduces)
{
    WriteU16(dir / "a.fits", 5, 4, Values(20, 1000));
    ASSERT_EQ(Tamrix({ "render", dir / "a.fits", "-z", "1", "-o", dir / "big.png" }).status, 0);
    ASSERT_EQ(Tamrix({ "render", dir / "a.fits", "-z", "-1", "-o", dir / "small.png" }).status, 0);
    const Png big = ReadPng(dir / "big.png"), small = ReadPng(dir / "small.png");
    EXPECT_EQ(big.width, 10);
    EXPECT_EQ(big.height, 8);
    EXPECT_EQ(small.width, 2);
    EXPECT_EQ(small.height, 2);
}

TEST_F(Pictures, ThreeFramesMakeAColourPicture)
{
    WriteU16(dir / "r.fits", 2, 1, { 1000, 0 });
    WriteU16(dir / "g.fits", 2, 1, { 0, 1000 });
    WriteU16(dir / "b.fits", 2, 1, { 0, 0 });
    const Result run = Tamrix({ "render", dir / "r.fits", dir / "g.fits", dir / "b.fits", "--black", "10", "--white",
        "500", "-o", dir / "c.png" });
    ASSERT_EQ(run.status, 0) << run.err;
    const Png png = ReadPng(dir / "c.png");
    EXPECT_TRUE(png.colour);
    EXPECT_EQ(png.pixels, (std::vector<unsigned char> { 255, 0, 0, 0, 255, 0 }));
}

TEST_F(Pictures, StarMarksAreGreenCircles)
{
    WriteU16(dir / "a.fits", 40, 40, Values(1600, 0));
    WriteFile(dir / "s.csv", "x,y,cx,cy,flux,peak\n20,12,20.0,12.0,100,9\n");
    const Result run = Tamrix({ "render", dir / "a.fits", "--stars", dir / "s.csv", "--mark-radius", "5", "--black",
        "1", "--white", "2", "-o", dir / "m.png" });
    ASSERT_EQ(run.status, 0) << run.err;
    const Png png = ReadPng(dir / "m.png");
    ASSERT_TRUE(png.colour);
    // Frame row y is picture row 39 - y: the marks turn with the picture.
    auto at = [&](int x, int y, int c) { return png.pixels[(size_t(39 - y) * 40 + x) * 3 + c]; };
    EXPECT_EQ(at(25, 12, 1), 230); // on the circle
    EXPECT_EQ(at(20, 7, 1), 230);
    EXPECT_EQ(at(20, 12, 1), 0); // the centre stays
}

TEST_F(Pictures, MismatchedChannelsAndBadNamesFail)
{
    WriteU16(dir / "r.fits", 2, 1, { 1, 2 });
    WriteU16(dir / "g.fits", 2, 2, { 1, 2, 3, 4 });
    Result run = Tamrix({ "render", dir / "r.fits", dir / "g.fits", dir / "r.fits", "-o", dir / "c.png" });
    EXPECT_EQ(run.status, 5) << run.err;
    EXPECT_EQ(Tamrix({ "render", dir / "r.fits", dir / "g.fits", "-o", dir / "c.png" }).status, 2);
    EXPECT_EQ(Tamrix({ "render", dir / "r.fits", "-o", dir / "c.jpg" }).status, 2);
    run = Tamrix({ "render", dir / "r.fits", "--stretch", "cube", "-o", dir / "c.png" });
    EXPECT_EQ(run.err, "tamrix: usage error: --stretch: 'cube' is not linear, sqrt or asinh (see tamrix --help)\n");
    EXPECT_EQ(dir.Files(), (std::vector<std::string> { "g.fits", "r.fits" }));
}

TEST_F(Pictures, RenderFieldDrawsVectorLengthsAndMarks)
{
    // A uniform motion of 1.5 pixels to the right on a 100 x 100 frame.
    WriteFile(dir / "f.txt", "width 100\nheight 100\ndx 0 0 0 0 0 0 0 0 0 0.015\ndy 0 0 0 0 0 0 0 0 0 0\n");
    ASSERT_EQ(Tamrix({ "render-field", dir / "f.txt", "-o", dir / "f.fits" }).status, 0);
    const FitsImage f = ReadFits(dir / "f.fits");
    EXPECT_EQ(f.values[0], 32767u + 150);
    // R = 2, so M = 12 and the grid points lie at 13, 38, 63, 88: a plus mark there.
    EXPECT_EQ(f.values[13 * 100 + 13 - 4], 0u);
    ASSERT_EQ(Tamrix({ "render-field", dir / "f.txt", "-o", dir / "f.png" }).status, 0);
    const Png png = ReadPng(dir / "f.png");
    EXPECT_EQ(png.width, 100);
    EXPECT_EQ(png.pixels[13 * 100 + 13], 0);
    EXPECT_GT(png.pixels[0], 0);
}

class BadFieldFile : public ::testing::TestWithParam<BadLine> {
protected:
    Scratch dir;
};

TEST_P(BadFieldFile, NamesTheLine)
{
    WriteFile(dir / "f.txt", "width 100\nheight 100\n" + GetParam().line + "\n");
    const Result run = Tamrix({ "render-field", dir / "f.txt", "-o", dir / "f.png" });
    EXPECT_EQ(run.status, 3);
    EXPECT_NE(run.err.find("line 3: " + GetParam().problem), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(Pictures, BadFieldFile,
    ::testing::Values(BadLine { "ShortDx", "dx 0 0 0", "dx needs 10 numbers" },
        // Past an int: an undefined conversion before.
        BadLine { "PairsBeyondAnInt", "pairs 1e20", "pairs must be a whole number of matched stars" },
        BadLine { "NegativeRms", "rms -1", "rms must be 0 or more" },
        BadLine { "NulInANumber", std::string("rms 1\0x", 7), "rms: '1" }),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace tamrix::clitest
