// Least-squares fit of two cubic surfaces to a field of position differences.
#include "tamrix.h"

#include "hcpp/tamrix/matrix.h"

#include <cstddef>

namespace tamrix {

void FitSurface(double* points, unsigned count, double* a1, double* a2, double* a3, double* a4, double* a5,
                double* a6, double* a7, double* a8, double* a9, double* a10, double* b1, double* b2, double* b3,
                double* b4, double* b5, double* b6, double* b7, double* b8, double* b9, double* b10)
{
    using detail::CMatrix;
    // Design matrix columns: x^3, y^3, x^2 y, x y^2, x y, x^2, y^2, x, y, 1.
    // The products are formed exactly as written, so that the fit is
    // reproducible term by term.
    CMatrix A(count, 10), r1(count, 1), r2(count, 1);
    for (unsigned k = 1; k <= count; ++k) {
        const double* p = points + 4 * static_cast<size_t>(k - 1);
        const double x = p[0], y = p[1];
        const double xx = x * x, yy = y * y;
        A.set(k, 1, xx * x);
        A.set(k, 2, yy * y);
        A.set(k, 3, y * xx);
        A.set(k, 4, yy * x);
        A.set(k, 5, y * x);
        A.set(k, 6, xx);
        A.set(k, 7, yy);
        A.set(k, 8, x);
        A.set(k, 9, y);
        A.set(k, 10, 1.0);
        r1.set(k, x - p[2]);
        r2.set(k, y - p[3]);
    }

    CMatrix W(10, 10), V(10, 10);
    A.decompose(&W, &V);

    // Singular values below 1e-6 of the largest drop out: the minimum-norm
    // solution where the points do not determine every term.
    double wmax = 0.0;
    for (unsigned j = 1; j <= 10; ++j)
        if (W.get(j, j) > wmax)
            wmax = W.get(j, j);
    const double threshold = wmax * 1e-6;
    for (unsigned j = 1; j <= 10; ++j)
        if (W.get(j, j) < threshold)
            W.set(j, j, 0.0);

    CMatrix s1(10, 1), s2(10, 1);
    A.backSubstitute(&W, &V, &s1, &r1);
    A.backSubstitute(&W, &V, &s2, &r2);

    // Internal column order to output term order: xy moves behind x^2, y^2.
    constexpr unsigned kColumnOfTerm[10] = {1, 2, 3, 4, 6, 7, 5, 8, 9, 10};
    double* const outA[10] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    double* const outB[10] = {b1, b2, b3, b4, b5, b6, b7, b8, b9, b10};
    for (unsigned t = 0; t < 10; ++t)
        *outA[t] = s1.get(kColumnOfTerm[t]);
    for (unsigned t = 0; t < 10; ++t)
        *outB[t] = s2.get(kColumnOfTerm[t]);
}

} // namespace tamrix
