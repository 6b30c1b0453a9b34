// The bulk judgement of the neural star detector, built for AVX2: 8 floats a
// vector. No FMA: the level does not promise it.
#include "hcpp/tamrix/stars_nn_kernels.h"

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tamrix::opt_avx2 {

constexpr int kLanes = 8;
#define MulAdd(a, b, c) ((a) * (b) + (c))
#include "hcpp/tamrix/stars_nn.simd.h"
#undef MulAdd

} // namespace tamrix::opt_avx2
