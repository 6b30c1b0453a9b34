// Resampling, sub-pixel shift and affine transform through the exported
// interface.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

using tamrix::test::RandomFrame;

namespace {

template <class Pixel> constexpr Pixel kSentinel = static_cast<Pixel>(tamrix::test::kSentinel32);

template <class Pixel> std::vector<Pixel> Resample(std::vector<Pixel> src, int fx, int fy, int w, int h)
{
    std::vector<Pixel> dst(src.size() * fx * fy, kSentinel<Pixel>);
    tamrix::Resample(fx, fy, src.data(), dst.data(), w, h, sizeof(Pixel));
    return dst;
}

template <class Pixel>
std::vector<Pixel> Shift(
    std::vector<Pixel> src, int sw, int sh, int dx, int dy, std::array<unsigned, 4> w, unsigned divisor, int dw, int dh)
{
    std::vector<Pixel> dst(static_cast<size_t>(dw) * dh, kSentinel<Pixel>);
    tamrix::SubPixelShift(
        dx, dy, w[0], w[1], w[2], w[3], divisor, src.data(), sw, sh, sizeof(Pixel), dst.data(), dw, dh);
    return dst;
}

template <class Pixel>
std::vector<Pixel> Affine(std::vector<Pixel> src, int sw, int sh, std::array<double, 6> m, int dw, int dh)
{
    std::vector<Pixel> dst(static_cast<size_t>(dw) * dh, kSentinel<Pixel>);
    tamrix::Transform(m[0], m[1], m[2], m[3], m[4], m[5], src.data(), sw, sh, sizeof(Pixel), dst.data(), dw, dh);
    return dst;
}

// Source 6 x 4, pixel (x, y) = 10 y + x + 1.
template <class Pixel> std::vector<Pixel> Ramp()
{
    std::vector<Pixel> src(24);
    for (int i = 0; i < 24; ++i)
        src[i] = static_cast<Pixel>(10 * (i / 6) + i % 6 + 1);
    return src;
}

template <class Pixel> class Geometry : public testing::Test {
};
TYPED_TEST_SUITE(Geometry, tamrix::test::PixelTypes);

TYPED_TEST(Geometry, ResampleInterpolatesTowardTheFirstValueAndRepeatsTheLast)
{
    using P = TypeParam;
    EXPECT_EQ(Resample<P>({ 1, 2, 3, 4, 5, 6 }, 1, 1, 3, 2), (std::vector<P> { 1, 2, 3, 4, 5, 6 }));
    EXPECT_EQ(Resample<P>({ 10, 0 }, 3, 1, 2, 1), (std::vector<P> { 10, 7, 4, 0, 0, 0 }));
    EXPECT_EQ(Resample<P>({ 0, 10 }, 3, 1, 2, 1), (std::vector<P> { 0, 3, 6, 10, 10, 10 }));
    EXPECT_EQ(Resample<P>({ 0, 9 }, 1, 2, 1, 2), (std::vector<P> { 0, 4, 9, 9 }));
    EXPECT_EQ(Resample<P>({ 7, 1 }, 2, 3, 2, 1), (std::vector<P> { 7, 4, 1, 1, 7, 4, 1, 1, 7, 4, 1, 1 }));
    const std::vector<P> untouched(64, kSentinel<P>);
    for (auto [fx, fy, w, h] : { std::array { 2, 2, 4, 0 }, { 2, 2, -1, 4 }, { 0, 2, 4, 4 }, { 2, -1, 4, 4 } }) {
        auto dst = untouched;
        tamrix::Resample(fx, fy, std::vector<P>(16, 3).data(), dst.data(), w, h, sizeof(P));
        EXPECT_EQ(dst, untouched) << fx << " " << fy << " " << w << " " << h;
    }
}

TEST(Resample, ThirtyTwoBitDifferencesWrapAndLargeFactorsStayExact)
{
    // 2^31 - 1 apart is the largest exact difference; 0 -> 2^31 + 2 wraps to
    // -2^31 + 2, halved to -2^30 + 1.
    EXPECT_EQ(Resample<uint32_t>({ 0, 0x7FFFFFFFu, 0xFFFFFFFEu, 0x80000000u }, 2, 1, 4, 1),
        (std::vector<uint32_t> {
            0, 0x3FFFFFFFu, 0x7FFFFFFFu, 0xBFFFFFFEu, 0xFFFFFFFEu, 0xBFFFFFFFu, 0x80000000u, 0x80000000u }));
    EXPECT_EQ(Resample<uint32_t>({ 0, 0x80000002u }, 2, 1, 2, 1)[1], 0xC0000001u);
    // Factors above 256 divide 16-bit steps in double precision: 65401 x 299
    // = 19554899, one below a multiple of 300, rounds up in single precision.
    EXPECT_EQ(Resample<uint16_t>({ 0, 65401 }, 300, 1, 2, 1)[299], 65182u);
}

TYPED_TEST(Geometry, KnownSamples)
{
    using P = TypeParam;
    const P none = kSentinel<P>;
    // Half a pixel: the neighbours' mean, truncated.
    const std::vector<P> row = { 1, 4, 10, 3, 3, 3, 0, 0, 0, 0, 0, 0 };
    EXPECT_EQ(Shift(row, 6, 2, 0, 0, { 1, 1, 0, 0 }, 2, 4, 1), (std::vector<P> { 2, 7, 6, 3 }));
    EXPECT_EQ(Affine(row, 6, 2, { 1, 0, 0.5, 0, 1, 0 }, 4, 1), (std::vector<P> { 2, 7, 6, 3 }));
    // Squares leaving the source are not written: a square on the last
    // column or row leaves it.
    const std::vector<P> corner = { 24, 25, none, none, none, none, none, none };
    EXPECT_EQ(Shift(Ramp<P>(), 6, 4, -1, 0, { 1, 0, 0, 0 }, 1, 4, 1), (std::vector<P> { none, 1, 2, 3 }));
    EXPECT_EQ(Shift(Ramp<P>(), 6, 4, 3, 2, { 1, 0, 0, 0 }, 1, 4, 2), corner);
    EXPECT_EQ(Affine(Ramp<P>(), 6, 4, { 1, 0, 3, 0, 1, 2 }, 4, 2), corner);
    EXPECT_EQ(Affine(Ramp<P>(), 6, 4, { 1, 0, -0.5, 0, 1, 0 }, 3, 1), (std::vector<P> { none, 1, 2 }));
    // NaN and positions beyond any int write nothing.
    EXPECT_EQ(Affine(Ramp<P>(), 6, 4, { NAN, 0, 0, 0, 1, 0 }, 4, 2), std::vector<P>(8, none));
    EXPECT_EQ(Affine(Ramp<P>(), 6, 4, { 1, 0, 3e9, 0, 1, 0 }, 4, 2), std::vector<P>(8, none));
    // 2.999: ix = x + 2 and fx = 63, so (p(ix) + 63 p(ix + 1)) / 64.
    const std::vector<P> steps = { 0, 0, 0, 64, 128, 1, 0, 0, 0, 0, 0, 0 };
    EXPECT_EQ(Affine(steps, 6, 2, { 1, 0, 2.999, 0, 1, 0 }, 6, 1), (std::vector<P> { 63, 127, 2, none, none, none }));
}

// The shift's weighted sums wrap and 16-bit results keep the low bits; the
// transform's 32-bit pixels above 2^20 are exact.
TEST(ShiftAndTransform, WeightedSumsWrapAndLargePixelsAreExact)
{
    EXPECT_EQ(Shift<uint16_t>({ 65535, 0, 0, 0 }, 2, 2, 0, 0, { 2, 0, 0, 0 }, 1, 1, 1)[0], 65534u); // 131070 & 0xFFFF
    // (2^32 + 2 + 3) mod 2^32 = 5, divided by 3.
    EXPECT_EQ(Shift<uint32_t>({ 0x80000001u, 3, 0, 0 }, 2, 2, 0, 0, { 2, 1, 0, 0 }, 3, 1, 1)[0], 1u);
    const std::vector<uint32_t> src = { 4000000000u, 4000000002u, 4294967295u, 4294967295u };
    EXPECT_EQ(Affine(src, 2, 2, { 1, 0, 0.5, 0, 1, 0 }, 1, 1)[0], 4000000001u);
    // fx = 16, fy = 48: (768 * 4e9 + 256 * (4e9 + 2) + (2304 + 768) * 4294967295) >> 12
    EXPECT_EQ(Affine(src, 2, 2, { 1, 0, 0.25, 0, 1, 0.75 }, 1, 1)[0], 4221225471u);
}

} // namespace
