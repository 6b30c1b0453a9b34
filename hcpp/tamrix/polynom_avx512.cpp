// The row kernels of the polynomial fills, built for AVX-512: 8 doubles a vector.
#include "hcpp/tamrix/polynom_kernels.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace tamrix::opt_avx512 {

constexpr int kLanes = 8;
#define VecSqrt(v) _mm512_maskz_sqrt_pd(0xFF, v)
#include "hcpp/tamrix/polynom.simd.h"
#undef VecSqrt

} // namespace tamrix::opt_avx512
