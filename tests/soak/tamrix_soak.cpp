// tamrix_soak: runs random cases of every frame function against the
// references until the time is up or a case differs.
//
//   tamrix_soak --duration 10m [--seed N] [--op NAME]   random cases
//   tamrix_soak --op NAME --case SEED                   replay one case
#include "soak.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>

int main(int argc, char** argv)
{
    using namespace soak;
    double seconds = 60;
    uint64_t seed = static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count());
    std::string only;
    bool replay = false;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        char* end = nullptr;
        if (arg == "--duration") {
            seconds = std::strtod(argv[i + 1], &end);
            seconds *= *end == 'h' ? 3600 : *end == 'm' ? 60 : 1;
        } else if (arg == "--seed" || arg == "--case") {
            seed = std::strtoull(argv[i + 1], nullptr, 0);
            replay = arg == "--case";
        } else if (arg == "--op") {
            only = argv[i + 1];
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
    if (replay) {
        std::string params;
        const std::string difference = Difference(ops.front(), seed, &params);
        std::printf("%s case %llu: %s\n%s", ops.front().name, static_cast<unsigned long long>(seed), params.c_str(),
                    difference.c_str());
        return difference.empty() ? 0 : 1;
    }
    std::printf("soak: seed %llu, %zu operations\n", static_cast<unsigned long long>(seed), ops.size());
    std::fflush(stdout);
    std::map<std::string, uint64_t> calls;
    uint64_t total = 0;
    const auto start = std::chrono::steady_clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(); };
    std::string difference;
    for (double nextReport = 60; difference.empty() && elapsed() < seconds;) {
        const uint64_t s = CaseSeed(seed, total);
        const Operation& op = ops[s % ops.size()];
        difference = Difference(op, s);
        calls[op.name] += difference.empty();
        total += difference.empty();
        if (elapsed() >= nextReport) {
            std::printf("soak: %.0f s, %llu calls compared\n", elapsed(), static_cast<unsigned long long>(total));
            std::fflush(stdout);
            nextReport += 60;
        }
    }
    std::printf("%s%ssoak: %s after %.1f s, %llu calls compared\n", difference.empty() ? "" : "\n",
                difference.c_str(), difference.empty() ? "no difference" : "stopped", elapsed(),
                static_cast<unsigned long long>(total));
    for (const auto& [name, count] : calls)
        std::printf("  %-28s %llu\n", name.c_str(), static_cast<unsigned long long>(count));
    return difference.empty() ? 0 : 1;
}
