// Surface fitting: points taken exactly from two cubic surfaces must give
// back their coefficients (the fit's arithmetic is not fixed, so within a
// tolerance), and no points give zeros.
#include "soak.h"

#include "tamrix.h"

#include <algorithm>
#include <cmath>

namespace soak {
namespace {

// The term order of the outputs: x^3, y^3, x^2 y, x y^2, x^2, y^2, x y, x, y, 1.
double Cubic(const double* c, double x, double y)
{
    return c[0] * x * x * x + c[1] * y * y * y + c[2] * x * x * y + c[3] * x * y * y + c[4] * x * x + c[5] * y * y +
           c[6] * x * y + c[7] * x + c[8] * y + c[9];
}

void Fit(Rng& rng, Outcome& out)
{
    const unsigned count = Chance(rng, 0.03) ? 0u : static_cast<unsigned>(Uniform(rng, 30, 400));
    double a[10], b[10];
    for (int i = 0; i < 10; ++i) {
        a[i] = Chance(rng, 0.2) ? 0.0 : UniformReal(rng, -1.0, 1.0);
        b[i] = Chance(rng, 0.2) ? 0.0 : UniformReal(rng, -1.0, 1.0);
    }
    // Normalised positions, as the fills use them: within about +-0.5.
    std::vector<double> points;
    for (unsigned k = 0; k < count; ++k) {
        const double x = UniformReal(rng, -0.5, 0.5), y = UniformReal(rng, -0.5, 0.5);
        points.insert(points.end(), {x, y, x - Cubic(a, x, y), y - Cubic(b, x, y)});
    }
    double fa[10], fb[10];
    std::fill(fa, fa + 10, -7.0);
    std::fill(fb, fb + 10, -7.0);
    tamrix::FitSurface(points.data(), count, &fa[0], &fa[1], &fa[2], &fa[3], &fa[4], &fa[5], &fa[6], &fa[7], &fa[8],
                       &fa[9], &fb[0], &fb[1], &fb[2], &fb[3], &fb[4], &fb[5], &fb[6], &fb[7], &fb[8], &fb[9]);
    std::ostringstream p, note;
    p.precision(17);
    note.precision(17);
    p << count << " points, a";
    for (double c : a)
        p << " " << c;
    p << ", b";
    for (double c : b)
        p << " " << c;
    for (int i = 0; i < 20; ++i) {
        const double want = count == 0 ? 0.0 : i < 10 ? a[i] : b[i - 10];
        const double got = i < 10 ? fa[i] : fb[i - 10];
        // The x^3 .. y^2 terms of points within +-0.5 are small, which costs
        // them a few digits.
        if (!(std::fabs(got - want) <= 1e-7)) {
            note << "coefficient " << (i < 10 ? "a" : "b") << (i % 10 + 1) << ": library " << got << ", surface "
                 << want;
            break;
        }
    }
    out = {p.str(), {}, {}, 1, note.str()};
}

const Register fit("FitSurface", Fit);

} // namespace
} // namespace soak
