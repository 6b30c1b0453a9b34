// PNG output of display bitmaps, decoded back with libpng.
#include "io/png_writer.h"
#include "support.h"

#include <gtest/gtest.h>
#include <png.h>

#include <stdexcept>
#include <string>
#include <vector>

using tamrix::io::BitmapFormat;

namespace {

// Writes a 5 x 3 bitmap whose pixel bytes all differ and whose row padding
// holds 0xEE, decodes the file and compares every pixel.
void RoundTrip(BitmapFormat format, png_uint_32 fileFormat)
{
    const int width = 5, height = 3, bpp = format == BitmapFormat::Bgr24 ? 3 : 1;
    const auto stride = tamrix::io::BitmapStride(format, width);
    ASSERT_EQ(stride, bpp == 3 ? 16 : 8);
    std::vector<uint8_t> bitmap(stride * height, 0xEE);
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < width * bpp; ++i)
            bitmap[y * stride + i] = static_cast<uint8_t>(1 + y * width * bpp + i);
    const tamrix::test::ScratchDir dir;
    const std::string path = dir / "round_trip.png";
    tamrix::io::WritePng(path, format, bitmap.data(), width, height, stride);

    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    EXPECT_EQ(image.format, fileFormat);
    ASSERT_EQ(image.width * image.height, png_uint_32{width * height});
    std::vector<uint8_t> file(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, file.data(), 0, nullptr)) << image.message;
    for (int y = 0; y < height; ++y)
        for (int i = 0; i < width * bpp; ++i) // the file holds red, green, blue; the bitmap blue, green, red
            EXPECT_EQ(file[y * width * bpp + i], bitmap[y * stride + (bpp == 3 ? i / 3 * 3 + 2 - i % 3 : i)])
                << "byte " << i << " of row " << y;
}

TEST(PngWriter, GreyAndColourBitmapsComeBackPixelForPixel)
{
    RoundTrip(BitmapFormat::Grey8, PNG_FORMAT_GRAY);
    RoundTrip(BitmapFormat::Bgr24, PNG_FORMAT_RGB);
}

TEST(PngWriter, UnwritablePathIsReportedWithTheFileName)
{
    std::vector<uint8_t> bitmap(16);
    const tamrix::test::ScratchDir dir;
    const std::string path = dir / "no_such_dir/out.png";
    try {
        tamrix::io::WritePng(path, BitmapFormat::Grey8, bitmap.data(), 4, 4, 4);
        FAIL() << "no error for " << path;
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
    }
    EXPECT_THROW(tamrix::io::WritePng(path, BitmapFormat::Bgr24, bitmap.data(), 4, 1, 11), std::invalid_argument);
}

} // namespace
