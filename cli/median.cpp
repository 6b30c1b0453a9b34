// tamrix median: the median filter, or its background subtracted, with a live
// progress bar fed by the filter's own progress messages.
#include "commands.h"
#include "failure.h"
#include "output.h"

#include "intake/operations.h"
#include "tamrix.h"

#include <cstdio>
#include <mutex>
#include <unistd.h>

namespace tamrix::cli {
namespace {

// Draws the bar on stderr. The filter sends from its worker threads, outside
// its own lock, so reports can overlap and come out of order: only a report
// ahead of the last drawn one moves the bar.
class ProgressBar {
public:
    explicit ProgressBar(bool shown)
        : shown_(shown)
    {
    }

    THostWindow Window() { return THostWindow { this, &ProgressBar::Send, nullptr }; }

    void Finish()
    {
        if (shown_ && drawn_)
            std::fputc('\n', stderr);
    }

private:
    static intptr_t Send(void* context, unsigned message, uintptr_t wParam, intptr_t lParam)
    {
        if (message == kMedianProgressMessage)
            static_cast<ProgressBar*>(context)->Update(wParam, reinterpret_cast<const char*>(lParam));
        return 0;
    }

    void Update(uintptr_t value, const char* text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!shown_ || (drawn_ && value <= best_))
            return;
        best_ = value;
        DrawProgress("median", value / 65535.0, text); // the filter's own "37 %"
        drawn_ = true;
    }

    std::mutex mutex_;
    bool shown_;
    bool drawn_ = false;
    uintptr_t best_ = 0;
};

struct MedianArgs {
    std::string input, output;
    int radius = 0;
    bool subtract = false;
    double offset = 0;
    int scale = 1000;
    bool progress = false, quiet = false;
    ReadArgs read;
};

void MedianFrame(const MedianArgs& a)
{
    Frame in = ReadFrame(a.input, a.read);
    if (a.radius >= in.width)
        throw FileFailure(kExitUsage, a.input,
            "--radius " + std::to_string(a.radius) + " must be below the frame width " + std::to_string(in.width));
    const int pedestal = a.subtract ? intake::PedestalSteps(in.mapping, a.offset) : 0;
    Frame out(in.width, in.height, a.subtract ? intake::BackgroundSubtractedMapping(in.mapping, a.scale) : in.mapping);
    out.cards = in.cards;
    out.outputBitpix = in.outputBitpix;
    // 32-bit frames are binned over their own value range.
    const unsigned low = in.Depth() == 2 ? 0 : in.Min(), high = in.Depth() == 2 ? 65535 : in.Max();

    ProgressBar bar(!a.quiet && (a.progress || isatty(STDERR_FILENO)));
    THostWindow window = bar.Window();
    tamrix::Median(&window, CancelFlag(), in.Data(), out.Data(), in.width, in.height, in.Depth(), static_cast<int>(low),
        static_cast<int>(high), a.radius, pedestal, a.scale, a.subtract ? 1 : 0, 0);
    bar.Finish();
    ThrowIfInterrupted(); // a cancelled filter leaves rows unwritten: never save them

    std::vector<std::string> history;
    const std::string window_ = std::to_string(2 * a.radius + 1) + " x " + std::to_string(2 * a.radius + 1);
    if (a.subtract)
        history.push_back(History("median",
            "background subtracted: " + window_ + " median of " + a.input + " scaled by " + std::to_string(a.scale)
                + "/1000, offset " + Number(a.offset)));
    else
        history.push_back(History("median", window_ + " median filter of " + a.input));
    WriteFrame(a.output, out, history);
}

} // namespace

void AddMedianCommand(CLI::App& app, Action& action)
{
    auto args = std::make_shared<MedianArgs>();
    CLI::App* cmd = app.add_subcommand("median", "median-filter a frame, or subtract its median background");
    cmd->add_option("input", args->input, "frame (FITS)")->required();
    cmd->add_option("--radius,-r", args->radius, "window radius: the window is (2r+1) x (2r+1) pixels")
        ->required()
        ->check(CLI::NonNegativeNumber);
    cmd->add_flag("--subtract,-s", args->subtract, "write the frame minus its scaled median background");
    cmd->add_option("--offset", args->offset,
           "added to the frame before the subtraction, in the frame's units (default 0)")
        ->check(CLI::NonNegativeNumber & Finite());
    cmd->add_option("--scale", args->scale, "background scale in thousandths, 1 .. 1000 (default 1000)")
        ->check(CLI::Range(1, 1000));
    cmd->add_flag("--progress", args->progress, "draw the progress bar even when stderr is not a terminal");
    cmd->add_flag("--quiet,-q", args->quiet, "no progress bar");
    cmd->add_option("--output,-o", args->output, "filtered frame (FITS)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
    AddReadOptions(cmd, args->read);
    cmd->callback([&action, args] { action = [args] { MedianFrame(*args); }; });
}

} // namespace tamrix::cli
