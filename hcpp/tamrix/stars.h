// Internal: the claim mask and the star measurer that the star detectors
// share.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamrix::detail {

// Window half-sizes the measurer accepts; the largest window is 51 x 51.
constexpr int kMinStarHalfSize = 2;
constexpr int kMaxStarHalfSize = 25;
constexpr int kMaxStarWindow = (2 * kMaxStarHalfSize + 1) * (2 * kMaxStarHalfSize + 1);

// Claim mask: one bit per frame pixel, bit (i mod 32) of word (i / 32) for the
// pixel index i = y * width + x. A set bit is a pixel of a reported star or
// one the caller excluded.
inline bool IsClaimed(const unsigned* mask, std::ptrdiff_t i)
{
    return ((mask[i >> 5] >> (i & 31)) & 1u) != 0;
}

inline void Claim(unsigned* mask, std::ptrdiff_t i)
{
    mask[i >> 5] |= 1u << (i & 31);
}

// Words of 32 bits a caller allocates for a width x height mask.
inline std::size_t ClaimMaskWords(int width, int height)
{
    return (static_cast<std::size_t>(width) * static_cast<std::size_t>(height) + 31) / 32;
}

// A measured star. The component's bounding box is given in window
// coordinates (0 .. 2r), so that a caller need not scan the whole map.
struct MeasuredStar {
    double cx, cy; // centroid in frame pixel coordinates
    double flux;   // sum of (value - background mean) over the star's pixels
    uint32_t peak; // largest raw value among them
    int left, top, right, bottom;
};

// Measures the window of half-size r centred on (x, y): clipped background
// statistics, threshold k clipped standard deviations above the clipped mean,
// star pixels (above the threshold with at least q bright neighbours, q = 0
// counting as 1), the 4-connected star holding the first star pixel in raster
// order, and its background-subtracted centroid, flux and peak. Fails when the
// window plus a one-pixel margin leaves the frame, r is outside 2 .. 25, q is
// outside 0 .. 8, there is no star pixel, or the star touches the window's
// border. On success component[0 .. (2r+1)^2) holds 1 for the star's pixels,
// 0 elsewhere, in window raster order; on failure its contents are undefined.
// Reads only the frame; nothing is allocated, so any thread may call it with
// its own component map of at least kMaxStarWindow bytes.
template <class Pixel>
bool MeasureStar(int x, int y, int r, double k, int q, const Pixel* frame, int width, int height,
                 uint8_t* component, MeasuredStar& star);

} // namespace tamrix::detail
