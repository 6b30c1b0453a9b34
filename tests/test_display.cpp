// Monochrome and colour display bitmaps where the soak does not reach: shifts
// from 32 on, the row padding and huge reduction blocks.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kUntouched = 0xA5;
unsigned char unusedTable[100] = {}; // for settings that never reach the table

// One frame row at zoom 0: its mapped bytes.
template <class Pixel>
Bytes Mono(std::vector<Pixel> row, unsigned low, unsigned high, unsigned shift, unsigned char* lut)
{
    Bytes bitmap((row.size() + 3) / 4 * 4);
    tamrix::CreateMonoDIB(
        0, bitmap.data(), static_cast<int>(row.size()), 1, sizeof(Pixel), row.data(), low, high, shift, lut);
    return Bytes(bitmap.begin(), bitmap.begin() + row.size());
}

std::vector<unsigned char> Ramp(size_t entries) // entry i holds 10 + i
{
    std::vector<unsigned char> lut(entries);
    for (size_t i = 0; i < entries; ++i)
        lut[i] = static_cast<unsigned char>(10 + i);
    return lut;
}

template <class Pixel> class DisplayMapping : public testing::Test {
};
TYPED_TEST_SUITE(DisplayMapping, tamrix::test::PixelTypes);

// The mapping, thresholds and reductions are soak cases, whose shifts stay
// below 32 (modulo 64). The shift is taken modulo 64 of the 64-bit
// difference: from 32 on every difference shifts to 0, not by shift % 32.
TYPED_TEST(DisplayMapping, ShiftsFrom32On)
{
    auto lut = Ramp(250);
    EXPECT_EQ(Mono<TypeParam>({ 1, 5, 999 }, 0, 1000, 66, lut.data()), (Bytes { 10, 11, (10 + 249) % 256 }));
    EXPECT_EQ(Mono<TypeParam>({ 1, 5, 999 }, 0, 1000, 34, lut.data()), (Bytes { 10, 10, 10 }));
}

// A white frame: the pixel bytes of each row are 255, the padding up to the
// stride and everything after the last row untouched.
struct Shape {
    int width, height, zoom, outWidth, outHeight, monoStride, colourStride;
};

void PrintTo(const Shape& s, std::ostream* os)
{
    *os << s.width << " x " << s.height << " at zoom " << s.zoom;
}

class BitmapLayout : public testing::TestWithParam<Shape> { };

TEST_P(BitmapLayout, RowsAreStrideBytesApartInBothFunctions)
{
    const Shape s = GetParam();
    std::vector<uint16_t> white(static_cast<size_t>(std::max(0, s.width * s.height)), 500);
    for (int bpp : { 1, 3 }) {
        const int stride = bpp == 1 ? s.monoStride : s.colourStride;
        Bytes bitmap(stride * s.outHeight + 64, kUntouched), expected(bitmap);
        for (int y = 0; y < s.outHeight; ++y)
            std::fill_n(&expected[y * stride], s.outWidth * bpp, 255);
        if (bpp == 1)
            tamrix::CreateMonoDIB(s.zoom, bitmap.data(), s.width, s.height, 2, white.data(), 100, 200, 0, unusedTable);
        else
            tamrix::CreateColorDIB(s.zoom, bitmap.data(), s.width, s.height, 2, white.data(), 100, 200, 0, unusedTable,
                white.data(), 100, 200, 0, unusedTable, white.data(), 100, 200, 0, unusedTable);
        EXPECT_EQ(bitmap, expected) << bpp << " bytes per pixel";
    }
}

INSTANTIATE_TEST_SUITE_P(Display, BitmapLayout,
    testing::Values(Shape { 5, 3, 0, 5, 3, 8, 16 }, Shape { 5, 3, 1, 10, 6, 12, 32 }, Shape { 1, 4, -1, 0, 2, 0, 0 },
        Shape { 5, 4, -1, 2, 2, 4, 8 }, Shape { 9, 7, -2, 3, 2, 4, 12 }, Shape { 4, 4, -4, 0, 0, 0, 0 },
        Shape { 4, -1, 1, 8, 0, 8, 24 }));

// 255 x 4105^2 exceeds 2^32: a 32-bit sum would wrap to a dark pixel.
TEST(DisplayBitmaps, ReductionOfAHugeBlockSumsIn64Bits)
{
    const int side = 4105;
    std::vector<uint16_t> white(static_cast<size_t>(side) * side, 60000);
    uint8_t bitmap[4];
    tamrix::CreateMonoDIB(1 - side, bitmap, side, side, 2, white.data(), 100, 200, 0, unusedTable);
    EXPECT_EQ(bitmap[0], 255);
}

} // namespace
