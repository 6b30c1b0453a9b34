// PNG output of display bitmaps, decoded back with libpng.
#include "io/png_writer.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

using tamrix::io::BitmapFormat;

namespace {

struct Decoded {
    png_uint_32 width = 0, height = 0, fileFormat = 0;
    std::vector<uint8_t> pixels; // tightly packed, grey or RGB as the file holds
};

Decoded Decode(const std::string& path)
{
    Decoded d;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    EXPECT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    d.width = image.width;
    d.height = image.height;
    d.fileFormat = image.format;
    d.pixels.resize(PNG_IMAGE_SIZE(image));
    EXPECT_TRUE(png_image_finish_read(&image, nullptr, d.pixels.data(), 0, nullptr)) << image.message;
    return d;
}

// A bitmap whose pixel bytes all differ and whose row padding holds 0xEE,
// which must not reach the file.
std::vector<uint8_t> Bitmap(BitmapFormat format, int width, int height)
{
    const int bpp = format == BitmapFormat::Bgr24 ? 3 : 1;
    const auto stride = tamrix::io::BitmapStride(format, width);
    std::vector<uint8_t> bitmap(stride * height, 0xEE);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < width * bpp; ++i)
            bitmap[y * stride + i] = static_cast<uint8_t>(7 * (y * width * bpp + i) % 251);
    return bitmap;
}

std::string TempPath(const std::string& name)
{
    return testing::TempDir() + "tamrix_" + name + ".png";
}

TEST(PngWriter, GreyBitmapComesBackPixelForPixel)
{
    const int width = 5, height = 3; // stride 8: three padding bytes per row
    ASSERT_EQ(tamrix::io::BitmapStride(BitmapFormat::Grey8, width), 8);
    const auto bitmap = Bitmap(BitmapFormat::Grey8, width, height);
    const std::string path = TempPath("grey");
    tamrix::io::WritePng(path, BitmapFormat::Grey8, bitmap.data(), width, height, 8);

    const Decoded d = Decode(path);
    EXPECT_EQ(d.width, 5u);
    EXPECT_EQ(d.height, 3u);
    EXPECT_EQ(d.fileFormat & PNG_FORMAT_FLAG_COLOR, 0u);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            EXPECT_EQ(d.pixels[y * width + x], bitmap[y * 8 + x]) << x << "," << y;
    std::remove(path.c_str());
}

TEST(PngWriter, ColourBitmapIsStoredAsRgb)
{
    const int width = 5, height = 2; // stride 16: one padding byte per row
    ASSERT_EQ(tamrix::io::BitmapStride(BitmapFormat::Bgr24, width), 16);
    const auto bitmap = Bitmap(BitmapFormat::Bgr24, width, height);
    const std::string path = TempPath("colour");
    tamrix::io::WritePng(path, BitmapFormat::Bgr24, bitmap.data(), width, height, 16);

    const Decoded d = Decode(path);
    EXPECT_EQ(d.width, 5u);
    EXPECT_EQ(d.height, 2u);
    EXPECT_EQ(d.fileFormat, static_cast<png_uint_32>(PNG_FORMAT_RGB));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const uint8_t* bgr = &bitmap[y * 16 + 3 * x];
            const uint8_t* rgb = &d.pixels[3 * (y * width + x)];
            EXPECT_EQ(rgb[0], bgr[2]) << "red at " << x << "," << y;
            EXPECT_EQ(rgb[1], bgr[1]) << "green at " << x << "," << y;
            EXPECT_EQ(rgb[2], bgr[0]) << "blue at " << x << "," << y;
        }
    std::remove(path.c_str());
}

TEST(PngWriter, UnwritablePathIsReportedWithTheFileName)
{
    const auto bitmap = Bitmap(BitmapFormat::Grey8, 4, 4);
    const std::string path = TempPath("no_such_dir") + "/out.png";
    try {
        tamrix::io::WritePng(path, BitmapFormat::Grey8, bitmap.data(), 4, 4, 4);
        FAIL() << "no error for " << path;
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
}

TEST(PngWriter, StrideShorterThanARowIsRejected)
{
    const auto bitmap = Bitmap(BitmapFormat::Bgr24, 4, 2);
    EXPECT_THROW(tamrix::io::WritePng(TempPath("short"), BitmapFormat::Bgr24, bitmap.data(), 4, 2, 11),
                 std::invalid_argument);
}

} // namespace
