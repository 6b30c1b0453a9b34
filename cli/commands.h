// Subcommand registration. Each family adds its subcommands to the program and
// stores what the chosen one has to do in `action`, which main() runs after
// the whole command line has been parsed and checked.
#pragma once

#include <CLI/CLI.hpp>

#include <functional>
#include <string>
#include <vector>

#include "fits.h"
#include "intake/wcs.h"
#include "output.h"
#include "stack/files.h"

namespace tamrix::cli {

using Action = std::function<void()>;

void AddFrameCommands(CLI::App& app, Action& action); // calibrate, bin
void AddStarsCommand(CLI::App& app, Action& action); // stars
void AddMedianCommand(CLI::App& app, Action& action); // median
void AddGeometryCommands(CLI::App& app, Action& action); // resample, shift, transform
void AddStatsCommand(CLI::App& app, Action& action); // stats
void AddRenderCommand(CLI::App& app, Action& action); // render
void AddFieldCommands(CLI::App& app, Action& action); // fit-field, render-field
void AddNnCommand(CLI::App& app, Action& action); // nn train, nn test, nn info
void AddCombineCommand(CLI::App& app, Action& action); // combine
void AddStackCommand(CLI::App& app, Action& action); // stack
void AddDemoCommand(CLI::App& app, Action& action);

// Shared by the subcommands.

// The HISTORY line of a step: "tamrix <command>: <what was done>".
std::string History(const std::string& command, const std::string& what);

// Moves the world coordinates of a frame made through `map` (intake/wcs.h) onto
// its pixel grid, or removes them and says why in the history.
void MapWcs(Frame& frame, std::vector<std::string>& history, const std::string& command, const intake::PixelMap& map);

// Case-insensitive test of a file name's ending, e.g. ".png".
bool EndsWith(const std::string& path, const std::string& tail);

// The check of every output option: a usage error for "-" of a binary
// output, and the file is reserved so that no reader takes it as an input
// (see ReserveOutput).
CLI::Validator OutputFile(OutputKind kind);

// Pictures are PNG files; any other name is a usage error.
void RequirePng(const std::string& path);

// "%.6g"-style text of a number for messages and history cards.
std::string Number(double value);

// Draws "label [####......] text" on stderr over the bar drawn before.
void DrawProgress(const std::string& label, double fraction, const std::string& text);

// How frames are combined, by combine and stack: --method, --sigma, --memory,
// --progress and --quiet.
struct CombineChoice {
    std::string method = "median";
    std::vector<double> sigma = { 3, 3 };
    int memory = 256; // MiB
    bool progress = false, quiet = false;
    bool BarShown() const;
};
void AddCombineOptions(CLI::App* cmd, CombineChoice& choice);
// Its method, bounds and band budget in `options`; usage errors name the options.
void ApplyCombineChoice(const CombineChoice& choice, stack::FileOptions& options);

// The folder of a path ("." for a bare file name).
std::string Folder(const std::string& path);

// JSON texts: a string quoted and escaped; a number in a printf format
// ("%.9g"), null when it is not finite (JSON has no NaN or infinity).
std::string JsonString(const std::string& text);
std::string JsonNumber(double value, const char* format);

// Refuses NaN and infinite values, which pass every range check.
const CLI::Validator& Finite();

} // namespace tamrix::cli
