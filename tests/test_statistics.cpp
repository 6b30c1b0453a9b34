// Area statistics and the sub-frame vector where the soak does not reach:
// frames without columns or pixels, sums past 2^53, a full-range window and
// depths other than 2 or 4.
#include "reference/statistics.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

namespace ref = tamrix::reference;

namespace {

constexpr ref::Statistics kUntouched { 0xDEADu, 0xDEADu, -1.0, -1.0 };

template <class Pixel>
ref::Statistics Stats(const std::vector<Pixel>& frame, int width, int height, int x, int y, int w, int h)
{
    ref::Statistics r = kUntouched;
    tamrix::CalculateAreaStatistics(
        const_cast<Pixel*>(frame.data()), width, height, sizeof(Pixel), x, y, w, h, &r.min, &r.max, &r.mean, &r.sd);
    return r;
}

// Rectangles inside, across the edges and empty are soak cases; a frame
// without columns or pixels leaves the results alone.
TEST(AreaStatisticsEdges, NoColumnsOrNoPixelsLeaveTheResults)
{
    // An empty vector's data() is null.
    for (const auto& r :
        { Stats(std::vector<uint16_t>(100, 5), 0, 10, 1, 1, 5, 5), Stats<uint16_t>({}, 100, 100, 0, 0, 5, 5) })
        EXPECT_TRUE(r.min == kUntouched.min && r.mean == kUntouched.mean);
}

// A 32-bit row can sum past 2^53: the mean is then the pixel-by-pixel double
// sum (9007473723690810 here), not the exact integer sum rounded once
// (9007473723690812). Unsigned extremes and sums of fewer pixels are soak
// cases.
TEST(AreaStatistics32, SumsPast2To53AddPixelByPixel)
{
    const int n = (1 << 21) + 64;
    std::vector<uint32_t> row(n);
    for (int i = 0; i < n; ++i)
        row[i] = i % 3 == 0 ? 4294967295u : 4294967001u + i % 7;
    EXPECT_EQ(Stats(row, n, 1, 0, 0, n, 1).mean, 9007473723690810.0 / n);
}

// Windows and their scaling, unfused, are soak cases; a window spanning the
// whole 32-bit range, and depths other than 2 or 4.
TEST(SubFrame32, FullRangeWindowAndAnyDepthButTwo)
{
    std::vector<uint32_t> square = { 0, 4294967295u, 2147483648u, 0, 0, 0, 0, 0, 0 };
    std::vector<float> v(9);
    tamrix::SubFrameToVector(square.data(), 3, 3, 3, 1, 1, 1, v.data()); // depth 3 reads 32 bits too
    EXPECT_EQ(v, (std::vector<float> { -1, 1, 0, -1, -1, -1, -1, -1, -1 }));
}

} // namespace
