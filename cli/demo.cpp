// tamrix demo [DIR]: a synthetic night processed end to end, with timings.
#include "commands.h"
#include "display.h"
#include "failure.h"
#include "field.h"
#include "output.h"
#include "starlist.h"
#include "synthetic.h"

#include "detect/stars.h"
#include "stack/lights.h"
#include "tamrix.h"

#include <algorithm>
#include <chrono>
#include <cmath>
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
        std::printf("  %-48s %9.1f ms\n", name, ms);
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
    static_cast<std::vector<Star>*>(context)->push_back(Star { x, y, cx, cy, flux, double(peak) });
}

// Stars found within 1.5 pixels of a true position, and found stars near none.
void Score(const std::vector<Star>& found, const std::vector<TrueStar>& truth, bool second, int& hits, int& spurious)
{
    hits = 0;
    std::vector<bool> used(found.size());
    for (const TrueStar& t : truth) {
        const double tx = second ? t.x2 : t.x, ty = second ? t.y2 : t.y;
        for (size_t i = 0; i < found.size(); ++i)
            if (!used[i] && std::hypot(found[i].cx - tx, found[i].cy - ty) < 1.5) {
                used[i] = true;
                ++hits;
                break;
            }
    }
    spurious = static_cast<int>(std::count(used.begin(), used.end(), false));
}

// The sky noise of a frame's interior, as the detect layer measures it
// (clipped boxes), in physical units. The margin leaves out the edges, which
// not every light of a stack covers.
double InteriorNoise(const Frame& frame, int margin)
{
    const int w = frame.width - 2 * margin, h = frame.height - 2 * margin;
    std::vector<uint32_t> inner;
    inner.reserve(size_t(w) * h);
    for (int y = margin; y < margin + h; ++y)
        for (int x = margin; x < margin + w; ++x)
            inner.push_back(frame.At(size_t(y) * frame.width + x));
    return detect::MeasureSky(inner.data(), w, h, 4).noise * frame.mapping.scale;
}

double Polynomial(const double* c, double u, double v)
{
    return c[0] * u * u * u + c[1] * v * v * v + c[2] * u * u * v + c[3] * u * v * v + c[4] * u * u + c[5] * v * v
        + c[6] * u * v + c[7] * u + c[8] * v + c[9];
}

