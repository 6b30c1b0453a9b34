// The rotation kernel of the decomposition, written once as a plain loop that
// each instruction-set file includes inside its own namespace
// (tamrix::opt_<set>) after matrix_kernels.h; the compiler vectorises it to
// the set's width. Multiply, then add: never fused, so every set gives the
// same bits.

void RotateLanes(double* t, const detail::Rotation* rotations, size_t count)
{
    using detail::kRotationLanes;
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
