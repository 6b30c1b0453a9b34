// Resampling, sub-pixel shift and affine transform against literal
// references; destinations start with random contents, so that a pixel left
// alone or written where it should not be shows.
#include "soak.h"

#include "tamrix.h"

#include <omp.h>

#include <algorithm>
#include <cmath>

namespace soak {
namespace {

template <class Pixel>
std::vector<Pixel> Noise(Rng& rng, size_t n)
{
    std::vector<Pixel> v(n);
    for (auto& p : v)
        p = static_cast<Pixel>(Uniform64(rng, 0, std::numeric_limits<Pixel>::max()));
    return v;
}

template <class Pixel>
void ResampleCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int w = Size(rng, 120), h = Size(rng, 120);
    const int fx = Size(rng, 7), fy = Size(rng, 7);
    // 32-bit frames are exact while |b - a| * (f - 1) < 2^31.
    const int f = std::max(fx, fy);
    std::string shape;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(w) * h, shape);
    uint64_t base = 0, range = std::numeric_limits<Pixel>::max();
    if (depth == 4 && f > 1) {
        range = (uint64_t{1} << 31) / static_cast<uint64_t>(f - 1) - 1;
        base = Uniform64(rng, 0, 0xFFFFFFFFull - range);
        for (auto& p : src)
            p = static_cast<Pixel>(base + p % (range + 1));
    }
    const int dw = fx * w, dh = fy * h;
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(dw) * dh);
    auto ref = lib;
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    tamrix::Resample(fx, fy, src.data(), lib.data(), w, h, depth);

    auto step = [](int64_t a, int64_t b, int k, int f) { return a + (k * (b - a)) / f; }; // truncating
    for (int r = 0; r < h; ++r) {
        Pixel* row = &ref[static_cast<size_t>(fy) * r * dw];
        const Pixel* s = &src[static_cast<size_t>(r) * w];
        for (int i = 0; i + 1 < w; ++i)
            for (int k = 0; k < fx; ++k)
                row[fx * i + k] = static_cast<Pixel>(step(s[i], s[i + 1], k, fx));
        for (int k = 0; k < fx; ++k)
            row[fx * (w - 1) + k] = s[w - 1];
    }
    for (int r = 0; r + 1 < h; ++r)
        for (int k = 1; k < fy; ++k)
            for (int c = 0; c < dw; ++c)
                ref[static_cast<size_t>(fy * r + k) * dw + c] = static_cast<Pixel>(
                    step(ref[static_cast<size_t>(fy * r) * dw + c], ref[static_cast<size_t>(fy * (r + 1)) * dw + c],
                         k, fy));
    for (int k = 1; k < fy; ++k)
        for (int c = 0; c < dw; ++c)
            ref[static_cast<size_t>(fy * (h - 1) + k) * dw + c] = ref[static_cast<size_t>(fy * (h - 1)) * dw + c];
    std::ostringstream p;
    p << "depth " << depth << ", " << w << " x " << h << ", factors " << fx << " x " << fy << ", " << threads
      << " threads, source " << shape << (depth == 4 && f > 1 ? ", squeezed to a range of " : "")
      << (depth == 4 && f > 1 ? std::to_string(range) + " from " + std::to_string(base) : "");
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), {}};
}

template <class Pixel>
void ShiftCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int sw = Size(rng, 150), sh = Size(rng, 150);
    const int dw = Chance(rng, 0.5) ? sw : Size(rng, 150), dh = Chance(rng, 0.5) ? sh : Size(rng, 150);
    const int dx = Chance(rng, 0.3) ? 0 : Uniform(rng, -sw - 2, sw + 2);
    const int dy = Chance(rng, 0.3) ? 0 : Uniform(rng, -sh - 2, sh + 2);
    unsigned wt[4], divisor;
    if (Chance(rng, 0.8)) { // weights adding up to the divisor
        divisor = static_cast<unsigned>(Chance(rng, 0.5) ? 1u << Uniform(rng, 0, 16) : Uniform64(rng, 1, 65536));
        const unsigned a = static_cast<unsigned>(Uniform64(rng, 0, divisor));
        const unsigned b = static_cast<unsigned>(Uniform64(rng, 0, divisor - a));
        const unsigned c = static_cast<unsigned>(Uniform64(rng, 0, divisor - a - b));
        wt[0] = a, wt[1] = b, wt[2] = c, wt[3] = divisor - a - b - c;
        std::shuffle(wt, wt + 4, rng);
    } else { // anything: the sum wraps modulo 2^32, 16-bit results keep their low bits
        for (auto& x : wt)
            x = static_cast<unsigned>(Uniform64(rng, 0, 0xFFFFFFFFull >> Uniform(rng, 0, 31)));
        divisor = static_cast<unsigned>(Uniform64(rng, 1, 0xFFFFFFFFull >> Uniform(rng, 0, 31)));
    }
    std::string shape;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(sw) * sh, shape);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(dw) * dh);
    auto ref = lib;
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    tamrix::SubPixelShift(dx, dy, wt[0], wt[1], wt[2], wt[3], divisor, src.data(), sw, sh, depth, lib.data(), dw,
                          dh);
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x) {
            const int sx = x + dx, sy = y + dy;
            if (sx < 0 || sx >= sw - 1 || sy < 0 || sy >= sh - 1)
                continue;
            auto at = [&](int i, int j) { return static_cast<uint32_t>(src[static_cast<size_t>(j) * sw + i]); };
            const uint32_t sum = at(sx, sy) * wt[0] + at(sx + 1, sy) * wt[1] + at(sx, sy + 1) * wt[2] +
                                 at(sx + 1, sy + 1) * wt[3];
            ref[static_cast<size_t>(y) * dw + x] = static_cast<Pixel>(sum / divisor);
        }
    std::ostringstream p;
    p << "depth " << depth << ", source " << sw << " x " << sh << ", destination " << dw << " x " << dh << ", dx "
      << dx << ", dy " << dy << ", weights " << wt[0] << " " << wt[1] << " " << wt[2] << " " << wt[3] << " / "
      << divisor << ", " << threads << " threads, source " << shape;
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), {}};
}

