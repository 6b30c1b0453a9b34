// tamrix stars: star detection to CSV and DS9 regions.
#include "commands.h"
#include "failure.h"
#include "network.h"
#include "output.h"
#include "starlist.h"

#include "detect/stars.h"
#include "detect/training.h"
#include "intake/operations.h"
#include "nnet.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>

namespace tamrix::cli {
namespace {

struct StarsArgs {
    std::string input, csv, regions, network;
    int radius = 8, neighbours = 2;
    bool radiusGiven = false;
    float level = detect::kShippedLevel;
    bool deprecatedNn = false; // --nn FILE, the former form of --network FILE
    double k = 4.0;
    std::optional<double> start;
    double startSigma = detect::Options {}.startSigma, minSnr = detect::Options {}.minSnr;
    std::optional<double> maxFwhm, saturation;
    bool singleThread = false;
    double markRadius = 6;
    ReadArgs read;
};

void FindStarsCommand(const StarsArgs& a)
{
    // The network first: it is the smaller file, and its radius may be needed
    // to judge the frame.
    nnet::CNetwork net;
    int radius = a.radius;
    if (!a.network.empty()) {
        LoadNetwork(net, a.network);
        const int fits = detect::NetworkRadius(net);
        if (fits < 0)
            throw FileFailure(kExitMismatch, a.network,
                "a " + ShapeText(LayerSizes(net))
                    + " network does not rate star windows: it needs (2r+1)^2 inputs "
                      "and one output");
        if (a.radiusGiven && a.radius != fits)
            throw FileFailure(kExitMismatch, a.network,
                "its windows have half-size " + std::to_string(fits) + ", not --radius " + std::to_string(a.radius));
        radius = fits;
    }
    Frame frame = ReadFrame(a.input, a.read);
    // The start level in frame values; below the frame's range it passes all.
    const unsigned start = !a.start || *a.start <= frame.mapping.Lowest()
        ? 0u
        : frame.mapping.FrameValue(std::min(*a.start, frame.mapping.Highest()), "--start-level");
    const std::optional<uint32_t> saturation = intake::SaturationLevel(frame, a.saturation);
    // Open the outputs first: a bad path fails before the search.
    std::unique_ptr<AtomicFile> csv, regions;
    if (!a.csv.empty())
        csv = std::make_unique<AtomicFile>(a.csv);
    if (!a.regions.empty())
        regions = std::make_unique<AtomicFile>(a.regions);

    // The network's groups or the classic passes, measured and filtered by
    // the detect layer alike.
    detect::Options options;
    if (a.radiusGiven)
        options.radius = a.radius;
    options.k = a.k;
    options.neighbours = a.neighbours;
    options.startSigma = a.startSigma;
    if (a.start)
        options.startLevel = start;
    options.minSnr = a.minSnr;
    if (a.maxFwhm)
        options.maxFwhm = *a.maxFwhm;
    options.saturation = saturation;
    if (!frame.invalid.empty())
        options.undefined = &frame.invalid;
    options.parallel = !a.singleThread;
    if (!a.network.empty()) {
        options.network = &net;
        options.networkRadius = radius;
        options.level = a.level;
    }
    std::vector<Star> stars;
    for (const detect::Star& s :
        detect::FindStars(frame.Data(), frame.width, frame.height, frame.Depth(), options).stars)
        stars.push_back(
            Star { s.x, s.y, s.cx, s.cy, s.flux, double(s.peak), s.fwhm, s.elongation, s.snr, s.sharpness, s.flags });
    ThrowIfInterrupted();
    for (Star& s : stars) {
        s.flux = intake::PhysicalFlux(frame.mapping, s.flux, 0);
        s.peak = frame.mapping.Physical(s.peak);
    }

    if (!csv && !regions) {
        std::fputs(StarCsv(stars, true).c_str(), stdout);
        return;
    }
    if (csv)
        csv->Write(StarCsv(stars, true));
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
    CLI::Option* radius = cmd->add_option("--radius,-r", args->radius,
                                 "window half-size, 2 .. 25 (default: from the stars' measured width, with a second "
                                 "pass at 25 and one on a 2x2 binned copy for larger stars; the network's own with "
                                 "--nn); a star must fit inside the window")
                              ->check(CLI::Range(2, 25));
    cmd->add_option("--sigma,-k", args->k, "detection threshold in clipped standard deviations (default 4)")
        ->check(Finite());
    CLI::Option* q = cmd->add_option("--neighbours,-q", args->neighbours,
                            "bright neighbours a star pixel needs, 0 .. 8 (default 2)")
                         ->check(CLI::Range(0, 8));
    CLI::Option* start
        = cmd->add_option("--start-level", args->start,
                 "examine only positions at least this bright, in the frame's units (default: --start-sigma)")
              ->check(Finite());
    CLI::Option* startSigma = cmd->add_option("--start-sigma", args->startSigma,
                                     "examine only positions this many noise deviations above the sky (default 4)")
                                  ->check(Finite());
    startSigma->excludes(start);
    cmd->add_option("--min-snr", args->minSnr, "drop stars of a lower signal-to-noise ratio (default 5)")
        ->check(Finite());
    cmd->add_option("--max-fwhm", args->maxFwhm, "drop stars wider than this, in pixels (default: none)")
        ->check(CLI::PositiveNumber & Finite());
    cmd->add_option("--saturation", args->saturation,
           "flag stars whose peak reaches this level, in the frame's units (default: the header's SATURATE, else "
           "the value at which the frame's data clip)")
        ->check(Finite());
    CLI::Option* single = cmd->add_flag(
        "--single-thread", args->singleThread, "scan on one thread: the same list in the same order every run");
    CLI::Option* nn = cmd->add_option("--nn", args->network,
                             "find the stars with the shipped network instead: a pixel whose window it rates at "
                             "least --level is a star pixel")
                          ->expected(0, 1)
                          ->type_name("");
    CLI::Option* network
        = cmd->add_option("--network", args->network, "find the stars with this network file (as --nn)");
    network->excludes(nn);
    for (CLI::Option* net : { nn, network })
        net->excludes(q)->excludes(start)->excludes(single)->excludes(startSigma);
    char levelHelp[128];
    std::snprintf(levelHelp, sizeof levelHelp,
        "with --nn or --network: the least rating of a star pixel, 0 .. 1 (default %.3g)",
        double(detect::kShippedLevel));
    CLI::Option* level = cmd->add_option("--level", args->level, levelHelp)->check(CLI::Range(0.0, 1.0) & Finite());

    cmd->add_option(
           "--csv", args->csv, "star list (CSV: x,y,cx,cy,flux,peak,fwhm,elongation,snr,sharpness,flags); - is stdout")
        ->check(OutputFile(OutputKind::Text));
    cmd->add_option("--regions", args->regions, "DS9 region file with a circle per star; - is stdout")
        ->check(OutputFile(OutputKind::Text));
    cmd->add_option("--mark-radius", args->markRadius, "circle radius in the region file (default 6)")
        ->check(CLI::PositiveNumber & Finite());
    AddReadOptions(cmd, args->read);
    cmd->callback([&action, args, radius, nn, network, level] {
        if (level->count() > 0 && nn->count() == 0 && network->count() == 0)
            throw CLI::RequiresError("--level", "--nn or --network");
        args->radiusGiven = radius->count() > 0;
        const bool shipped = nn->count() > 0 && args->network.empty();
        args->deprecatedNn = nn->count() > 0 && !args->network.empty();
        action = [args, shipped] {
            if (args->deprecatedNn)
                std::fputs("--nn FILE is deprecated: use --network FILE\n", stderr);
            if (shipped)
                args->network = ShippedNetwork();
            FindStarsCommand(*args);
        };
    });
}

} // namespace tamrix::cli
