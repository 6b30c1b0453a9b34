// Run-time choice of the vector kernels.
#include "hcpp/tamrix/isa.h"

#include <cpuid.h>

namespace tamrix::detail {
namespace {

// What the processor offers and the operating system saves on a context
// switch (XCR0): YMM state for AVX2, ZMM and mask state for AVX-512.
Isa Detect()
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d))
        return Isa::Baseline;
    const bool fma = c & (1u << 12), osxsave = c & (1u << 27), avx = c & (1u << 28);
    if (!osxsave || !avx)
        return Isa::Baseline;
    unsigned xcr0 = 0, xcr0High = 0;
    __asm__("xgetbv" : "=a"(xcr0), "=d"(xcr0High) : "c"(0));
    if ((xcr0 & 0x6u) != 0x6u || !__get_cpuid_count(7, 0, &a, &b, &c, &d))
        return Isa::Baseline;
    const bool avx2 = b & (1u << 5);
    const bool avx512 = (b & (1u << 16)) && (b & (1u << 17)) && (b & (1u << 30)) && (b & (1u << 31)); // F DQ BW VL
    if (!avx2 || !fma)
        return Isa::Baseline;
    return avx512 && (xcr0 & 0xE6u) == 0xE6u ? Isa::Avx512 : Isa::Avx2;
}

// The detected level plus one, 0 until a call has asked. A plain int with
// constant initialisation: nothing runs at load time, and calls racing on
// the first question store the same value. CPUID is worth keeping: inside a
// virtual machine it traps and costs microseconds.
int g_level = 0;

} // namespace

Isa BestIsa()
{
    int level = __atomic_load_n(&g_level, __ATOMIC_RELAXED);
    if (level == 0) {
        level = static_cast<int>(Detect()) + 1;
        __atomic_store_n(&g_level, level, __ATOMIC_RELAXED);
    }
    return static_cast<Isa>(level - 1);
}

} // namespace tamrix::detail
