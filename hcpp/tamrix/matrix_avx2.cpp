// The rotation kernel of the decomposition, built for AVX2.
#include "hcpp/tamrix/matrix_kernels.h"

namespace tamrix::opt_avx2 {
#include "hcpp/tamrix/matrix.simd.h"
} // namespace tamrix::opt_avx2
