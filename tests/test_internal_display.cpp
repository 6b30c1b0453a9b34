// Display bitmaps at every instruction-set level this machine runs, against a
// literal rendition of the mapping and the zoom steps.
#include "isa_levels.h"
#include "tamrix.h"
#include "support.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

struct Settings {
    unsigned low, high, shift;
    std::vector<unsigned char> lut; // exactly as long as the mapping needs
};

uint8_t Map(uint32_t v, const Settings& s)
{
    if (v <= s.low)
        return 0;
    if (v >= s.high)
        return 255;
    return s.lut.at(static_cast<uint64_t>(v - s.low) >> (s.shift % 64));
}

template <class Pixel>
struct Channel {
    std::vector<Pixel> frame;
    Settings s;
};

// The bitmap of one channel (grey) or three (red, green, blue; stored blue,
// green, red), with the row padding left 0.
template <class Pixel>
std::vector<uint8_t> Reference(int zoom, int width, int height, const std::vector<Channel<Pixel>>& channels)
{
    const int n = zoom > 0 ? zoom + 1 : 1, f = zoom < 0 ? 1 - zoom : 1;
    const int outWidth = zoom >= 0 ? n * width : width / f, outHeight = zoom >= 0 ? n * height : height / f;
    const int bpp = static_cast<int>(channels.size()), stride = (outWidth * bpp + 3) / 4 * 4;
    std::vector<uint8_t> out(static_cast<size_t>(stride) * outHeight);
    for (int y = 0; y < outHeight; ++y)
        for (int x = 0; x < outWidth; ++x)
            for (int c = 0; c < bpp; ++c) {
                const Channel<Pixel>& ch = channels[bpp - 1 - c];
                uint64_t sum = 0;
                for (int j = 0; j < f; ++j)
                    for (int i = 0; i < f; ++i)
                        sum += Map(ch.frame[static_cast<size_t>((y / n) * f + j) * width + (x / n) * f + i], ch.s);
                out[static_cast<size_t>(y) * stride + x * bpp + c] = static_cast<uint8_t>(sum / (uint64_t(f) * f));
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
    s.high = kind == 0 ? s.low - std::min(s.low, 7u) : kind == 1 ? s.low + 1 : kind == 4 ? 70000 : s.low + 2 + rng() % 5000;
    s.shift = kind == 2 ? 64 + rng() % 3 : kind == 3 ? 33 : kind == 4 ? 9 : rng() % 6;
    if (s.high > s.low + 1)
        s.lut.resize((uint64_t{s.high - 1 - s.low} >> (s.shift % 64)) + 1);
    for (auto& e : s.lut)
        e = static_cast<unsigned char>(rng());
    return s;
}

template <class Pixel>
std::vector<Pixel> RandomFrame(std::mt19937& rng, int width, int height)
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
    template <class Pixel>
    void CheckAgainstReference();
};

// Widths around the vector lengths and the kernels' steps (2048 frame pixels, 8192 when reducing).
template <class Pixel>
void AtLevel::CheckAgainstReference()
{
    std::mt19937 rng(sizeof(Pixel) * 100 + static_cast<int>(GetParam()));
    for (int width : {1, 3, 31, 33, 64, 65, 100, 130, 8200})
        for (int zoom : {-4, -3, -1, 0, 1, 2}) {
            const int height = width > 1000 ? 5 : 7;
            std::vector<Channel<Pixel>> rgb(3);
            for (auto& ch : rgb)
                ch = {RandomFrame<Pixel>(rng, width, height), RandomSettings(rng)};
            const auto expectedMono = Reference(zoom, width, height, std::vector<Channel<Pixel>>{rgb[0]});
            const auto expectedColour = Reference(zoom, width, height, rgb);
            std::vector<uint8_t> mono(expectedMono.size()), colour(expectedColour.size());
            Settings &r = rgb[0].s, &g = rgb[1].s, &b = rgb[2].s;
            tamrix::CreateMonoDIB(zoom, mono.data(), width, height, sizeof(Pixel), rgb[0].frame.data(), r.low, r.high,
                                  r.shift, r.lut.data());
            tamrix::CreateColorDIB(zoom, colour.data(), width, height, sizeof(Pixel), rgb[0].frame.data(), r.low,
                                   r.high, r.shift, r.lut.data(), rgb[1].frame.data(), g.low, g.high, g.shift,
                                   g.lut.data(), rgb[2].frame.data(), b.low, b.high, b.shift, b.lut.data());
            ASSERT_EQ(mono, expectedMono) << "width " << width << ", zoom " << zoom;
            ASSERT_EQ(colour, expectedColour) << "width " << width << ", zoom " << zoom;
        }
}

TEST_P(AtLevel, SixteenBitFramesMatchTheReference) { CheckAgainstReference<uint16_t>(); }
TEST_P(AtLevel, ThirtyTwoBitFramesMatchTheReference) { CheckAgainstReference<uint32_t>(); }

TAMRIX_AT_EVERY_LEVEL(AtLevel);

} // namespace
