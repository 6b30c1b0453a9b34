// The rotation kernel of the decomposition, built for AVX2. The same
// plain loop as the baseline; only the vector width differs.
#include "hcpp/tamrix/matrix_kernels.h"

namespace tamrix::detail::opt_avx2 {

void RotateLanes(double* t, const Rotation* rotations, size_t count)
{
    for (size_t r = 0; r < count; ++r) {
        double* __restrict up = t + rotations[r].p * kRotationLanes;
        double* __restrict uq = t + rotations[r].q * kRotationLanes;
        const double c = rotations[r].c, s = rotations[r].s;
        for (uint32_t b = 0; b < kRotationLanes; ++b) {
            const double y = up[b], z = uq[b];
            up[b] = y * c + z * s;
            uq[b] = z * c - y * s;
        }
    }
}

} // namespace tamrix::detail::opt_avx2
