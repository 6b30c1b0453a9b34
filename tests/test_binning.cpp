// Binning: block sums into 32-bit output pixels.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

using tamrix::test::kSentinel32;

namespace {

template <class Pixel>
std::vector<uint32_t> Binned(std::vector<Pixel> src, int bx, int by, int w, int h, int depth, size_t outputs)
{
    std::vector<uint32_t> dst(outputs, kSentinel32);
    tamrix::Bin(bx, by, src.data(), dst.data(), w, h, depth);
    return dst;
}

// Block sums, partial blocks and wrapping 32-bit sums are soak cases; a
// block wider than the soak's frames, and a depth other than 2 or 4.
TEST(Binning, WideBlocksAndDepthThree)
{
    // 65537 x 65535 = 2^32 - 1, the largest 16-bit block sum.
    EXPECT_EQ(
        Binned(std::vector<uint16_t>(65537, 65535), 65537, 1, 65537, 1, 2, 1), std::vector<uint32_t> { 4294967295u });
    EXPECT_EQ(
        Binned<uint32_t>({ 70000, 1 }, 2, 1, 2, 1, 3, 1), std::vector<uint32_t> { 70001 }); // depth 3 reads 32 bits
}

} // namespace
