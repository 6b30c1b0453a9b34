// Binning: block sums into 32-bit output pixels.
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <vector>

using tamrix::test::kSentinel32;

namespace {

template <class Pixel> std::vector<uint32_t> Binned(std::vector<Pixel> src, int bx, int by, int w, int h, int depth,
                                                    size_t outputs)
{
    std::vector<uint32_t> dst(outputs, kSentinel32);
    tamrix::Bin(bx, by, src.data(), dst.data(), w, h, depth);
    return dst;
}

TEST(Binning, KnownSums)
{
    // 5 x 5, pixel 10 y + x: the fifth row and column belong to no 2 x 2
    // block, and the output ends after the fourth sum.
    std::vector<uint16_t> grid(25);
    for (int i = 0; i < 25; ++i)
        grid[i] = static_cast<uint16_t>(10 * (i / 5) + i % 5);
    EXPECT_EQ(Binned(grid, 2, 2, 5, 5, 2, 5), (std::vector<uint32_t>{22, 30, 102, 110, kSentinel32}));
    EXPECT_EQ(Binned<uint16_t>({0, 65535, 40000}, 1, 1, 3, 1, 2, 3), (std::vector<uint32_t>{0, 65535, 40000}));
    EXPECT_EQ(Binned<uint32_t>({1, 2, 3, 4, 5, 6, 7, 10, 20, 30, 40, 50, 60, 70}, 3, 1, 7, 2, 4, 4),
              (std::vector<uint32_t>{6, 15, 60, 150}));
    // 65537 x 65535 = 2^32 - 1, the largest 16-bit block sum; 32-bit sums wrap.
    EXPECT_EQ(Binned(std::vector<uint16_t>(65537, 65535), 65537, 1, 65537, 1, 2, 1), std::vector<uint32_t>{4294967295u});
    EXPECT_EQ(Binned<uint32_t>({0xFFFFFFFFu, 2, 0x80000000u, 0x80000000u}, 2, 1, 4, 1, 4, 2),
              (std::vector<uint32_t>{1, 0}));
    EXPECT_EQ(Binned<uint32_t>({70000, 1}, 2, 1, 2, 1, 3, 1), std::vector<uint32_t>{70001}); // depth 3 reads 32 bits
}

} // namespace
