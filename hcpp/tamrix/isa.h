// Internal: the instruction-set levels that vector kernels are built for,
// and the detection that picks one at run time. Plain declarations: files
// built for every instruction set include this header.
#pragma once

namespace tamrix::detail {

// Baseline is x86-64 without extensions; Avx2 adds AVX2 (with FMA, which the
// kernels never use for bit-exact results); Avx512 adds AVX-512 F, BW, DQ
// and VL.
enum class Isa { Baseline, Avx2, Avx512 };

// The widest level this processor and operating system run. Cheap enough to
// ask once per call; nothing is cached in the library.
Isa BestIsa();

} // namespace tamrix::detail
