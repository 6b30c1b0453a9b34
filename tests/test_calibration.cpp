// Dark subtraction and flat division.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#if defined(__linux__)
#    include <sys/mman.h>
#    include <unistd.h>
#endif

// Built with a sanitizer, which checks every read (AddressSanitizer, eight
// seconds for 2^31 pixels) or records it in shadow memory several times its
// size (ThreadSanitizer, gigabytes), a test that reads gigabytes is skipped.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#    define TAMRIX_TEST_SANITIZED 1
#elif defined(__has_feature)
#    if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#        define TAMRIX_TEST_SANITIZED 1
#    endif
#endif

using tamrix::test::RandomFrame;
using tamrix::test::ThreadCount;

namespace {

template <class Pixel> constexpr uint64_t kFull = std::numeric_limits<Pixel>::max();

template <class Pixel> constexpr int kDepth = sizeof(Pixel) == 2 ? 2 : 4;

// Literal per-pixel renditions, with the widest arithmetic the library
// promises to be exact in (32-bit product for 16-bit frames, 64-bit for 32-bit
// frames).
template <class Pixel> Pixel ReferenceDark(Pixel raw, Pixel d)
{
    if (d > raw)
        return 0;
    if (raw == kFull<Pixel>)
        return raw;
    return static_cast<Pixel>(raw - d);
}

template <class Pixel> Pixel ReferenceFlat(Pixel raw, Pixel f, uint64_t m)
{
    if (raw == kFull<Pixel>)
        return raw;
    if (f == 0)
        return raw;
    const uint64_t product = sizeof(Pixel) == 2 ? static_cast<uint32_t>(raw * static_cast<uint32_t>(m)) : raw * m;
    const uint64_t q = product / f;
    return q > kFull<Pixel> ? static_cast<Pixel>(kFull<Pixel>) : static_cast<Pixel>(q);
}

template <class Pixel> class Calibration : public testing::Test {
protected:
    static constexpr int depth = kDepth<Pixel>;
    static constexpr Pixel full = static_cast<Pixel>(kFull<Pixel>);

    std::vector<Pixel> Dark(std::vector<Pixel> raw, std::vector<Pixel> dark)
    {
        std::vector<Pixel> out(raw.size());
        tamrix::DiffDark(raw.data(), out.data(), dark.data(), static_cast<int>(raw.size()), 1, depth);
        return out;
    }
    std::vector<Pixel> FlatDivide(std::vector<Pixel> raw, std::vector<Pixel> flat, double& level)
    {
        std::vector<Pixel> out(raw.size());
        tamrix::Flat(raw.data(), out.data(), flat.data(), &level, static_cast<int>(raw.size()), 1, depth);
        return out;
    }
};

using PixelTypes = testing::Types<uint16_t, uint32_t>;
TYPED_TEST_SUITE(Calibration, PixelTypes);

TYPED_TEST(Calibration, DarkSubtractionClampsAtZeroAndKeepsSaturatedPixels)
{
    using P = TypeParam;
    const P full = TestFixture::full;
    EXPECT_EQ(this->Dark({ 100, 500, full, full, 0, 7 }, { 120, 20, 3, full, 0, 7 }),
        (std::vector<P> { 0, 480, full, full, 0, 0 }));
}

TYPED_TEST(Calibration, FlatMeanIsWrittenBackAndUsed)
{
    using P = TypeParam;
    double level = 0.0;
    EXPECT_EQ(this->FlatDivide({ 1000, 1000 }, { 1000, 3000 }, level), (std::vector<P> { 2000, 666 }));
    EXPECT_EQ(level, 2000.0);
}

TYPED_TEST(Calibration, NegativeLevelAlsoAsksForTheMean)
{
    using P = TypeParam;
    double level = -5.0;
    EXPECT_EQ(this->FlatDivide({ 10, 10, 10 }, { 1, 2, 6 }, level), (std::vector<P> { 30, 15, 5 }));
    EXPECT_EQ(level, 3.0);
}

TYPED_TEST(Calibration, PositiveLevelIsRoundedHalfUpAndNotWrittenBack)
{
    using P = TypeParam;
    double level = 1999.5; // m = 2000
    EXPECT_EQ(this->FlatDivide({ 1000 }, { 1000 }, level), (std::vector<P> { 2000 }));
    EXPECT_EQ(level, 1999.5);
    level = 1999.4; // m = 1999
    EXPECT_EQ(this->FlatDivide({ 1000 }, { 1000 }, level), (std::vector<P> { 1999 }));
    EXPECT_EQ(level, 1999.4);
}

TYPED_TEST(Calibration, FlatClampsAtFullScaleAndPassesZeroFlatAndSaturatedPixels)
{
    using P = TypeParam;
    const P full = TestFixture::full;
    // A 32-bit raw value this large only clamps with the 64-bit product.
    const P big = static_cast<P>(sizeof(P) == 2 ? 60000u : 3000000000u);
    double level = 2000.0;
    EXPECT_EQ(this->FlatDivide({ big, 1234, full, full, 0 }, { 1000, 0, 1, 0, 5 }, level),
        (std::vector<P> { full, 1234, full, full, 0 }));
}

TYPED_TEST(Calibration, AllZeroFlatWithMeanRequestedPassesEverything)
{
    using P = TypeParam;
    double level = 0.0;
    EXPECT_EQ(this->FlatDivide({ 5, 77, 0 }, { 0, 0, 0 }, level), (std::vector<P> { 5, 77, 0 }));
    EXPECT_EQ(level, 0.0);
}

TYPED_TEST(Calibration, EmptyFramesWriteNothingAndKeepTheLevel)
{
    using P = TypeParam;
    const int depth = TestFixture::depth;
    std::vector<P> raw(4, 9), flat(4, 3), out(4, 1);
    for (int height : { 0, -2 }) {
        double level = 0.0;
        tamrix::Flat(raw.data(), out.data(), flat.data(), &level, 2, height, depth);
        tamrix::DiffDark(raw.data(), out.data(), flat.data(), 2, height, depth);
        EXPECT_EQ(out, std::vector<P>(4, 1));
        EXPECT_EQ(level, 0.0);
    }
}

// Random frames against the literal rules, with in-place and separate output
// buffers and with one and several threads. Extreme levels exercise the
// 64-bit product of 32-bit frames (m up to 2^32 and beyond).
TYPED_TEST(Calibration, RandomFramesMatchLiteralRulesInPlaceAndAcrossThreadCounts)
{
    using P = TypeParam;
    const int depth = TestFixture::depth;
    const int w = 333, h = 41;
    const auto raw = RandomFrame<P>(w, h, 1);
    const auto dark = RandomFrame<P>(w, h, 2, 0, kFull<P> / 64);
    auto flat = RandomFrame<P>(w, h, 3);
    auto dimFlat = RandomFrame<P>(w, h, 4, 0, 40); // many zeros and large quotients
    std::vector<P> expected(raw.size());

    for (size_t i = 0; i < raw.size(); ++i)
        expected[i] = ReferenceDark(raw[i], dark[i]);
    for (int threads : tamrix::test::kThreadCounts) {
        ThreadCount scope(threads);
        std::vector<P> out(raw.size()), inPlace = raw;
        tamrix::DiffDark(const_cast<P*>(raw.data()), out.data(), const_cast<P*>(dark.data()), w, h, depth);
        tamrix::DiffDark(inPlace.data(), inPlace.data(), const_cast<P*>(dark.data()), w, h, depth);
        EXPECT_EQ(out, expected) << threads << " threads";
        EXPECT_EQ(inPlace, expected) << threads << " threads";
    }

    const std::vector<double> levels = sizeof(P) == 2
        ? std::vector<double> { 1.0, 2000.0, 32767.5, 65535.0 }
        : std::vector<double> { 1.0, 2000.0, 65535.0, 3.0e9, 4294967295.0, 9.0e15 };
    for (auto* f : { &flat, &dimFlat })
        for (double level : levels) {
            const uint64_t m = static_cast<uint64_t>(level + 0.5);
            for (size_t i = 0; i < raw.size(); ++i)
                expected[i] = ReferenceFlat(raw[i], (*f)[i], m);
            for (int threads : tamrix::test::kThreadCounts) {
                ThreadCount scope(threads);
                std::vector<P> out(raw.size()), inPlace = raw;
                double l1 = level, l2 = level;
                tamrix::Flat(const_cast<P*>(raw.data()), out.data(), f->data(), &l1, w, h, depth);
                tamrix::Flat(inPlace.data(), inPlace.data(), f->data(), &l2, w, h, depth);
                EXPECT_EQ(out, expected) << "level " << level << ", " << threads << " threads";
                EXPECT_EQ(inPlace, expected) << "level " << level << ", " << threads << " threads";
            }
        }
}

// Quotients that sit just below and exactly on an integer are where an
// estimated division goes wrong; the 32-bit path must still truncate exactly.
TEST(FlatDivision, ThirtyTwoBitQuotientsNextToIntegersTruncateExactly)
{
    // With f = m the quotient is exactly raw; with f = m + 1 it lies just
    // below raw, with f = m - 1 just above it. Products reach 2^64, far past
    // what a double holds exactly.
    const uint64_t m = 4294967291ull;
    std::vector<uint32_t> raw, flat, expected;
    for (uint64_t f : { m - 1, m, m + 1, m + 4 })
        for (uint32_t r : { 1u, 2u, 3u, 1000u, 123456789u, 0x7FFFFFFFu, 0x80000001u, 4294967290u, 4294967294u }) {
            raw.push_back(r);
            flat.push_back(static_cast<uint32_t>(f));
            expected.push_back(ReferenceFlat<uint32_t>(r, static_cast<uint32_t>(f), m));
        }
    std::vector<uint32_t> out(raw.size());
    double level = static_cast<double>(m);
    tamrix::Flat(raw.data(), out.data(), flat.data(), &level, static_cast<int>(raw.size()), 1, 4);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out[4], 123456789u); // f = m - 1: just above an integer
    EXPECT_EQ(out[9 + 4], 123456789u); // f = m: exact
    EXPECT_EQ(out[18 + 4], 123456788u); // f = m + 1: just below an integer
}

