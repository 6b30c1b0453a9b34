// Sub-pixel shift and affine transform through the exported interface.
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

namespace {

template <class Pixel>
constexpr int kDepth = sizeof(Pixel) == 2 ? 2 : 4;

template <class Pixel>
constexpr Pixel kSentinel = static_cast<Pixel>(tamrix::test::kSentinel32);

// Source 6 x 4, pixel (x, y) = 10 * y + x + 1.
template <class Pixel>
std::vector<Pixel> Ramp()
{
    std::vector<Pixel> src(24);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x)
            src[y * 6 + x] = static_cast<Pixel>(10 * y + x + 1);
    return src;
}

template <class Pixel>
class Warp : public testing::Test {
protected:
    std::vector<Pixel> Shift(const std::vector<Pixel>& src, int sw, int sh, int dx, int dy, std::array<unsigned, 4> w,
                             unsigned divisor, int dw, int dh)
    {
        std::vector<Pixel> dst(static_cast<size_t>(dw) * dh, kSentinel<Pixel>);
        tamrix::SubPixelShift(dx, dy, w[0], w[1], w[2], w[3], divisor, const_cast<Pixel*>(src.data()), sw, sh,
                              kDepth<Pixel>, dst.data(), dw, dh);
        return dst;
    }
    std::vector<Pixel> Affine(const std::vector<Pixel>& src, int sw, int sh, std::array<double, 6> m, int dw, int dh)
    {
        std::vector<Pixel> dst(static_cast<size_t>(dw) * dh, kSentinel<Pixel>);
        tamrix::Transform(m[0], m[1], m[2], m[3], m[4], m[5], const_cast<Pixel*>(src.data()), sw, sh, kDepth<Pixel>,
                          dst.data(), dw, dh);
        return dst;
    }
    static Pixel At(const std::vector<Pixel>& f, int width, int x, int y) { return f[static_cast<size_t>(y) * width + x]; }
};

using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(Warp, PixelTypes);

constexpr std::array<double, 6> kIdentity = {1, 0, 0, 0, 1, 0};

TYPED_TEST(Warp, IdentityLeavesTheLastColumnAndRowUntouched)
{
    const auto src = Ramp<TypeParam>();
    const auto shifted = this->Shift(src, 6, 4, 0, 0, {1, 0, 0, 0}, 1, 6, 4);
    const auto warped = this->Affine(src, 6, 4, kIdentity, 6, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 6; ++x) {
            const TypeParam expected = x == 5 || y == 3 ? kSentinel<TypeParam> : this->At(src, 6, x, y);
            EXPECT_EQ(this->At(shifted, 6, x, y), expected) << x << "," << y;
            EXPECT_EQ(this->At(warped, 6, x, y), expected) << x << "," << y;
        }
}

TYPED_TEST(Warp, HalfPixelAveragesNeighboursTruncated)
{
    const std::vector<TypeParam> src = {1, 4, 10, 3, 3, 3, 0, 0, 0, 0, 0, 0};
    const auto shifted = this->Shift(src, 6, 2, 0, 0, {1, 1, 0, 0}, 2, 4, 1);
    const auto warped = this->Affine(src, 6, 2, {1, 0, 0.5, 0, 1, 0}, 4, 1);
    EXPECT_EQ(shifted, (std::vector<TypeParam>{2, 7, 6, 3}));
    EXPECT_EQ(warped, (std::vector<TypeParam>{2, 7, 6, 3}));
}

TYPED_TEST(Warp, ShiftLeavesColumnsWhoseSquareLeavesTheSource)
{
    std::vector<TypeParam> src(20);
    for (int i = 0; i < 20; ++i)
        src[i] = static_cast<TypeParam>(i + 1);
    const auto left = this->Shift(src, 10, 2, -1, 0, {1, 0, 0, 0}, 1, 10, 1);
    EXPECT_EQ(left[0], kSentinel<TypeParam>);
    EXPECT_EQ(left[1], 1u);
    const auto right = this->Shift(src, 10, 2, 3, 0, {1, 0, 0, 0}, 1, 10, 1);
    EXPECT_EQ(right[5], 9u);
    for (int x = 6; x < 10; ++x)
        EXPECT_EQ(right[x], kSentinel<TypeParam>) << x;
}

TYPED_TEST(Warp, FullScaleSquaresStayAtFullScale)
{
    constexpr TypeParam full = std::numeric_limits<TypeParam>::max();
    const std::vector<TypeParam> src(9, full);
    // Weights adding up to 4096; the 32-bit shift keeps 32-bit sums, so it
    // wraps on a 32-bit frame unless the weights fit: 1 + 0 + 0 + 0.
    const unsigned w00 = sizeof(TypeParam) == 2 ? 1000 : 1, w10 = sizeof(TypeParam) == 2 ? 96 : 0;
    const unsigned w01 = sizeof(TypeParam) == 2 ? 3000 : 0, divisor = sizeof(TypeParam) == 2 ? 4096 : 1;
    EXPECT_EQ(this->Shift(src, 3, 3, 0, 0, {w00, w10, w01, 0}, divisor, 2, 2), std::vector<TypeParam>(4, full));
    EXPECT_EQ(this->Affine(src, 3, 3, {0.9, 0.2, 0.37, -0.1, 1.1, 0.21}, 2, 2), std::vector<TypeParam>(4, full));
}

