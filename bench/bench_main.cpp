// Runs every registered benchmark, then prints each operation beside the
// streaming floor of the same byte counts measured in the same run (the
// median of the repetitions of each, with --benchmark_repetitions).
#include "support.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <omp.h>
#include <string>
#include <vector>

namespace {

class FloorReporter : public benchmark::ConsoleReporter {
public:
    FloorReporter() : ConsoleReporter(OO_Tabular) {}

    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Iteration)
                continue;
            const double seconds = run.GetAdjustedRealTime() / 1e3; // reported in ms
            // The registered name, without the "/real_time" suffix that
            // benchmark_name() adds, so that "op" finds "op/floor".
            const std::string& name = run.run_name.function_name;
            times_[name].push_back(seconds);
            auto rate = run.counters.find("Mpx/s");
            if (rate != run.counters.end())
                megapixels_[name] = rate->second.value * seconds; // per iteration
            auto samples = run.counters.find("samples/s");
            if (samples != run.counters.end())
                samples_[name] = samples->second.value;
        }
    }

    void PrintSummary() const
    {
        std::printf("\n%-36s %10s %10s %10s %8s\n", "operation", "Mpx/s", "ms", "floor ms", "ratio");
        for (const auto& [name, runs] : times_) {
            auto floor = times_.find(name + "/floor");
            if (floor == times_.end())
                continue;
            const double seconds = Median(runs), floorSeconds = Median(floor->second);
            auto megapixels = megapixels_.find(name);
            std::printf("%-36s %10.0f %10.3f %10.3f %8.2f\n", name.c_str(),
                        megapixels != megapixels_.end() ? megapixels->second / seconds : 0.0, seconds * 1e3,
                        floorSeconds * 1e3, seconds / floorSeconds);
        }
        std::printf("(ratio = median operation time / median floor time over the repetitions; threads: %d)\n",
                    omp_get_max_threads());
        PrintLevels();
    }

    // Operations measured at several vector levels (".../Scalar", ".../AVX2"):
    // each beside the scalar level of the same run.
    void PrintLevels() const
    {
        if (samples_.empty())
            return;
        std::printf("\n%-36s %12s %10s\n", "operation", "samples/s", "x scalar");
        for (const auto& [name, rate] : samples_) {
            const std::string base = name.substr(0, name.rfind('/') + 1) + "Scalar";
            auto scalar = samples_.find(base);
            std::printf(
                "%-36s %12.0f %10.2f\n", name.c_str(), rate, scalar != samples_.end() ? rate / scalar->second : 0.0);
        }
    }

private:
    static double Median(std::vector<double> v)
    {
        std::sort(v.begin(), v.end());
        const size_t h = v.size() / 2;
        return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
    }

    std::map<std::string, std::vector<double>> times_;
    std::map<std::string, double> megapixels_;
    std::map<std::string, double> samples_;
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
