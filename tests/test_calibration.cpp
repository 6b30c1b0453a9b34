// Flat division where the soak does not reach: the level of frames beyond
// its sizes. Known answers, frames without rows and quotients next to
// integers are soak and test_internal_kernels.cpp cases.
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