template <class Pixel>
void TransformCase(Rng& rng, Outcome& out)
{
    const int depth = sizeof(Pixel);
    const int sw = Size(rng, 150), sh = Size(rng, 150);
    const int dw = Chance(rng, 0.5) ? sw : Size(rng, 150), dh = Chance(rng, 0.5) ? sh : Size(rng, 150);
    double c[6];
    switch (Uniform(rng, 0, 3)) {
    case 0: { // a shift by whole, half and 1/64 pixels, and near the 1/64 boundaries
        const double steps[] = {0.0, 0.5, 1.0 / 64, 63.0 / 64, 2.999, -0.5, 1.0 - 1e-12};
        c[0] = 1, c[1] = 0, c[2] = steps[Uniform(rng, 0, 6)] + Uniform(rng, -3, 3);
        c[3] = 0, c[4] = 1, c[5] = steps[Uniform(rng, 0, 6)] + Uniform(rng, -3, 3);
        break;
    }
    case 1: { // rotation by quarter turns
        const int n = std::min(sw, sh);
        const double q[4][6] = {{1, 0, 0, 0, 1, 0},
                                {0, 1, 0, -1, 0, double(n - 1)},
                                {-1, 0, double(n - 1), 0, -1, double(n - 1)},
                                {0, -1, double(n - 1), 1, 0, 0}};
        const int turn = Uniform(rng, 0, 3);
        std::copy(q[turn], q[turn] + 6, c);
        break;
    }
    default: { // rotation, scale, shear and translation
        const double a = UniformReal(rng, -3.141592653589793, 3.141592653589793), s = UniformReal(rng, 0.3, 3.0);
        const double shear = Chance(rng, 0.5) ? UniformReal(rng, -0.5, 0.5) : 0.0;
        c[0] = s * std::cos(a), c[1] = -s * std::sin(a) + shear, c[2] = UniformReal(rng, -sw, sw);
        c[3] = s * std::sin(a), c[4] = s * std::cos(a), c[5] = UniformReal(rng, -sh, sh);
        break;
    }
    }
    std::string shape;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(sw) * sh, shape);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(dw) * dh);
    auto ref = lib;
    const int threads = ThreadsFor(rng);
    omp_set_num_threads(threads);
    tamrix::Transform(c[0], c[1], c[2], c[3], c[4], c[5], src.data(), sw, sh, depth, lib.data(), dw, dh);
    for (int y = 0; y < dh; ++y)
        for (int x = 0; x < dw; ++x) {
            const double sx = (c[0] * x + c[1] * y) + c[2];
            const double sy = (c[3] * x + c[4] * y) + c[5];
            if (!(0 <= sx && 0 <= sy && sx < sw - 1 && sy < sh - 1)) // ix < sw - 1 for ix = trunc(sx)
                continue;
            const int ix = static_cast<int>(sx), iy = static_cast<int>(sy);
            const uint64_t fx = static_cast<uint64_t>((sx - ix) * 64), fy = static_cast<uint64_t>((sy - iy) * 64);
            auto at = [&](int i, int j) { return static_cast<uint64_t>(src[static_cast<size_t>(j) * sw + i]); };
            // 64-bit: exact for every pixel value (16-bit sums fit 32 bits anyway).
            const uint64_t sum = (64 - fx) * (64 - fy) * at(ix, iy) + fx * (64 - fy) * at(ix + 1, iy) +
                                 (64 - fx) * fy * at(ix, iy + 1) + fx * fy * at(ix + 1, iy + 1);
            ref[static_cast<size_t>(y) * dw + x] = static_cast<Pixel>(sum >> 12);
        }
    std::ostringstream p;
    p.precision(17);
    p << "depth " << depth << ", source " << sw << " x " << sh << ", destination " << dw << " x " << dh
      << ", coefficients " << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " " << c[4] << " " << c[5] << ", "
      << threads << " threads, source " << shape;
    out = {p.str(), Bytes(lib), Bytes(ref), sizeof(Pixel), {}};
}

void Resample(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? ResampleCase<uint16_t>(rng, out) : ResampleCase<uint32_t>(rng, out);
}
void SubPixelShift(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? ShiftCase<uint16_t>(rng, out) : ShiftCase<uint32_t>(rng, out);
}
void Transform(Rng& rng, Outcome& out)
{
    Chance(rng, 0.5) ? TransformCase<uint16_t>(rng, out) : TransformCase<uint32_t>(rng, out);
}

const Register resample("Resample", Resample), shift("SubPixelShift", SubPixelShift),
    transform("Transform", Transform);

} // namespace
} // namespace soak