void Demo(const DemoArgs& a)
{
    MakeFolder(a.folder);
    const std::string dir = a.folder + "/";
    const int w = a.size, h = a.size;
    std::printf(
        "tamrix demo: a synthetic night of %d x %d 16-bit frames, %d stars, in %s\n", w, h, a.stars, a.folder.c_str());
    Steps steps;

    SyntheticNight night;
    steps.Run("make the night: two lights, a dark, a flat", [&] { night = MakeNight(w, h, a.stars, 2026); });
    steps.Run("write the raw frames (FITS)", [&] {
        WriteFrame(dir + "dark.fits", night.dark, { History("demo", "synthetic dark frame") });
        WriteFrame(dir + "flat.fits", night.flat, { History("demo", "synthetic flat field") });
        for (int f = 0; f < 2; ++f)
            WriteFrame(dir + "light" + std::to_string(f + 1) + ".fits", night.lights[f],
                { History("demo", "synthetic light frame") });
    });

    Frame calibrated[2] = { night.lights[0], night.lights[1] };
    double level = 0;
    steps.Run("calibrate both lights: DiffDark, Flat", [&] {
        for (Frame& light : calibrated) {
            level = 0;
            tamrix::DiffDark(light.Data(), light.Data(), night.dark.Data(), w, h, 2);
            tamrix::Flat(light.Data(), light.Data(), night.flat.Data(), &level, w, h, 2);
        }
    });

    // The background goes, a pedestal of 100 keeps the sky noise above 0.
    const int radius = 12, pedestal = 100;
    Frame flattened[2] = { Frame(w, h, 2), Frame(w, h, 2) };
    steps.Run("Median 25 x 25 background subtraction, both", [&] {
        for (int f = 0; f < 2; ++f)
            tamrix::Median(nullptr, CancelFlag(), calibrated[f].Data(), flattened[f].Data(), w, h, 2, 0, 65535, radius,
                pedestal, 1000, 1, 0);
    });
    steps.Run("write the calibrated frames (FITS)", [&] {
        for (int f = 0; f < 2; ++f) {
            const std::string n = std::to_string(f + 1);
            WriteFrame(dir + "calibrated" + n + ".fits", calibrated[f],
                { History("demo", "dark subtracted, flat-fielded at level " + Number(level)) });
            flattened[f].cards = calibrated[f].cards;
            WriteFrame(dir + "background-subtracted" + n + ".fits", flattened[f],
                { History("demo", "25 x 25 median background subtracted, pedestal 100") });
        }
    });

    std::vector<Star> stars[2];
    steps.Run("FindStars on both frames", [&] {
        for (int f = 0; f < 2; ++f) {
            std::vector<unsigned> mask((size_t(w) * h + 31) / 32, 0u);
            tamrix::FindStars(8, 4.0, 2, pedestal + 60, flattened[f].Data(), w, h, 2, mask.data(), &stars[f], Collect);
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

    Field field;
    field.width = w;
    field.height = h;
    steps.Run("match the stars, FitSurface", [&] {
        const auto pairs = MatchStars(stars[0], stars[1], 12);
        const double cx = w / 2, cy = h / 2, s = std::max(w, h);
        std::vector<double> points;
        for (const auto& [p, q] : pairs)
            points.insert(points.end(), { (q.cx - cx) / s, (q.cy - cy) / s, (p.cx - cx) / s, (p.cy - cy) / s });
        double* c = field.dx;
        double* d = field.dy;
        tamrix::FitSurface(points.data(), static_cast<unsigned>(pairs.size()), &c[0], &c[1], &c[2], &c[3], &c[4], &c[5],
            &c[6], &c[7], &c[8], &c[9], &d[0], &d[1], &d[2], &d[3], &d[4], &d[5], &d[6], &d[7], &d[8], &d[9]);
        field.pairs = static_cast<int>(pairs.size());
        double sum2 = 0;
        for (size_t i = 0; i < pairs.size(); ++i) {
            const double* r = &points[4 * i];
            const double ex = (r[0] - r[2] - Polynomial(c, r[0], r[1])) * s,
                         ey = (r[1] - r[3] - Polynomial(d, r[0], r[1])) * s;
            sum2 += ex * ex + ey * ey;
        }
        field.rms = pairs.empty() ? 0 : std::sqrt(sum2 / pairs.size());
        AtomicFile out(dir + "field.txt");
        out.Write(FieldText(field));
        out.Commit();
    });

    Picture starPicture, fieldPicture;
    steps.Run("CreateColorDIB of frame 1, stars circled", [&] {
        const Frame* grey[3] = { &flattened[0], &flattened[0], &flattened[0] };
        Channel c = MakeChannel(flattened[0], pedestal - 30, pedestal + 1500, Stretch::Asinh);
        Channel channels[3] = { c, c, c };
        starPicture = RenderColour(grey, channels, 0);
        MarkStars(starPicture, stars[0], 6, 0);
    });
    steps.Run("FillFrameWithPolynoms, CreateMonoDIB", [&] {
        Frame vectors(w, h, 2);
        const double* p = field.dx;
        const double* q = field.dy;
        tamrix::FillFrameWithPolynoms(vectors.Data(), w, h, 2, p[0], p[1], p[2], p[3], p[4], p[5], p[6], p[7], p[8],
            p[9], q[0], q[1], q[2], q[3], q[4], q[5], q[6], q[7], q[8], q[9]);
        // Grey from mid-scale (no motion) up to the longest vector; the marks
        // (value 0) stay black.
        const double top = std::max<double>(vectors.Max(), 32767 + 100);
        Channel v = MakeChannel(vectors, 32767 - (top - 32767) * 0.6, top, Stretch::Linear);
        fieldPicture = RenderMono(vectors, v, 0);
    });
    steps.Run("write the pictures (PNG)", [&] {
        WritePicture(dir + "stars.png", std::move(starPicture));
        WritePicture(dir + "field.png", std::move(fieldPicture));
    });

    // A smaller night's lights, each moved a little, stacked through the
    // stack layer as tamrix stack does: inputs in DIR/stack/. Too few stars
    // would not register; the demo then goes without.
    constexpr int kStacked = 6, kLeastStars = 30;
    const int sw = std::max(128, w / 2), sh = std::max(128, h / 2), stackStars = a.stars / 4;
    const std::string stackDir = dir + "stack/";
    SyntheticNight small;
    std::vector<stack::LightReport> reports;
    if (stackStars >= kLeastStars) {
        std::vector<std::string> lightNames;
        steps.Run("make and write 6 lights, moved, a dark, a flat", [&] {
            MakeFolder(stackDir);
            small = MakeNight(sw, sh, stackStars, 2027);
            std::vector<Frame> lights = MakeMoreLights(small, kStacked - 1, 2028);
            lights.insert(lights.begin(), small.lights[0]);
            WriteFrame(stackDir + "dark.fits", small.dark, { History("demo", "synthetic dark frame") });
            WriteFrame(stackDir + "flat.fits", small.flat, { History("demo", "synthetic flat field") });
            for (size_t k = 0; k < lights.size(); ++k) {
                lightNames.push_back(stackDir + "light" + std::to_string(k + 1) + ".fits");
                WriteFrame(lightNames.back(), lights[k], { History("demo", "synthetic light frame") });
            }
        });
        steps.Run("StackFiles: 6 lights, sigma-clip (FITS)", [&] {
            stack::StackOptions options;
            options.files.settings.method = stack::Method::SigmaClip;
            options.files.scratchIn = a.folder;
            options.files.onScratch = RegisterScratchFolder;
            options.darks = { stackDir + "dark.fits" };
            options.flats = { stackDir + "flat.fits" };
            AtomicFile out(dir + "stack.fits", OutputKind::Binary);
            intake::Warnings warnings;
            try {
                reports = stack::StackFiles(lightNames, out.HandOver(), "",
                    { History("demo", "sigma-clip of the lights of stack/ registered onto the first") }, options,
                    warnings, nullptr, CancelFlag());
            } catch (const intake::Error&) {
                ThrowIfInterrupted(); // Ctrl-C says so, not "interrupted" as a failure
                throw;
            }
            PrintWarnings(warnings);
            ThrowIfInterrupted();
            out.Commit();
        });
    }
    std::printf("  %-48s %9.1f ms\n", "total", steps.Total());

    // How well it went, against the truth the night was made from.
    int hits[2], spurious[2];
    for (int f = 0; f < 2; ++f)
        Score(stars[f], night.stars, f == 1, hits[f], spurious[f]);
    double worst = 0;
    const double s = std::max(w, h);
    for (int gy = 0; gy <= 8; ++gy)
        for (int gx = 0; gx <= 8; ++gx) {
            const double x = (w - 1) * gx / 8.0, y = (h - 1) * gy / 8.0;
            double x2, y2;
            SecondFramePosition(w, h, x, y, x2, y2);
            const double u = (x2 - w / 2) / s, v = (y2 - h / 2) / s;
            worst = std::max(worst,
                std::hypot(Polynomial(field.dx, u, v) * s - (x2 - x), Polynomial(field.dy, u, v) * s - (y2 - y)));
        }
    std::printf("\nsummary\n");
    std::printf(
        "  flat level %.1f; sky after calibration and background subtraction at the pedestal of %d\n", level, pedestal);
    for (int f = 0; f < 2; ++f)
        std::printf("  frame %d: %zu stars found, %d of %d true stars within 1.5 px, %d others\n", f + 1,
            stars[f].size(), hits[f], a.stars, spurious[f]);
    std::printf("  field: %d matched stars, fit residual %.3f px rms, largest error against the true motion %.3f px\n",
        field.pairs, field.rms, worst);
    if (!reports.empty()) {
        // Like for like: the first light calibrated as the stack layer does
        // it, and the stack, within the margin every light covers.
        Frame first = small.lights[0];
        double flatLevel = 0;
        tamrix::DiffDark(first.Data(), first.Data(), small.dark.Data(), sw, sh, 2);
        tamrix::Flat(first.Data(), first.Data(), small.flat.Data(), &flatLevel, sw, sh, 2);
        const int margin = 16;
        // Read as the demo's own output, not as an input that must not be
        // an output too; its undefined edges are expected.
        intake::Warnings edges;
        const double one = InteriorNoise(first, margin),
                     deep = InteriorNoise(intake::ReadFrame(dir + "stack.fits", {}, edges), margin);
        const size_t stacked
            = std::count_if(reports.begin(), reports.end(), [](const stack::LightReport& r) { return r.stacked; });
        std::printf("  stack: %zu of %d lights stacked into %sstack.fits; background noise %.2f in one light, %.2f "
                    "in the stack: a gain of %.2f, sqrt(%zu) = %.2f\n",
            stacked, kStacked, dir.c_str(), one, deep, one / deep, stacked, std::sqrt(double(stacked)));
    } else
        std::printf("  stack: none made: %d stars in its night, %d needed (--stars %d or more)\n", stackStars,
            kLeastStars, 4 * kLeastStars);
    std::printf("  pictures: %sstars.png (calibrated frame, stars circled), %sfield.png (the motion field)\n",
        dir.c_str(), dir.c_str());
}

} // namespace

void AddDemoCommand(CLI::App& app, Action& action)
{
    auto args = std::make_shared<DemoArgs>();
    CLI::App* cmd = app.add_subcommand("demo", "process a synthetic night end to end and print the timings");
    cmd->add_option("folder", args->folder, "where the frames and pictures go (default tamrix-demo)");
    cmd->add_option("--size", args->size, "frame width and height in pixels (default 1024)")
        ->check(CLI::Range(128, 8192));
    cmd->add_option("--stars", args->stars, "number of stars (default 600)")->check(CLI::Range(0, 100000));
    cmd->callback([&action, args] { action = [args] { Demo(*args); }; });
}

} // namespace tamrix::cli
