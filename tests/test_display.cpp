// Monochrome and colour display bitmaps where the soak does not reach: frames
// without rows and huge reduction blocks.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

using Bytes = std::vector<uint8_t>;

namespace {

constexpr uint8_t kUntouched = 0xA5;
unsigned char unusedTable[100] = {}; // for settings that never reach the table

// Frames without rows write nothing; rows stride bytes apart with their
// padding left alone are soak cases.
TEST(DisplayBitmaps, FramesWithoutRowsWriteNothing)
{
    std::vector<uint16_t> white(4, 500);
    Bytes bitmap(64, kUntouched);
    tamrix::CreateMonoDIB(1, bitmap.data(), 4, -1, 2, white.data(), 100, 200, 0, unusedTable);
    tamrix::CreateColorDIB(1, bitmap.data(), 4, -1, 2, white.data(), 100, 200, 0, unusedTable, white.data(), 100, 200,
        0, unusedTable, white.data(), 100, 200, 0, unusedTable);
    EXPECT_EQ(bitmap, Bytes(64, kUntouched));
}

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
