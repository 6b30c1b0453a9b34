// tamrix_soak: runs random cases of every frame function against literal
// references until the time is up or a case differs.
//
//   tamrix_soak --duration 10m [--seed N] [--op NAME]   random cases
//   tamrix_soak --op NAME --case SEED                   replay one case
#include "soak.h"

#include <omp.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace soak {

std::vector<Operation>& Operations()
{
    static std::vector<Operation> ops;
    return ops;
}

int ThreadsFor(Rng& rng)
{
    static const int counts[] = {1, 2, 3, 4, 7};
    return counts[Uniform(rng, 0, 4)];
}

namespace {

double ParseDuration(const char* text)
{
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    switch (*end) {
    case 'h': return v * 3600;
    case 'm': return v * 60;
    default: return v;
    }
}

uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

// Runs one case; on a difference prints what differs and the reproducer.
bool RunCase(const Operation& op, uint64_t caseSeed, bool verbose)
{
    Rng rng(caseSeed);
    Outcome out;
    op.run(rng, out);
    if (verbose)
        std::printf("%s case %llu: %s\n", op.name, static_cast<unsigned long long>(caseSeed), out.params.c_str());
    if (out.library == out.reference && out.note.empty())
        return true;
    std::printf("\nDIFFERENCE in %s\n  parameters: %s\n", op.name, out.params.c_str());
    if (!out.note.empty())
        std::printf("  %s\n", out.note.c_str());
    if (out.library.size() != out.reference.size())
        std::printf("  result sizes: library %zu bytes, reference %zu bytes\n", out.library.size(),
                    out.reference.size());
    const size_t n = std::min(out.library.size(), out.reference.size());
    for (size_t i = 0; i < n; ++i)
        if (out.library[i] != out.reference[i]) {
            const size_t e = i / out.elementSize;
            uint64_t lib = 0, ref = 0;
            std::memcpy(&lib, &out.library[e * out.elementSize], std::min<size_t>(8, out.elementSize));
            std::memcpy(&ref, &out.reference[e * out.elementSize], std::min<size_t>(8, out.elementSize));
            std::printf("  first difference at element %zu: library %llu (0x%llx), reference %llu (0x%llx)\n", e,
                        static_cast<unsigned long long>(lib), static_cast<unsigned long long>(lib),
                        static_cast<unsigned long long>(ref), static_cast<unsigned long long>(ref));
            break;
        }
    std::printf("  reproduce: tamrix_soak --op %s --case %llu\n", op.name, static_cast<unsigned long long>(caseSeed));
    return false;
}

} // namespace
} // namespace soak

int main(int argc, char** argv)
{
    using namespace soak;
    double seconds = 60;
    uint64_t seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    std::string only;
    bool replay = false;
    uint64_t caseSeed = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--duration")
            seconds = ParseDuration(argv[i + 1]);
        else if (arg == "--seed")
            seed = std::strtoull(argv[i + 1], nullptr, 0);
        else if (arg == "--op")
            only = argv[i + 1];
        else if (arg == "--case") {
            replay = true;
            caseSeed = std::strtoull(argv[i + 1], nullptr, 0);
        } else {
            std::fprintf(stderr, "unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    std::vector<Operation> ops;
    for (const Operation& op : Operations())
        if (only.empty() || only == op.name)
            ops.push_back(op);
    if (ops.empty()) {
        std::fprintf(stderr, "no operation named %s\n", only.c_str());
        return 2;
    }
    if (replay)
        return RunCase(ops.front(), caseSeed, true) ? 0 : 1;

    std::printf("soak: seed %llu, %.0f s, %zu operations\n", static_cast<unsigned long long>(seed), seconds,
                ops.size());
    std::fflush(stdout);
    std::map<std::string, uint64_t> calls;
    uint64_t total = 0;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    double nextReport = 60;
    bool ok = true;
    for (uint64_t index = 0; elapsed() < seconds; ++index) {
        const uint64_t s = Mix(seed ^ Mix(index));
        const Operation& op = ops[s % ops.size()];
        if (!RunCase(op, s, false)) {
            ok = false;
            break;
        }
        ++calls[op.name];
        ++total;
        if (elapsed() >= nextReport) {
            std::printf("soak: %.0f s, %llu calls compared\n", elapsed(), static_cast<unsigned long long>(total));
            std::fflush(stdout);
            nextReport += 60;
        }
    }
    std::printf("soak: %s after %.1f s, %llu calls compared\n", ok ? "no difference" : "stopped", elapsed(),
                static_cast<unsigned long long>(total));
    for (const auto& [name, count] : calls)
        std::printf("  %-28s %llu\n", name.c_str(), static_cast<unsigned long long>(count));
    return ok ? 0 : 1;
}
