// Geometry: resample, shift, transform.
#include "commands.h"
#include "failure.h"

#include "intake/operations.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <optional>

namespace tamrix::cli {
namespace {

// The frame value of --fill; without one, of 0 (or the end of the frame's
// range nearest to it).
uint32_t FillValue(const intake::Mapping& m, std::optional<double> fill)
{
    return fill ? m.FrameValue(*fill, "--fill") : m.FrameValue(std::clamp(0.0, m.Lowest(), m.Highest()), "0");
}

// An output frame like `in` (mapping, output type, cards) of the given size,
// every pixel at the frame value `fill`.
Frame Filled(const Frame& in, int width, int height, uint32_t fill)
{
    CheckFrameSize(width, height, in.Depth(), "the output");
    Frame out(width, height, in.mapping);
    out.outputBitpix = in.outputBitpix;
    out.cards = in.cards;
    for (size_t i = 0; i < out.Pixels(); ++i)
        out.Set(i, fill);
    return out;
}

// Without --fill, a floating-point output leaves what no source reaches
// undefined (NaN), as users of such data expect.
void MarkUnreached(Frame& out, const Frame& in, std::optional<double> fill,
    const std::function<void(void* source, void* destination)>& sample)
{
    if (fill || in.outputBitpix == 0)
        return;
    out.invalid = intake::Unreached(in.width, in.height, out.width, out.height, sample);
}

struct ResampleArgs {
    std::string input, output;
    int factor = 0, fx = 0, fy = 0;
    ReadArgs read;
};

void ResampleFrame(const ResampleArgs& a)
{
    const int fx = a.fx ? a.fx : (a.factor ? a.factor : 2), fy = a.fy ? a.fy : (a.factor ? a.factor : 2);
    Frame in = ReadFrame(a.input, a.read);
    CheckFrameSize(
        static_cast<int64_t>(in.width) * fx, static_cast<int64_t>(in.height) * fy, in.Depth(), "the resampled frame");
    // The interpolation steps k * (b - a) in signed 32-bit arithmetic.
    if (in.Depth() == 4 && double(in.Max() - in.Min()) * (std::max(fx, fy) - 1) >= 2147483648.0)
        throw FileFailure(kExitUnsupported, a.input,
            "32-bit values spanning " + std::to_string(in.Max() - in.Min())
                + " are too far apart to interpolate exactly by a factor of " + std::to_string(std::max(fx, fy))
                + ": give --range LO,HI to quantise them with headroom");
    Frame out(in.width * fx, in.height * fy, in.mapping);
    out.cards = std::move(in.cards);
    out.outputBitpix = in.outputBitpix;
    tamrix::Resample(fx, fy, in.Data(), out.Data(), in.width, in.height, in.Depth());
    std::vector<std::string> history { History("resample",
        a.input + " enlarged " + std::to_string(fx) + " x " + std::to_string(fy) + " by linear interpolation") };
    MapWcs(out, history, "resample", intake::ResampleMap(fx, fy));
    WriteFrame(a.output, out, history);
}

struct ShiftArgs {
    std::string input, output;
    std::vector<double> by;
    std::optional<double> fill;
    ReadArgs read;
};

void ShiftFrame(const ShiftArgs& a)
{
    Frame in = ReadFrame(a.input, a.read);
    uint32_t fill = FillValue(in.mapping, a.fill);
    // The weighted sum is 32-bit: fine weights need pixels up to 65535 (signed
    // data, stored around 2^31, come down to there).
    if (in.Max() > 65535)
        fill -= intake::MoveLowestToZero(in, fill);
    Frame out = Filled(in, in.width, in.height, fill);

    // Destination (x, y) samples the source square at (x - by) split into a
    // whole part and a fraction; the fraction becomes integer bilinear weights
    // (S - ax)(S - ay), ax (S - ay), (S - ax) ay, ax ay over S^2.
    const double tx = -a.by[0], ty = -a.by[1];
    const double ix = std::floor(tx), iy = std::floor(ty);
    if (std::abs(ix) > 1e9 || std::abs(iy) > 1e9)
        throw Failure(kExitUsage, "--by " + Number(a.by[0]) + "," + Number(a.by[1]) + " is too far");
    // The weighted sum is 32-bit: S^2 x the brightest pixel must stay below 2^32.
    const double max = std::max<double>(1, in.Max());
    const unsigned s = static_cast<unsigned>(std::min(256.0, std::floor(std::sqrt(4294967295.0 / max))));
    const unsigned ax = static_cast<unsigned>(std::lround((tx - ix) * s)),
                   ay = static_cast<unsigned>(std::lround((ty - iy) * s));
    if (s < 16 && (tx != ix || ty != iy))
        throw FileFailure(kExitUnsupported, a.input,
            "32-bit pixels up to " + std::to_string(in.Max())
                + " are too bright for integer sub-pixel weights: shift by whole pixels, or give --range LO,HI to quantise "
                  "them with headroom");
    const auto sample = [&](const void* source, int depth, void* destination) {
        tamrix::SubPixelShift(static_cast<int>(ix), static_cast<int>(iy), (s - ax) * (s - ay), ax * (s - ay),
            (s - ax) * ay, ax * ay, s * s, const_cast<void*>(source), in.width, in.height, depth, destination,
            out.width, out.height);
    };
    sample(in.Data(), in.Depth(), out.Data());
    MarkUnreached(out, in, a.fill, [&](void* source, void* destination) { sample(source, 2, destination); });
    std::vector<std::string> history { History("shift",
        a.input + " moved by (" + Number(a.by[0]) + ", " + Number(a.by[1]) + ") pixels, bilinear weights in 1/"
            + std::to_string(s) + " pixel") };
    MapWcs(out, history, "shift", intake::ShiftMap(int(ix), int(iy), ax, ay, s));
    WriteFrame(a.output, out, history, /*keepInvalid=*/true);
}

struct TransformArgs {
    std::string input, output;
    std::vector<double> matrix, translate, about;
    std::vector<int> size;
    double rotate = 0, scale = 1;
    std::optional<double> fill;
    ReadArgs read;
};

void TransformFrame(const TransformArgs& a)
{
    Frame in = ReadFrame(a.input, a.read);
    const int w = a.size.empty() ? in.width : a.size[0], h = a.size.empty() ? in.height : a.size[1];
    Frame out = Filled(in, w, h, FillValue(in.mapping, a.fill));

    double m[6];
    std::string what;
    if (!a.matrix.empty()) {
        std::copy(a.matrix.begin(), a.matrix.end(), m);
        what = "sampled at (" + Number(m[0]) + " x + " + Number(m[1]) + " y + " + Number(m[2]) + ", " + Number(m[3])
            + " x + " + Number(m[4]) + " y + " + Number(m[5]) + ")";
    } else {
        // The library maps destination to source: invert p' = s R(p - c) + c + t.
        const double cx = a.about.empty() ? (in.width - 1) / 2.0 : a.about[0];
        const double cy = a.about.empty() ? (in.height - 1) / 2.0 : a.about[1];
        const double tx = a.translate.empty() ? 0 : a.translate[0], ty = a.translate.empty() ? 0 : a.translate[1];
        const double t = a.rotate * M_PI / 180, c = std::cos(t) / a.scale, s = std::sin(t) / a.scale;
        m[0] = c;
        m[1] = s;
        m[3] = -s;
        m[4] = c;
        m[2] = cx - (c * (cx + tx) + s * (cy + ty));
        m[5] = cy - (-s * (cx + tx) + c * (cy + ty));
        what = "rotated " + Number(a.rotate) + " deg and scaled " + Number(a.scale) + " about (" + Number(cx) + ", "
            + Number(cy) + "), moved by (" + Number(tx) + ", " + Number(ty) + ")";
    }
    for (double v : m)
        if (!std::isfinite(v))
            throw Failure(kExitUsage, "the transform has a coefficient that is not a finite number");
    const auto sample = [&](const void* source, int depth, void* destination) {
        tamrix::Transform(m[0], m[1], m[2], m[3], m[4], m[5], const_cast<void*>(source), in.width, in.height, depth,
            destination, w, h);
    };
    sample(in.Data(), in.Depth(), out.Data());
    MarkUnreached(out, in, a.fill, [&](void* source, void* destination) { sample(source, 2, destination); });
    std::vector<std::string> history { History("transform", a.input + " " + what + ", bilinear in 1/64 pixel") };
    MapWcs(out, history, "transform", intake::TransformMap(m));
    WriteFrame(a.output, out, history, /*keepInvalid=*/true);
}

} // namespace

void AddGeometryCommands(CLI::App& app, Action& action)
{
    {
        auto args = std::make_shared<ResampleArgs>();
        CLI::App* cmd = app.add_subcommand("resample", "enlarge a frame by whole factors with linear interpolation");
        cmd->add_option("input", args->input, "frame (FITS)")->required();
        cmd->add_option("--factor,-n", args->factor, "factor in both directions (default 2)")->check(CLI::Range(1, 64));
        cmd->add_option("--factor-x,-x", args->fx, "horizontal factor (overrides --factor)")->check(CLI::Range(1, 64));
        cmd->add_option("--factor-y,-y", args->fy, "vertical factor (overrides --factor)")->check(CLI::Range(1, 64));
        cmd->add_option("--output,-o", args->output, "enlarged frame (FITS)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
        AddReadOptions(cmd, args->read);
        cmd->callback([&action, args] { action = [args] { ResampleFrame(*args); }; });
    }
    {
        auto args = std::make_shared<ShiftArgs>();
        CLI::App* cmd = app.add_subcommand("shift", "move a frame by a fraction of a pixel or more");
        cmd->add_option("input", args->input, "frame (FITS)")->required();
        cmd->add_option("--by", args->by, "DX,DY: the picture moves DX pixels right and DY down")
            ->required()
            ->delimiter(',')
            ->expected(2)
            ->check(Finite());
        cmd->add_option("--fill", args->fill, "value of the pixels no source reaches, in the frame's units (default: undefined (NaN) in floating-point "
                                         "frames, 0 in integer ones)")
            ->check(Finite());
        cmd->add_option("--output,-o", args->output, "shifted frame (FITS)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
        AddReadOptions(cmd, args->read);
        cmd->callback([&action, args] { action = [args] { ShiftFrame(*args); }; });
    }
    {
        auto args = std::make_shared<TransformArgs>();
        CLI::App* cmd = app.add_subcommand("transform", "rotate, scale and move a frame (bilinear)");
        cmd->add_option("input", args->input, "frame (FITS)")->required();
        auto* matrix = cmd->add_option("--matrix", args->matrix,
                              "A,B,C,D,E,F: output pixel (x, y) samples the input at "
                              "(Ax + By + C, Dx + Ey + F)")
                           ->delimiter(',')
                           ->expected(6)
                           ->check(Finite());
        cmd->add_option("--rotate", args->rotate,
               "degrees, counter-clockwise as FITS viewers show a frame (row 0 at the bottom)")
            ->check(Finite())
            ->excludes(matrix);
        cmd->add_option("--scale", args->scale, "magnification (default 1)")
            ->check(CLI::PositiveNumber & Finite())
            ->excludes(matrix);
        cmd->add_option("--translate", args->translate, "DX,DY moved after rotation and scale")
            ->delimiter(',')
            ->expected(2)
            ->check(Finite())
            ->excludes(matrix);
        cmd->add_option("--about", args->about, "X,Y: centre of rotation and scale (default: the frame's centre)")
            ->delimiter(',')
            ->expected(2)
            ->check(Finite())
            ->excludes(matrix);
        cmd->add_option("--size", args->size, "W,H of the output (default: the input's)")
            ->delimiter(',')
            ->expected(2)
            ->check(CLI::PositiveNumber);
        cmd->add_option("--fill", args->fill, "value of the pixels no source reaches, in the frame's units (default: undefined (NaN) in floating-point "
                                         "frames, 0 in integer ones)")
            ->check(Finite());
        cmd->add_option("--output,-o", args->output, "transformed frame (FITS)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
        AddReadOptions(cmd, args->read);
        cmd->callback([&action, args] { action = [args] { TransformFrame(*args); }; });
    }
}

} // namespace tamrix::cli
