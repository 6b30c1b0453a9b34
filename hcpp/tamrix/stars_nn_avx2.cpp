// The bulk judgement of the neural star detector, built for AVX2: 8 floats a
// vector. Products and sums are fused (the level includes FMA): the results
// are bounded, not bit-exact, the bound holds either way, and one
// instruction instead of two is most of the correlation's time.
#include "hcpp/tamrix/stars_nn_kernels.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tamrix::opt_avx2 {

constexpr int kLanes = 8;
#define MulAdd(a, b, c) VecF(_mm256_fmadd_ps(__m256(a), __m256(b), __m256(c)))
#include "hcpp/tamrix/stars_nn.simd.h"
#undef MulAdd

} // namespace tamrix::opt_avx2
