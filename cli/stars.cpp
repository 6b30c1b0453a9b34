// tamrix stars: star detection to CSV and DS9 regions.
#include "commands.h"
#include "failure.h"
#include "output.h"
#include "starlist.h"

#include "tamrix.h"

#include <algorithm>
#include <cstdio>

namespace tamrix::cli {
namespace {

struct StarsArgs {
    std::string input, csv, regions;
    int radius = 8, neighbours = 2;
    double k = 4.0;
    unsigned start = 0;
    bool singleThread = false;
    double markRadius = 6;
};

void Collect(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    static_cast<std::vector<Star>*>(context)->push_back(Star { x, y, cx, cy, flux, peak });
}

void FindStarsCommand(const StarsArgs& a)
{
    Frame frame = ReadFrame(a.input);
    // Open the outputs first: a bad path fails before the search.
    std::unique_ptr<AtomicFile> csv, regions;
    if (!a.csv.empty())
        csv = std::make_unique<AtomicFile>(a.csv);
    if (!a.regions.empty())
        regions = std::make_unique<AtomicFile>(a.regions);

    std::vector<Star> stars;
    std::vector<unsigned> mask((frame.Pixels() + 31) / 32, 0u);
    if (a.singleThread) {
        tamrix::FindStars1C(a.radius, a.k, a.neighbours, a.start, frame.Data(), frame.width, frame.height, frame.depth,
            mask.data(), &stars, Collect);
    } else {
        // Worker threads report in no fixed order; sort for a stable listing.
        tamrix::FindStars(a.radius, a.k, a.neighbours, a.start, frame.Data(), frame.width, frame.height, frame.depth,
            mask.data(), &stars, Collect);
        std::sort(stars.begin(), stars.end(),
            [](const Star& l, const Star& r) { return l.y != r.y ? l.y < r.y : l.x < r.x; });
    }
    ThrowIfInterrupted();

    if (!csv && !regions) {
        std::fputs(StarCsv(stars).c_str(), stdout);
        return;
    }
    if (csv)
        csv->Write(StarCsv(stars));
    if (regions)
        regions->Write(StarRegions(stars, a.markRadius));
    if (csv)
        csv->Commit();
    if (regions)
        regions->Commit();
    std::fprintf(stderr, "%s: %zu stars\n", a.input.c_str(), stars.size());
}

} // namespace

void AddStarsCommand(CLI::App& app, Action& action)
{
    auto args = std::make_shared<StarsArgs>();
    CLI::App* cmd = app.add_subcommand("stars", "find stars: CSV (to stdout by default) and DS9 regions");
    cmd->add_option("input", args->input, "frame (FITS)")->required();
    cmd->add_option(
           "--radius,-r", args->radius, "window half-size, 2 .. 25 (default 8); a star must fit inside the window")
        ->check(CLI::Range(2, 25));
    cmd->add_option("--sigma,-k", args->k, "detection threshold in clipped standard deviations (default 4)");
    cmd->add_option("--neighbours,-q", args->neighbours, "bright neighbours a star pixel needs, 0 .. 8 (default 2)")
        ->check(CLI::Range(0, 8));
    cmd->add_option("--start-level", args->start, "examine only positions at least this bright (default 0)");
    cmd->add_flag(
        "--single-thread", args->singleThread, "scan on one thread: the same list in the same order every run");
    cmd->add_option("--csv", args->csv, "star list (CSV: x,y,cx,cy,flux,peak)");
    cmd->add_option("--regions", args->regions, "DS9 region file with a circle per star");
    cmd->add_option("--mark-radius", args->markRadius, "circle radius in the region file (default 6)")
        ->check(CLI::PositiveNumber);
    cmd->callback([&action, args] { action = [args] { FindStarsCommand(*args); }; });
}

} // namespace tamrix::cli