TYPED_TEST(Warp, FractionsAreTruncatedToSixtyFourths)
{
    // C = 2.999: ix = x + 2 and fx = 63, so (p(ix) + 63 * p(ix + 1)) / 64.
    std::vector<TypeParam> src = {0, 0, 0, 64, 128, 1, 0, 0, 0, 0, 0, 0};
    const auto warped = this->Affine(src, 6, 2, {1, 0, 2.999, 0, 1, 0}, 6, 1);
    EXPECT_EQ(warped, (std::vector<TypeParam>{63, 127, 2, kSentinel<TypeParam>, kSentinel<TypeParam>,
                                              kSentinel<TypeParam>}));
}

TYPED_TEST(Warp, NegativePositionsAreOutside)
{
    const auto src = Ramp<TypeParam>();
    const auto warped = this->Affine(src, 6, 4, {1, 0, -0.5, 0, 1, 0}, 3, 1);
    EXPECT_EQ(warped, (std::vector<TypeParam>{kSentinel<TypeParam>, 1, 2})); // (1 + 2) / 2, (2 + 3) / 2
}

TYPED_TEST(Warp, QuarterTurnMapsEveryInsidePixel)
{
    constexpr int n = 5;
    std::vector<TypeParam> src(n * n);
    for (int i = 0; i < n * n; ++i)
        src[i] = static_cast<TypeParam>(3 * i + 7);
    const auto dst = this->Affine(src, n, n, {0, 1, 0, -1, 0, n - 1}, n, n);
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            const TypeParam expected = x == 0 || y == n - 1 ? kSentinel<TypeParam> : this->At(src, n, y, n - 1 - x);
            EXPECT_EQ(this->At(dst, n, x, y), expected) << x << "," << y;
        }
}

TYPED_TEST(Warp, NaNOrHugePositionsWriteNothing)
{
    const auto src = Ramp<TypeParam>();
    const std::vector<TypeParam> untouched(8, kSentinel<TypeParam>);
    EXPECT_EQ(this->Affine(src, 6, 4, {NAN, 0, 0, 0, 1, 0}, 4, 2), untouched);
    EXPECT_EQ(this->Affine(src, 6, 4, {1, 0, 3e9, 0, 1, 0}, 4, 2), untouched);
    EXPECT_EQ(this->Affine(src, 1, 4, kIdentity, 4, 2), untouched); // one column: no square inside
}

TEST(Shift, WeightedSumsWrapAndSixteenBitKeepsTheLowBits)
{
    const std::vector<uint16_t> src16 = {65535, 0, 0, 0};
    uint16_t out16 = 0;
    tamrix::SubPixelShift(0, 0, 2, 0, 0, 0, 1, const_cast<uint16_t*>(src16.data()), 2, 2, 2, &out16, 1, 1);
    EXPECT_EQ(out16, 65534u); // 131070 & 0xFFFF
    const std::vector<uint32_t> src32 = {0x80000001u, 3, 0, 0};
    uint32_t out32 = 0;
    tamrix::SubPixelShift(0, 0, 2, 1, 0, 0, 3, const_cast<uint32_t*>(src32.data()), 2, 2, 4, &out32, 1, 1);
    EXPECT_EQ(out32, 1u); // (2^32 + 2 + 3) mod 2^32 = 5, divided by 3
}

TEST(Transform, ThirtyTwoBitPixelsAboveTwoTo20AreExact)
{
    const std::vector<uint32_t> src = {4000000000u, 4000000002u, 4294967295u, 4294967295u};
    uint32_t out = 0;
    tamrix::Transform(1, 0, 0.5, 0, 1, 0, const_cast<uint32_t*>(src.data()), 2, 2, 4, &out, 1, 1);
    EXPECT_EQ(out, 4000000001u);
    tamrix::Transform(1, 0, 0.25, 0, 1, 0.75, const_cast<uint32_t*>(src.data()), 2, 2, 4, &out, 1, 1);
    // fx = 16, fy = 48: (768 * 4e9 + 256 * (4e9 + 2) + (2304 + 768) * 4294967295) >> 12
    EXPECT_EQ(out, 4221225471u);
}

// A rotation with a shift, as a host aligns frames: several threads give the
// one-thread result, for both depths.
TEST(Warp, SameResultWithOneThreadAndSeveral)
{
    const int w = 257, h = 131;
    const auto src16 = RandomFrame<uint16_t>(w, h, 21);
    const auto src32 = RandomFrame<uint32_t>(w, h, 22);
    const double t = 0.3, c = std::cos(t), s = std::sin(t);
    auto run = [&](int threads, auto src) {
        using Pixel = typename decltype(src)::value_type;
        ThreadCount scope(threads);
        std::vector<Pixel> affine(src.size(), 0), shifted(src.size(), 0);
        tamrix::Transform(c, s, -20.3, -s, c, 40.7, src.data(), w, h, kDepth<Pixel>, affine.data(), w, h);
        tamrix::SubPixelShift(-3, 2, 700, 1300, 900, 1196, 4096, src.data(), w, h, kDepth<Pixel>, shifted.data(), w,
                              h);
        return std::make_pair(affine, shifted);
    };
    const auto one16 = run(1, src16);
    const auto one32 = run(1, src32);
    for (int threads : {3, 7}) {
        EXPECT_EQ(run(threads, src16), one16) << threads;
        EXPECT_EQ(run(threads, src32), one32) << threads;
    }
}

} // namespace
