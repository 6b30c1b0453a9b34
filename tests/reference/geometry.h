// Resampling, sub-pixel shift and affine transform, written out pixel by
// pixel. The shift and the transform write only the pixels whose source
// square lies inside the source; the others keep what `dst` held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamrix::reference {

// a + (k (b - a)) / f with the difference and product in wrapping signed
// 32-bit arithmetic and a truncating division: the steps lean toward a.
template <class Pixel> Pixel ResampleStep(Pixel a, Pixel b, int k, int f)
{
    const auto product = static_cast<int32_t>((static_cast<uint32_t>(b) - static_cast<uint32_t>(a)) * uint32_t(k));
    return static_cast<Pixel>(static_cast<uint32_t>(a) + static_cast<uint32_t>(product / f));
}

// Rows widened first (the last pixel repeated), then the rows between them
// filled column by column (the last row repeated); nothing without pixels or
// a factor.
template <class Pixel>
void Resample(const std::vector<Pixel>& src, int fx, int fy, int width, int height, std::vector<Pixel>& dst)
{
    if (fx < 1 || fy < 1 || width < 1 || height < 1)
        return;
    const int ow = fx * width;
    auto at = [&](int x, int y) -> Pixel& { return dst[static_cast<size_t>(y) * ow + x]; };
    for (int r = 0; r < height; ++r) {
        const Pixel* p = &src[static_cast<size_t>(r) * width];
        for (int i = 0; i < width; ++i)
            for (int k = 0; k < fx; ++k)
                at(fx * i + k, fy * r) = i + 1 < width ? ResampleStep(p[i], p[i + 1], k, fx) : p[i];
    }
    for (int r = 0; r < height; ++r)
        for (int k = 1; k < fy; ++k)
            for (int c = 0; c < ow; ++c)
                at(c, fy * r + k)
                    = r + 1 < height ? ResampleStep(at(c, fy * r), at(c, fy * r + fy), k, fy) : at(c, fy * r);
}

// Destination (x, y) from the source square at (x + dx, y + dy): the four
// weighted pixels summed in wrapping 32-bit arithmetic over the divisor.
template <class Pixel>
void Shift(int dx, int dy, const uint32_t w[4], uint32_t divisor, const std::vector<Pixel>& src, int sw, int sh,
           std::vector<Pixel>& dst, int dw, int dh)
{
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x) {
            const int sx = x + dx, sy = y + dy;
            if (sx < 0 || sx >= sw - 1 || sy < 0 || sy >= sh - 1)
                continue;
            auto p = [&](int i, int j) { return static_cast<uint32_t>(src[static_cast<size_t>(sy + j) * sw + sx + i]); };
            const uint32_t sum = p(0, 0) * w[0] + p(1, 0) * w[1] + p(0, 1) * w[2] + p(1, 1) * w[3];
            dst[static_cast<size_t>(y) * dw + x] = static_cast<Pixel>(sum / divisor);
        }
}

// Destination (x, y) from the source position (c0 x + c1 y + c2, c3 x + c4 y
// + c5) in double precision: inside when 0 <= position < side - 1, its
// fractions truncated to sixty-fourths, the bilinear sum in 64 bits >> 12.
template <class Pixel>
void Transform(const double c[6], const std::vector<Pixel>& src, int sw, int sh, std::vector<Pixel>& dst, int dw, int dh)
{
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x) {
            const double sx = (c[0] * x + c[1] * y) + c[2], sy = (c[3] * x + c[4] * y) + c[5];
            if (!(0 <= sx && 0 <= sy && sx < sw - 1 && sy < sh - 1))
                continue;
            const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
            const uint64_t fx = static_cast<uint64_t>((sx - ix) * 64), fy = static_cast<uint64_t>((sy - iy) * 64);
            auto p = [&](int i, int j) { return static_cast<uint64_t>(src[static_cast<size_t>(iy + j) * sw + ix + i]); };
            const uint64_t sum =
                (64 - fx) * (64 - fy) * p(0, 0) + fx * (64 - fy) * p(1, 0) + (64 - fx) * fy * p(0, 1) + fx * fy * p(1, 1);
            dst[static_cast<size_t>(y) * dw + x] = static_cast<Pixel>(sum >> 12);
        }
}

} // namespace tamrix::reference
