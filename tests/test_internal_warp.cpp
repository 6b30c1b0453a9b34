// The shift and the affine transform at every instruction-set level that
// this machine runs, against a literal rendition of the per-pixel steps.
#include "isa_levels.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

using tamrix::test::RandomFrame;

namespace {

struct Map {
    double a, b, c, d, e, f;
};

// The steps as written: double positions, truncation, the inside test on
// the truncated position, sixty-fourths, the 4096 weights, a 64-bit sum.
template <class Pixel>
void LiteralTransform(const Map& m, const std::vector<Pixel>& src, int sw, int sh, std::vector<Pixel>& dst, int dw,
                      int dh)
{
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x) {
            const double xd = x, yd = y;
            const double sx = (m.a * xd + m.b * yd) + m.c;
            const double sy = (m.d * xd + m.e * yd) + m.f;
            if (!(sx >= 0 && sy >= 0))
                continue;
            const double ix = std::trunc(sx), iy = std::trunc(sy);
            if (!(ix < sw - 1 && iy < sh - 1))
                continue;
            const uint64_t fx = static_cast<uint64_t>((sx - ix) * 64), fy = static_cast<uint64_t>((sy - iy) * 64);
            auto p = [&](int dx, int dy) -> uint64_t {
                return src[(static_cast<size_t>(iy) + dy) * sw + static_cast<size_t>(ix) + dx];
            };
            const uint64_t sum = (64 - fx) * (64 - fy) * p(0, 0) + fx * (64 - fy) * p(1, 0) + (64 - fx) * fy * p(0, 1)
                + fx * fy * p(1, 1);
            dst[static_cast<size_t>(y) * dw + x] = static_cast<Pixel>(sum >> 12);
        }
}

template <class Pixel>
void LiteralShift(int dx, int dy, const uint32_t w[4], uint32_t divisor, const std::vector<Pixel>& src, int sw, int sh,
                  std::vector<Pixel>& dst, int dw, int dh)
{
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x) {
            const int sx = x + dx, sy = y + dy;
            if (sx < 0 || sx >= sw - 1 || sy < 0 || sy >= sh - 1)
                continue;
            auto p = [&](int ox, int oy) -> uint32_t { return src[static_cast<size_t>(sy + oy) * sw + sx + ox]; };
            const uint32_t sum = p(0, 0) * w[0] + p(1, 0) * w[1] + p(0, 1) * w[2] + p(1, 1) * w[3];
            dst[static_cast<size_t>(y) * dw + x] = static_cast<Pixel>(sum / divisor);
        }
}

std::vector<Map> Maps(int sw, int sh)
{
    std::vector<Map> maps = {
        {1, 0, 0, 0, 1, 0},                     // identity
        {1, 0, 5.0 / 64, 0, 1, 63.0 / 64},      // fractions exactly on sixty-fourths
        {1, 0, -1e-13, 0, 1, 1e-13},            // just left of the source, just below a row
        {0, 1, 0, 1, 0, 0},                     // transposition: columns of the source
        {-1, 0, sw - 1.0, 0, -1, sh - 1.0},     // half turn
        {0.5, 0.1, -3.3, -0.2, 2.0, -10.7},     // shear and scale, partly outside
        {1e-300, 0, 0.5, 0, 1, 0},              // tiny products
        {1, 0, NAN, 0, 1, 0},                   // no position at all
        {1e10, 0, 0, 0, 1e10, 0},               // positions beyond any int
    };
    // Small rotations, scaled: runs of sixteen pixels span up to five rows
    // and thirty columns of the source, the band the vector kernels load
    // without gathers.
    for (double deg : {10.0, -10.0, 4.0, 170.0})
        for (double scale : {1.0, 1.9}) {
            const double t = deg * 3.14159265358979 / 180, c = std::cos(t) * scale, n = std::sin(t) * scale;
            maps.push_back({c, n, 3.3 - n * sh / 2, -n, c, -2.7 + n * sw / 2});
        }
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> angle(-3.2, 3.2), scale(0.4, 2.5), shift(-20, 20);
    for (int i = 0; i < 12; ++i) {
        const double t = angle(rng), s = scale(rng), c = std::cos(t) * s, n = std::sin(t) * s;
        maps.push_back({c, n, sw / 2.0 + shift(rng), -n, c, sh / 2.0 + shift(rng)});
    }
    return maps;
}

