// Internal: the instruction-set seam of the frame kernels and the network.
//
// The processor is examined once. Every kernel family keeps one table of its
// variants, one entry per Level, filled at compile time (a level the family
// has no variant for repeats the entry below it); its entry point reads the
// entry of the active level through Pick. The variants live in files named
// *_sse3.cpp, *_avx.cpp, *_avx2.cpp and *_avx512.cpp, built for that set,
// in the namespace opt_sse3, opt_avx, opt_avx2 or opt_avx512 of tamrix or
// nnet; a kernel several sets share is written once in a *.simd.h file that
// each of them includes inside its namespace. Tests cap the level to run
// every variant on one machine.
//
// Only files built for the baseline instruction set include this header:
// Pick is a template, and a copy instantiated in a wider file could be the
// one the linker keeps.
#pragma once

#include <cstdint>

namespace tamrix::isa {

// Each level includes the ones below it, as on every processor that has it.
enum class Level : int {
    Baseline, // x86-64: up to SSE2
    Sse3,
    Avx, // with the 256-bit registers saved by the operating system
    Avx2, // with FMA
    Avx512, // F, BW, DQ and VL, with the 512-bit and mask registers saved
    Avx512Vbmi, // and VBMI's byte permutes
};

// The entries of every table of variants.
constexpr int kLevelCount = 6;

// The processor identification words the level is decoded from.
struct CpuidWords {
    uint32_t maxLeaf; // EAX of leaf 0: the highest standard leaf
    uint32_t leaf1Ecx;
    uint32_t leaf7Ebx, leaf7Ecx; // leaf 7, sub-leaf 0
    uint64_t xcr0; // XGETBV 0, read only when leaf 1 reports OSXSAVE; else 0
};

// The level the words describe. AVX-512 (with AVX2) is tested first, then
// AVX2, AVX and SSE3, each on its own feature bits: a processor with AVX2 and
// FMA gets Avx2 whatever leaf 1 says of AVX; without FMA it gets Avx. From Avx up, the operating system must
// save the wide registers (OSXSAVE and the XCR0 bits), without which every
// instruction on them faults. A leaf above maxLeaf counts as all zeros.
Level Decode(const CpuidWords& words);

// This processor's level, decoded on the first call and kept.
Level Detected();

// The level the kernels use: Detected(), lowered to the cap.
Level Active();

// Caps Active() for all later calls of the process and returns the previous
// cap (tests only; the cap starts at the top level).
Level SetCap(Level cap);

// The entry of a table of variants for the active level.
template <class Variant> const Variant& Pick(const Variant (&table)[kLevelCount])
{
    return table[static_cast<int>(Active())];
}

} // namespace tamrix::isa
