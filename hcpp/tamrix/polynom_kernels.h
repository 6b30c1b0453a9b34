// Internal: the row kernels of the polynomial fills, one set per instruction
// set. Every variant computes each pixel with the same operations in the same
// order, so they all give the same bits; the entry points pick the widest
// one the processor runs.
#pragma once

#include <cstdint>

namespace tamrix::detail {

// What a block of rows needs: the frame, its normalised coordinates
// (u = (x - cx) / s, v = (y - cy) / s) and the polynomials. d is used by the
// vector field only; scale and offset by the single polynomial only.
struct PolynomRows {
    void* frame;
    int width, height;
    int cx, cy;
    double s;
    const double* c;
    const double* d;
    double scale, offset;
};

} // namespace tamrix::detail

// Fill rows y0 .. y1 - 1 of a 16-bit or 32-bit frame with the single
// polynomial, or with the vector length image of the field; the field
// kernels return the largest vector length of their rows (NaN skipped).
// Each set's kernels are polynom.simd.h built for it.
#define TAMRIX_POLYNOM_KERNELS                                                                                         \
    void FillRows16(const detail::PolynomRows& task, int y0, int y1);                                                  \
    void FillRows32(const detail::PolynomRows& task, int y0, int y1);                                                  \
    double FieldRows16(const detail::PolynomRows& task, int y0, int y1);                                               \
    double FieldRows32(const detail::PolynomRows& task, int y0, int y1);

namespace tamrix::opt_baseline {
TAMRIX_POLYNOM_KERNELS
}
namespace tamrix::opt_avx2 {
TAMRIX_POLYNOM_KERNELS
}
namespace tamrix::opt_avx512 {
TAMRIX_POLYNOM_KERNELS
}

#undef TAMRIX_POLYNOM_KERNELS