class WarpVariants : public tamrix::test::AtEveryLevel {};

template <class Pixel>
void CheckTransform()
{
    constexpr int depth = sizeof(Pixel) == 2 ? 2 : 4;
    // Odd sizes: rows end in every phase of the 8- and 16-pixel kernels.
    const int sw = 61, sh = 47;
    auto src = RandomFrame<Pixel>(sw, sh, 3);
    for (auto [dw, dh] : {std::pair{53, 59}, {5, 9}, {16, 3}, {129, 2}}) {
        const auto background = RandomFrame<Pixel>(dw, dh, 4);
        int index = 0;
        for (const Map& m : Maps(sw, sh)) {
            auto expected = background;
            LiteralTransform(m, src, sw, sh, expected, dw, dh);
            auto dst = background;
            tamrix::Transform(m.a, m.b, m.c, m.d, m.e, m.f, src.data(), sw, sh, depth, dst.data(), dw, dh);
            EXPECT_EQ(dst, expected) << depth * 8 << "-bit, map " << index << ", " << dw << " x " << dh;
            ++index;
        }
    }
}

TEST_P(WarpVariants, TransformMatchesTheLiteralSteps)
{
    CheckTransform<uint16_t>();
    CheckTransform<uint32_t>();
}

template <class Pixel>
void CheckNoColumns()
{
    constexpr int depth = sizeof(Pixel) == 2 ? 2 : 4;
    auto src = RandomFrame<Pixel>(20, 20, 5);
    const std::vector<Pixel> untouched(64, static_cast<Pixel>(tamrix::test::kSentinel32));
    for (int width : {0, -1, -9}) {
        auto guard = untouched;
        // A mirror, so that negative columns would land inside the source.
        tamrix::Transform(-1, 0, 10, 0, 1, 0, src.data(), 20, 20, depth, guard.data() + 32, width, 3);
        tamrix::SubPixelShift(0, 0, 1, 0, 0, 0, 1, src.data(), 20, 20, depth, guard.data() + 32, width, 3);
        EXPECT_EQ(guard, untouched) << depth * 8 << "-bit, width " << width;
    }
}

TEST_P(WarpVariants, DestinationWithoutColumnsIsLeftAlone)
{
    CheckNoColumns<uint16_t>();
    CheckNoColumns<uint32_t>();
}

template <class Pixel>
void CheckShift()
{
    constexpr int depth = sizeof(Pixel) == 2 ? 2 : 4;
    const int sw = 45, sh = 13, dw = 41, dh = 17;
    auto src = RandomFrame<Pixel>(sw, sh, 7);
    const auto background = RandomFrame<Pixel>(dw, dh, 8);
    struct Case {
        int dx, dy;
        uint32_t w[4], divisor;
    };
    const Case cases[] = {
        {0, 0, {1, 0, 0, 0}, 1},
        {1, -2, {1229, 538, 1638, 691}, 4096},
        {-5, 3, {3, 1, 1, 3}, 8},
        {7, 0, {40000, 30000, 20000, 10000}, 65536},           // wraps on 32-bit frames
        {-2, -1, {0xFFFFFFFFu, 7, 0x80000000u, 1}, 1u << 31},  // wraps on both
        {2, 1, {100, 200, 300, 400}, 1000},                    // a divisor that is no power of two
        {-50, 0, {1, 0, 0, 0}, 1},                             // nothing inside
    };
    for (const Case& c : cases) {
        auto expected = background;
        LiteralShift(c.dx, c.dy, c.w, c.divisor, src, sw, sh, expected, dw, dh);
        auto dst = background;
        tamrix::SubPixelShift(c.dx, c.dy, c.w[0], c.w[1], c.w[2], c.w[3], c.divisor, src.data(), sw, sh, depth,
                              dst.data(), dw, dh);
        EXPECT_EQ(dst, expected) << depth * 8 << "-bit, shift " << c.dx << "," << c.dy << " / " << c.divisor;
    }
}

TEST_P(WarpVariants, ShiftMatchesTheLiteralSteps)
{
    CheckShift<uint16_t>();
    CheckShift<uint32_t>();
}

TAMRIX_AT_EVERY_LEVEL(WarpVariants);

} // namespace
