// Internal: the plane rotations of the decomposition's final pass, one
// kernel per instruction set (matrix.simd.h, built by matrix.cpp and by
// matrix_<set>.cpp). All give bit-identical results (no fused multiply-add:
// the whole library is built with -ffp-contract=off).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamrix::detail {

// A plane rotation of columns p and q: (up, uq) becomes
// (up c + uq s, uq c - up s).
struct Rotation {
    uint32_t p, q;
    double c, s;
};

// Rows handled together: column j of the block is t[j * kRotationLanes ..].
constexpr uint32_t kRotationLanes = 32;

} // namespace tamrix::detail

// Applies the rotations in order to every lane of the transposed block t.
namespace tamrix::opt_baseline {
void RotateLanes(double* t, const detail::Rotation* rotations, size_t count);
}
namespace tamrix::opt_avx2 {
void RotateLanes(double* t, const detail::Rotation* rotations, size_t count);
}
namespace tamrix::opt_avx512 {
void RotateLanes(double* t, const detail::Rotation* rotations, size_t count);
}
