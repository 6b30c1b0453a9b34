// Internal: the widest vector instruction set this processor runs, for the
// entry points that pick a kernel variant. Include it only from files built
// for the baseline instruction set.
#pragma once

namespace tamrix::detail {

// The variants the kernels come in: *_avx2.cpp files are built with AVX2 and
// FMA, *_avx512.cpp files with AVX-512 F, BW, DQ and VL.
enum class SimdLevel { Baseline, Avx2, Avx512 };

inline SimdLevel BestSimdLevel()
{
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq")
        && __builtin_cpu_supports("avx512vl"))
        return SimdLevel::Avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return SimdLevel::Avx2;
#endif
    return SimdLevel::Baseline;
}

} // namespace tamrix::detail
