// The randomised differential soak: every case is one frame function call
// with random sizes, depth and parameters inside the function's contract,
// checked against a slow literal reference. A case is fully determined by the
// operation's name and a 64-bit seed, so any difference can be replayed.
#pragma once

#include <omp.h>

#include <algorithm>
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

// A size now and then (by chance `none`) 0 or below, where a function writes
// nothing.
inline int Extent(Rng& rng, int max, double none)
{
    return Chance(rng, none) ? Uniform(rng, -3, 0) : Size(rng, max);
}

// Frame contents in one of several shapes: full-range noise, narrow noise on
// a level, values at or near full scale, a sprinkle of saturated pixels, a
// constant frame. The shape goes into the parameters under `label`.
template <class Pixel>
std::vector<Pixel> Frame(Rng& rng, size_t pixels, std::ostream& params, const char* label = "source")
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
    params << ", " << label << " " << names[kind] << "(level " << level << ", spread " << spread << ")";
    return f;
}

// Values of a pixel type drawn uniformly over its whole range.
template <class Pixel> std::vector<Pixel> Noise(Rng& rng, size_t n)
{
    std::vector<Pixel> v(n);
    for (auto& p : v)
        p = static_cast<Pixel>(Uniform64(rng, 0, std::numeric_limits<Pixel>::max()));
    return v;
}

// What one case produced: the parameters for the reproducer, the library's
// and the reference's results as bytes (compared exactly), and what the two
// disagree on beyond the bytes.
struct Outcome {
    Outcome()
    {
        params.precision(17);
        note.precision(17);
    }
    std::ostringstream params, note;
    std::vector<uint8_t> library, reference;
    size_t elementSize = 1; // for locating the first difference

    template <class T> void Compare(const std::vector<T>& lib, const std::vector<T>& ref)
    {
        const auto *l = reinterpret_cast<const uint8_t*>(lib.data()), *r = reinterpret_cast<const uint8_t*>(ref.data());
        library.assign(l, l + lib.size() * sizeof(T));
        reference.assign(r, r + ref.size() * sizeof(T));
        elementSize = sizeof(T);
    }
};

// Each operation: a name and a function that draws a case from rng and runs
// it on the library and on the reference.
struct Operation {
    const char* name;
    void (*run)(Rng& rng, Outcome& out);
};

// Registered by each ops_*.cpp.
inline std::vector<Operation>& Operations()
{
    static std::vector<Operation> ops;
    return ops;
}
struct Register {
    Register(const char* name, void (*run)(Rng&, Outcome&)) { Operations().push_back({name, run}); }
};

// Registers Case<uint16_t> and Case<uint32_t>, one of them drawn per case.
#define SOAK_OPERATION(name, Case)                                                                                    \
    const Register register##Case(name, [](Rng& rng, Outcome& out) {                                                  \
        Chance(rng, 0.5) ? Case<uint16_t>(rng, out) : Case<uint32_t>(rng, out);                                       \
    })

// Sets a thread count for the call, which results must not depend on, and
// notes it in the parameters.
inline void Threads(Rng& rng, std::ostream& params)
{
    static const int counts[] = {1, 2, 3, 4, 7};
    const int n = counts[Uniform(rng, 0, 4)];
    omp_set_num_threads(n);
    params << ", " << n << " threads";
}

// The seed of case `index` of a run: cases spread over the whole seed range.
inline uint64_t CaseSeed(uint64_t runSeed, uint64_t index)
{
    uint64_t x = runSeed ^ (index * 0x9E3779B97F4A7C15ull);
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Runs the case the seed determines: "" when the library and the reference
// agree, else what differs and how to replay it.
inline std::string Difference(const Operation& op, uint64_t caseSeed, std::string* params = nullptr)
{
    Rng rng(caseSeed);
    Outcome out;
    op.run(rng, out);
    if (params)
        *params = out.params.str();
    if (out.library == out.reference && out.note.str().empty())
        return "";
    std::ostringstream s;
    s << "DIFFERENCE in " << op.name << "\n  parameters: " << out.params.str() << "\n";
    if (!out.note.str().empty())
        s << "  " << out.note.str() << "\n";
    if (out.library.size() != out.reference.size())
        s << "  result sizes: library " << out.library.size() << " bytes, reference " << out.reference.size() << "\n";
    const auto diff = std::mismatch(out.library.begin(), out.library.end(), out.reference.begin(), out.reference.end());
    if (diff.first != out.library.end() && diff.second != out.reference.end()) {
        const size_t e = static_cast<size_t>(diff.first - out.library.begin()) / out.elementSize;
        uint64_t lib = 0, ref = 0;
        std::memcpy(&lib, &out.library[e * out.elementSize], std::min<size_t>(8, out.elementSize));
        std::memcpy(&ref, &out.reference[e * out.elementSize], std::min<size_t>(8, out.elementSize));
        s << "  first difference at element " << e << ": library " << lib << ", reference " << ref << "\n";
    }
    s << "  reproduce: tamrix_soak --op " << op.name << " --case " << caseSeed << "\n";
    return s.str();
}

} // namespace soak
