// tamrix stats: minimum, maximum, mean and standard deviation of frames.
#include "commands.h"
#include "failure.h"

#include "tamrix.h"

#include <cstdio>

namespace tamrix::cli {
namespace {

struct StatsArgs {
    std::vector<std::string> inputs;
    std::vector<int> rect; // x, y, w, h
    bool json = false;
    ReadArgs read;
};

struct Measured {
    std::string path;
    int width, height, depth, x, y, w, h;
    double min, max, mean, sd; // physical values
    size_t invalid;
};

void Stats(const StatsArgs& a)
{
    std::vector<Measured> rows;
    const auto measure = [&](const std::string& path) {
        Frame f = ReadFrame(path, a.read);
        Measured m { path, f.width, f.height, f.Depth() * 8, 0, 0, f.width, f.height, 0, 0, 0, 0, f.InvalidCount() };
        if (!a.rect.empty()) {
            // The library fits a rectangle into the frame but leaves negative
            // corners to the caller; and an empty fit writes nothing.
            m.x = a.rect[0];
            m.y = a.rect[1];
            m.w = a.rect[2];
            m.h = a.rect[3];
            if (m.x >= f.width || m.y >= f.height)
                throw FileFailure(kExitUsage, path,
                    "--rect starts at (" + std::to_string(m.x) + ", " + std::to_string(m.y) + "), outside the "
                        + std::to_string(f.width) + " x " + std::to_string(f.height) + " frame");
            if (m.w < 1 || m.h < 1)
                throw Failure(kExitUsage, "--rect needs a width and height of at least 1");
            m.w = std::min(m.w, f.width - m.x);
            m.h = std::min(m.h, f.height - m.y);
        }
        unsigned min = 0, max = 0;
        tamrix::CalculateAreaStatistics(f.Data(), f.width, f.height, f.Depth(), m.x, m.y, m.w, m.h, &min, &max,
            &m.mean, &m.sd);
        m.min = f.mapping.Physical(min);
        m.max = f.mapping.Physical(max);
        m.mean = f.mapping.Physical(m.mean);
        m.sd *= f.mapping.scale;
        rows.push_back(m);
    };
    // Every file that fails gets its line, the others are measured still; the
    // first failure gives the exit status.
    int failed = 0;
    for (const std::string& path : a.inputs) {
        try {
            measure(path);
        } catch (const Failure& e) {
            std::fprintf(stderr, "tamrix: error: %s\n", e.what());
            failed = failed ? failed : e.Status();
        } catch (const intake::Error& e) {
            std::fprintf(stderr, "tamrix: error: %s\n", e.what());
            failed = failed ? failed : StatusOf(e.Kind());
        }
    }
    if (a.json) {
        std::printf("[\n");
        for (size_t i = 0; i < rows.size(); ++i) {
            const Measured& m = rows[i];
            std::printf("  {\"file\": %s, \"width\": %d, \"height\": %d, \"bits\": %d, "
                        "\"rect\": [%d, %d, %d, %d], \"min\": %.17g, \"max\": %.17g, \"mean\": %.17g, "
                        "\"stddev\": %.17g, \"undefined\": %zu}%s\n",
                JsonString(m.path).c_str(), m.width, m.height, m.depth, m.x, m.y, m.w, m.h, m.min, m.max, m.mean, m.sd,
                m.invalid, i + 1 < rows.size() ? "," : "");
        }
        std::printf("]\n");
        if (failed)
            throw Failure(failed, ""); // each has had its line
        return;
    }
    std::printf("%-28s %11s %4s %12s %12s %14s %12s\n", "file", "size", "bits", "min", "max", "mean", "stddev");
    for (const Measured& m : rows) {
        const std::string size = std::to_string(m.w) + "x" + std::to_string(m.h);
        std::printf("%-28s %11s %4d %12.10g %12.10g %14.10g %12.6g\n", m.path.c_str(), size.c_str(), m.depth, m.min,
            m.max, m.mean, m.sd);
    }
    if (failed)
        throw Failure(failed, "");
}

} // namespace

void AddStatsCommand(CLI::App& app, Action& action)
{
    auto args = std::make_shared<StatsArgs>();
    CLI::App* cmd = app.add_subcommand("stats", "minimum, maximum, mean and standard deviation of frames");
    cmd->add_option("inputs", args->inputs, "frames (FITS)")->required();
    cmd->add_option("--rect", args->rect, "measure only the rectangle X,Y,W,H")
        ->delimiter(',')
        ->expected(4)
        ->check(CLI::NonNegativeNumber);
    cmd->add_flag("--json", args->json, "JSON instead of a table");
    AddReadOptions(cmd, args->read);
    cmd->callback([&action, args] { action = [args] { Stats(*args); }; });
}

} // namespace tamrix::cli
