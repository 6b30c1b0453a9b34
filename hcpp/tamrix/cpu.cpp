#include "hcpp/tamrix/cpu.h"

#include <atomic>

namespace tamrix::detail {
namespace {

// Constant-initialised: no static initialiser runs at load.
std::atomic<int> isaCap{static_cast<int>(Isa::Avx512)};

Isa Detect()
{
    // __builtin_cpu_supports also checks that the operating system saves the
    // wider registers.
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw")
        && __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl"))
        return Isa::Avx512;
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
        return Isa::Avx2;
    return Isa::Baseline;
}

} // namespace

Isa FrameIsa()
{
    const int detected = static_cast<int>(Detect());
    const int cap = isaCap.load(std::memory_order_relaxed);
    return static_cast<Isa>(detected < cap ? detected : cap);
}

void SetFrameIsaCap(Isa cap)
{
    isaCap.store(static_cast<int>(cap), std::memory_order_relaxed);
}

} // namespace tamrix::detail
