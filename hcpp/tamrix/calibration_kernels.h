// Internal: the row kernels of the flat division for each instruction set;
// calibration.cpp keeps their table. Declarations only.
#pragma once

#include <cstdint>

// One row of the flat division: out[x] = raw * m / f, truncated and clamped
// to full scale, with saturated raw pixels and zero flats kept as they are.
// The 16-bit product raw * m wraps in 32 bits; the 32-bit one is exact in 64.
namespace tamrix::opt_baseline {
void FlatRow16(const uint16_t* in, uint16_t* out, const uint16_t* flat, uint32_t m, int width);
void FlatRow32(const uint32_t* in, uint32_t* out, const uint32_t* flat, uint64_t m, int width);
} // namespace tamrix::opt_baseline

namespace tamrix::opt_avx2 {
void FlatRow16(const uint16_t* in, uint16_t* out, const uint16_t* flat, uint32_t m, int width);
// Vectors for m < 2^21, where raw * m < 2^53 is exact in double and the
// truncated double quotient is the integer one; the baseline kernel beyond.
void FlatRow32(const uint32_t* in, uint32_t* out, const uint32_t* flat, uint64_t m, int width);
} // namespace tamrix::opt_avx2
