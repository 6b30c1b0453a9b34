// tamrix render: frames to PNG pictures.
#include "commands.h"
#include "display.h"
#include "failure.h"
#include "output.h"
#include "starlist.h"

#include "tamrix.h"

#include <cmath>
#include <cstdio>
#include <map>

namespace tamrix::cli {
namespace {

struct RenderArgs {
    std::vector<std::string> inputs;
    std::string output, stars;
    std::optional<double> black, white;
    int zoom = 0;
    Stretch stretch = Stretch::Linear;
    double markRadius = 6;
    ReadArgs read;
};

void Render(const RenderArgs& a)
{
    if (a.inputs.size() != 1 && a.inputs.size() != 3)
        throw Failure(kExitUsage,
            "render takes one frame (grey) or three (red, green, blue), not " + std::to_string(a.inputs.size()));
    RequirePng(a.output);
    // The channels share one mapping, so one black point means one level in all.
    std::vector<Frame> frames = ReadFrames(a.inputs, a.read);
    for (const Frame& f : frames)
        intake::CheckSameSize(frames[0], f);
    std::vector<Star> stars;
    if (!a.stars.empty())
        stars = ReadStarCsv(a.stars);
    int w = 0, h = 0;
    PictureSize(frames[0].width, frames[0].height, a.zoom, w, h); // fails before any work

    Picture picture;
    if (frames.size() == 1 && stars.empty()) {
        Channel c = MakeChannel(frames[0], a.black, a.white, a.stretch);
        picture = RenderMono(frames[0], c, a.zoom);
    } else {
        // Marks need colour: a grey frame goes through all three channels.
        const Frame* channels[3];
        Channel settings[3];
        for (int i = 0; i < 3; ++i) {
            channels[i] = &frames[frames.size() == 3 ? i : 0];
            settings[i]
                = i > 0 && frames.size() == 1 ? settings[0] : MakeChannel(*channels[i], a.black, a.white, a.stretch);
        }
        picture = RenderColour(channels, settings, a.zoom);
        MarkStars(picture, stars, a.markRadius, a.zoom);
    }
    WritePicture(a.output, std::move(picture));
}

} // namespace

void AddRenderCommand(CLI::App& app, Action& action)
{
    static const std::map<std::string, Stretch> kStretches
        = { { "linear", Stretch::Linear }, { "sqrt", Stretch::Sqrt }, { "asinh", Stretch::Asinh } };
    {
        auto args = std::make_shared<RenderArgs>();
        CLI::App* cmd = app.add_subcommand("render", "render one frame (grey) or three (colour) to PNG");
        cmd->add_option("inputs", args->inputs, "frame, or red, green and blue frames (FITS)")->required();
        cmd->add_option("--black", args->black, "black point, in the frame's units (default: mean - 1 sd of the frame)")
            ->check(Finite());
        cmd->add_option("--white", args->white, "white point, in the frame's units (default: mean + 4 sd of the frame)")
            ->check(Finite());
        cmd->add_option("--zoom,-z", args->zoom, "zoom step: n > 0 enlarges n+1 times, n < 0 reduces 1-n times")
            ->check(CLI::Range(-15, 7));
        cmd->add_option("--stretch", args->stretch, "grey levels between black and white: linear, sqrt or asinh")
            ->transform(CLI::Validator(
                [](std::string& name) {
                    const auto found = kStretches.find(CLI::detail::to_lower(name));
                    if (found == kStretches.end())
                        return "'" + name + "' is not linear, sqrt or asinh";
                    name = std::to_string(static_cast<int>(found->second));
                    return std::string();
                },
                ""))
            ->type_name("NAME");
        cmd->add_option("--stars", args->stars, "mark the stars of this CSV list (from tamrix stars)");
        cmd->add_option("--mark-radius", args->markRadius, "radius of the star marks, frame pixels (default 6)")
            ->check(CLI::PositiveNumber & Finite());
        AddReadOptions(cmd, args->read);
        cmd->add_option("--output,-o", args->output, "picture (PNG)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
        cmd->callback([&action, args] { action = [args] { Render(*args); }; });
    }
}

} // namespace tamrix::cli