// The mean is the serial double sum in element order. For 32-bit frames with
// large values the running sum passes 2^53 and rounds; the level must be the
// very double that the serial sum gives.
TEST(FlatDivision, MeanOfLarge32BitFlatEqualsSerialDoubleSum)
{
    const int w = 2048, h = 1500; // 3 M pixels of up to 2^32 - 1: the sum passes 2^53
    const auto flat = RandomFrame<uint32_t>(w, h, 5, 0xF0000000u, 0xFFFFFFFFu);
    double serial = 0.0;
    for (uint32_t f : flat)
        serial += static_cast<double>(f);
    const double expected = serial / static_cast<double>(w * h);

    std::vector<uint32_t> raw(flat.size(), 0), out(flat.size());
    double level = 0.0;
    tamrix::Flat(raw.data(), out.data(), const_cast<uint32_t*>(flat.data()), &level, w, h, 4);
    EXPECT_EQ(level, expected);
}

TEST(FlatDivision, MeanOf16BitFlatIsExact)
{
    const int w = 1001, h = 17;
    const auto flat = RandomFrame<uint16_t>(w, h, 6);
    uint64_t sum = 0;
    for (uint16_t f : flat)
        sum += f;
    std::vector<uint16_t> raw(flat.size(), 0), out(flat.size());
    double level = -1.0;
    tamrix::Flat(raw.data(), out.data(), const_cast<uint16_t*>(flat.data()), &level, w, h, 2);
    EXPECT_EQ(level, static_cast<double>(sum) / (w * h));
}

