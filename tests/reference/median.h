// The median filter and its background subtraction, written out pixel by
// pixel.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

namespace tamrix::reference {

// The window's pixels as bin numbers; the result is one above the bin of the
// (n / 2)-th smallest (n / 2 = 0 gives bin -1: 0, or low). 16-bit frames have
// a bin per value. 32-bit frames bin low .. high, halving the bins (dropping
// remainders) until at most 2^18 remain; values below low count in the
// first bin, values past the last bin in the last. A result past full scale
// is full scale. A radius outside 0 .. w - 1 is taken as the nearest.
template <class Pixel>
std::vector<Pixel> Median(const std::vector<Pixel>& src, int w, int h, int r, uint32_t low = 0,
                          uint32_t high = 0xFFFFFFFFu)
{
    r = std::clamp(r, 0, w - 1);
    constexpr bool wide = sizeof(Pixel) == 4;
    if (!wide)
        low = 0, high = 65535;
    uint64_t bins = uint64_t{high} - low + 1;
    int shift = 0;
    for (; bins > 262144; bins /= 2)
        ++shift;
    std::vector<Pixel> out(src.size());
    std::vector<uint64_t> window;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            window.clear();
            for (int j = std::max(0, y - r); j <= std::min(h - 1, y + r); ++j)
                for (int i = std::max(0, x - r); i <= std::min(w - 1, x + r); ++i) {
                    const uint64_t v = src[static_cast<size_t>(j) * w + i];
                    window.push_back(std::min((v < low ? 0 : v - low) >> shift, bins - 1));
                }
            const size_t half = window.size() / 2;
            uint64_t b = 0;
            if (half > 0) {
                std::nth_element(window.begin(), window.begin() + (half - 1), window.end());
                b = window[half - 1] + 1;
            }
            const uint64_t value = low + (b << shift);
            out[static_cast<size_t>(y) * w + x] =
                static_cast<Pixel>(std::min<uint64_t>(value, std::numeric_limits<Pixel>::max()));
        }
    return out;
}

// src + offset - filtered * k / 1000 (k taken in 1 .. 1000, offset from 0;
// the product in 64 bits), clamped to the pixel range, into `filtered`.
template <class Pixel> void Subtract(const std::vector<Pixel>& src, std::vector<Pixel>& filtered, int offset, int k)
{
    const int64_t kk = std::clamp(k, 1, 1000), o = std::max(0, offset);
    const int64_t full = std::numeric_limits<Pixel>::max();
    for (size_t i = 0; i < src.size(); ++i) {
        const int64_t m = kk == 1000 ? filtered[i] : static_cast<int64_t>(filtered[i]) * kk / 1000;
        filtered[i] = static_cast<Pixel>(std::clamp<int64_t>(static_cast<int64_t>(src[i]) + o - m, 0, full));
    }
}

} // namespace tamrix::reference
