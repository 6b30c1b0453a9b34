// Internal: which instruction set the frame kernels may use. Detected on the
// processor at run time; tests lower the cap to run every variant on one
// machine. Declarations only, so files built for any instruction set may
// include it.
#pragma once

namespace tamrix::detail {

// Baseline is x86-64 without extensions; Avx2 adds AVX2 (with FMA, which the
// kernels never use, for bit-exact results); Avx512 adds AVX-512 F, BW, DQ
// and VL. Kernels for a set live in files named *_avx2.cpp / *_avx512.cpp.
enum class Isa : int { Baseline = 0, Avx2 = 1, Avx512 = 2 };

// The widest set both the processor (and operating system) and the cap allow.
Isa FrameIsa();

// Caps FrameIsa() for all later calls of the process (tests only).
void SetFrameIsaCap(Isa cap);

} // namespace tamrix::detail
