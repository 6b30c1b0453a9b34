// Run-time choice of the vector kernels.
#include "hcpp/tamrix/isa.h"

namespace tamrix::detail {

Isa BestIsa()
{
    // The compiler's CPU checks include the operating system's support for
    // the wider registers (XGETBV).
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq")
        && __builtin_cpu_supports("avx512vl"))
        return Isa::Avx512;
    if (__builtin_cpu_supports("avx2"))
        return Isa::Avx2;
    return Isa::Baseline;
}

} // namespace tamrix::detail
