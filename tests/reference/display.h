// Display bitmaps, written out pixel by pixel: the mapping of one channel,
// the zoom, and the bytes of every bitmap pixel (not the row padding).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamrix::reference {

struct Channel {
    unsigned low, high, shift;
    std::vector<uint8_t> lut;

    // 0 at or below low, 255 at or above high, else the table entry of
    // (v - low) >> (shift mod 64) in 64 bits.
    uint8_t Map(uint32_t v) const
    {
        if (v <= low)
            return 0;
        if (v >= high)
            return 255;
        return lut[static_cast<uint64_t>(v - low) >> (shift % 64)];
    }
};

// Zoom z > 0 repeats each pixel (z + 1) x (z + 1) times; z < 0 averages
// blocks of (1 - z) x (1 - z) mapped bytes, truncating, and drops the rest.
struct Zoom {
    int n = 1, f = 1; // repeats, block side
    int Width(int w) const { return n * w / f; }
    int Height(int h) const { return n * h / f; }
    explicit Zoom(int zoom) : n(zoom > 0 ? zoom + 1 : 1), f(zoom < 0 ? 1 - zoom : 1) {}
};

// The pixel bytes, row by row: one per pixel, or blue, green, red.
template <class Pixel>
std::vector<uint8_t> Bitmap(
    int zoom, int w, int h, const std::vector<std::vector<Pixel>>& frames, const std::vector<Channel>& channels)
{
    const Zoom z(zoom);
    std::vector<uint8_t> out;
    for (int y = 0; y < z.Height(h); ++y)
        for (int x = 0; x < z.Width(w); ++x)
            for (size_t b = frames.size(); b-- > 0;) { // the last frame first: blue, green, red
                const auto& frame = frames[b];
                uint32_t sum = 0;
                for (int j = 0; j < z.f; ++j)
                    for (int i = 0; i < z.f; ++i)
                        sum += channels[b].Map(frame[static_cast<size_t>(z.f * y / z.n + j) * w + z.f * x / z.n + i]);
                out.push_back(static_cast<uint8_t>(sum / static_cast<uint32_t>(z.f * z.f)));
            }
    return out;
}

} // namespace tamrix::reference
