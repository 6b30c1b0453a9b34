// The bulk judgement of the neural star detector, built for AVX-512: 16
// floats a vector. The correlation fuses its products and sums (FMA is part
// of AVX-512 F): its results are bounded, not bit-exact, the bound holds
// either way, and the multiplies are most of its time.
#include "hcpp/tamrix/stars_nn_kernels.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tamrix::opt_avx512 {

constexpr int kLanes = 16;
#define MulAdd(a, b, c) VecF(_mm512_fmadd_ps(__m512(a), __m512(b), __m512(c)))
#include "hcpp/tamrix/stars_nn.simd.h"
#undef MulAdd

} // namespace tamrix::opt_avx512
