// Binning, dark subtraction and flat division, written out pixel by pixel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace tamrix::reference {

template <class Pixel> constexpr uint64_t kFull = std::numeric_limits<Pixel>::max();

// Block sums, column by column inside each block, wrapping at 32 bits;
// leftover columns and rows belong to no block.
template <class Pixel>
std::vector<uint32_t> Bin(const std::vector<Pixel>& src, int bx, int by, int width, int height)
{
    const int ow = width / bx, oh = height > 0 ? height / by : 0;
    std::vector<uint32_t> out(static_cast<size_t>(ow) * oh);
    for (int r = 0; r < oh; ++r)
        for (int c = 0; c < ow; ++c)
            for (int i = 0; i < bx; ++i)
                for (int j = 0; j < by; ++j)
                    out[static_cast<size_t>(r) * ow + c] += static_cast<uint32_t>(
                        src[static_cast<size_t>(r * by + j) * width + c * bx + i]);
    return out;
}

// raw - dark, 0 where the dark is larger, full scale where raw is saturated.
template <class Pixel> std::vector<Pixel> Dark(const std::vector<Pixel>& raw, const std::vector<Pixel>& dark)
{
    std::vector<Pixel> out(raw.size());
    for (size_t i = 0; i < raw.size(); ++i)
        out[i] = dark[i] > raw[i] ? 0 : raw[i] == kFull<Pixel> ? raw[i] : static_cast<Pixel>(raw[i] - dark[i]);
    return out;
}

// The level a flat division uses and writes back: one of 0 or below asks for
// the flat's mean, its serial double sum in pixel order over the count.
template <class Pixel> double FlatLevel(const std::vector<Pixel>& flat, double level)
{
    if (level > 0 || flat.empty())
        return level;
    double sum = 0.0;
    for (Pixel f : flat)
        sum += static_cast<double>(f);
    return sum / static_cast<double>(flat.size());
}

// raw * m / flat truncated, m the level rounded half up, with the product in
// 32 bits for 16-bit frames and 64 bits for 32-bit ones (both wrapping),
// clamped at full scale; saturated raw pixels and zero flat pixels pass.
template <class Pixel>
std::vector<Pixel> Flat(const std::vector<Pixel>& raw, const std::vector<Pixel>& flat, double level)
{
    const uint64_t m = static_cast<uint64_t>(FlatLevel(flat, level) + 0.5);
    std::vector<Pixel> out(raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == kFull<Pixel> || flat[i] == 0) {
            out[i] = raw[i];
            continue;
        }
        const uint64_t product = sizeof(Pixel) == 2 ? uint64_t{static_cast<uint32_t>(raw[i] * m)} : raw[i] * m;
        const uint64_t q = product / flat[i];
        out[i] = q > kFull<Pixel> ? static_cast<Pixel>(kFull<Pixel>) : static_cast<Pixel>(q);
    }
    return out;
}

} // namespace tamrix::reference
