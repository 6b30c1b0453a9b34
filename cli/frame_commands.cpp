// Subcommands over whole frames: calibrate, bin.
#include "commands.h"
#include "failure.h"

#include "intake/operations.h"
#include "tamrix.h"

#include <cmath>
#include <cstdio>
#include <optional>

namespace tamrix::cli {
namespace {

struct CalibrateArgs {
    std::string light, dark, flat, output;
    std::optional<double> level;
    ReadArgs read;
};

void Calibrate(const CalibrateArgs& a)
{
    if (a.dark.empty() && a.flat.empty())
        throw Failure(kExitUsage, "calibrate needs --dark, --flat or both");
    // The light and its dark share one mapping; the flat is mapped by its
    // scale alone.
    std::vector<Frame> frames = ReadFrames(a.dark.empty() ? std::vector { a.light } : std::vector { a.light, a.dark },
        a.read, /*pixelwise=*/true);
    Frame& light = frames[0];
    std::vector<std::string> history;
    if (!a.dark.empty()) {
        intake::SubtractDark(light, frames[1]);
        history.push_back(History("calibrate", "dark frame " + a.dark + " subtracted"));
    }
    if (!a.flat.empty()) {
        const Frame flat = ReadDivisor(a.flat, light, a.read);
        intake::Warnings warnings;
        const double level = intake::DivideFlat(light, flat, a.level, warnings);
        PrintWarnings(warnings);
        history.push_back(History("calibrate",
            "divided by flat field " + a.flat + " at level " + Number(level) + (a.level ? "" : " (its mean)")));
    }
    WriteFrame(a.output, light, history, /*keepInvalid=*/true);
}

struct BinArgs {
    std::string input, output;
    int factor = 0, binX = 0, binY = 0;
    ReadArgs read;
};

void BinFrame(const BinArgs& a)
{
    const int bx = a.binX ? a.binX : (a.factor ? a.factor : 2);
    const int by = a.binY ? a.binY : (a.factor ? a.factor : 2);
    Frame in = ReadFrame(a.input, a.read);
    if (bx > in.width || by > in.height)
        throw FileFailure(kExitUsage, a.input,
            "a " + std::to_string(in.width) + " x " + std::to_string(in.height) + " frame has no whole "
                + std::to_string(bx) + " x " + std::to_string(by) + " block");
    if (double(in.Max()) * bx * by > 4294967295.0)
        intake::MoveLowestToZero(in); // signed data lie around 2^31: sums of those would wrap
    Frame out(in.width / bx, in.height / by, intake::BinnedMapping(in, bx, by));
    out.cards = std::move(in.cards);
    out.outputBitpix = in.outputBitpix;
    tamrix::Bin(bx, by, in.Data(), out.Data(), in.width, in.height, in.Depth());

    std::vector<std::string> history;
    history.push_back(History("bin",
        std::to_string(bx) + " x " + std::to_string(by) + " blocks of " + a.input + " summed into 32-bit pixels"));
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
        cmd->add_option("--level", args->level, "flat reference level in the flat's units (default: the flat's mean)")
            ->check(CLI::PositiveNumber & Finite());
        cmd->add_option("--output,-o", args->output, "calibrated frame (FITS)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
        AddReadOptions(cmd, args->read);
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
        cmd->add_option("--output,-o", args->output, "binned frame (FITS, 32-bit)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
        AddReadOptions(cmd, args->read);
        cmd->callback([&action, args] { action = [args] { BinFrame(*args); }; });
    }
}

} // namespace tamrix::cli
