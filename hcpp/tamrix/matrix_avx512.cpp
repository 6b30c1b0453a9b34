// The rotation kernel of the decomposition, built for AVX-512.
#include "hcpp/tamrix/matrix_kernels.h"

namespace tamrix::opt_avx512 {
#include "hcpp/tamrix/matrix.simd.h"
} // namespace tamrix::opt_avx512
