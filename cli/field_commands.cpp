// Distortion fields: fit-field, render-field.
#include "commands.h"
#include "display.h"
#include "failure.h"
#include "field.h"
#include "output.h"
#include "starlist.h"

#include "tamrix.h"

#include <cmath>
#include <cstdio>
#include <map>

namespace tamrix::cli {
namespace {

bool IsFitsName(const std::string& path)
{
    return EndsWith(path, ".fits") || EndsWith(path, ".fit") || EndsWith(path, ".fts");
}

struct FitArgs {
    std::string first, second, output, frame;
    std::vector<int> size;
    double maxDistance = 5;
};

void FitField(const FitArgs& a)
{
    Field field;
    if (!a.frame.empty()) {
        const Frame f = ReadFrame(a.frame);
        field.width = f.width;
        field.height = f.height;
    } else if (a.size.size() == 2) {
        field.width = a.size[0];
        field.height = a.size[1];
    } else {
        throw Failure(kExitUsage, "fit-field needs the frame size: --size W,H or --frame FITS");
    }
    AtomicFile out(a.output);
    const std::vector<Star> first = ReadStarCsv(a.first), second = ReadStarCsv(a.second);
    const auto pairs = MatchStars(first, second, a.maxDistance);
    if (pairs.size() < 10)
        throw Failure(kExitMismatch,
            a.first + " and " + a.second + ": only " + std::to_string(pairs.size()) + " stars match within "
                + Number(a.maxDistance) + " pixels; a cubic field needs at least 10");

    // Records (x, y, x', y') = (second, first) in normalised coordinates, so
    // the surfaces give the motion from the first frame to the second.
    const double cx = field.width / 2, cy = field.height / 2, s = std::max(field.width, field.height);
    std::vector<double> points;
    for (const auto& [p, q] : pairs) {
        points.insert(points.end(), { (q.cx - cx) / s, (q.cy - cy) / s, (p.cx - cx) / s, (p.cy - cy) / s });
    }
    double* a_ = field.dx;
    double* b_ = field.dy;
    tamrix::FitSurface(points.data(), static_cast<unsigned>(pairs.size()), &a_[0], &a_[1], &a_[2], &a_[3], &a_[4],
        &a_[5], &a_[6], &a_[7], &a_[8], &a_[9], &b_[0], &b_[1], &b_[2], &b_[3], &b_[4], &b_[5], &b_[6], &b_[7], &b_[8],
        &b_[9]);

    double sum2 = 0, meanX = 0, meanY = 0;
    for (size_t i = 0; i < pairs.size(); ++i) {
        const double* r = &points[4 * i];
        const double u = r[0], v = r[1];
        const double terms[10] = { u * u * u, v * v * v, u * u * v, u * v * v, u * u, v * v, u * v, u, v, 1 };
        double px = 0, py = 0;
        for (int t = 0; t < 10; ++t) {
            px += field.dx[t] * terms[t];
            py += field.dy[t] * terms[t];
        }
        const double ex = (r[0] - r[2] - px) * s, ey = (r[1] - r[3] - py) * s;
        sum2 += ex * ex + ey * ey;
        meanX += (r[0] - r[2]) * s;
        meanY += (r[1] - r[3]) * s;
    }
    field.pairs = static_cast<int>(pairs.size());
    field.rms = std::sqrt(sum2 / pairs.size());
    out.Write(FieldText(field));
    out.Commit();
    std::fprintf(Messages(), "%d matched stars, mean motion (%.3f, %.3f) px, fit residual %.4f px rms\n", field.pairs,
        meanX / pairs.size(), meanY / pairs.size(), field.rms);
}

struct RenderFieldArgs {
    std::string input, output;
    int bits = 16;
};

Frame FieldFrame(const Field& f, int depth)
{
    CheckFrameSize(f.width, f.height, depth, "the field picture");
    Frame frame(f.width, f.height, depth);
    const double* c = f.dx;
    const double* d = f.dy;
    tamrix::FillFrameWithPolynoms(frame.Data(), f.width, f.height, depth, c[0], c[1], c[2], c[3], c[4], c[5], c[6],
        c[7], c[8], c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    return frame;
}

void RenderField(const RenderFieldArgs& a)
{
    const Field field = ReadField(a.input);
    if (!IsFitsName(a.output))
        RequirePng(a.output);
    Frame frame = FieldFrame(field, a.bits == 16 ? 2 : 4);
    if (IsFitsName(a.output)) {
        WriteFrame(a.output, frame,
            { History(
                "render-field", "vector length of " + a.input + " (32767 + 100 per pixel) with its grid of marks") });
        return;
    }
    // Grey from mid-scale (zero motion) up to the longest vector; the marks
    // (value 0) stay black.
    const double top = std::max<double>(frame.Max(), 32767 + 100);
    Channel c = MakeChannel(frame, 32767 - (top - 32767) * 0.6, top, Stretch::Linear);
    WritePicture(a.output, RenderMono(frame, c, 0));
}

} // namespace

void AddFieldCommands(CLI::App& app, Action& action)
{
    static const std::map<std::string, Stretch> kStretches
        = { { "linear", Stretch::Linear }, { "sqrt", Stretch::Sqrt }, { "asinh", Stretch::Asinh } };
    {
        auto args = std::make_shared<FitArgs>();
        CLI::App* cmd = app.add_subcommand("fit-field", "fit the cubic field of star motion between two star lists");
        cmd->add_option("first", args->first, "stars of the first frame (CSV)")->required();
        cmd->add_option("second", args->second, "stars of the second frame (CSV)")->required();
        cmd->add_option("--size", args->size, "frame size W,H")
            ->delimiter(',')
            ->expected(2)
            ->check(CLI::Range(1, 1000000));
        cmd->add_option("--frame", args->frame, "take the frame size from this FITS file");
        cmd->add_option("--max-distance", args->maxDistance, "largest motion of a matched star, pixels (default 5)")
            ->check(CLI::PositiveNumber & Finite());
        cmd->add_option("--output,-o", args->output, "field file (text)")
            ->required()
            ->check(OutputFile(OutputKind::Text));
        cmd->callback([&action, args] { action = [args] { FitField(*args); }; });
    }
    {
        auto args = std::make_shared<RenderFieldArgs>();
        CLI::App* cmd = app.add_subcommand("render-field", "draw a fitted field: vector length and a grid of marks");
        cmd->add_option("field", args->input, "field file (from tamrix fit-field)")->required();
        cmd->add_option("--bits", args->bits, "pixel size of a FITS output: 16 or 32 (default 16)")
            ->check(CLI::IsMember({ 16, 32 }));
        cmd->add_option("--output,-o", args->output, "picture (PNG) or frame (FITS)")
            ->required()
            ->check(OutputFile(OutputKind::Binary));
        cmd->callback([&action, args] { action = [args] { RenderField(*args); }; });
    }
}

} // namespace tamrix::cli
