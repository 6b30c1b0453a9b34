// tamrix combine: many frames into one master (dark, flat, bias), band by
// band through the stack layer, with a progress bar across the bands.
#include "commands.h"
#include "failure.h"
#include "output.h"

#include "stack/files.h"

#include <cstdio>
#include <optional>
#include <unistd.h>

namespace tamrix::cli {
namespace {

struct CombineArgs {
    std::vector<std::string> inputs;
    std::string output, rejection;
    CombineChoice choice;
    ReadArgs read;
};

void Combine(const CombineArgs& a)
{
    if (!a.rejection.empty() && a.rejection == a.output)
        throw Failure(kExitUsage, "--rejection " + a.rejection + " is the output too; name another file");
    for (const std::string& input : a.inputs)
        NoteInput(intake::ParseImageName(input).file);
    stack::FileOptions options;
    options.plane = a.read.plane;
    options.mapping.floatBits = a.read.bits;
    if (a.read.range.size() == 2)
        options.mapping.range = std::make_pair(a.read.range[0], a.read.range[1]);
    ApplyCombineChoice(a.choice, options);

    AtomicFile out(a.output, OutputKind::Binary);
    std::optional<AtomicFile> rejection;
    if (!a.rejection.empty())
        rejection.emplace(a.rejection, OutputKind::Binary);
    const std::string outPath = out.HandOver();
    // Unpacked copies of compressed inputs go beside the output, on a disk
    // that takes files of its size (a RAM-backed /tmp may not).
    options.scratchIn = Folder(outPath);
    options.onScratch = RegisterScratchFolder;

    const bool clips
        = options.settings.method == stack::Method::SigmaClip || options.settings.method == stack::Method::Winsorized;
    std::vector<std::string> history { History("combine",
        a.choice.method + " of " + std::to_string(a.inputs.size()) + " frames"
            + (clips ? ", bounds " + Number(a.choice.sigma[0]) + "," + Number(a.choice.sigma[1])
                        + " sigma below,above the median"
                        + (a.inputs.size() < stack::kLeastToClip ? " (fewer than 3 frames: nothing clipped)" : "")
                     : "")) };

    const bool shown = a.choice.BarShown();
    bool drawn = false;
    intake::Warnings warnings;
    try {
        stack::CombineFiles(
            a.inputs, outPath, rejection ? rejection->HandOver() : "", history, options, warnings,
            [&](int done, int total) {
                if (!shown)
                    return;
                DrawProgress(
                    "combine", double(done) / total, std::to_string(done) + "/" + std::to_string(total) + " bands");
                drawn = true;
            },
            CancelFlag());
    } catch (const intake::Error&) {
        if (drawn)
            std::fputc('\n', stderr);
        ThrowIfInterrupted(); // a cancelled combination says so, not "interrupted" as a failure
        throw;
    }
    if (drawn)
        std::fputc('\n', stderr);
    PrintWarnings(warnings);
    ThrowIfInterrupted();
    out.Commit();
    if (rejection)
        rejection->Commit();
}

} // namespace

std::string Folder(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

bool CombineChoice::BarShown() const { return !quiet && (progress || isatty(STDERR_FILENO)); }

void AddCombineOptions(CLI::App* cmd, CombineChoice& choice)
{
    cmd->add_option("--method,-m", choice.method, "median (default), mean, sigma-clip or winsorized")
        ->check(CLI::Validator(
            [](std::string& text) {
                try {
                    stack::ParseMethod(text, "--method");
                } catch (const intake::Error& e) {
                    return std::string(e.what()).substr(std::string("--method: ").size()); // CLI11 names the option
                }
                return std::string();
            },
            ""));
    cmd->add_option("--sigma", choice.sigma,
           "LO,HI: clipping bounds in robust standard deviations (1.4826 x MAD) below and above the median "
           "(default 3,3)")
        ->delimiter(',')
        ->expected(2);
    cmd->add_option("--memory", choice.memory, "MiB for the bands of all frames together (default 256)")
        ->check(CLI::Range(1, 1 << 20));
    cmd->add_flag("--progress", choice.progress, "draw the progress bar even when stderr is not a terminal");
    cmd->add_flag("--quiet,-q", choice.quiet, "no progress bar");
}

void ApplyCombineChoice(const CombineChoice& choice, stack::FileOptions& options)
{
    stack::CheckSigma(choice.sigma[0], choice.sigma[1], "--sigma");
    options.settings = { stack::ParseMethod(choice.method, "--method"), choice.sigma[0], choice.sigma[1] };
    options.budget.bytes = int64_t { choice.memory } << 20;
}

void AddCombineCommand(CLI::App& app, Action& action)
{
    auto args = std::make_shared<CombineArgs>();
    CLI::App* cmd = app.add_subcommand(
        "combine", "combine frames into a master (dark, flat, bias): a 32-bit floating-point FITS frame");
    cmd->add_option("frames", args->inputs, "frames of one size (FITS)")->required();
    cmd->add_option("--output,-o", args->output, "combined frame (FITS, BITPIX -32, the inputs' physical units)")
        ->required()
        ->check(OutputFile(OutputKind::Binary));
    cmd->add_option("--rejection", args->rejection, "a 16-bit FITS frame of the values clipped at each pixel")
        ->check(OutputFile(OutputKind::Binary));
    AddCombineOptions(cmd, args->choice);
    AddReadOptions(cmd, args->read);
    cmd->callback([&action, args] { action = [args] { Combine(*args); }; });
}

} // namespace tamrix::cli
