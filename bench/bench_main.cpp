// Runs every registered benchmark, then prints each operation beside the
// streaming floor of the same byte counts measured in the same run.
#include "support.h"

#include <cstdio>
#include <map>
#include <omp.h>
#include <string>

namespace {

class FloorReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const double seconds = run.GetAdjustedRealTime() / 1e3; // reported in ms
            // UseRealTime() appends "/real_time" to both names of a pair.
            std::string name = run.benchmark_name();
            const std::string suffix = "/real_time";
            if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
                name.resize(name.size() - suffix.size());
            times_[name] = seconds;
            auto rate = run.counters.find("Mpx/s");
            if (rate != run.counters.end())
                rates_[name] = rate->second.value;
        }
    }

    void PrintSummary() const
    {
        std::printf("\n%-36s %10s %10s %10s %8s\n", "operation", "Mpx/s", "ms", "floor ms", "ratio");
        for (const auto& [name, seconds] : times_) {
            const std::string floorName = name + "/floor";
            auto floor = times_.find(floorName);
            if (floor == times_.end())
                continue;
            auto rate = rates_.find(name);
            std::printf("%-36s %10.0f %10.3f %10.3f %8.2f\n", name.c_str(),
                        rate != rates_.end() ? rate->second : 0.0, seconds * 1e3, floor->second * 1e3,
                        seconds / floor->second);
        }
        std::printf("(ratio = operation time / floor time; threads: %d)\n", omp_get_max_threads());
    }

private:
    std::map<std::string, double> times_;
    std::map<std::string, double> rates_;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    FloorReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    reporter.PrintSummary();
    benchmark::Shutdown();
    return 0;
}
