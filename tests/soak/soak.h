// The randomised differential soak: every case is one frame function call
// with random sizes, depth and parameters inside the function's contract,
// checked against a slow literal reference. A case is fully determined by the
// operation's name and a 64-bit seed, so any difference can be replayed.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

namespace soak {

using Rng = std::mt19937_64;

inline int Uniform(Rng& rng, int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }
inline uint64_t Uniform64(Rng& rng, uint64_t lo, uint64_t hi)
{
    return std::uniform_int_distribution<uint64_t>(lo, hi)(rng);
}
inline double UniformReal(Rng& rng, double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
inline bool Chance(Rng& rng, double p) { return UniformReal(rng, 0.0, 1.0) < p; }

// A size biased towards small and odd values, where edges and uneven thread
// blocks live, with an occasional larger one.
inline int Size(Rng& rng, int max)
{
    if (Chance(rng, 0.5))
        return Uniform(rng, 1, max < 12 ? max : 12);
    return Uniform(rng, 1, max);
}

// Frame contents in one of several shapes: full-range noise, narrow noise on
// a level, values at or near full scale, a sprinkle of saturated pixels, a
// constant frame.
template <class Pixel>
std::vector<Pixel> Frame(Rng& rng, size_t pixels, std::string& shape)
{
    constexpr uint64_t full = std::numeric_limits<Pixel>::max();
    std::vector<Pixel> f(pixels);
    const int kind = Uniform(rng, 0, 4);
    const uint64_t level = Uniform64(rng, 0, full);
    const uint64_t spread = Uniform64(rng, 0, uint64_t{1} << Uniform(rng, 0, sizeof(Pixel) * 8));
    auto noise = [&] {
        const uint64_t lo = level > spread ? level - spread : 0;
        const uint64_t hi = full - level > spread ? level + spread : full;
        return static_cast<Pixel>(Uniform64(rng, lo, hi));
    };
    for (auto& p : f) {
        switch (kind) {
        case 0: p = static_cast<Pixel>(Uniform64(rng, 0, full)); break;
        case 1: p = noise(); break;
        case 2: p = static_cast<Pixel>(full - Uniform64(rng, 0, 3)); break;
        case 3: p = Chance(rng, 0.1) ? static_cast<Pixel>(full) : noise(); break;
        default: p = static_cast<Pixel>(level); break;
        }
    }
    static const char* const names[] = {"uniform", "noise", "near-full", "saturated-sprinkle", "constant"};
    std::ostringstream s;
    s << names[kind] << "(level " << level << ", spread " << spread << ")";
    shape = s.str();
    return f;
}

template <class T>
std::vector<uint8_t> Bytes(const std::vector<T>& v)
{
    std::vector<uint8_t> b(v.size() * sizeof(T));
    if (!b.empty())
        std::memcpy(b.data(), v.data(), b.size());
    return b;
}

// What one case produced: the library's and the reference's results as bytes
// (compared exactly), and the parameters for the reproducer.
struct Outcome {
    std::string params;
    std::vector<uint8_t> library, reference;
    size_t elementSize = 1; // for locating the first difference
    std::string note;       // what the library and reference disagree on, beyond the bytes
};

// Each operation: a name and a function that draws a case from rng and runs
// it on the library and on the reference.
struct Operation {
    const char* name;
    void (*run)(Rng& rng, Outcome& out);
};

// Registered by each ops_*.cpp.
std::vector<Operation>& Operations();
struct Register {
    Register(const char* name, void (*run)(Rng&, Outcome&)) { Operations().push_back({name, run}); }
};

// A thread count for the call: results must not depend on it.
int ThreadsFor(Rng& rng);

} // namespace soak
