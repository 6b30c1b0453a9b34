// Polynomial fills, written out pixel by pixel. P(u, v) is read as written,
// left to right (c2 u^2 v = (c2 u^2) v), the powers formed as units
// (u^3 = (u u) u) and the ten terms summed in order: x^3, y^3, x^2 y, x y^2,
// x^2, y^2, x y, x, y, 1.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <vector>

namespace tamrix::reference {

inline double P(const double* c, double u, double v)
{
    const double uu = u * u, vv = v * v;
    return c[0] * (uu * u) + c[1] * (vv * v) + c[2] * uu * v + c[3] * u * vv + c[4] * uu + c[5] * vv + c[6] * u * v +
           c[7] * u + c[8] * v + c[9];
}

// Truncated, clamped to the pixel range; NaN gives 0.
template <class Pixel> Pixel Convert(double z)
{
    if (!(z >= 0))
        return 0;
    if (z > static_cast<double>(std::numeric_limits<Pixel>::max()))
        return std::numeric_limits<Pixel>::max();
    return static_cast<Pixel>(static_cast<uint64_t>(z));
}

// Pixel (x, y) at u = (x - w / 2) / s, v = (y - h / 2) / s, s the longer side,
// into f.
template <class Pixel> void Fill(int w, int h, double scale, int offset, const double* c, std::vector<Pixel>& f)
{
    const double s = std::max(w, h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            f[static_cast<size_t>(y) * w + x]
                = Convert<Pixel>(P(c, (x - w / 2) / s, (y - h / 2) / s) * scale + static_cast<double>(offset));
}

// A line of 0 from (x1, y1) to (x2, y2), drawn only when both ends lie
// inside: along the longer axis, the other coordinate advancing in 16.16
// fixed point, the start half a step in.
template <class Pixel> void Line(std::vector<Pixel>& f, int w, int h, int x1, int y1, int x2, int y2)
{
    auto inside = [&](int x, int y) { return x >= 0 && x < w && y >= 0 && y < h; };
    if (!inside(x1, y1) || !inside(x2, y2))
        return;
    const bool steep = std::abs(y2 - y1) > std::abs(x2 - x1);
    if (steep)
        std::swap(x1, y1), std::swap(x2, y2);
    if (x1 > x2)
        std::swap(x1, x2), std::swap(y1, y2);
    const int dx = x2 - x1, dy = std::abs(y2 - y1), step = y1 <= y2 ? 1 : -1;
    const int inc = dx == 0 ? 0 : dy * 65536 / dx;
    int frac = dx == 0 ? 0 : dy * 65536 % dx / 2;
    for (int x = x1, y = y1; x <= x2; ++x) {
        frac += inc;
        f[steep ? static_cast<size_t>(x) * w + y : static_cast<size_t>(y) * w + x] = 0;
        if (frac >= 65536)
            frac &= 0xFFFF, y += step;
    }
}

// Grey 32767 + 100 per pixel of the vector (P_c, P_d) s long; on a grid of
// n x n points, n = w / (2 max(R, 12)) with R the longest vector rounded, a
// plus at each point, a cross at the vector's end and a line joining them;
// into f, nothing without pixels.
template <class Pixel> void Field(int w, int h, const double* c, const double* d, std::vector<Pixel>& f)
{
    if (w < 1 || h < 1)
        return;
    const int cx = w / 2, cy = h / 2;
    const double s = std::max(w, h);
    uint32_t longest = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = (x - cx) / s, v = (y - cy) / s;
            const double dx = P(c, u, v) * s, dy = P(d, u, v) * s, m = std::sqrt(dx * dx + dy * dy);
            f[static_cast<size_t>(y) * w + x] = Convert<Pixel>(m * 100 + 32767);
            longest = std::max(longest, static_cast<uint32_t>(m + 0.5));
        }
    const uint32_t n = static_cast<uint32_t>(w) / (2 * std::max<uint32_t>(longest, 12));
    const double step = n ? 1.0 / n : 0;
    for (double u = step * 0.5 - 0.5; n && u < 0.5; u += step)
        for (double v = step * 0.5 - 0.5; v < 0.5; v += step) {
            const int gx = static_cast<int>(u * s + 0.5) + cx, gy = static_cast<int>(v * s + 0.5) + cy;
            const int ex = static_cast<int>((P(c, u, v) + u) * s + 0.5) + cx;
            const int ey = static_cast<int>((P(d, u, v) + v) * s + 0.5) + cy;
            Line(f, w, h, gx - 4, gy, gx + 4, gy);
            Line(f, w, h, gx, gy - 4, gx, gy + 4);
            Line(f, w, h, ex - 3, ey - 3, ex + 3, ey + 3);
            Line(f, w, h, ex + 3, ey - 3, ex - 3, ey + 3);
            Line(f, w, h, gx, gy, ex, ey);
        }
}

} // namespace tamrix::reference
