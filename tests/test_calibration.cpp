// Dark subtraction and flat division.
#include "reference/calibration.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <algorithm>
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

namespace ref = tamrix::reference;
using tamrix::test::RandomFrame;

namespace {

template <class Pixel> std::vector<Pixel> Dark(std::vector<Pixel> raw, std::vector<Pixel> dark)
{
    std::vector<Pixel> out(raw.size());
    tamrix::DiffDark(raw.data(), out.data(), dark.data(), static_cast<int>(raw.size()), 1, sizeof(Pixel));
    return out;
}

template <class Pixel> std::vector<Pixel> Flat(std::vector<Pixel> raw, std::vector<Pixel> flat, double& level)
{
    std::vector<Pixel> out(raw.size());
    tamrix::Flat(raw.data(), out.data(), flat.data(), &level, static_cast<int>(raw.size()), 1, sizeof(Pixel));
    return out;
}

template <class Pixel> class Calibration : public testing::Test {};
TYPED_TEST_SUITE(Calibration, tamrix::test::PixelTypes);

TYPED_TEST(Calibration, KnownAnswersAndEmptyFrames)
{
    using P = TypeParam;
    const P full = static_cast<P>(ref::kFull<P>), big = static_cast<P>(sizeof(P) == 2 ? 60000u : 3000000000u);
    EXPECT_EQ(Dark<P>({100, 500, full, full, 0, 7}, {120, 20, 3, full, 0, 7}), (std::vector<P>{0, 480, full, full, 0, 0}));
    double level = 0.0; // the flat's mean, written back
    EXPECT_EQ(Flat<P>({1000, 1000}, {1000, 3000}, level), (std::vector<P>{2000, 666}));
    EXPECT_EQ(level, 2000.0);
    level = -5.0; // asks for the mean too
    EXPECT_EQ(Flat<P>({10, 10, 10}, {1, 2, 6}, level), (std::vector<P>{30, 15, 5}));
    EXPECT_EQ(level, 3.0);
    level = 1999.5; // rounded half up, kept
    EXPECT_EQ(Flat<P>({1000}, {1000}, level), std::vector<P>{2000});
    EXPECT_EQ(level, 1999.5);
    level = 1999.4;
    EXPECT_EQ(Flat<P>({1000}, {1000}, level), std::vector<P>{1999});
    // Clamped at full scale (a 32-bit one only with a 64-bit product); zero
    // flat pixels and saturated ones pass the raw pixel.
    level = 2000.0;
    EXPECT_EQ(Flat<P>({big, 1234, full, full, 0}, {1000, 0, 1, 0, 5}, level), (std::vector<P>{full, 1234, full, full, 0}));
    level = 0.0;
    EXPECT_EQ(Flat<P>({5, 77, 0}, {0, 0, 0}, level), (std::vector<P>{5, 77, 0}));
    EXPECT_EQ(level, 0.0);
    // Frames without rows write nothing and keep the level.
    std::vector<P> raw(4, 9), flat(4, 3), out(4, 1);
    for (int height : {0, -2}) {
        double level = 0.0;
        tamrix::Flat(raw.data(), out.data(), flat.data(), &level, 2, height, sizeof(P));
        tamrix::DiffDark(raw.data(), out.data(), flat.data(), 2, height, sizeof(P));
        EXPECT_EQ(out, std::vector<P>(4, 1));
        EXPECT_EQ(level, 0.0);
    }
}

// Quotients just below, on and just above integers, with products up to
// 2^64, far past what a double holds: an estimated division must still
// truncate exactly.
TEST(FlatDivision, ThirtyTwoBitQuotientsNextToIntegersTruncateExactly)
{
    const uint64_t m = 4294967291ull;
    std::vector<uint32_t> raw, flat;
    for (uint64_t f : {m - 1, m, m + 1, m + 4})
        for (uint32_t r : {1u, 2u, 3u, 1000u, 123456789u, 0x7FFFFFFFu, 0x80000001u, 4294967290u, 4294967294u})
            raw.push_back(r), flat.push_back(static_cast<uint32_t>(f));
    double level = static_cast<double>(m);
    const auto out = Flat(raw, flat, level);
    EXPECT_EQ(out, ref::Flat(raw, flat, level));
    EXPECT_EQ(out[4], 123456789u);      // f = m - 1: just above an integer
    EXPECT_EQ(out[9 + 4], 123456789u);  // f = m: exact
    EXPECT_EQ(out[18 + 4], 123456788u); // f = m + 1: just below an integer
}

// The mean is the serial double sum in pixel order: for large 32-bit values
// the running sum passes 2^53 and rounds, and the level must be the very
// double the serial sum gives.
TEST(FlatDivision, MeanIsTheSerialDoubleSum)
{
    const int w = 2048, h = 1500;
    auto flat = RandomFrame<uint32_t>(w, h, 5, 0xF0000000u, 0xFFFFFFFFu);
    std::vector<uint32_t> out(flat.size());
    double level = 0.0;
    tamrix::Flat(out.data(), out.data(), flat.data(), &level, w, h, 4);
    EXPECT_EQ(level, ref::FlatLevel(flat, 0.0));
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
    const size_t bytes = size_t{side} * side * sizeof(uint16_t);
    const size_t piece = size_t{2} << 20, pieces = (bytes + piece - 1) / piece;
    const int fd = memfd_create("flat", 0);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(piece)), 0);
    auto* base =
        static_cast<char*>(mmap(nullptr, pieces * piece, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
    ASSERT_NE(base, MAP_FAILED);
    bool mapped = true;
    for (size_t k = 0; k < pieces && mapped; ++k)
        mapped = mmap(base + k * piece, piece, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0) != MAP_FAILED;
    close(fd);
    auto* pixels = reinterpret_cast<uint16_t*>(base);
    double level = 0.0;
    if (mapped) {
        std::fill_n(pixels, piece / sizeof(uint16_t), uint16_t{1234}); // every piece shows these pixels
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
