// Surface fitting: points taken exactly from two cubic surfaces must give
// back their coefficients (the fit's arithmetic is not fixed, so within a
// tolerance), and no points give zeros.
#include "soak.h"

#include "reference/polynom.h"
#include "tamrix.h"

#include <cmath>

namespace soak {
namespace {

void Fit(Rng& rng, Outcome& out)
{
    const unsigned count = Chance(rng, 0.03) ? 0u : static_cast<unsigned>(Uniform(rng, 30, 400));
    out.params << count << " points, coefficients";
    double c[20], fit[20];
    for (double& v : c) {
        v = Chance(rng, 0.2) ? 0.0 : UniformReal(rng, -1.0, 1.0);
        out.params << " " << v;
    }
    // Normalised positions, as the fills use them: within +-0.5.
    std::vector<double> points;
    for (unsigned k = 0; k < count; ++k) {
        const double x = UniformReal(rng, -0.5, 0.5), y = UniformReal(rng, -0.5, 0.5);
        points.insert(points.end(),
                      {x, y, x - tamrix::reference::P(c, x, y), y - tamrix::reference::P(c + 10, x, y)});
    }
    std::fill(fit, fit + 20, -7.0);
    double* f = fit;
    tamrix::FitSurface(points.data(), count, f, f + 1, f + 2, f + 3, f + 4, f + 5, f + 6, f + 7, f + 8, f + 9, f + 10,
                       f + 11, f + 12, f + 13, f + 14, f + 15, f + 16, f + 17, f + 18, f + 19);
    // The x^3 .. y^2 terms of points within +-0.5 are small, which costs
    // them a few digits.
    for (int i = 0; i < 20 && out.note.str().empty(); ++i)
        if (!(std::fabs(fit[i] - (count == 0 ? 0.0 : c[i])) <= 1e-7))
            out.note << "coefficient " << i << ": library " << fit[i] << ", surface " << c[i];
}

const Register fit("FitSurface", Fit);

} // namespace
} // namespace soak
