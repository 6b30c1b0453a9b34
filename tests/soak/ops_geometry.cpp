// Resampling, sub-pixel shift and affine transform against the references;
// destinations start with random contents, so that a pixel left alone or
// written where it should not be (past a resampled frame, or anywhere
// without pixels or factors) shows.
#include "soak.h"

#include "reference/geometry.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>

namespace soak {
namespace {

namespace ref = tamrix::reference;

template <class Pixel> void ResampleCase(Rng& rng, Outcome& out)
{
    const int w = Extent(rng, 120, 0.05), h = Extent(rng, 120, 0.05);
    const int fx = Extent(rng, 7, 0.05), fy = Extent(rng, 7, 0.05);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h << ", factors " << fx << " x " << fy;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(std::max(w, 0)) * std::max(h, 0), out.params);
    // 32-bit frames are exact while |b - a| (f - 1) < 2^31.
    const int f = std::max(fx, fy);
    if (sizeof(Pixel) == 4 && f > 1) {
        const uint64_t range = (uint64_t{1} << 31) / static_cast<uint64_t>(f - 1) - 1;
        const uint64_t base = Uniform64(rng, 0, 0xFFFFFFFFull - range);
        for (auto& p : src)
            p = static_cast<Pixel>(base + p % (range + 1));
        out.params << ", squeezed to " << base << " + " << range;
    }
    auto lib = Noise<Pixel>(rng, src.size() * std::max(fx, 0) * std::max(fy, 0) + 1), expected = lib;
    Threads(rng, out.params);
    tamrix::Resample(fx, fy, src.data(), lib.data(), w, h, sizeof(Pixel));
    ref::Resample(src, fx, fy, w, h, expected);
    out.Compare(lib, expected);
}

template <class Pixel> void ShiftCase(Rng& rng, Outcome& out)
{
    const int sw = Size(rng, 150), sh = Size(rng, 150);
    const int dw = Chance(rng, 0.5) ? sw : Size(rng, 150), dh = Chance(rng, 0.5) ? sh : Size(rng, 150);
    const int dx = Chance(rng, 0.3) ? 0 : Uniform(rng, -sw - 2, sw + 2);
    const int dy = Chance(rng, 0.3) ? 0 : Uniform(rng, -sh - 2, sh + 2);
    uint32_t wt[4], divisor;
    if (Chance(rng, 0.8)) { // weights adding up to the divisor
        divisor = static_cast<uint32_t>(Chance(rng, 0.5) ? 1u << Uniform(rng, 0, 16) : Uniform64(rng, 1, 65536));
        wt[0] = static_cast<uint32_t>(Uniform64(rng, 0, divisor));
        wt[1] = static_cast<uint32_t>(Uniform64(rng, 0, divisor - wt[0]));
        wt[2] = static_cast<uint32_t>(Uniform64(rng, 0, divisor - wt[0] - wt[1]));
        wt[3] = divisor - wt[0] - wt[1] - wt[2];
        std::shuffle(wt, wt + 4, rng);
    } else { // anything: the sum wraps modulo 2^32, 16-bit results keep their low bits
        for (auto& x : wt)
            x = static_cast<uint32_t>(Uniform64(rng, 0, 0xFFFFFFFFull >> Uniform(rng, 0, 31)));
        divisor = static_cast<uint32_t>(Uniform64(rng, 1, 0xFFFFFFFFull >> Uniform(rng, 0, 31)));
    }
    out.params << "depth " << sizeof(Pixel) << ", source " << sw << " x " << sh << ", destination " << dw << " x " << dh
               << ", dx " << dx << ", dy " << dy << ", weights " << wt[0] << " " << wt[1] << " " << wt[2] << " "
               << wt[3] << " / " << divisor;
    auto src = Frame<Pixel>(rng, static_cast<size_t>(sw) * sh, out.params);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(dw) * dh);
    auto expected = lib;
    Threads(rng, out.params);
    tamrix::SubPixelShift(dx, dy, wt[0], wt[1], wt[2], wt[3], divisor, src.data(), sw, sh, sizeof(Pixel), lib.data(),
                          dw, dh);
    ref::Shift(dx, dy, wt, divisor, src, sw, sh, expected, dw, dh);
    out.Compare(lib, expected);
}

