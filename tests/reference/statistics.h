// Area statistics and the sub-frame vector, written out pixel by pixel.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

namespace tamrix::reference {

struct Statistics {
    unsigned min, max;
    double mean, sd;
};

// The rectangle loses its part left of or above the frame, a start past the
// far edge moves onto the last column or row, and it is cut at the far
// edges; nothing when no pixel remains. The mean is the double sum of each
// row pixel by pixel, the rows added in order, over the count; the
// deviation the population one, summed the same way.
template <class Pixel>
std::optional<Statistics> AreaStatistics(const std::vector<Pixel>& f, int w, int h, int x, int y, int rw, int rh)
{
    if (x < 0)
        rw += x, x = 0;
    if (y < 0)
        rh += y, y = 0;
    x = std::min(x, w - 1), y = std::min(y, h - 1);
    rw = std::min(rw, w - x), rh = std::min(rh, h - y);
    if (f.empty() || w < 1 || rw < 1 || rh < 1)
        return std::nullopt;
    Statistics s{0xFFFFFFFFu, 0, 0, 0};
    auto sum = [&](auto term) {
        double total = 0;
        for (int j = y; j < y + rh; ++j) {
            double row = 0;
            for (int i = x; i < x + rw; ++i)
                row += term(f[static_cast<size_t>(j) * w + i]);
            total += row;
        }
        return total / (static_cast<double>(rw) * rh);
    };
    s.mean = sum([&](Pixel v) {
        s.min = std::min<unsigned>(s.min, v), s.max = std::max<unsigned>(s.max, v);
        return static_cast<double>(v);
    });
    s.sd = std::sqrt(sum([&](Pixel v) { return (static_cast<double>(v) - s.mean) * (static_cast<double>(v) - s.mean); }));
    return s;
}

// The window of radius r around (x, y) in raster order, each pixel
// (v - min) * (2 / (max - min)) - 1 in single precision, product and
// difference rounded separately (NaN throughout for a flat window).
template <class Pixel> std::vector<float> SubFrame(const std::vector<Pixel>& f, int w, int x, int y, int r)
{
    uint32_t lo = 0xFFFFFFFFu, hi = 0;
    for (int j = y - r; j <= y + r; ++j)
        for (int i = x - r; i <= x + r; ++i)
            lo = std::min<uint32_t>(lo, f[static_cast<size_t>(j) * w + i]), hi = std::max<uint32_t>(hi, f[static_cast<size_t>(j) * w + i]);
    const float scale = 2.0f / static_cast<float>(hi - lo);
    std::vector<float> v;
    for (int j = y - r; j <= y + r; ++j)
        for (int i = x - r; i <= x + r; ++i) {
            const float scaled = static_cast<float>(f[static_cast<size_t>(j) * w + i] - lo) * scale;
            v.push_back(scaled - 1.0f);
        }
    return v;
}

} // namespace tamrix::reference
