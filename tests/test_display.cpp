// Monochrome and colour display bitmaps.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

using tamrix::test::ThreadCount;

namespace {

constexpr uint8_t kUntouched = 0xA5;

template <class Pixel>
constexpr int kDepth = sizeof(Pixel) == 2 ? 2 : 4;

// A table that faults when read: a page without access rights.
class UnreadableTable {
public:
    UnreadableTable()
    {
#if defined(_WIN32)
        page_ = VirtualAlloc(nullptr, 4096, MEM_RESERVE | MEM_COMMIT, PAGE_NOACCESS);
#else
        page_ = mmap(nullptr, static_cast<size_t>(sysconf(_SC_PAGESIZE)), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
#endif
    }
    ~UnreadableTable()
    {
#if defined(_WIN32)
        VirtualFree(page_, 0, MEM_RELEASE);
#else
        munmap(page_, static_cast<size_t>(sysconf(_SC_PAGESIZE)));
#endif
    }
    unsigned char* get() const { return static_cast<unsigned char*>(page_); }

private:
    void* page_;
};

template <class Pixel>
class DisplayMapping : public testing::Test {
protected:
    // One row at zoom 0: the mapped bytes.
    std::vector<uint8_t> Mono(std::vector<Pixel> row, unsigned low, unsigned high, unsigned shift, unsigned char* lut)
    {
        std::vector<uint8_t> bitmap((row.size() + 3) / 4 * 4, kUntouched);
        tamrix::CreateMonoDIB(0, bitmap.data(), static_cast<int>(row.size()), 1, kDepth<Pixel>, row.data(), low, high,
                              shift, lut);
        bitmap.resize(row.size());
        return bitmap;
    }
    // Table entry i holds 10 + i.
    static std::vector<unsigned char> Ramp(size_t entries)
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
    const TypeParam full = std::numeric_limits<TypeParam>::max();
    auto lut = this->Ramp(25); // ((199 - 100) >> 2) + 1 entries
    EXPECT_EQ(this->Mono({0, 100, 101, 104, 150, 199, 200, 201, full}, 100, 200, 2, lut.data()),
              (std::vector<uint8_t>{0, 0, 10, 11, 22, 34, 255, 255, 255}));
}

TYPED_TEST(DisplayMapping, ShiftIsTakenModulo64OfThe64BitDifference)
{
    auto lut = this->Ramp(250);
    EXPECT_EQ(this->Mono({1, 5, 999}, 0, 1000, 66, lut.data()), (std::vector<uint8_t>{10, 11, (10 + 249) % 256}));
    // From 32 on every difference shifts to index 0, not to difference >> (shift % 32).
    auto one = this->Ramp(1);
    EXPECT_EQ(this->Mono({1, 5, 999}, 0, 1000, 34, one.data()), (std::vector<uint8_t>{10, 10, 10}));
}

TYPED_TEST(DisplayMapping, NoRoomBetweenTheSettingsMakesAThresholdThatNeverReadsTheTable)
{
    const UnreadableTable table;
    const std::vector<TypeParam> row{0, 999, 1000, 1001, 65535};
    const std::vector<uint8_t> threshold{0, 0, 0, 255, 255};
    EXPECT_EQ(this->Mono(row, 1000, 1000, 0, table.get()), threshold);
    EXPECT_EQ(this->Mono(row, 1000, 1001, 0, table.get()), threshold);
    EXPECT_EQ(this->Mono(row, 1000, 10, 0, table.get()), threshold);
    // Reduced and in colour, too.
    std::vector<uint8_t> bitmap(8, kUntouched);
    std::vector<TypeParam> frame{999, 999, 1001, 1001, 1001, 1001, 1001, 1001}; // 4 x 2
    tamrix::CreateMonoDIB(-1, bitmap.data(), 4, 2, kDepth<TypeParam>, frame.data(), 1000, 1000, 0, table.get());
    EXPECT_EQ(bitmap[0], 127);
    EXPECT_EQ(bitmap[1], 255);
    tamrix::CreateColorDIB(0, bitmap.data(), 2, 1, kDepth<TypeParam>, frame.data() + 1, 1000, 1000, 3, table.get(),
                           frame.data(), 1000, 900, 3, table.get(), frame.data(), 1000, 1000, 0, table.get());
    EXPECT_EQ(std::vector<uint8_t>(bitmap.begin(), bitmap.begin() + 6), (std::vector<uint8_t>{0, 0, 0, 0, 0, 255}));
}

// Bitmap sizes: strides, replication and block means on a frame whose
// mapped bytes are the pixel values (low 0, high 256, identity table).
struct Shape {
    int width, zoom;
    int outWidth, outHeight, monoStride, colourStride;
};

class BitmapLayout : public testing::TestWithParam<Shape> {
protected:
    static constexpr int kHeight = 4;
    std::vector<unsigned char> identity = std::vector<unsigned char>(256);
    std::vector<uint16_t> frame;

