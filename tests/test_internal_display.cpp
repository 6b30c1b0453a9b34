// Display bitmaps at every instruction-set level this machine runs, against
// the pixel-by-pixel reference of the mapping and the zoom steps.
#include "isa_levels.h"
#include "reference/display.h"
#include "support.h"
#include "tamrix.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Settings = tamrix::reference::Channel;

// The bitmap's pixel bytes; the row padding must have stayed 0.
std::vector<uint8_t> Unpadded(const std::vector<uint8_t>& bitmap, size_t rowBytes, size_t rows)
{
    const size_t stride = (rowBytes + 3) / 4 * 4;
    std::vector<uint8_t> out;
    for (size_t y = 0; y < rows; ++y) {
        out.insert(out.end(), bitmap.begin() + y * stride, bitmap.begin() + y * stride + rowBytes);
        for (size_t x = rowBytes; x < stride; ++x)
            EXPECT_EQ(bitmap[y * stride + x], 0) << "padding of row " << y;
    }
    return out;
}

// Random settings whose table spans from a few entries to a few thousand,
// with thresholds (high <= low + 1), shifts of 32 and more, and a white point
// above the 16-bit range among them.
Settings RandomSettings(std::mt19937& rng)
{
    Settings s;
    s.low = std::uniform_int_distribution<unsigned>(0, 3000)(rng);
    const int kind = std::uniform_int_distribution<int>(0, 9)(rng);
    s.high = kind == 0 ? s.low - std::min(s.low, 7u)
        : kind == 1    ? s.low + 1
        : kind == 4    ? 70000
                       : s.low + 2 + rng() % 5000;
    s.shift = kind == 2 ? 64 + rng() % 3 : kind == 3 ? 33 : kind == 4 ? 9 : rng() % 6;
    if (s.high > s.low + 1)
        s.lut.resize((uint64_t { s.high - 1 - s.low } >> (s.shift % 64)) + 1);
    for (auto& e : s.lut)
        e = static_cast<unsigned char>(rng());
    return s;
}

template <class Pixel> std::vector<Pixel> RandomFrame(std::mt19937& rng, int width, int height)
{
    std::vector<Pixel> frame(static_cast<size_t>(width) * height);
    for (auto& p : frame) {
        const unsigned r = rng() % 64;
        p = static_cast<Pixel>(r == 0 ? std::numeric_limits<Pixel>::max() : r == 1 ? 0 : rng() % 9000);
    }
    return frame;
}

class AtLevel : public tamrix::test::AtEveryLevel {
protected:
    template <class Pixel> void CheckAgainstReference();
};

// Widths around the vector lengths and the kernels' steps (2048 frame pixels, 8192 when reducing).
template <class Pixel> void AtLevel::CheckAgainstReference()
{
    std::mt19937 rng(sizeof(Pixel) * 100 + static_cast<int>(GetParam()));
    for (int width : { 1, 3, 31, 33, 64, 65, 100, 130, 8200 })
        for (int zoom : { -4, -3, -1, 0, 1, 2 }) {
            const int height = width > 1000 ? 5 : 7;
            std::vector<std::vector<Pixel>> frames(3);
            std::vector<Settings> settings(3);
            for (int c = 0; c < 3; ++c)
                frames[c] = RandomFrame<Pixel>(rng, width, height), settings[c] = RandomSettings(rng);
            const tamrix::reference::Zoom z(zoom);
            const size_t w = z.Width(width), h = z.Height(height);
            std::vector<uint8_t> mono((w + 3) / 4 * 4 * h), colour((3 * w + 3) / 4 * 4 * h);
            Settings &r = settings[0], &g = settings[1], &b = settings[2];
            tamrix::CreateMonoDIB(zoom, mono.data(), width, height, sizeof(Pixel), frames[0].data(), r.low, r.high,
                r.shift, r.lut.data());
            tamrix::CreateColorDIB(zoom, colour.data(), width, height, sizeof(Pixel), frames[0].data(), r.low, r.high,
                r.shift, r.lut.data(), frames[1].data(), g.low, g.high, g.shift, g.lut.data(), frames[2].data(), b.low,
                b.high, b.shift, b.lut.data());
            ASSERT_EQ(
                Unpadded(mono, w, h), tamrix::reference::Bitmap<Pixel>(zoom, width, height, { &frames[0] }, { r }))
                << "width " << width << ", zoom " << zoom;
            ASSERT_EQ(Unpadded(colour, 3 * w, h),
                tamrix::reference::Bitmap<Pixel>(zoom, width, height, { &frames[0], &frames[1], &frames[2] }, settings))
                << "width " << width << ", zoom " << zoom;
        }
}

TEST_P(AtLevel, SixteenBitFramesMatchTheReference)
{
    CheckAgainstReference<uint16_t>();
}
TEST_P(AtLevel, ThirtyTwoBitFramesMatchTheReference)
{
    CheckAgainstReference<uint32_t>();
}

TAMRIX_AT_EVERY_LEVEL(AtLevel);

} // namespace
