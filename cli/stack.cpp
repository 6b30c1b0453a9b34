// tamrix stack: lights calibrated, registered onto a reference and combined
// on its pixel grid, through the stack layer; a progress bar across frames.
#include "commands.h"
#include "failure.h"
#include "output.h"

#include "stack/lights.h"

#include <array>
#include <cstdio>
#include <optional>
#include <unistd.h>

namespace tamrix::cli {
namespace {

struct StackArgs {
    std::vector<std::string> lights, biases, darks, flats;
    std::string output, reference, report, coverage;
    bool darkScale = false, weighted = false, distortion = false;
    CombineChoice choice;
    ReadArgs read;
};

// A CSV field: quoted when it holds a comma, a quote or a line break.
std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\n\r") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

std::string Status(const stack::LightReport& r)
{
    return r.stacked ? "stacked" : "left out: " + r.registration.reason;
}

// A light's report after its file and status: the numbers, named in
// kNumbers, each with its format (the same digits in CSV and JSON).
constexpr const char* kNumbers[] = { "stars", "matched", "rms", "a", "b", "c", "d", "e", "f" };
std::array<std::pair<double, const char*>, std::size(kNumbers)> Numbers(const stack::LightReport& r)
{
    const stack::Affine& m = r.registration.transform;
    return { { { double(r.stars), "%.0f" }, { double(r.registration.matched), "%.0f" }, { r.registration.rms, "%.4f" },
        { m.a, "%.9g" }, { m.b, "%.9g" }, { m.c, "%.9g" }, { m.d, "%.9g" }, { m.e, "%.9g" }, { m.f, "%.9g" } } };
}

std::string ReportCsv(const std::vector<stack::LightReport>& reports)
{
    std::string text = "file,status";
    for (const char* name : kNumbers)
        text += std::string(",") + name;
    text += "\n";
    for (const stack::LightReport& r : reports) {
        std::string status = Status(r);
        for (char& c : status)
            if (c == ',' || c == '"' || c == '\n')
                c = ';';
        text += CsvField(r.file) + "," + status;
        for (const auto& [value, format] : Numbers(r)) {
            char number[64];
            std::snprintf(number, sizeof number, format, value);
            text += std::string(",") + number;
        }
        text += "\n";
    }
    return text;
}

// An array of one object per light with the CSV's fields as keys.
std::string ReportJson(const std::vector<stack::LightReport>& reports)
{
    std::string text = "[\n";
    for (size_t i = 0; i < reports.size(); ++i) {
        const stack::LightReport& r = reports[i];
        text += "  {\"file\": " + JsonString(r.file) + ", \"status\": " + JsonString(Status(r));
        const auto numbers = Numbers(r);
        for (size_t k = 0; k < numbers.size(); ++k)
            text += std::string(", \"") + kNumbers[k] + "\": " + JsonNumber(numbers[k].first, numbers[k].second);
        text += i + 1 < reports.size() ? "},\n" : "}\n";
    }
    return text + "]\n";
}

void Stack(const StackArgs& a)
{
    std::vector<std::string> outputs { a.output };
    for (const std::string* extra : { &a.report, &a.coverage })
        if (!extra->empty()) {
            for (const std::string& other : outputs)
                if (*extra == other)
                    throw Failure(kExitUsage, *extra + " is named for two outputs; name another file");
            outputs.push_back(*extra);
        }
    for (const auto* names : { &a.lights, &a.biases, &a.darks, &a.flats })
        for (const std::string& input : *names)
            NoteInput(intake::ParseImageName(input).file);
    if (!a.reference.empty())
        NoteInput(intake::ParseImageName(a.reference).file);
    stack::StackOptions options;
    options.files.plane = a.read.plane;
    options.files.mapping.floatBits = a.read.bits;
    if (a.read.range.size() == 2)
        options.files.mapping.range = std::make_pair(a.read.range[0], a.read.range[1]);
    ApplyCombineChoice(a.choice, options.files);
    options.biases = a.biases;
    options.darks = a.darks;
    options.darkScale = a.darkScale;
    options.flats = a.flats;
    options.reference = a.reference;
    options.weighted = a.weighted;
    options.registration.distortion = a.distortion;

    AtomicFile out(a.output, OutputKind::Binary);
    std::optional<AtomicFile> coverage, report;
    if (!a.coverage.empty())
        coverage.emplace(a.coverage, OutputKind::Binary);
    if (!a.report.empty())
        report.emplace(a.report);
    const std::string outPath = out.HandOver();
    // Warped frames go beside the output, on a disk that takes them.
    options.files.scratchIn = Folder(outPath);
    options.files.onScratch = RegisterScratchFolder;

    std::vector<std::string> history { History("stack",
        a.choice.method + " of the lights registered onto " + (a.reference.empty() ? a.lights[0] : a.reference)
            + " and warped onto its pixel grid (bilinear" + (a.distortion ? ", through a cubic distortion field" : "")
            + ")" + (a.weighted ? ", weighted by their sky noise" : "")
            + (a.biases.empty() ? "" : ", minus the median of " + std::to_string(a.biases.size()) + " biases")
            + (a.darks.empty() ? ""
                               : ", minus the median of " + std::to_string(a.darks.size()) + " darks"
                        + (a.biases.empty() ? "" : " (bias-free)") + (a.darkScale ? " scaled by EXPTIME" : ""))
            + (a.flats.empty()
                    ? ""
                    : ", divided by the median of " + std::to_string(a.flats.size()) + " flats at its mean")) };

    const bool shown = a.choice.BarShown();
    bool drawn = false;
    intake::Warnings warnings;
    std::vector<stack::LightReport> reports;
    try {
        reports = stack::StackFiles(
            a.lights, outPath, coverage ? coverage->HandOver() : "", history, options, warnings,
            [&](const std::string& stage, int done, int total) {
                if (!shown || total == 0)
                    return;
                DrawProgress(stage, double(done) / total,
                    std::to_string(done) + "/" + std::to_string(total) + (stage == "combine" ? " bands" : " frames"));
                drawn = true;
            },
            CancelFlag());
    } catch (const intake::Error&) {
        if (drawn)
            std::fputc('\n', stderr);
        ThrowIfInterrupted();
        throw;
    }
    if (drawn)
        std::fputc('\n', stderr);
    PrintWarnings(warnings);
    ThrowIfInterrupted();
    size_t stacked = 0;
    for (const stack::LightReport& r : reports) {
        stacked += r.stacked;
        if (!r.stacked)
            std::fprintf(stderr, "%s: left out: %s\n", r.file.c_str(), r.registration.reason.c_str());
    }
    if (report)
        report->Write(EndsWith(a.report, ".json") ? ReportJson(reports) : ReportCsv(reports));
    out.Commit();
    if (coverage)
        coverage->Commit();
    if (report)
        report->Commit();
    std::fprintf(Messages(), "%s: %zu of %zu lights stacked\n", a.output.c_str(), stacked, reports.size());
}

} // namespace

void AddStackCommand(CLI::App& app, Action& action)
{
    auto args = std::make_shared<StackArgs>();
    CLI::App* cmd = app.add_subcommand("stack",
        "calibrate lights, register them onto a reference and combine them on its pixel grid: a 32-bit "
        "floating-point FITS frame");
    cmd->add_option("lights", args->lights, "light frames (FITS)")->required();
    for (auto [name, list, what] :
        { std::tuple { "--bias", &args->biases,
              "bias frames: their median is subtracted from the lights, the darks and the flats" },
            std::tuple { "--dark", &args->darks,
                "dark frames: their median is subtracted (it holds the bias unless --bias is given)" },
            std::tuple { "--flat", &args->flats, "flat fields: the lights are divided by their median at its mean" } })
        cmd->add_option(name, *list, std::string(what) + " (repeat the option or give a comma list)")
            ->delimiter(',')
            ->allow_extra_args(false)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    cmd->add_flag("--dark-scale", args->darkScale,
        "scale the (bias-free) master dark by each light's EXPTIME over the darks' (every frame needs EXPTIME)");
    cmd->add_flag("--distortion", args->distortion,
        "also fit a cubic distortion field on each light's matched stars (when 30 or more) and warp through it");
    cmd->add_flag("--weighted", args->weighted,
        "weight each light by the inverse square of its sky noise (mean, sigma-clip and winsorized)");
    cmd->add_option("--output,-o", args->output, "stacked frame (FITS, BITPIX -32, the lights' physical units)")
        ->required()
        ->check(OutputFile(OutputKind::Binary));
    cmd->add_option("--reference", args->reference,
        "the frame whose pixel grid the stack takes: one of the lights, or another frame that is not stacked "
        "(default: the first light)");
    cmd->add_option("--report", args->report,
           "per light: file,status,stars,matched,rms,a,b,c,d,e,f (reference -> light); CSV, or a JSON array of "
           "objects with those keys when the name ends in .json")
        ->check(OutputFile(OutputKind::Text));
    cmd->add_option("--coverage", args->coverage, "a 16-bit FITS frame of the lights that defined each pixel")
        ->check(OutputFile(OutputKind::Binary));
    AddCombineOptions(cmd, args->choice);
    AddReadOptions(cmd, args->read);
    cmd->callback([&action, args] { action = [args] { Stack(*args); }; });
}

} // namespace tamrix::cli
