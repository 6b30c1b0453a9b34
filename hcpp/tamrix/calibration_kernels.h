// Internal: the vector row kernels of the calibration, one namespace per
// instruction set. Declarations only.
#pragma once

#include <cstdint>

namespace tamrix::opt_avx2 {

// 16-bit flat division of one row: the same results as the scalar rule for
// every m (the product raw * m wraps in 32 bits).
void FlatRow16(const uint16_t* in, uint16_t* out, const uint16_t* flat, uint32_t m, int width);

} // namespace tamrix::opt_avx2
