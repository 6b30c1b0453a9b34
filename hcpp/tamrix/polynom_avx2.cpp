// The row kernels of the polynomial fills, built for AVX2: 4 doubles a vector.
#include "hcpp/tamrix/polynom_kernels.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace tamrix::opt_avx2 {

constexpr int kLanes = 4;
#define VecSqrt(v) _mm256_sqrt_pd(v)
#include "hcpp/tamrix/polynom.simd.h"
#undef VecSqrt

} // namespace tamrix::opt_avx2