    void SetUp() override
    {
        for (int i = 0; i < 256; ++i)
            identity[i] = static_cast<unsigned char>(i);
        for (int i = 0; i < GetParam().width * kHeight; ++i)
            frame.push_back(static_cast<uint16_t>((1 + 37 * i) % 256));
    }
    // The expected byte of bitmap pixel (x, y), of the frame or (inverted) of
    // 255 minus the frame.
    int Expected(int x, int y, bool inverted = false) const
    {
        const Shape s = GetParam();
        auto at = [&](int fx, int fy) {
            const int v = frame[fy * s.width + fx];
            return inverted ? 255 - v : v;
        };
        if (s.zoom >= 0)
            return at(x / (s.zoom + 1), y / (s.zoom + 1));
        const int f = 1 - s.zoom;
        int sum = 0;
        for (int j = 0; j < f; ++j)
            for (int i = 0; i < f; ++i)
                sum += at(f * x + i, f * y + j);
        return sum / (f * f);
    }
};

TEST_P(BitmapLayout, MonoRowsAreStrideBytesApart)
{
    const Shape s = GetParam();
    std::vector<uint8_t> bitmap(s.monoStride * s.outHeight + 16, kUntouched);
    tamrix::CreateMonoDIB(s.zoom, bitmap.data(), s.width, kHeight, 2, frame.data(), 0, 256, 0, identity.data());
    for (int y = 0; y < s.outHeight; ++y)
        for (int x = 0; x < s.outWidth; ++x)
            EXPECT_EQ(bitmap[y * s.monoStride + x], Expected(x, y)) << x << "," << y;
    for (size_t i = s.monoStride * s.outHeight; i < bitmap.size(); ++i)
        ASSERT_EQ(bitmap[i], kUntouched) << "written past the bitmap at " << i;
}

TEST_P(BitmapLayout, ColourRowsAreStrideBytesApartInBlueGreenRedOrder)
{
    const Shape s = GetParam();
    std::vector<unsigned char> inverse(256);
    for (int i = 0; i < 256; ++i)
        inverse[i] = static_cast<unsigned char>(255 - i);
    std::vector<uint8_t> bitmap(s.colourStride * s.outHeight + 16, kUntouched);
    tamrix::CreateColorDIB(s.zoom, bitmap.data(), s.width, kHeight, 2, frame.data(), 0, 256, 0, identity.data(),
                           frame.data(), 1000, 1000, 0, nullptr, frame.data(), 0, 256, 0, inverse.data());
    for (int y = 0; y < s.outHeight; ++y)
        for (int x = 0; x < s.outWidth; ++x) {
            const uint8_t* px = &bitmap[y * s.colourStride + 3 * x];
            EXPECT_EQ(px[2], Expected(x, y)) << "red at " << x << "," << y;
            EXPECT_EQ(px[1], 0) << "green at " << x << "," << y;
            EXPECT_EQ(px[0], Expected(x, y, true)) << "blue at " << x << "," << y;
        }
    for (size_t i = s.colourStride * s.outHeight; i < bitmap.size(); ++i)
        ASSERT_EQ(bitmap[i], kUntouched) << "written past the bitmap at " << i;
}

INSTANTIATE_TEST_SUITE_P(Display, BitmapLayout,
                         testing::Values(Shape{1, 0, 1, 4, 4, 4}, Shape{4, 0, 4, 4, 4, 12}, Shape{5, 0, 5, 4, 8, 16},
                                         Shape{1, 1, 2, 8, 4, 8}, Shape{4, 1, 8, 8, 8, 24}, Shape{5, 1, 10, 8, 12, 32},
                                         Shape{1, -1, 0, 2, 0, 0}, Shape{4, -1, 2, 2, 4, 8}, Shape{5, -1, 2, 2, 4, 8},
                                         Shape{5, 2, 15, 12, 16, 48}, Shape{5, -3, 1, 1, 4, 4}));

// The table the settings low 100, high 200, shift 0 need; the frames of the
// tests using it hold no value between the two points.
unsigned char table[100] = {};

TEST(DisplayReduction, AveragesMappedBytesNotRawValues)
{
    // Mapped 0, 0, 0, 255: the mean of the bytes is 63; the mapped mean of the
    // raw values (75) would be 0.
    std::vector<uint16_t> frame{0, 0, 0, 300};
    uint8_t bitmap[4];
    tamrix::CreateMonoDIB(-1, bitmap, 2, 2, 2, frame.data(), 100, 200, 0, table);
    EXPECT_EQ(bitmap[0], 63);
}

TEST(DisplayReduction, EachColourChannelIsAveragedOnItsOwn)
{
    std::vector<uint32_t> red{0, 0, 300, 300}, green{300, 300, 300, 300}, blue{0, 300, 300, 300};
    uint8_t bitmap[4];
    tamrix::CreateColorDIB(-1, bitmap, 2, 2, 4, red.data(), 100, 200, 0, table, green.data(), 100, 200, 0, table,
                           blue.data(), 100, 200, 0, table);
    EXPECT_EQ(bitmap[0], 191);
    EXPECT_EQ(bitmap[1], 255);
    EXPECT_EQ(bitmap[2], 127);
}

TEST(DisplayReduction, BlocksTooLargeFor32BitSumsStillAverage)
{
    // 255 x 4105^2 exceeds 2^32: a 32-bit sum would wrap to a dark pixel.
    const int side = 4105;
    std::vector<uint16_t> frame(static_cast<size_t>(side) * side, 60000);
    uint8_t bitmap[4] = {0, 0, 0, 0};
    tamrix::CreateMonoDIB(1 - side, bitmap, side, side, 2, frame.data(), 100, 200, 0, table);
    EXPECT_EQ(bitmap[0], 255);
}

TEST(DisplayEnlargement, ZoomTwoGivesThreeByThreeSquaresAndCopiedRows)
{
    std::vector<uint16_t> frame{150, 250, 50, 120, 130, 140}; // 3 x 2
    std::vector<unsigned char> lut(100);
    for (int i = 0; i < 100; ++i)
        lut[i] = static_cast<unsigned char>(2 * i + 1);
    const int stride = 12; // 9 bytes, padded
    std::vector<uint8_t> bitmap(stride * 6, kUntouched);
    tamrix::CreateMonoDIB(2, bitmap.data(), 3, 2, 2, frame.data(), 100, 200, 0, lut.data());
    const uint8_t first[9] = {101, 101, 101, 255, 255, 255, 0, 0, 0};
    const uint8_t second[9] = {41, 41, 41, 61, 61, 61, 81, 81, 81};
    EXPECT_EQ(std::memcmp(&bitmap[0], first, 9), 0);
    EXPECT_EQ(std::memcmp(&bitmap[3 * stride], second, 9), 0);
    for (int y : {1, 2, 4, 5}) // whole strides, padding included
        EXPECT_EQ(std::memcmp(&bitmap[y * stride], &bitmap[(y / 3) * 3 * stride], stride), 0) << "row " << y;
}

TEST(DisplayColour, WhiteRedOnBlackGreenAndBlueIsZeroZero255)
{
    std::vector<uint16_t> red{500, 60000, 200}, dim{100, 7, 0};
    std::vector<uint8_t> bitmap(12, kUntouched);
    tamrix::CreateColorDIB(0, bitmap.data(), 3, 1, 2, red.data(), 100, 200, 0, table, dim.data(), 100, 200, 0,
                           table, dim.data(), 100, 200, 0, table);
    EXPECT_EQ(std::vector<uint8_t>(bitmap.begin(), bitmap.begin() + 9),
              (std::vector<uint8_t>{0, 0, 255, 0, 0, 255, 0, 0, 255}));
}

TEST(DisplayColour, ChannelsMapThroughTheirOwnSettings)
{
    std::vector<uint16_t> frame{101, 102, 103};
    std::vector<unsigned char> r{0, 1, 2, 3}, g{0, 11, 12, 13}, b{0, 21, 22, 23};
    std::vector<uint8_t> bitmap(12, kUntouched);
    tamrix::CreateColorDIB(0, bitmap.data(), 3, 1, 2, frame.data(), 100, 104, 0, r.data(), frame.data(), 100, 104, 0,
                           g.data(), frame.data(), 100, 104, 0, b.data());
    EXPECT_EQ(std::vector<uint8_t>(bitmap.begin(), bitmap.begin() + 9),
              (std::vector<uint8_t>{21, 11, 1, 22, 12, 2, 23, 13, 3}));
}

// Same bitmaps from 16-bit and 32-bit frames of the same values, and with
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
        auto render = [&](const void* frame, int depth, std::vector<uint8_t>& m, std::vector<uint8_t>& c) {
            void* f = const_cast<void*>(frame);
            tamrix::CreateMonoDIB(zoom, m.data(), width, height, depth, f, 1000, 3400, 1, lut.data());
            tamrix::CreateColorDIB(zoom, c.data(), width, height, depth, f, 1000, 3400, 1, lut.data(), f, 200,
                                   4000, 3, lut.data(), f, 4000, 100, 0, lut.data());
        };
        std::vector<uint8_t> monoRef(size), colourRef(size);
        {
            ThreadCount one(1);
            render(narrow.data(), 2, monoRef, colourRef);
        }
        for (int threads : tamrix::test::kThreadCounts) {
            ThreadCount count(threads);
            for (int depth : {2, 4}) {
                std::vector<uint8_t> m(monoRef), c(colourRef); // padding as in the reference
                render(depth == 2 ? static_cast<const void*>(narrow.data()) : wide.data(), depth, m, c);
                EXPECT_EQ(m, monoRef) << "zoom " << zoom << ", depth " << depth << ", " << threads << " threads";
                EXPECT_EQ(c, colourRef) << "zoom " << zoom << ", depth " << depth << ", " << threads << " threads";
            }
        }
    }
}

TEST(DisplayConsistency, NothingIsWrittenWithoutRowsOrWhenReducingPastTheFrame)
{
    std::vector<uint16_t> frame(16, 500);
    std::vector<uint8_t> bitmap(64, kUntouched);
    tamrix::CreateMonoDIB(0, bitmap.data(), 4, 0, 2, frame.data(), 0, 1, 0, nullptr);
    tamrix::CreateMonoDIB(-4, bitmap.data(), 4, 4, 2, frame.data(), 0, 1, 0, nullptr);
    tamrix::CreateColorDIB(1, bitmap.data(), 4, -1, 2, frame.data(), 0, 1, 0, nullptr, frame.data(), 0, 1, 0,
                           nullptr, frame.data(), 0, 1, 0, nullptr);
    EXPECT_EQ(bitmap, std::vector<uint8_t>(64, kUntouched));
}

} // namespace
