#include "hcpp/tamrix/isa.h"

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#    include <cpuid.h>
#endif

namespace tamrix::isa {
namespace {

constexpr int kTop = kLevelCount - 1;
constexpr int kUnknown = -1;

// Constant-initialised: no static initialiser runs at load.
std::atomic<int> detected { kUnknown };
std::atomic<int> cap { kTop };

CpuidWords ReadCpuid()
{
    CpuidWords w {};
#if defined(__x86_64__) || defined(__i386__)
    w.maxLeaf = __get_cpuid_max(0, nullptr);
    uint32_t a = 0, b = 0, c = 0, d = 0;
    if (w.maxLeaf >= 1) {
        __cpuid(1, a, b, c, d);
        w.leaf1Ecx = c;
    }
    if (w.maxLeaf >= 7) {
        __cpuid_count(7, 0, a, b, c, d);
        w.leaf7Ebx = b;
        w.leaf7Ecx = c;
    }
    if (w.maxLeaf >= 1 && (w.leaf1Ecx & (1u << 27)) != 0) { // XGETBV exists only with OSXSAVE
        uint32_t lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        w.xcr0 = (uint64_t { hi } << 32) | lo;
    }
#endif
    return w;
}

} // namespace

Level Decode(const CpuidWords& w)
{
    constexpr uint32_t kSse3 = 1u << 0, kFma = 1u << 12, kOsXsave = 1u << 27, kAvx = 1u << 28; // leaf 1, ECX
    constexpr uint32_t kAvx2 = 1u << 5, kAvx512F = 1u << 16, kAvx512Dq = 1u << 17, kAvx512Bw = 1u << 30,
                       kAvx512Vl = 1u << 31; // leaf 7, EBX
    constexpr uint32_t kAvx512Vbmi = 1u << 1; // leaf 7, ECX
    constexpr uint64_t kYmmState = 0x6; // XCR0: SSE and AVX state
    constexpr uint64_t kZmmState = 0xE0; // XCR0: opmask, upper halves of ZMM0-15, ZMM16-31
    const uint32_t ecx1 = w.maxLeaf >= 1 ? w.leaf1Ecx : 0;
    const uint32_t ebx7 = w.maxLeaf >= 7 ? w.leaf7Ebx : 0, ecx7 = w.maxLeaf >= 7 ? w.leaf7Ecx : 0;
    const bool ymm = (ecx1 & kOsXsave) != 0 && (w.xcr0 & kYmmState) == kYmmState;
    const bool zmm = ymm && (w.xcr0 & kZmmState) == kZmmState, fma = (ecx1 & kFma) != 0;
    constexpr uint32_t kAvx512 = kAvx2 | kAvx512F | kAvx512Dq | kAvx512Bw | kAvx512Vl;
    if ((ebx7 & kAvx512) == kAvx512 && zmm && fma)
        return (ecx7 & kAvx512Vbmi) != 0 ? Level::Avx512Vbmi : Level::Avx512;
    if ((ebx7 & kAvx2) != 0 && ymm && fma)
        return Level::Avx2;
    if ((ecx1 & kAvx) != 0 && ymm)
        return Level::Avx;
    if ((ecx1 & kSse3) != 0)
        return Level::Sse3;
    return Level::Baseline;
}

Level Detected()
{
    int level = detected.load(std::memory_order_relaxed);
    if (level == kUnknown) { // threads that race here store the same value
        level = static_cast<int>(Decode(ReadCpuid()));
        detected.store(level, std::memory_order_relaxed);
    }
    return static_cast<Level>(level);
}

Level Active()
{
    const int level = static_cast<int>(Detected());
    const int limit = cap.load(std::memory_order_relaxed);
    return static_cast<Level>(level < limit ? level : limit);
}

Level SetCap(Level level)
{
    return static_cast<Level>(cap.exchange(static_cast<int>(level), std::memory_order_relaxed));
}

} // namespace tamrix::isa
