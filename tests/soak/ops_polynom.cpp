// Polynomial fills against a literal evaluation, conversion and grid of
// marks. P(u, v) is read as written, left to right: c3 u^2 v = (c3 u^2) v,
// powers formed as units (u^3 = (u u) u), the ten terms summed in order.
#include "soak.h"

#include "tamrix.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

namespace soak {
namespace {

double P(const double* c, double u, double v)
{
    const double uu = u * u, vv = v * v;
    return c[0] * (uu * u) + c[1] * (vv * v) + c[2] * uu * v + c[3] * u * vv + c[4] * uu + c[5] * vv + c[6] * u * v +
           c[7] * u + c[8] * v + c[9];
}

template <class Pixel>
Pixel Convert(double z)
{
    const double full = static_cast<double>(std::numeric_limits<Pixel>::max());
    if (z < 0)
        return 0;
    if (z > full)
        return std::numeric_limits<Pixel>::max();
    if (!(z >= 0))
        return 0; // NaN
    return static_cast<Pixel>(static_cast<uint64_t>(z));
}

template <class Pixel>
struct Canvas {
    std::vector<Pixel>& f;
    int w, h;

    void Set(int x, int y) { f[static_cast<size_t>(y) * w + x] = 0; }
    bool Inside(int x, int y) const { return x >= 0 && x < w && y >= 0 && y < h; }

    void Line(int x1, int y1, int x2, int y2)
    {
        if (!Inside(x1, y1) || !Inside(x2, y2))
            return;
        if (x1 == x2) {
            for (int y = std::min(y1, y2); y <= std::max(y1, y2); ++y)
                Set(x1, y);
            return;
        }
        if (y1 == y2) {
            for (int x = std::min(x1, x2); x <= std::max(x1, x2); ++x)
                Set(x, y1);
            return;
        }
        const int dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
        if (dx > dy) {
            if (x1 > x2)
                std::swap(x1, x2), std::swap(y1, y2);
            const int inc = dy * 65536 / dx;
            int frac = dy * 65536 % dx / 2;
            const int ystep = y1 <= y2 ? 1 : -1;
            for (int x = x1, y = y1; x <= x2; ++x) {
                frac += inc;
                Set(x, y);
                if (frac >= 65536)
                    frac &= 0xFFFF, y += ystep;
            }
        } else {
            if (y1 > y2)
                std::swap(x1, x2), std::swap(y1, y2);
            const int inc = dx * 65536 / dy;
            int frac = dx * 65536 % dy / 2;
            const int xstep = x1 <= x2 ? 1 : -1;
            for (int y = y1, x = x1; y <= y2; ++y) {
                frac += inc;
                Set(x, y);
                if (frac >= 65536)
                    frac &= 0xFFFF, x += xstep;
            }
        }
    }
};

// Coefficients of a size that keeps the values in and around the pixel
// range, now and then zero, tiny or far out.
void Coefficients(Rng& rng, double* c, double magnitude)
{
    for (int i = 0; i < 10; ++i) {
        const int kind = Uniform(rng, 0, 9);
        c[i] = kind == 0 ? 0.0 : kind == 1 ? UniformReal(rng, -1e-9, 1e-9) : UniformReal(rng, -magnitude, magnitude);
    }
}

template <class Pixel>
void FillCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 200), h = Size(rng, 200);
    double c[10];
    Coefficients(rng, c, Chance(rng, 0.5) ? 2.0 : 100.0);
    const double scale = Chance(rng, 0.1) ? 0.0 : UniformReal(rng, -1.0, 1.0) * std::pow(10.0, Uniform(rng, 0, 10));
    const int offset = Chance(rng, 0.5) ? Uniform(rng, -70000, 70000) : Uniform(rng, std::numeric_limits<int>::min(),
                                                                                 std::numeric_limits<int>::max());
    std::vector<Pixel> lib(static_cast<size_t>(w) * h), ref(lib.size());
    for (auto& p : lib)
        p = static_cast<Pixel>(Uniform64(rng, 0, std::numeric_limits<Pixel>::max()));
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    tamrix::FillFrameWithPolynom(lib.data(), w, h, depth, scale, offset, c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                                 c[7], c[8], c[9]);
    const int cx = w / 2, cy = h / 2;
    const double s = static_cast<double>(std::max(w, h));
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = static_cast<double>(x - cx) / s, v = static_cast<double>(y - cy) / s;
            ref[static_cast<size_t>(y) * w + x] = Convert<Pixel>(P(c, u, v) * scale + static_cast<double>(offset));
        }
    std::ostringstream p;
    p.precision(17);
    p << "depth " << depth << ", " << w << " x " << h << ", scale " << scale << ", offset " << offset << ", c";
    for (double x : c)
        p << " " << x;
    p << ", " << threads << " threads";
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), {}};
}

