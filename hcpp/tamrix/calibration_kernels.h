// Internal: the vector row kernels of the calibration, one namespace per
// instruction set. Declarations only.
#pragma once

#include <cstdint>

namespace tamrix::opt_avx2 {

// 16-bit flat division of one row: the same results as the scalar rule for
// every m (the product raw * m wraps in 32 bits).
void FlatRow16(const uint16_t* in, uint16_t* out, const uint16_t* flat, uint32_t m, int width);

// 32-bit flat division of one row for m < 2^21, where raw * m < 2^53 is
// exact in double and the truncated double quotient is the integer one.
void FlatRow32(const uint32_t* in, uint32_t* out, const uint32_t* flat, uint64_t m, int width);

// Largest m FlatRow32 takes.
constexpr uint64_t kFlatRow32MaxLevel = (uint64_t{1} << 21) - 1;

} // namespace tamrix::opt_avx2
