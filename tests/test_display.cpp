// Monochrome and colour display bitmaps.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#endif

using tamrix::test::ThreadCount;
using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kUntouched = 0xA5;
unsigned char unusedTable[100] = {}; // for low 100, high 200, shift 0 on frames with no value between

// A page that faults when read.
unsigned char* UnreadablePage()
{
#if defined(_WIN32)
    return static_cast<unsigned char*>(VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS));
#else
    return static_cast<unsigned char*>(mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
#endif
}

template <class Pixel>
class DisplayMapping : public testing::Test {
protected:
    // One frame row at zoom 0: its mapped bytes.
    Bytes Mono(std::vector<Pixel> row, unsigned low, unsigned high, unsigned shift, unsigned char* lut)
    {
        Bytes bitmap((row.size() + 3) / 4 * 4);
        tamrix::CreateMonoDIB(0, bitmap.data(), static_cast<int>(row.size()), 1, sizeof(Pixel), row.data(), low,
                              high, shift, lut);
        return Bytes(bitmap.begin(), bitmap.begin() + row.size());
    }
    static std::vector<unsigned char> Ramp(size_t entries) // entry i holds 10 + i
    {
        std::vector<unsigned char> lut(entries);
        for (size_t i = 0; i < entries; ++i)
            lut[i] = static_cast<unsigned char>(10 + i);
        return lut;
    }
};

using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(DisplayMapping, PixelTypes);

TYPED_TEST(DisplayMapping, BlackAtOrBelowLowWhiteAtOrAboveHighTableBetween)
{
    auto lut = this->Ramp(25); // ((199 - 100) >> 2) + 1 entries
    EXPECT_EQ(this->Mono({0, 100, 101, 104, 150, 199, 200, 201, std::numeric_limits<TypeParam>::max()}, 100, 200, 2,
                         lut.data()),
              (Bytes{0, 0, 10, 11, 22, 34, 255, 255, 255}));
}

TYPED_TEST(DisplayMapping, ShiftIsTakenModulo64OfThe64BitDifference)
{
    auto lut = this->Ramp(250);
    EXPECT_EQ(this->Mono({1, 5, 999}, 0, 1000, 66, lut.data()), (Bytes{10, 11, (10 + 249) % 256}));
    auto one = this->Ramp(1); // from 32 on every difference shifts to 0, not by shift % 32
    EXPECT_EQ(this->Mono({1, 5, 999}, 0, 1000, 34, one.data()), (Bytes{10, 10, 10}));
}

TYPED_TEST(DisplayMapping, NoRoomBetweenTheSettingsMakesAThresholdThatNeverReadsTheTable)
{
    unsigned char* table = UnreadablePage();
    const Bytes threshold{0, 0, 0, 255, 255};
    for (unsigned high : {1000u, 1001u, 10u})
        EXPECT_EQ(this->Mono({0, 999, 1000, 1001, 65535}, 1000, high, 0, table), threshold) << "high " << high;
    std::vector<TypeParam> frame{999, 999, 1001, 1001, 1001, 1001, 1001, 1001}; // 4 x 2
    Bytes bitmap(16);
    tamrix::CreateMonoDIB(-1, bitmap.data(), 4, 2, sizeof(TypeParam), frame.data(), 1000, 1000, 0, table);
    EXPECT_EQ(Bytes(bitmap.begin(), bitmap.begin() + 2), (Bytes{127, 255}));
    tamrix::CreateColorDIB(1, bitmap.data(), 1, 1, sizeof(TypeParam), &frame[2], 1000, 1000, 3, table, &frame[0],
                           1000, 900, 3, table, &frame[0], 1000, 1000, 0, table);
    EXPECT_EQ(Bytes(bitmap.begin(), bitmap.begin() + 6), (Bytes{0, 0, 255, 0, 0, 255}));
}

// Bitmap sizes of a white frame: the pixel bytes of each row are 255, the
// padding up to the stride and everything after the last row untouched.
struct Shape {
    int width, height, zoom, outWidth, outHeight, monoStride, colourStride;
};

void PrintTo(const Shape& s, std::ostream* os)
{
    *os << s.width << " x " << s.height << " at zoom " << s.zoom;
}

class BitmapLayout : public testing::TestWithParam<Shape> {};