template <class Pixel>
void FieldCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int w = Chance(rng, 0.2) ? Size(rng, 30) : Uniform(rng, 24, 260);
    const int h = Chance(rng, 0.2) ? Size(rng, 30) : Uniform(rng, 24, 260);
    double c[10], d[10];
    // Vectors of a few pixels, with an occasional long one.
    const double magnitude = Chance(rng, 0.8) ? 0.05 : 2.0;
    Coefficients(rng, c, magnitude);
    Coefficients(rng, d, magnitude);
    std::vector<Pixel> lib(static_cast<size_t>(w) * h), ref(lib.size());
    for (auto& p : lib)
        p = static_cast<Pixel>(Uniform64(rng, 0, std::numeric_limits<Pixel>::max()));
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    tamrix::FillFrameWithPolynoms(lib.data(), w, h, depth, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8],
                                  c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    const int cx = w / 2, cy = h / 2;
    const double s = static_cast<double>(std::max(w, h));
    uint32_t R = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double u = static_cast<double>(x - cx) / s, v = static_cast<double>(y - cy) / s;
            const double dx = P(c, u, v) * s, dy = P(d, u, v) * s;
            const double m = std::sqrt(dx * dx + dy * dy);
            ref[static_cast<size_t>(y) * w + x] = Convert<Pixel>(m * 100 + 32767);
            const uint32_t r = static_cast<uint32_t>(m + 0.5);
            R = std::max(R, r);
        }
    const uint32_t M = std::max<uint32_t>(R, 12);
    const uint32_t n = static_cast<uint32_t>(w) / (2 * M);
    Canvas<Pixel> canvas{ref, w, h};
    if (n > 0) {
        const double step = 1.0 / n, first = step * 0.5 - 0.5;
        for (double u = first; u < 0.5; u += step)
            for (double v = first; v < 0.5; v += step) {
                const int gx = static_cast<int>(u * s + 0.5) + cx, gy = static_cast<int>(v * s + 0.5) + cy;
                const int ex = static_cast<int>((P(c, u, v) + u) * s + 0.5) + cx;
                const int ey = static_cast<int>((P(d, u, v) + v) * s + 0.5) + cy;
                canvas.Line(gx - 4, gy, gx + 4, gy);
                canvas.Line(gx, gy - 4, gx, gy + 4);
                canvas.Line(ex - 3, ey - 3, ex + 3, ey + 3);
                canvas.Line(ex + 3, ey - 3, ex - 3, ey + 3);
                canvas.Line(gx, gy, ex, ey);
            }
    }
    std::ostringstream p;
    p.precision(17);
    p << "depth " << depth << ", " << w << " x " << h << ", R " << R << ", grid " << n << " x " << n << ", c";
    for (double x : c)
        p << " " << x;
    p << ", d";
    for (double x : d)
        p << " " << x;
    p << ", " << threads << " threads";
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), {}};
}

void Fill(Rng& rng, Outcome& out) { Chance(rng, 0.5) ? FillCase<uint16_t>(rng, out) : FillCase<uint32_t>(rng, out); }
void Field(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? FieldCase<uint16_t>(rng, out) : FieldCase<uint32_t>(rng, out);
}

const Register fill("FillFrameWithPolynom", Fill), field("FillFrameWithPolynoms", Field);

} // namespace
} // namespace soak