// A flat of more than 2^31 pixels (46341 x 46341, 4.3 GB of 16-bit pixels)
// that costs 2 MiB: one piece of constant pixels mapped again and again over
// reserved address space. Flat runs in place on it, flat and frame alike.
TEST(FlatDivision, MeanCountsFramesOfMoreThan2To31Pixels)
{
#if !defined(__linux__)
    GTEST_SKIP() << "needs memfd_create and mmap";
#elif defined(TAMRIX_TEST_SANITIZED)
    GTEST_SKIP() << "reads 4.3 GB, too slow or too large under a sanitizer";
#else
    const int side = 46341;
    const size_t bytes = size_t { side } * side * sizeof(uint16_t);
    const size_t piece = size_t { 2 } << 20, pieces = (bytes + piece - 1) / piece;
    const int fd = memfd_create("flat", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(piece)), 0);
    auto* base = static_cast<char*>(
        mmap(nullptr, pieces * piece, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    bool mapped = true;
    for (size_t k = 0; k < pieces && mapped; ++k)
        mapped = mmap(base + k * piece, piece, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED;
    close(fd);
    auto* pixels = reinterpret_cast<uint16_t*>(base);
    double level = 0.0;
    if (mapped) {
        std::fill_n(pixels, piece / sizeof(uint16_t), uint16_t { 1234 }); // every piece shows these pixels
        tamrix::Flat(pixels, pixels, pixels, &level, side, side, 2);
    }
    const uint16_t last = mapped ? pixels[bytes / sizeof(uint16_t) - 1] : 0;
    munmap(base, pieces * piece);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(level, 1234.0);
    EXPECT_EQ(last, 1234); // raw = flat = level: unchanged
#endif
}

} // namespace
