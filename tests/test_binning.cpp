// Binning: block sums into 32-bit output pixels.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

namespace {

// A literal rendition of the block walk: column by column inside each block,
// 32-bit wrapping sums.
template <class Pixel>
std::vector<uint32_t> ReferenceBin(const std::vector<Pixel>& src, int binX, int binY, int width, int height)
{
    const int ow = width / binX, oh = height / binY;
    std::vector<uint32_t> out(static_cast<size_t>(ow) * oh);
    for (int r = 0; r < oh; ++r)
        for (int c = 0; c < ow; ++c) {
            uint32_t sum = 0;
            for (int i = 0; i < binX; ++i)
                for (int j = 0; j < binY; ++j)
                    sum += src[static_cast<size_t>(r * binY + j) * width + c * binX + i];
            out[static_cast<size_t>(r) * ow + c] = sum;
        }
    return out;
}

TEST(Binning, OneByOneCopiesAndWidens16BitPixels)
{
    std::vector<uint16_t> src = { 0, 1, 65535, 40000, 7, 65534 };
    std::vector<uint32_t> dst(6, tamrix::test::kSentinel32);
    tamrix::Bin(1, 1, src.data(), dst.data(), 3, 2, 2);
    EXPECT_EQ(dst, (std::vector<uint32_t> { 0, 1, 65535, 40000, 7, 65534 }));
}

TEST(Binning, IgnoresLeftoverColumnsAndRows)
{
    // 5 x 5 frame, pixel value = 10 * y + x; the fifth row and column belong
    // to no 2 x 2 block.
    std::vector<uint16_t> src(25);
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 5; ++x)
            src[y * 5 + x] = static_cast<uint16_t>(10 * y + x);
    std::vector<uint32_t> dst(5, tamrix::test::kSentinel32);
    tamrix::Bin(2, 2, src.data(), dst.data(), 5, 5, 2);
    // (0+1+10+11), (2+3+12+13), (20+21+30+31), (22+23+32+33)
    EXPECT_EQ(dst, (std::vector<uint32_t> { 22, 30, 102, 110, tamrix::test::kSentinel32 }));
}

TEST(Binning, UnequalFactorsBinOnlyHorizontally)
{
    std::vector<uint32_t> src = { 1, 2, 3, 4, 5, 6, 7, //
        10, 20, 30, 40, 50, 60, 70 };
    std::vector<uint32_t> dst(4, tamrix::test::kSentinel32);
    tamrix::Bin(3, 1, src.data(), dst.data(), 7, 2, 4);
    EXPECT_EQ(dst, (std::vector<uint32_t> { 6, 15, 60, 150 }));
}

TEST(Binning, SixteenBitBlockOf65537FullScalePixelsDoesNotWrap)
{
    const int n = 65537;
    std::vector<uint16_t> src(n, 65535);
    uint32_t dst = 0;
    tamrix::Bin(n, 1, src.data(), &dst, n, 1, 2);
    EXPECT_EQ(dst, 4294967295u); // 65537 * 65535 = 2^32 - 1, the largest sum that fits
}

TEST(Binning, ThirtyTwoBitSumsWrapModulo2To32)
{
    std::vector<uint32_t> src = { 0xFFFFFFFFu, 2, 0x80000000u, 0x80000000u };
    std::vector<uint32_t> dst(2);
    tamrix::Bin(2, 1, src.data(), dst.data(), 4, 1, 4);
    EXPECT_EQ(dst, (std::vector<uint32_t> { 1, 0 }));
}

TEST(Binning, AnyDepthOtherThanTwoReads32BitPixels)
{
    std::vector<uint32_t> src = { 70000, 1 };
    uint32_t dst = 0;
    tamrix::Bin(2, 1, src.data(), &dst, 2, 1, 3);
    EXPECT_EQ(dst, 70001u);
}

struct EmptyOutputCase {
    int binX, binY, width, height;
};

class BinningWritesNothing : public testing::TestWithParam<EmptyOutputCase> { };

TEST_P(BinningWritesNothing, LeavesDestinationUntouched)
{
    const auto c = GetParam();
    std::vector<uint16_t> src(64, 9);
    std::vector<uint32_t> dst(64, tamrix::test::kSentinel32);
    tamrix::Bin(c.binX, c.binY, src.data(), dst.data(), c.width, c.height, 2);
    EXPECT_EQ(dst, std::vector<uint32_t>(64, tamrix::test::kSentinel32));
}

INSTANTIATE_TEST_SUITE_P(Limits, BinningWritesNothing,
    testing::Values(EmptyOutputCase { 2, 2, 8, 0 }, EmptyOutputCase { 2, 2, 8, -3 }, EmptyOutputCase { 9, 1, 8, 8 },
        EmptyOutputCase { 1, 9, 8, 8 }, EmptyOutputCase { 2, 2, 1, 8 }));

// Fast row paths against the literal block walk, on odd sizes, every
// specialised factor and a generic one, with one and several threads.
struct BinCase {
    int binX, binY, width, height;
};

class BinningMatchesReference : public testing::TestWithParam<BinCase> { };

TEST_P(BinningMatchesReference, SixteenBit)
{
    const auto c = GetParam();
    const auto src = RandomFrame<uint16_t>(c.width, c.height, 11);
    const auto expected = ReferenceBin(src, c.binX, c.binY, c.width, c.height);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        std::vector<uint32_t> dst(expected.size(), tamrix::test::kSentinel32);
        tamrix::Bin(c.binX, c.binY, const_cast<uint16_t*>(src.data()), dst.data(), c.width, c.height, 2);
        EXPECT_EQ(dst, expected) << threads << " threads";
    }
}

TEST_P(BinningMatchesReference, ThirtyTwoBit)
{
    const auto c = GetParam();
    const auto src = RandomFrame<uint32_t>(c.width, c.height, 12);
    const auto expected = ReferenceBin(src, c.binX, c.binY, c.width, c.height);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        std::vector<uint32_t> dst(expected.size(), tamrix::test::kSentinel32);
        tamrix::Bin(c.binX, c.binY, const_cast<uint32_t*>(src.data()), dst.data(), c.width, c.height, 4);
        EXPECT_EQ(dst, expected) << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Factors, BinningMatchesReference,
    testing::Values(BinCase { 1, 1, 37, 23 }, BinCase { 2, 2, 101, 67 }, BinCase { 3, 3, 130, 47 },
        BinCase { 4, 2, 99, 33 }, BinCase { 5, 7, 203, 71 }, BinCase { 2, 5, 64, 64 }, BinCase { 17, 3, 300, 20 }));

} // namespace