template <class Pixel> void TransformCase(Rng& rng, Outcome& out)
{
    const int sw = Size(rng, 150), sh = Size(rng, 150);
    const int dw = Chance(rng, 0.5) ? sw : Size(rng, 150), dh = Chance(rng, 0.5) ? sh : Size(rng, 150);
    double c[6];
    switch (Uniform(rng, 0, 4)) {
    case 0: { // a shift by whole, half and 1/64 pixels, and near the 1/64 boundaries
        const double steps[] = {0.0, 0.5, 1.0 / 64, 63.0 / 64, 2.999, -0.5, 1.0 - 1e-12};
        c[0] = 1, c[1] = 0, c[2] = steps[Uniform(rng, 0, 6)] + Uniform(rng, -3, 3);
        c[3] = 0, c[4] = 1, c[5] = steps[Uniform(rng, 0, 6)] + Uniform(rng, -3, 3);
        break;
    }
    case 1: { // rotation by quarter turns
        const double n = std::min(sw, sh) - 1;
        const double q[4][6] = {{1, 0, 0, 0, 1, 0}, {0, 1, 0, -1, 0, n}, {-1, 0, n, 0, -1, n}, {0, -1, n, 1, 0, 0}};
        const double* turn = q[Uniform(rng, 0, 3)];
        std::copy(turn, turn + 6, c);
        break;
    }
    case 2: { // tiny products, just outside the source, no position at all, positions beyond any int
        const double m[4][6] = {{1e-300, 0, 0.5, 0, 1, 0}, {1, 0, -1e-13, 0, 1, 1e-13}, {1, 0, NAN, 0, 1, 0},
                                {1e10, 0, 0, 0, 1e10, 0}};
        const double* pick = m[Uniform(rng, 0, 3)];
        std::copy(pick, pick + 6, c);
        break;
    }
    default: { // rotation, scale, shear and translation; small turns keep runs of pixels in a band of rows
        const double pi = 3.141592653589793, s = UniformReal(rng, 0.3, 3.0);
        const double a = Chance(rng, 0.5) ? UniformReal(rng, -0.2, 0.2) : UniformReal(rng, -pi, pi);
        const double shear = Chance(rng, 0.5) ? UniformReal(rng, -0.5, 0.5) : 0.0;
        c[0] = s * std::cos(a), c[1] = -s * std::sin(a) + shear, c[2] = UniformReal(rng, -sw, sw);
        c[3] = s * std::sin(a), c[4] = s * std::cos(a), c[5] = UniformReal(rng, -sh, sh);
        break;
    }
    }
    out.params << "depth " << sizeof(Pixel) << ", source " << sw << " x " << sh << ", destination " << dw << " x " << dh
               << ", coefficients " << c[0] << " " << c[1] << " " << c[2] << " " << c[3] << " " << c[4] << " " << c[5];
    auto src = Frame<Pixel>(rng, static_cast<size_t>(sw) * sh, out.params);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(dw) * dh);
    auto expected = lib;
    Threads(rng, out.params);
    tamrix::Transform(c[0], c[1], c[2], c[3], c[4], c[5], src.data(), sw, sh, sizeof(Pixel), lib.data(), dw, dh);
    ref::Transform(c, src, sw, sh, expected, dw, dh);
    out.Compare(lib, expected);
}

SOAK_OPERATION("Resample", ResampleCase);
SOAK_OPERATION("SubPixelShift", ShiftCase);
SOAK_OPERATION("Transform", TransformCase);

} // namespace
} // namespace soak
