// Resampling: enlargement by whole factors with integer interpolation.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

namespace {

template <class Pixel>
constexpr int kDepth = sizeof(Pixel) == 2 ? 2 : 4;

// The literal procedure: the running product is built by adding the
// difference once per step, in wrapping signed 32-bit arithmetic.
template <class Pixel>
Pixel LiteralStep(Pixel a, Pixel b, int k, int f)
{
    const uint32_t diff = static_cast<uint32_t>(b) - static_cast<uint32_t>(a);
    uint32_t product = 0;
    for (int i = 0; i < k; ++i)
        product += diff;
    return static_cast<Pixel>(static_cast<uint32_t>(a) + static_cast<uint32_t>(static_cast<int32_t>(product) / f));
}

template <class Pixel>
std::vector<Pixel> ReferenceResample(const std::vector<Pixel>& src, int fx, int fy, int width, int height)
{
    const int ow = fx * width;
    std::vector<Pixel> dst(static_cast<size_t>(ow) * fy * height);
    auto at = [&](int x, int y) -> Pixel& { return dst[static_cast<size_t>(y) * ow + x]; };
    for (int r = 0; r < height; ++r) {
        const Pixel* p = &src[static_cast<size_t>(r) * width];
        for (int i = 0; i + 1 < width; ++i)
            for (int k = 0; k < fx; ++k)
                at(fx * i + k, fy * r) = k == 0 ? p[i] : LiteralStep(p[i], p[i + 1], k, fx);
        for (int k = 0; k < fx; ++k)
            at(fx * (width - 1) + k, fy * r) = p[width - 1];
    }
    for (int r = 0; r < height; ++r)
        for (int k = 1; k < fy; ++k)
            for (int c = 0; c < ow; ++c)
                at(c, fy * r + k) = r + 1 < height ? LiteralStep(at(c, fy * r), at(c, fy * r + fy), k, fy) : at(c, fy * r);
    return dst;
}

template <class Pixel>
class Resampling : public testing::Test {
protected:
    std::vector<Pixel> Resample(std::vector<Pixel> src, int fx, int fy, int width, int height)
    {
        std::vector<Pixel> dst(src.size() * fx * fy, static_cast<Pixel>(tamrix::test::kSentinel32));
        tamrix::Resample(fx, fy, src.data(), dst.data(), width, height, kDepth<Pixel>);
        return dst;
    }
};

using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(Resampling, PixelTypes);

TYPED_TEST(Resampling, FactorOneCopiesTheFrame)
{
    const std::vector<TypeParam> src = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(this->Resample(src, 1, 1, 3, 2), src);
}

TYPED_TEST(Resampling, InterpolatesRowsAndRepeatsTheLastPixel)
{
    EXPECT_EQ(this->Resample({0, 10, 20}, 2, 1, 3, 1), (std::vector<TypeParam>{0, 5, 10, 15, 20, 20}));
}

TYPED_TEST(Resampling, FallingStepsLeanTowardTheFirstValue)
{
    EXPECT_EQ(this->Resample({10, 0}, 3, 1, 2, 1), (std::vector<TypeParam>{10, 7, 4, 0, 0, 0}));
    EXPECT_EQ(this->Resample({0, 10}, 3, 1, 2, 1), (std::vector<TypeParam>{0, 3, 6, 10, 10, 10}));
}

TYPED_TEST(Resampling, InterpolatesColumnsAndRepeatsTheLastRow)
{
    EXPECT_EQ(this->Resample({0, 9}, 1, 2, 1, 2), (std::vector<TypeParam>{0, 4, 9, 9}));
}

TYPED_TEST(Resampling, SingleRowBecomesIdenticalRows)
{
    EXPECT_EQ(this->Resample({7, 1}, 2, 3, 2, 1), (std::vector<TypeParam>{7, 4, 1, 1, 7, 4, 1, 1, 7, 4, 1, 1}));
}

TYPED_TEST(Resampling, SingleColumnBecomesCopiesOfThePixel)
{
    EXPECT_EQ(this->Resample({5, 8}, 4, 1, 1, 2), (std::vector<TypeParam>{5, 5, 5, 5, 8, 8, 8, 8}));
}

TYPED_TEST(Resampling, WritesNothingWithoutPixelsOrWithFactorsBelowOne)
{
    const std::vector<TypeParam> src(16, 3);
    const std::vector<TypeParam> untouched(64, static_cast<TypeParam>(tamrix::test::kSentinel32));
    const std::vector<std::array<int, 4>> cases = {{2, 2, 4, 0}, {2, 2, 0, 4}, {2, 2, -1, 4}, {0, 2, 4, 4}, {2, -1, 4, 4}};
    for (auto [fx, fy, w, h] : cases) {
        auto dst = untouched;
        tamrix::Resample(fx, fy, const_cast<TypeParam*>(src.data()), dst.data(), w, h, kDepth<TypeParam>);
        EXPECT_EQ(dst, untouched) << fx << " " << fy << " " << w << " " << h;
    }
}

TEST(Resampling32, WritesWholePixelsAndIsExactUpTo2To31)
{
    // 2^31 - 1 apart: the largest difference whose product stays in range.
    const std::vector<uint32_t> src = {0, 0x7FFFFFFFu, 0xFFFFFFFEu, 0x80000000u};
    std::vector<uint32_t> dst(8, tamrix::test::kSentinel32);
    tamrix::Resample(2, 1, const_cast<uint32_t*>(src.data()), dst.data(), 4, 1, 4);
    EXPECT_EQ(dst, (std::vector<uint32_t>{0, 0x3FFFFFFFu, 0x7FFFFFFFu, 0xBFFFFFFEu, 0xFFFFFFFEu, 0xBFFFFFFFu,
                                          0x80000000u, 0x80000000u}));
}

TEST(Resampling32, LargerDifferencesWrapInSigned32BitArithmetic)
{
    // 0 -> 2^31 + 2: the difference wraps to -2^31 + 2, halved to -2^30 + 1.
    const std::vector<uint32_t> src = {0, 0x80000002u};
    std::vector<uint32_t> dst(4);
    tamrix::Resample(2, 1, const_cast<uint32_t*>(src.data()), dst.data(), 2, 1, 4);
    EXPECT_EQ(dst[1], 0xC0000001u);
}

// Every form of the division (by 2, by 3, in single and in double precision,
// the last for 16-bit factors above 256) against the literal procedure, with
// one and several threads.
struct FactorCase {
    int fx, fy, width, height;
};

class ResamplingMatchesReference : public testing::TestWithParam<FactorCase> {};

TEST_P(ResamplingMatchesReference, BothDepthsAnyThreadCount)
{
    const auto c = GetParam();
    const auto src16 = RandomFrame<uint16_t>(c.width, c.height, 5);
    const auto src32 = RandomFrame<uint32_t>(c.width, c.height, 6, 0, 0x3FFFFFFF);
    const auto expected16 = ReferenceResample(src16, c.fx, c.fy, c.width, c.height);
    const auto expected32 = ReferenceResample(src32, c.fx, c.fy, c.width, c.height);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        std::vector<uint16_t> dst16(expected16.size());
        std::vector<uint32_t> dst32(expected32.size());
        tamrix::Resample(c.fx, c.fy, const_cast<uint16_t*>(src16.data()), dst16.data(), c.width, c.height, 2);
        tamrix::Resample(c.fx, c.fy, const_cast<uint32_t*>(src32.data()), dst32.data(), c.width, c.height, 4);
        EXPECT_EQ(dst16, expected16) << threads << " threads";
        EXPECT_EQ(dst32, expected32) << threads << " threads";
    }
}

INSTANTIATE_TEST_SUITE_P(Factors, ResamplingMatchesReference,
                         testing::Values(FactorCase{2, 2, 37, 23}, FactorCase{3, 3, 19, 17}, FactorCase{2, 3, 8, 9},
                                         FactorCase{5, 4, 13, 11}, FactorCase{1, 7, 6, 5}, FactorCase{4, 1, 33, 3},
                                         FactorCase{256, 257, 3, 3}, FactorCase{300, 2, 4, 3}));

} // namespace
