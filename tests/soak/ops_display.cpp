// Display bitmaps against the reference: the pixel bytes of each row, and
// the row padding and the byte after the last row left alone.
#include "soak.h"

#include "reference/display.h"
#include "tamrix.h"

namespace soak {
namespace {

namespace ref = tamrix::reference;

// A black and white point among the frame's values, or beyond them, or a
// threshold; a table exactly as long as the mapping needs, below 2^20 entries.
template <class Pixel> ref::Channel Settings(Rng& rng, const std::vector<Pixel>& frame, std::ostream& p)
{
    ref::Channel c;
    const uint32_t a = frame[Uniform64(rng, 0, frame.size() - 1)], b = frame[Uniform64(rng, 0, frame.size() - 1)];
    c.low = std::min(a, b), c.high = std::max(a, b);
    if (Chance(rng, 0.1))
        std::swap(c.low, c.high);
    c.low = Chance(rng, 0.1) ? 0 : c.low;
    c.high = Chance(rng, 0.1) ? 0xFFFFFFFFu : c.high;
    const uint64_t span = c.high > c.low + 1ull ? c.high - 1ull - c.low : 0;
    unsigned shift = 0;
    while ((span >> shift) >= (1u << 20))
        ++shift;
    // Taken modulo 64: from 32 on every difference shifts to 0.
    c.shift = (Chance(rng, 0.1) ? Uniform(rng, 32, 63) : shift + Uniform(rng, 0, 3)) + (Chance(rng, 0.05) ? 64 : 0);
    c.lut.resize(c.high > c.low + 1ull ? (span >> (c.shift % 64)) + 1 : 0);
    for (auto& e : c.lut)
        e = static_cast<uint8_t>(Uniform(rng, 0, 255));
    p << ", low " << c.low << " high " << c.high << " shift " << c.shift;
    return c;
}

// Mono (one frame) or colour (three) at a random zoom.
template <class Pixel> void BitmapCase(Rng& rng, Outcome& out, int channels)
{
    const int w = Size(rng, 150), h = Size(rng, 150), zoom = Chance(rng, 0.2) ? 0 : Uniform(rng, -5, 3);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", zoom " << zoom;
    std::vector<std::vector<Pixel>> frames;
    std::vector<ref::Channel> settings;
    for (int i = 0; i < channels; ++i) {
        frames.push_back(Frame<Pixel>(rng, static_cast<size_t>(w) * h, out.params, "frame"));
        settings.push_back(Settings(rng, frames.back(), out.params));
    }
    const ref::Zoom z(zoom);
    const int row = channels * z.Width(w), stride = (row + 3) / 4 * 4;
    std::vector<uint8_t> bitmap(static_cast<size_t>(stride) * z.Height(h) + 1, 0xA5);
    auto lut = [&](int i) { return settings[i].lut.empty() ? nullptr : settings[i].lut.data(); };
    Threads(rng, out.params);
    if (channels == 1)
        tamrix::CreateMonoDIB(zoom, bitmap.data(), w, h, sizeof(Pixel), frames[0].data(), settings[0].low,
                              settings[0].high, settings[0].shift, lut(0));
    else
        tamrix::CreateColorDIB(zoom, bitmap.data(), w, h, sizeof(Pixel), frames[0].data(), settings[0].low,
                               settings[0].high, settings[0].shift, lut(0), frames[1].data(), settings[1].low,
                               settings[1].high, settings[1].shift, lut(1), frames[2].data(), settings[2].low,
                               settings[2].high, settings[2].shift, lut(2));
    const auto pixels = ref::Bitmap(zoom, w, h, frames, settings);
    std::vector<uint8_t> expected(bitmap.size(), 0xA5);
    for (int y = 0; y < z.Height(h); ++y)
        std::copy_n(
            pixels.begin() + static_cast<size_t>(y) * row, row, expected.begin() + static_cast<size_t>(y) * stride);
    out.Compare(bitmap, expected);
}

template <class Pixel> void MonoCase(Rng& rng, Outcome& out) { BitmapCase<Pixel>(rng, out, 1); }
template <class Pixel> void ColorCase(Rng& rng, Outcome& out) { BitmapCase<Pixel>(rng, out, 3); }

SOAK_OPERATION("CreateMonoDIB", MonoCase);
SOAK_OPERATION("CreateColorDIB", ColorCase);

} // namespace
} // namespace soak
