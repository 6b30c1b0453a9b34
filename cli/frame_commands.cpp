// Subcommands over whole frames: calibrate, bin.
#include "commands.h"
#include "failure.h"

#include "tamrix.h"

#include <cmath>
#include <cstdio>

namespace tamrix::cli {
namespace {

struct CalibrateArgs {
    std::string light, dark, flat, output;
    double level = 0.0;
};

void Calibrate(const CalibrateArgs& a)
{
    if (a.dark.empty() && a.flat.empty())
        throw Failure(kExitUsage, "calibrate needs --dark, --flat or both");
    Frame light = ReadFrame(a.light);
    std::vector<std::string> history;
    if (!a.dark.empty()) {
        Frame dark = ReadFrame(a.dark);
        MatchFrame(light, dark);
        tamrix::DiffDark(light.Data(), light.Data(), dark.Data(), light.width, light.height, light.depth);
        history.push_back(History("calibrate", "dark frame " + a.dark + " subtracted"));
    }
    if (!a.flat.empty()) {
        Frame flat = ReadFrame(a.flat);
        MatchFrame(light, flat);
        // The integer level m = level + 0.5 multiplies 16-bit pixels in 32 bits,
        // exact only while m fits 16 bits.
        if (light.depth == 2 && a.level >= 65535.5)
            throw Failure(kExitUsage, "--level " + Number(a.level) + " is above 65535, the range of a 16-bit frame");
        double level = a.level;
        tamrix::Flat(light.Data(), light.Data(), flat.Data(), &level, light.width, light.height, light.depth);
        history.push_back(History("calibrate",
            "divided by flat field " + a.flat + " at level " + Number(level) + (a.level > 0 ? "" : " (its mean)")));
    }
    WriteFrame(a.output, light, history);
}

struct BinArgs {
    std::string input, output;
    int factor = 0, binX = 0, binY = 0;
};

void BinFrame(const BinArgs& a)
{
    const int bx = a.binX ? a.binX : (a.factor ? a.factor : 2);
    const int by = a.binY ? a.binY : (a.factor ? a.factor : 2);
    Frame in = ReadFrame(a.input);
    if (bx > in.width || by > in.height)
        throw FileFailure(kExitUsage, a.input,
            "a " + std::to_string(in.width) + " x " + std::to_string(in.height) + " frame has no whole "
                + std::to_string(bx) + " x " + std::to_string(by) + " block");
    Frame out(in.width / bx, in.height / by, 4); // sums are always 32-bit
    out.cards = std::move(in.cards);
    tamrix::Bin(bx, by, in.Data(), out.Data(), in.width, in.height, in.depth);

    std::vector<std::string> history;
    history.push_back(History("bin",
        std::to_string(bx) + " x " + std::to_string(by) + " blocks of " + a.input + " summed into 32-bit pixels"));
    if (in.depth == 4 && double(in.Max()) * bx * by > 4294967295.0)
        std::fprintf(stderr, "tamrix: warning: %s: block sums above 4294967295 wrap around\n", a.input.c_str());
    MapWcs(out, history, "bin", intake::BinMap(bx, by));
    WriteFrame(a.output, out, history);
}

} // namespace

void AddFrameCommands(CLI::App& app, Action& action)
{
    {
        auto args = std::make_shared<CalibrateArgs>();
        CLI::App* cmd = app.add_subcommand("calibrate", "subtract a dark frame and divide by a flat field");
        cmd->add_option("light", args->light, "light frame (FITS)")->required();
        cmd->add_option("--dark,-d", args->dark, "dark frame: subtracted, clamping at 0, saturated pixels kept");
        cmd->add_option("--flat,-f", args->flat, "flat field: result = light * level / flat");
        cmd->add_option("--level", args->level, "flat reference level; 0 (default) uses the flat's mean")
            ->check(CLI::NonNegativeNumber);
        cmd->add_option("--output,-o", args->output, "calibrated frame (FITS)")->required();
        cmd->callback([&action, args] { action = [args] { Calibrate(*args); }; });
    }
    {
        auto args = std::make_shared<BinArgs>();
        CLI::App* cmd = app.add_subcommand("bin", "sum blocks of pixels into a smaller 32-bit frame");
        cmd->add_option("input", args->input, "frame (FITS)")->required();
        cmd->add_option("--factor,-n", args->factor, "block size in both directions (default 2)")
            ->check(CLI::PositiveNumber);
        cmd->add_option("--bin-x,-x", args->binX, "block width (overrides --factor)")->check(CLI::PositiveNumber);
        cmd->add_option("--bin-y,-y", args->binY, "block height (overrides --factor)")->check(CLI::PositiveNumber);
        cmd->add_option("--output,-o", args->output, "binned frame (FITS, 32-bit)")->required();
        cmd->callback([&action, args] { action = [args] { BinFrame(*args); }; });
    }
}

} // namespace tamrix::cli
