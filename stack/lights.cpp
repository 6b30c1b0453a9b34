#include "lights.h"

#include "warp.h"

#include "intake/operations.h"
#include "tamrix.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>
#include <optional>

#include <omp.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace tamrix::stack {
namespace {

using intake::Error;
using intake::Fault;

constexpr int64_t kRangeChunk = int64_t { 16 } << 20;

void Poll(const unsigned char* cancel)
{
    if (cancel && __atomic_load_n(cancel, __ATOMIC_RELAXED))
        throw Error(Fault::Failure, "interrupted");
}

// Refuses colour frames, whose pixels are a mosaic of channels that warping
// would mix, and frames of another size than `size` (the first light)
// when there are calibration frames (`size` null: any size).
void CheckInput(const std::string& name, int plane, const intake::ImageRows* size)
{
    const intake::ImageRows rows(name, plane);
    for (const std::string key : { "BAYERPAT", "COLORTYP" })
        for (const std::string& card : rows.Cards())
            if (card.size() > 8 && card.compare(0, 8, key) == 0 && card[8] == '=')
                throw Error(Fault::Unsupported,
                    name + ": a colour (Bayer) frame (" + key
                        + " card); stack takes monochrome frames: split it into its colour planes first");
    if (size && (rows.Width() != size->Width() || rows.Height() != size->Height()))
        throw Error(Fault::Mismatch,
            name + ": " + std::to_string(rows.Width()) + " x " + std::to_string(rows.Height()) + " pixels, but "
                + size->Name() + " has " + std::to_string(size->Width()) + " x " + std::to_string(size->Height())
                + "; with darks or flats, every frame must have one size");
}

// Reads a light calibrated by the masters (empty names: none).
intake::Frame Calibrated(const std::string& light, const std::string& dark, const std::string& flat,
    const intake::ReadOptions& read, intake::Warnings& warnings)
{
    std::vector<intake::Frame> frames
        = intake::ReadFrames(dark.empty() ? std::vector { light } : std::vector { light, dark }, read, warnings);
    intake::Frame frame = std::move(frames[0]);
    if (!dark.empty())
        intake::SubtractDark(frame, frames[1]);
    if (!flat.empty()) {
        const intake::Frame divisor = intake::ReadDivisor(flat, frame, read, warnings);
        intake::DivideFlat(frame, divisor, std::nullopt, warnings);
    }
    return frame;
}

} // namespace

