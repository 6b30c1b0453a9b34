// Star detection as the callbacks report it, and the classic scan written
// out window by window. The window sums are exact integers turned into
// doubles once (for 16-bit frames bit for bit what a running double sum
// gives), a negative variance from rounding counts as 0, and a star whose
// centroid falls outside its window is not reported.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace tamrix::reference {

struct Star {
    int x, y;
    double cx, cy, flux;
    unsigned peak;
    bool operator==(const Star& o) const
    {
        return x == o.x && y == o.y && cx == o.cx && cy == o.cy && flux == o.flux && peak == o.peak;
    }
};

// The detectors' callback: appends to the std::vector<Star> at `context`.
inline void Collect(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    static_cast<std::vector<Star>*>(context)->push_back({x, y, cx, cy, flux, peak});
}

__extension__ typedef unsigned __int128 U128;

// FindStars1C: grid positions every second pixel r from the edges, skipping
// marked ones and those below `start`; per window the 3-sigma clipped
// statistics set the threshold k sigma + mean + 0.5 (16-bit frames at most
// full scale); star pixels lie above it with at least max(q, 1) of their
// eight neighbours; the 4-connected group of the first one in raster order,
// if it does not touch the window's border, is the star, measured against
// the mean of the window's other pixels, and marked unless any of its
// pixels already is.
template <class Pixel>
std::vector<Star> FindStars(int r, double k, int q, unsigned start, const std::vector<Pixel>& f, int w, int h,
                            std::vector<unsigned>& mask)
{
    std::vector<Star> stars;
    if (r < 2 || r > 25 || q < 0 || q > 8)
        return stars;
    const int n = 2 * r + 1;
    auto at = [&](int x, int y) { return f[static_cast<size_t>(y) * w + x]; };
    auto marked = [&](size_t i) { return (mask[i / 32] >> (i % 32)) & 1u; };
    for (int y = r + 2; y < h - r - 1; y += 2)
        for (int x = r + 2; x < w - r - 1; x += 2) {
            if (marked(static_cast<size_t>(y) * w + x) || at(x, y) < start)
                continue;
            uint64_t sum = 0;
            U128 squares = 0;
            for (int j = y - r; j <= y + r; ++j)
                for (int i = x - r; i <= x + r; ++i)
                    sum += at(i, j), squares += static_cast<U128>(at(i, j)) * at(i, j);
            const double mu1 = double(sum) / (n * n);
            const double s = 3.0 * std::sqrt(std::max(0.0, double(squares) / (n * n) - mu1 * mu1));
            const double hi = std::trunc(mu1 + s);
            const double lo = s >= mu1 ? 0.0 : std::trunc(mu1 - s);
            uint64_t cn = 0, csum = 0;
            U128 csq = 0;
            for (int j = y - r; j <= y + r; ++j)
                for (int i = x - r; i <= x + r; ++i)
                    if (lo <= at(i, j) && at(i, j) <= hi)
                        ++cn, csum += at(i, j), csq += static_cast<U128>(at(i, j)) * at(i, j);
            if (cn == 0)
                continue;
            const double mu2 = double(csum) / double(cn);
            const double t = k * std::sqrt(std::max(0.0, double(csq) / double(cn) - mu2 * mu2)) + mu2 + 0.5;
            const double full = static_cast<double>(std::numeric_limits<Pixel>::max());
            const int64_t T = !(t < full) ? static_cast<int64_t>(full) : static_cast<int64_t>(t);
            auto above = [&](int i, int j) { return static_cast<int64_t>(at(i, j)) > T; };
            std::vector<uint8_t> starMap(n * n), component(n * n);
            uint64_t bsum = 0, bcount = 0;
            int first = -1;
            for (int j = 0; j < n; ++j)
                for (int i = 0; i < n; ++i) {
                    const int px = x - r + i, py = y - r + j;
                    int bright = 0;
                    for (int dj = -1; dj <= 1; ++dj)
                        for (int di = -1; di <= 1; ++di)
                            bright += (di || dj) && above(px + di, py + dj);
                    if (above(px, py) && bright >= std::max(q, 1)) {
                        starMap[j * n + i] = 1;
                        first = first < 0 ? j * n + i : first;
                    } else {
                        bsum += at(px, py), ++bcount;
                    }
                }
            if (first < 0)
                continue;
            std::vector<int> stack{first};
            component[first] = 1;
            bool border = false;
            while (!stack.empty()) {
                const int p = stack.back();
                stack.pop_back();
                if (p % n == 0 || p / n == 0 || p % n == n - 1 || p / n == n - 1)
                    border = true;
                for (int q4 : {p - 1, p + 1, p - n, p + n})
                    if (!border && starMap[q4] && !component[q4])
                        component[q4] = 1, stack.push_back(q4);
            }
            if (border)
                continue;
            const double b = double(bsum) / double(bcount);
            double flux = 0, sx = 0, sy = 0;
            Pixel peak = 0;
            bool claimed = false;
            for (int i = 0; i < n * n; ++i)
                if (component[i]) {
                    const double d = at(x - r + i % n, y - r + i / n) - b;
                    flux += d, sx += d * (i % n - r), sy += d * (i / n - r);
                    peak = std::max(peak, at(x - r + i % n, y - r + i / n));
                    claimed |= marked(static_cast<size_t>(y - r + i / n) * w + (x - r + i % n));
                }
            if (flux == 0.0 || !(std::fabs(sx / flux) <= r && std::fabs(sy / flux) <= r) || claimed)
                continue;
            for (int i = 0; i < n * n; ++i)
                if (component[i]) {
                    const size_t j = static_cast<size_t>(y - r + i / n) * w + (x - r + i % n);
                    mask[j / 32] |= 1u << (j % 32);
                }
            const double cx = x + sx / flux, cy = y + sy / flux;
            stars.push_back({static_cast<int>(cx + 0.5), static_cast<int>(cy + 0.5), cx, cy, flux, peak});
        }
    return stars;
}

} // namespace tamrix::reference
