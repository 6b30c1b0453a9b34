// Polynomial fills against the references.
#include "soak.h"

#include "reference/polynom.h"
#include "tamrix.h"

#include <cmath>

namespace soak {
namespace {

// Coefficients that keep the values in and around the pixel range, now and
// then zero, tiny or far out.
void Coefficients(Rng& rng, double* c, double magnitude, std::ostringstream& p)
{
    for (int i = 0; i < 10; ++i) {
        const int kind = Uniform(rng, 0, 9);
        c[i] = kind == 0 ? 0.0 : kind == 1 ? UniformReal(rng, -1e-9, 1e-9) : UniformReal(rng, -magnitude, magnitude);
        p << (i ? " " : ", coefficients ") << c[i];
    }
}

template <class Pixel> void FillCase(Rng& rng, Outcome& out)
{
    const int w = Size(rng, 200), h = Size(rng, 200);
    std::ostringstream p;
    p.precision(17);
    double c[10];
    Coefficients(rng, c, Chance(rng, 0.5) ? 2.0 : 100.0, p);
    const double scale = Chance(rng, 0.1) ? 0.0 : UniformReal(rng, -1.0, 1.0) * std::pow(10.0, Uniform(rng, 0, 10));
    const int offset = Chance(rng, 0.5) ? Uniform(rng, -70000, 70000) : Uniform(rng, INT32_MIN, INT32_MAX);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(w) * h);
    p << ", depth " << sizeof(Pixel) << ", " << w << " x " << h << ", scale " << scale << ", offset " << offset << ", "
      << Threads(rng) << " threads";
    tamrix::FillFrameWithPolynom(lib.data(), w, h, sizeof(Pixel), scale, offset, c[0], c[1], c[2], c[3], c[4], c[5],
                                 c[6], c[7], c[8], c[9]);
    out = {p.str(), Bytes(lib), Bytes(tamrix::reference::Fill<Pixel>(w, h, scale, offset, c)), sizeof(Pixel), {}};
}

template <class Pixel> void FieldCase(Rng& rng, Outcome& out)
{
    const int w = Chance(rng, 0.2) ? Size(rng, 30) : Uniform(rng, 24, 260);
    const int h = Chance(rng, 0.2) ? Size(rng, 30) : Uniform(rng, 24, 260);
    std::ostringstream p;
    p.precision(17);
    double c[10], d[10];
    const double magnitude = Chance(rng, 0.8) ? 0.05 : 2.0; // vectors of a few pixels, now and then long ones
    Coefficients(rng, c, magnitude, p);
    Coefficients(rng, d, magnitude, p);
    auto lib = Noise<Pixel>(rng, static_cast<size_t>(w) * h);
    p << ", depth " << sizeof(Pixel) << ", " << w << " x " << h << ", " << Threads(rng) << " threads";
    tamrix::FillFrameWithPolynoms(lib.data(), w, h, sizeof(Pixel), c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7],
                                  c[8], c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    out = {p.str(), Bytes(lib), Bytes(tamrix::reference::Field<Pixel>(w, h, c, d)), sizeof(Pixel), {}};
}

SOAK_OPERATION("FillFrameWithPolynom", FillCase);
SOAK_OPERATION("FillFrameWithPolynoms", FieldCase);

} // namespace
} // namespace soak