std::vector<LightReport> StackFiles(const std::vector<std::string>& lights, const std::string& output,
    const std::string& coverage, const std::vector<std::string>& history, const StackOptions& options,
    intake::Warnings& warnings, const StageProgress& progress, const unsigned char* cancel)
{
    if (lights.empty())
        throw Error(Fault::Usage, "no lights to stack");
    const int plane = options.files.plane;
    // The reference first: the grid and the stars every light registers onto.
    std::vector<std::string> order = lights;
    bool referenceStacked = true;
    std::ptrdiff_t referenceAt = 0; // among the lights
    if (!options.reference.empty()) {
        const auto at = std::find(order.begin(), order.end(), options.reference);
        if (at == order.end()) {
            order.insert(order.begin(), options.reference);
            referenceStacked = false;
        } else {
            referenceAt = at - order.begin();
            std::rotate(order.begin(), at, at + 1);
        }
    }
    const bool calibrated = !options.darks.empty() || !options.flats.empty();
    const intake::ImageRows first(lights[0], plane);
    for (const std::string& name : order)
        CheckInput(name, plane, calibrated ? &first : nullptr);
    for (const auto* names : { &options.darks, &options.flats })
        for (const std::string& name : *names)
            CheckInput(name, plane, &first);

    ScratchFolder scratch(options.files.scratchIn, options.files.onScratch);
    const int stages = (options.darks.empty() ? 0 : 1) + (options.flats.empty() ? 0 : 1);
    int stage = 0;
    FileOptions masterOptions = options.files;
    masterOptions.settings = Settings { Method::Median, 3, 3 };
    masterOptions.onScratch = nullptr; // one folder is told at a time: the stack's own
    const auto master = [&](const std::vector<std::string>& frames) {
        if (frames.empty())
            return std::string();
        if (progress)
            progress("calibrate", stage, stages);
        const std::string path = scratch.File();
        CombineFiles(frames, path, "", {}, masterOptions, warnings, nullptr, cancel);
        if (progress)
            progress("calibrate", ++stage, stages);
        return path;
    };
    const std::string dark = master(options.darks), flat = master(options.flats);

    // One mapping for every light: a range over all of them (and below, by
    // the dark's largest value, the pedestal that keeps light - dark).
    intake::ReadOptions read;
    read.plane = plane;
    read.mapping = options.files.mapping;
    read.keepInvalid = true;
    if (!read.mapping.range) {
        double lo = 0, hi = -std::numeric_limits<double>::infinity();
        for (const std::string& light : order) {
            Poll(cancel);
            const auto [a, b] = PhysicalRange(light, plane, kRangeChunk);
            lo = std::min(lo, a);
            hi = std::max(hi, b);
        }
        if (!dark.empty())
            lo -= std::max(0.0, PhysicalRange(dark, -1, kRangeChunk).second);
        if (!(hi > lo))
            hi = lo + 1;
        read.mapping.range = std::make_pair(lo, hi);
    }

    std::vector<std::string> cards;
    std::vector<Point> referenceStars;
    std::vector<uint16_t> counts;
    int width = 0, height = 0;
    const int total = static_cast<int>(order.size());
    // Each light's stars on one core, the same list every run; lights run
    // side by side instead, as many at a time as the budget holds.
    detect::Options stars = options.stars;
    stars.parallel = false;
    stars.largeStars = false; // registration takes point sources
    struct Done {
        LightReport report;
        std::string warped; // its scratch file, when stacked
        double noise = 0; // of its sky, physical units
        intake::Warnings warnings;
    };
    std::vector<Done> done(static_cast<size_t>(total));
    int finished = 0;
    const auto process = [&](int i) {
        Done& d = done[static_cast<size_t>(i)];
        const intake::Frame frame = Calibrated(order[i], dark, flat, read, d.warnings);
        const detect::Result found = detect::FindStars(frame.Data(), frame.width, frame.height, frame.Depth(), stars);
        const std::vector<Point> points = Points(found.stars);
        LightReport& report = d.report;
        report.file = order[i];
        report.stars = points.size();
        if (i == 0) {
            if (static_cast<int>(points.size()) < options.registration.minMatches)
                throw Error(Fault::Failure,
                    order[0] + ": the reference has " + std::to_string(points.size())
                        + " usable stars; registration needs at least "
                        + std::to_string(options.registration.minMatches) + ": choose another reference");
            referenceStars = points;
            width = frame.width;
            height = frame.height;
            cards = frame.cards;
            counts.assign(static_cast<size_t>(width) * height, 0);
            report.registration.status = Status::kRegistered;
            report.registration.frameStars = report.registration.referenceStars = report.registration.matched
                = points.size();
        } else {
            report.registration = Register(referenceStars, points, options.registration);
        }
        if (report.registration.Registered() && (i > 0 || referenceStacked)) {
            std::vector<uint16_t> defined(counts.size(), 0);
            const std::vector<float> values = WarpOnto(frame, report.registration, width, height, defined);
#pragma omp critical(tamrix_stack_lights)
            {
                d.warped = scratch.File();
                for (size_t j = 0; j < counts.size(); ++j)
                    counts[j] = static_cast<uint16_t>(std::min(counts[j] + defined[j], int { UINT16_MAX }));
            }
            intake::ImageWriter writer(d.warped, width, height, intake::Sample::F32, cards, {});
            writer.Write(0, height, values.data());
            writer.Finish();
            report.stacked = true;
            d.noise = found.sky.noise * frame.mapping.scale;
        }
#pragma omp critical(tamrix_stack_lights)
        if (progress)
            progress("register", ++finished, total);
    };
    if (progress)
        progress("register", 0, total);
    Poll(cancel);
    process(0); // the grid and the stars the others register onto
    const int64_t perLight = int64_t { 28 } * width * height; // a light and its detection planes, at their peak
    // Side by side only when each reads files of its own (the masters are
    // read with every light).
    const bool apart = intake::ConcurrentReads() && Distinct(order) && options.darks.empty() && options.flats.empty();
    const int atOnce = !apart ? 1
                              : static_cast<int>(std::clamp<int64_t>(
                                  options.files.budget.bytes / perLight, 1, std::max(1, omp_get_max_threads())));
    std::exception_ptr failed;
    bool stop = false;
#pragma omp parallel for schedule(dynamic, 1) num_threads(atOnce) if (atOnce > 1)
    for (int i = 1; i < total; ++i) {
        bool skip;
#pragma omp atomic read
        skip = stop;
        if (skip)
            continue;
        try {
            Poll(cancel);
            process(i);
        } catch (...) {
#pragma omp critical(tamrix_stack_lights)
            if (!failed)
                failed = std::current_exception();
#pragma omp atomic write
            stop = true;
        }
    }
    if (failed)
        std::rethrow_exception(failed);

    std::vector<LightReport> reports;
    std::vector<std::string> warped;
    std::vector<double> noises; // of the stacked lights' skies, physical units
    for (int i = 0; i < total; ++i) {
        Done& d = done[static_cast<size_t>(i)];
        warnings.insert(warnings.end(), d.warnings.begin(), d.warnings.end());
        if (!d.warped.empty()) {
            warped.push_back(d.warped);
            noises.push_back(d.noise);
        }
        if (i > 0 || referenceStacked)
            reports.push_back(std::move(d.report));
    }
    if (warped.empty())
        throw Error(Fault::Failure, "no light registered onto " + order[0] + "; nothing stacked");

#if defined(__GLIBC__)
    // What the lights freed goes back before the bands take their share.
    malloc_trim(0);
#endif
    // Undefined pixels of the warped frames are meant: no warning of them.
    intake::Warnings quiet;
    FileOptions combine = options.files;
    combine.mapping = {};
    // Clipping spreads at least half the lights' sky noise (bilinear warping
    // smooths it by up to that much): the spread of a few values, often small
    // by chance, then rejects no good ones.
    std::nth_element(noises.begin(), noises.begin() + noises.size() / 2, noises.end());
    combine.settings.floor = std::max(combine.settings.floor, 0.5 * noises[noises.size() / 2]);
    CombineFiles(
        warped, output, "", history, combine, quiet,
        [&](int done, int bands) {
            if (progress)
                progress("combine", done, bands);
        },
        cancel);
    if (!coverage.empty()) {
        intake::ImageWriter writer(coverage, width, height, intake::Sample::U16, cards, history);
        writer.Write(0, height, counts.data());
        writer.Finish();
    }
    // Reports in the lights' order.
    std::rotate(reports.begin(), reports.begin() + 1, reports.begin() + referenceAt + 1);
    return reports;
}

} // namespace tamrix::stack
