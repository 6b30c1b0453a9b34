// Polynomial fills against the references, into destinations of random
// contents with one more pixel: frames without pixels write nothing.
#include "soak.h"

#include "reference/polynom.h"
#include "tamrix.h"

#include <cmath>

namespace soak {
namespace {

// Coefficients that keep the values in and around the pixel range, now and
// then zero, tiny or far out.
void Coefficients(Rng& rng, double* c, double magnitude, std::ostream& p)
{
    for (int i = 0; i < 10; ++i) {
        const int kind = Uniform(rng, 0, 9);
        c[i] = kind == 0 ? 0.0 : kind == 1 ? UniformReal(rng, -1e-9, 1e-9) : UniformReal(rng, -magnitude, magnitude);
        p << (i ? " " : ", coefficients ") << c[i];
    }
}

template <class Pixel> void FillCase(Rng& rng, Outcome& out)
{
    const int w = Extent(rng, 200, 0.03), h = Extent(rng, 200, 0.03);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h;
    double c[10];
    Coefficients(rng, c, Chance(rng, 0.5) ? 2.0 : 100.0, out.params);
    const double scale = Chance(rng, 0.1) ? 0.0 : UniformReal(rng, -1.0, 1.0) * std::pow(10.0, Uniform(rng, 0, 10));
    const int offset = Chance(rng, 0.5) ? Uniform(rng, -70000, 70000) : Uniform(rng, INT32_MIN, INT32_MAX);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(std::max(w, 0)) * std::max(h, 0) + 1), expected = lib;
    out.params << ", scale " << scale << ", offset " << offset;
    Threads(rng, out.params);
    tamrix::FillFrameWithPolynom(lib.data(), w, h, sizeof(Pixel), scale, offset, c[0], c[1], c[2], c[3], c[4], c[5],
                                 c[6], c[7], c[8], c[9]);
    tamrix::reference::Fill(w, h, scale, offset, c, expected);
    out.Compare(lib, expected);
}

template <class Pixel> void FieldCase(Rng& rng, Outcome& out)
{
    const int w = Chance(rng, 0.2) ? Extent(rng, 30, 0.15) : Uniform(rng, 24, 260);
    const int h = Chance(rng, 0.2) ? Extent(rng, 30, 0.15) : Uniform(rng, 24, 260);
    out.params << "depth " << sizeof(Pixel) << ", " << w << " x " << h;
    double c[10], d[10];
    const double magnitude = Chance(rng, 0.8) ? 0.05 : 2.0; // vectors of a few pixels, now and then long ones
    Coefficients(rng, c, magnitude, out.params);
    Coefficients(rng, d, magnitude, out.params);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(std::max(w, 0)) * std::max(h, 0) + 1), expected = lib;
    Threads(rng, out.params);
    tamrix::FillFrameWithPolynoms(lib.data(), w, h, sizeof(Pixel), c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                  c[8], c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    tamrix::reference::Field(w, h, c, d, expected);
    out.Compare(lib, expected);
}

SOAK_OPERATION("FillFrameWithPolynom", FillCase);
SOAK_OPERATION("FillFrameWithPolynoms", FieldCase);

} // namespace
} // namespace soak