TEST_P(BitmapLayout, RowsAreStrideBytesApartInBothFunctions)
{
    const Shape s = GetParam();
    std::vector<uint16_t> white(static_cast<size_t>(std::max(0, s.width * s.height)), 500);
    for (int bpp : {1, 3}) {
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
                         testing::Values(Shape{1, 3, 0, 1, 3, 4, 4}, Shape{4, 3, 0, 4, 3, 4, 12},
                                         Shape{5, 3, 0, 5, 3, 8, 16}, Shape{1, 3, 1, 2, 6, 4, 8},
                                         Shape{4, 3, 1, 8, 6, 8, 24}, Shape{5, 3, 1, 10, 6, 12, 32},
                                         Shape{1, 4, -1, 0, 2, 0, 0}, Shape{4, 4, -1, 2, 2, 4, 8},
                                         Shape{5, 4, -1, 2, 2, 4, 8}, Shape{9, 7, -2, 3, 2, 4, 12},
                                         Shape{4, 4, -4, 0, 0, 0, 0}, Shape{4, 0, 0, 4, 0, 4, 12},
                                         Shape{4, -1, 1, 8, 0, 8, 24}));

TEST(DisplayReduction, AveragesTheMappedBytesOfEachChannel)
{
    // Mapped 0, 0, 0, 255 give 63 (the raw mean 75 would map to 0).
    std::vector<uint16_t> mono{0, 0, 0, 300};
    uint8_t bitmap[4];
    tamrix::CreateMonoDIB(-1, bitmap, 2, 2, 2, mono.data(), 100, 200, 0, unusedTable);
    EXPECT_EQ(bitmap[0], 63);
    std::vector<uint32_t> red{0, 0, 300, 300}, green{300, 300, 300, 300}, blue{0, 300, 300, 300};
    tamrix::CreateColorDIB(-1, bitmap, 2, 2, 4, red.data(), 100, 200, 0, unusedTable, green.data(), 100, 200, 0,
                           unusedTable, blue.data(), 100, 200, 0, unusedTable);
    EXPECT_EQ(Bytes(bitmap, bitmap + 3), (Bytes{191, 255, 127}));
}

TEST(DisplayReduction, BlocksTooLargeFor32BitSumsStillAverage)
{
    // 255 x 4105^2 exceeds 2^32: a 32-bit sum would wrap to a dark pixel.
    const int side = 4105;
    std::vector<uint16_t> white(static_cast<size_t>(side) * side, 60000);
    uint8_t bitmap[4] = {};
    tamrix::CreateMonoDIB(1 - side, bitmap, side, side, 2, white.data(), 100, 200, 0, unusedTable);
    EXPECT_EQ(bitmap[0], 255);
}

TEST(DisplayEnlargement, ZoomTwoGivesThreeByThreeSquaresAndWholeStrideRowCopies)
{
    std::vector<uint16_t> frame{150, 250, 50, 120, 130, 140}; // 3 x 2
    std::vector<unsigned char> lut(100);
    for (int i = 0; i < 100; ++i)
        lut[i] = static_cast<unsigned char>(2 * i + 1);
    Bytes bitmap(12 * 6); // stride 12 for 9 bytes; row y starts out as 200 + y
    for (size_t i = 0; i < bitmap.size(); ++i)
        bitmap[i] = static_cast<uint8_t>(200 + i / 12);
    tamrix::CreateMonoDIB(2, bitmap.data(), 3, 2, 2, frame.data(), 100, 200, 0, lut.data());
    // The padding of rows 3y + 1 and 3y + 2 is that of row 3y.
    const Bytes top{101, 101, 101, 255, 255, 255, 0, 0, 0, 200, 200, 200};
    const Bytes bottom{41, 41, 41, 61, 61, 61, 81, 81, 81, 203, 203, 203};
    for (int y = 0; y < 6; ++y)
        EXPECT_EQ(Bytes(&bitmap[12 * y], &bitmap[12 * y + 12]), y < 3 ? top : bottom) << "row " << y;
}

TEST(DisplayColour, BytesAreBlueGreenRedEachThroughItsOwnSettings)
{
    std::vector<uint16_t> frame{101, 102, 103, 60000};
    std::vector<unsigned char> r{0, 1, 2, 3}, g{0, 11, 12, 13}, b{0, 21, 22, 23};
    Bytes bitmap(12);
    tamrix::CreateColorDIB(0, bitmap.data(), 4, 1, 2, frame.data(), 100, 104, 0, r.data(), frame.data(), 100, 104, 0,
                           g.data(), frame.data(), 100, 104, 0, b.data());
    EXPECT_EQ(bitmap, (Bytes{21, 11, 1, 22, 12, 2, 23, 13, 3, 255, 255, 255}));
    std::vector<uint16_t> dim{100, 7, 0, 0};
    tamrix::CreateColorDIB(0, bitmap.data(), 4, 1, 2, frame.data(), 100, 101, 0, nullptr, dim.data(), 100, 200, 0,
                           unusedTable, dim.data(), 100, 200, 0, unusedTable);
    EXPECT_EQ(bitmap, (Bytes{0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 255}));
}

// The same bitmaps from 16-bit and 32-bit frames of the same values, with
// one thread or several, at every zoom.
TEST(DisplayConsistency, DepthAndThreadCountDoNotChangeTheBitmap)
{
    const int width = 301, height = 67;
    const auto narrow = tamrix::test::RandomFrame<uint16_t>(width, height, 5, 0, 5000);
    const std::vector<uint32_t> wide(narrow.begin(), narrow.end());
    std::vector<unsigned char> lut(1200);
    for (size_t i = 0; i < lut.size(); ++i)
        lut[i] = static_cast<unsigned char>(i * 7);
    for (int zoom : {-5, -2, -1, 0, 1, 3}) {
        const size_t size = static_cast<size_t>(3 * width * 4 + 4) * height * 4;
        auto render = [&](const void* frame, int depth, Bytes& mono, Bytes& colour) {
            void* f = const_cast<void*>(frame);
            tamrix::CreateMonoDIB(zoom, mono.data(), width, height, depth, f, 1000, 3400, 1, lut.data());
            tamrix::CreateColorDIB(zoom, colour.data(), width, height, depth, f, 1000, 3400, 1, lut.data(), f, 200,
                                   4000, 3, lut.data(), f, 4000, 100, 0, lut.data());
        };
        Bytes monoRef(size), colourRef(size);
        {
            ThreadCount one(1);
            render(narrow.data(), 2, monoRef, colourRef);
        }
        for (int threads : tamrix::test::kThreadCounts)
            for (int depth : {2, 4}) {
                ThreadCount count(threads);
                Bytes mono(monoRef), colour(colourRef); // the undefined padding as in the reference
                render(depth == 2 ? static_cast<const void*>(narrow.data()) : wide.data(), depth, mono, colour);
                EXPECT_EQ(mono, monoRef) << "zoom " << zoom << ", depth " << depth << ", " << threads << " threads";
                EXPECT_EQ(colour, colourRef) << "zoom " << zoom << ", depth " << depth << ", " << threads << " threads";
            }
    }
}

} // namespace
