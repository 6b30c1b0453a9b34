// The pseudo-random generator: SplitMix64 (a Weyl sequence through a 64-bit
// finaliser, which passes BigCrush) on one atomic counter. A draw is a single
// fetch-add, so the generator is thread-safe without a lock, and its whole
// state is constant-initialised: nothing runs at load time.
#include "hostlib/random.h"
#include "hostlib.h"

#include <atomic>
#include <chrono>

namespace Lib {
namespace {

constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ull; // 2^64 / golden ratio, odd
constexpr uint64_t kStreamStep = 0xD1B54A32D192ED03ull;

std::atomic<uint64_t> gState { 0x853C49E6748FEA9Bull };
std::atomic<uint64_t> gSeed { 0 };
std::atomic<uint64_t> gReseeds { 0 };
std::atomic<bool> gFixed { false };

uint64_t Mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t Next()
{
    return Mix(gState.fetch_add(kGamma, std::memory_order_relaxed) + kGamma);
}

// Start of the k-th stream of a fixed seed. Stream starts are scattered over
// the 2^64 period, so the few ten thousand draws of one layer never run into
// the next layer's numbers.
uint64_t StreamStart(uint64_t seed, uint64_t k)
{
    return Mix(Mix(seed) + k * kStreamStep);
}

} // namespace

namespace detail {

double UnitFromBits(uint64_t bits)
{
    return static_cast<double>((bits >> 11) + 1) * 0x1.0p-53;
}

} // namespace detail

void RANDOMIZE()
{
    const uint64_t k = gReseeds.fetch_add(1, std::memory_order_relaxed) + 1;
    if (gFixed.load(std::memory_order_relaxed)) {
        gState.store(StreamStart(gSeed.load(std::memory_order_relaxed), k), std::memory_order_relaxed);
        return;
    }
    // The clock alone repeats within one tick; the previous state, the call
    // count and a stack address (different per thread and, with address space
    // randomisation, per run) keep successive seeds apart.
    const auto ticks = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    const auto where = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&k));
    const uint64_t previous = gState.load(std::memory_order_relaxed);
    gState.store(Mix(previous + Mix(ticks ^ Mix(where)) + k * kStreamStep), std::memory_order_relaxed);
}

double RAND()
{
    return detail::UnitFromBits(Next());
}

unsigned RANDOM(unsigned n)
{
    return detail::Bounded(n, [] { return static_cast<uint32_t>(Next() >> 32); });
}

void FixSeed(uint64_t seed)
{
    gSeed.store(seed, std::memory_order_relaxed);
    gReseeds.store(0, std::memory_order_relaxed);
    gFixed.store(true, std::memory_order_relaxed);
    gState.store(StreamStart(seed, 0), std::memory_order_relaxed);
}

void UnfixSeed()
{
    gFixed.store(false, std::memory_order_relaxed);
}

} // namespace Lib
