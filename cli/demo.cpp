// tamrix demo [DIR]: a synthetic night processed end to end, with timings.
#include "commands.h"
#include "failure.h"
#include "output.h"
#include "starlist.h"
#include "synthetic.h"

#include "tamrix.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/stat.h>

namespace tamrix::cli {
namespace {

using Clock = std::chrono::steady_clock;

class Steps {
public:
    template <class Fn> void Run(const char* name, Fn&& fn)
    {
        const auto start = Clock::now();
        fn();
        const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        std::printf("  %-44s %9.1f ms\n", name, ms);
        std::fflush(stdout);
        total_ += ms;
        ThrowIfInterrupted();
    }
    double Total() const { return total_; }

private:
    double total_ = 0;
};

struct DemoArgs {
    std::string folder = "tamrix-demo";
    int size = 1024;
    int stars = 600;
};

void MakeFolder(const std::string& folder)
{
    struct stat st;
    if (stat(folder.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode))
            throw FileFailure(kExitFailure, folder, "exists and is not a folder");
        return;
    }
    if (mkdir(folder.c_str(), 0777) != 0)
        throw FileFailure(kExitFailure, folder, "cannot create the folder");
}

void Collect(void* context, int x, int y, double cx, double cy, double flux, unsigned peak)
{
    static_cast<std::vector<Star>*>(context)->push_back(Star { x, y, cx, cy, flux, peak });
}

void Demo(const DemoArgs& a)
{
    MakeFolder(a.folder);
    const std::string dir = a.folder + "/";
    const int w = a.size, h = a.size;
    std::printf("tamrix demo: a synthetic night of %d x %d 16-bit frames in %s\n", w, h, a.folder.c_str());
    Steps steps;

    SyntheticNight night;
    steps.Run("make the night (2 lights, dark, flat)", [&] { night = MakeNight(w, h, a.stars, 2026); });
    steps.Run("write the raw frames (FITS)", [&] {
        WriteFrame(dir + "dark.fits", night.dark, { History("demo", "synthetic dark frame") });
        WriteFrame(dir + "flat.fits", night.flat, { History("demo", "synthetic flat field") });
        for (int f = 0; f < 2; ++f)
            WriteFrame(dir + "light" + std::to_string(f + 1) + ".fits", night.lights[f],
                { History("demo", "synthetic light frame") });
    });

    Frame calibrated[2] = { night.lights[0], night.lights[1] };
    double level = 0;
    steps.Run("DiffDark + Flat, both lights", [&] {
        for (Frame& light : calibrated) {
            level = 0;
            tamrix::DiffDark(light.Data(), light.Data(), night.dark.Data(), w, h, 2);
            tamrix::Flat(light.Data(), light.Data(), night.flat.Data(), &level, w, h, 2);
        }
    });
    steps.Run("write the calibrated frames (FITS)", [&] {
        for (int f = 0; f < 2; ++f)
            WriteFrame(dir + "calibrated" + std::to_string(f + 1) + ".fits", calibrated[f],
                { History("demo", "dark subtracted, flat-fielded at level " + Number(level)) });
    });

    Frame binned(w / 2, h / 2, 4);
    steps.Run("Bin 2 x 2", [&] { tamrix::Bin(2, 2, calibrated[0].Data(), binned.Data(), w, h, 2); });

    std::vector<Star> stars[2];
    steps.Run("FindStars on both calibrated frames", [&] {
        for (int f = 0; f < 2; ++f) {
            std::vector<unsigned> mask((size_t(w) * h + 31) / 32, 0u);
            tamrix::FindStars(8, 4.0, 2, 0, calibrated[f].Data(), w, h, 2, mask.data(), &stars[f], Collect);
            std::sort(stars[f].begin(), stars[f].end(),
                [](const Star& l, const Star& r) { return l.y != r.y ? l.y < r.y : l.x < r.x; });
        }
    });
    steps.Run("write the star lists (CSV, DS9 regions)", [&] {
        for (int f = 0; f < 2; ++f) {
            const std::string n = std::to_string(f + 1);
            AtomicFile csv(dir + "stars" + n + ".csv"), reg(dir + "stars" + n + ".reg");
            csv.Write(StarCsv(stars[f]));
            reg.Write(StarRegions(stars[f], 6));
            csv.Commit();
            reg.Commit();
        }
    });

    std::printf("  %-44s %9.1f ms\n", "total", steps.Total());
    for (int f = 0; f < 2; ++f)
        std::printf("frame %d: %zu stars\n", f + 1, stars[f].size());
    std::printf("files in %s: dark.fits flat.fits light1.fits light2.fits calibrated1.fits calibrated2.fits, "
                "stars1.csv stars2.csv with .reg\n",
        a.folder.c_str());
}

} // namespace

void AddDemoCommand(CLI::App& app, Action& action)
{
    auto args = std::make_shared<DemoArgs>();
    CLI::App* cmd = app.add_subcommand("demo", "process a synthetic night end to end and print the timings");
    cmd->add_option("folder", args->folder, "where the frames and pictures go (default tamrix-demo)");
    cmd->add_option("--size", args->size, "frame width and height in pixels (default 1024)")
        ->check(CLI::Range(64, 8192));
    cmd->add_option("--stars", args->stars, "number of stars (default 600)")->check(CLI::Range(0, 100000));
    cmd->callback([&action, args] { action = [args] { Demo(*args); }; });
}

} // namespace tamrix::cli
