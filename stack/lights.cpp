#include "lights.h"
#include "warp.h"

#include "intake/operations.h"
#include "tamrix.h"

#include <algorithm>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <limits>
#include <mutex>
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

// Values of an F32 image (a master), row after row.
std::vector<float> ReadFloats(const std::string& name)
{
    intake::ImageRows rows(name, -1);
    std::vector<float> values(static_cast<size_t>(rows.Width()) * static_cast<size_t>(rows.Height()));
    rows.Read(0, rows.Height(), values.data());
    return values;
}

// A master's values on `mapping` (NaN undefined, kept so).
intake::Frame MasterFrame(const std::vector<float>& values, int width, int height, const intake::Mapping& mapping,
    const std::string& name, intake::Warnings& warnings)
{
    intake::Frame frame(width, height, mapping);
    frame.path = name;
    intake::Format format;
    format.name = name;
    format.sample = intake::Sample::F32;
    const std::string text
        = intake::MapOnto(values.data(), values.size(), format, mapping, frame.Data(), frame.invalid, true);
    if (!text.empty())
        warnings.push_back(text);
    return frame;
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

bool SameMapping(const intake::Mapping& a, const intake::Mapping& b)
{
    return a.offset == b.offset && a.scale == b.scale && a.depth == b.depth;
}

// The frame's physical values on another mapping (rounded onto its grid).
void MoveOnto(intake::Frame& frame, const intake::Mapping& mapping, intake::Warnings& warnings)
{
    std::vector<double> physical(frame.Pixels());
    intake::ToPhysical(frame.Data(), frame.Depth(), physical.size(), frame.mapping, physical.data());
    intake::Frame moved(frame.width, frame.height, mapping);
    intake::Format format;
    format.name = frame.path;
    format.sample = intake::Sample::F64;
    std::vector<bool> invalid;
    const std::string text
        = intake::MapOnto(physical.data(), physical.size(), format, mapping, moved.Data(), invalid, true);
    if (!text.empty())
        warnings.push_back(text);
    frame.mapping = mapping;
    frame.p16 = std::move(moved.p16);
    frame.p32 = std::move(moved.p32);
}

// The dark times `ratio`, on its own mapping (clamped to its range).
intake::Frame Scaled(const intake::Frame& dark, double ratio)
{
    intake::Frame scaled = dark;
    const intake::Mapping& m = dark.mapping;
    for (size_t i = 0; i < dark.Pixels(); ++i) {
        const double value = std::nearbyint((m.Physical(dark.At(i)) * ratio - m.offset) / m.scale);
        scaled.Set(i, static_cast<uint32_t>(std::clamp(value, 0.0, m.FullScale())));
    }
    return scaled;
}

} // namespace

std::optional<double> Exposure(const std::vector<std::string>& cards)
{
    const std::optional<double> seconds = intake::CardNumber(cards, "EXPTIME");
    return seconds && *seconds > 0 ? seconds : std::nullopt;
}

std::pair<double, double> LightsRange(
    const std::vector<std::pair<double, double>>& ranges, double darkMax, double largestExposureRatio)
{
    double lo = 0, hi = -std::numeric_limits<double>::infinity();
    for (const auto& [a, b] : ranges) {
        lo = std::min(lo, a);
        hi = std::max(hi, b);
    }
    if (std::isfinite(darkMax))
        lo -= std::max(0.0, darkMax) * std::max(1.0, largestExposureRatio);
    if (!(hi > lo))
        hi = lo + 1;
    return { lo, hi };
}

double DarkMax(const std::vector<float>& dark)
{
    double largest = std::numeric_limits<double>::quiet_NaN();
    for (const float v : dark)
        if (std::isfinite(v) && !(v <= largest))
            largest = v;
    return largest;
}

double LargestExposureRatio(const std::vector<double>& exposures, double darkExposure)
{
    if (!(darkExposure > 0) || exposures.empty())
        return 1;
    return *std::max_element(exposures.begin(), exposures.end()) / darkExposure;
}

Calibration CalibrationOf(const Masters& masters, const intake::Mapping& mapping, intake::Warnings& warnings)
{
    Calibration c;
    c.mapping = mapping;
    c.darkExposure = masters.darkExposure;
    const int w = masters.width, h = masters.height;
    if (!masters.bias.empty())
        c.bias = MasterFrame(masters.bias, w, h, mapping, "the master bias", warnings);
    if (!masters.dark.empty()) {
        c.dark = MasterFrame(masters.dark, w, h, mapping, "the master dark", warnings);
        if (c.bias)
            intake::SubtractDark(*c.dark, *c.bias);
    }
    if (!masters.flat.empty()) {
        // The flat's bias is no light: it comes off before the division.
        std::vector<float> flat = masters.flat;
        if (!masters.bias.empty())
            for (size_t i = 0; i < flat.size(); ++i)
                flat[i] -= masters.bias[i];
        intake::Format format;
        format.name = "the master flat";
        format.sample = intake::Sample::F32;
        const intake::Mapping divisor
            = intake::DivisorMapping(format, mapping.depth, intake::FiniteRange(flat.data(), flat.size(), format));
        c.flat = MasterFrame(flat, w, h, divisor, format.name, warnings);
    }
    return c;
}

void Calibrate(intake::Frame& light, const std::string& name, std::optional<double> exposure,
    const Calibration& calibration, intake::Warnings& warnings)
{
    if (!calibration.bias && !calibration.dark && !calibration.flat)
        return;
    if (!SameMapping(light.mapping, calibration.mapping))
        MoveOnto(light, calibration.mapping, warnings);
    if (calibration.bias)
        intake::SubtractDark(light, *calibration.bias);
    if (calibration.dark) {
        if (calibration.darkExposure > 0) {
            if (!exposure)
                throw Error(Fault::Failure,
                    name + ": the exposure time is unknown (no EXPTIME); scaling the dark needs every light's");
            intake::SubtractDark(light, Scaled(*calibration.dark, *exposure / calibration.darkExposure));
        } else {
            intake::SubtractDark(light, *calibration.dark);
        }
    }
    if (calibration.flat)
        intake::DivideFlat(light, *calibration.flat, std::nullopt, warnings);
}

std::vector<unsigned> SaturatedPixels(const intake::Frame& raw)
{
    const std::optional<uint32_t> given = intake::SaturationLevel(raw, std::nullopt);
    const uint32_t level = given ? *given : detect::SaturationLevel(raw.Data(), raw.width, raw.height, raw.Depth());
    std::vector<unsigned> mask((raw.Pixels() + 31) / 32, 0u);
    bool any = false;
    for (size_t i = 0; i < raw.Pixels(); ++i)
        if (raw.At(i) >= level) {
            mask[i / 32] |= 1u << (i % 32);
            any = true;
        }
    return any ? mask : std::vector<unsigned> {};
}

Light FindLightStars(intake::Frame calibrated, const detect::Options& options, const std::vector<unsigned>& saturated)
{
    detect::Options stars = options;
    stars.parallel = false; // one core, the same list every run: lights run side by side instead
    stars.largeStars = false; // registration takes point sources
    if (!calibrated.invalid.empty())
        stars.undefined = &calibrated.invalid; // NaN or BLANK: no sky
    Light light;
    const detect::Result found = detect::FindStars(calibrated.Data(), calibrated.width, calibrated.height,
        calibrated.Depth(), stars, saturated.empty() ? nullptr : saturated.data());
    light.stars = Points(found.stars);
    light.noise = found.sky.noise * calibrated.mapping.scale;
    light.frame = std::move(calibrated);
    return light;
}

namespace {

// Why a frame may show no stars though it has them: nearly all its values
// (the 1st to the 99th percentile) lie within 16 steps of the value mapping
// that a few far values stretched more than 4096 times wider (a stray 1e30 in
// floating-point data). Empty when that is not so.
std::string Stretched(const intake::Frame& frame)
{
    std::vector<uint32_t> v(frame.Pixels());
    for (size_t i = 0; i < v.size(); ++i)
        v[i] = frame.At(i);
    if (v.size() < 100)
        return "";
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    const double low = *lo, high = *hi;
    std::nth_element(v.begin(), v.begin() + v.size() / 100, v.end());
    const double p1 = v[v.size() / 100];
    std::nth_element(v.begin(), v.end() - 1 - v.size() / 100, v.end());
    const double p99 = v[v.size() - 1 - v.size() / 100];
    if (p99 - p1 >= 16 || high - low <= 4096 * std::max(1.0, p99 - p1))
        return "";
    char text[256];
    std::snprintf(text, sizeof text,
        "; 98 %% of its values lie between %.6g and %.6g, but a few reach %.6g to %.6g and leave them too few "
        "steps: clip those, or give the data's range",
        frame.mapping.Physical(p1), frame.mapping.Physical(p99), frame.mapping.Physical(low),
        frame.mapping.Physical(high));
    return text;
}

} // namespace

Reference ReferenceOf(const Light& light, const std::string& name, const Options& registration)
{
    if (static_cast<int>(light.stars.size()) < registration.minMatches)
        throw Error(Fault::Failure,
            name + ": the reference has " + std::to_string(light.stars.size())
                + " usable stars; registration needs at least " + std::to_string(registration.minMatches)
                + ": choose another reference" + Stretched(light.frame));
    return Reference { light.frame.width, light.frame.height, light.stars };
}

WarpedLight RegisterAndWarp(const Light& light, const std::string& name, const Reference& reference, bool isReference,
    const Options& registration, std::vector<uint16_t>& coverage)
{
    WarpedLight warped;
    LightReport& report = warped.report;
    report.file = name;
    report.stars = light.stars.size();
    if (isReference) {
        report.registration.status = Status::kRegistered;
        report.registration.frameStars = report.registration.referenceStars = report.registration.matched
            = light.stars.size();
    } else {
        report.registration = Register(reference.stars, light.stars, registration);
    }
    if (report.registration.Registered()) {
        warped.values = WarpOnto(light.frame, report.registration, reference.width, reference.height, coverage);
        warped.noise = light.noise;
        report.stacked = true;
    }
    return warped;
}

Settings WarpedSettings(Settings settings, std::vector<double> noises, std::vector<double>* weights)
{
    if (noises.empty())
        return settings;
    if (weights) {
        // A light of no measured noise weighs as the least noisy others.
        const double least = *std::min_element(noises.begin(), noises.end(),
            [](double a, double b) { return (a > 0 ? a : HUGE_VAL) < (b > 0 ? b : HUGE_VAL); });
        weights->clear();
        for (double noise : noises) {
            const double n = noise > 0 ? noise : least > 0 ? least : 1;
            weights->push_back(1 / (n * n));
        }
        settings.weights = weights->data();
    }
    std::nth_element(noises.begin(), noises.begin() + noises.size() / 2, noises.end());
    settings.floor = std::max(settings.floor, 0.5 * noises[noises.size() / 2]);
    return settings;
}

void CombineWarped(const std::vector<const float*>& frames, int width, int height, const Settings& settings,
    float* values, uint16_t* coverage, const unsigned char* cancel)
{
    if (frames.empty())
        throw Error(Fault::Failure, "no warped frames to combine");
    WarpedFrames source(frames, width, height);
    const size_t w = static_cast<size_t>(width), n = w * static_cast<size_t>(height);
    Combine(
        source, settings, Budget {},
        [&](int y, int rows, const float* v, const uint16_t*) {
            std::copy(v, v + static_cast<size_t>(rows) * w, values + static_cast<size_t>(y) * w);
        },
        nullptr, cancel);
    std::fill(coverage, coverage + n, 0);
    for (const float* frame : frames)
        for (size_t i = 0; i < n; ++i)
            if (!std::isnan(frame[i]) && coverage[i] < UINT16_MAX)
                ++coverage[i];
}

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
    const bool calibrated = !options.biases.empty() || !options.darks.empty() || !options.flats.empty();
    const intake::ImageRows first(lights[0], plane);
    for (const std::string& name : order)
        CheckInput(name, plane, calibrated ? &first : nullptr);
    for (const auto* names : { &options.biases, &options.darks, &options.flats })
        for (const std::string& name : *names)
            CheckInput(name, plane, &first);

    // Scaling the dark: the darks' one exposure time, and each light's.
    Masters masters;
    std::vector<double> exposures(order.size(), 0);
    if (options.darkScale) {
        if (options.darks.empty())
            throw Error(Fault::Usage, "scaling the dark needs darks: give them with --dark");
        const auto exposureOf = [&](const std::string& name) {
            const std::optional<double> seconds = Exposure(intake::ImageRows(name, plane).Cards());
            if (!seconds)
                throw Error(Fault::Failure,
                    name + ": no EXPTIME card; --dark-scale needs the exposure time of every light and dark");
            return *seconds;
        };
        masters.darkExposure = exposureOf(options.darks[0]);
        for (const std::string& dark : options.darks)
            if (exposureOf(dark) != masters.darkExposure)
                throw Error(Fault::Mismatch,
                    dark + ": EXPTIME " + Seconds(exposureOf(dark)) + ", but " + options.darks[0] + " has "
                        + Seconds(masters.darkExposure) + "; the darks of one master share an exposure time");
        for (size_t i = 0; i < order.size(); ++i)
            exposures[i] = exposureOf(order[i]);
    }

    ScratchFolder scratch(options.files.scratchIn, options.files.onScratch);
    const int stages
        = (options.biases.empty() ? 0 : 1) + (options.darks.empty() ? 0 : 1) + (options.flats.empty() ? 0 : 1);
    int stage = 0;
    FileOptions masterOptions = options.files;
    masterOptions.settings = kMasterSettings;
    masterOptions.onScratch = nullptr; // one folder is told at a time: the stack's own
    const auto master = [&](const std::vector<std::string>& frames) {
        if (frames.empty())
            return std::vector<float>();
        if (progress)
            progress("calibrate", stage, stages);
        const std::string path = scratch.File();
        CombineFiles(frames, path, "", {}, masterOptions, warnings, nullptr, cancel);
        if (progress)
            progress("calibrate", ++stage, stages);
        return ReadFloats(path);
    };
    masters.width = first.Width();
    masters.height = first.Height();
    masters.bias = master(options.biases);
    masters.dark = master(options.darks);
    masters.flat = master(options.flats);

    // One mapping for every light: a range over all of them, reaching below
    // by as much as the dark subtracts.
    intake::ReadOptions read;
    read.plane = plane;
    read.mapping = options.files.mapping;
    read.keepInvalid = true;
    if (!read.mapping.range) {
        std::vector<std::pair<double, double>> ranges;
        for (const std::string& light : order) {
            Poll(cancel);
            ranges.push_back(PhysicalRange(light, plane, kRangeChunk));
        }
        read.mapping.range
            = LightsRange(ranges, DarkMax(masters.dark), LargestExposureRatio(exposures, masters.darkExposure));
    }
    intake::Format any; // the mapping of a range depends on it alone
    any.sample = intake::Sample::F32;
    const Calibration calibration = CalibrationOf(masters, intake::ChooseMapping({ any }, read.mapping), warnings);
    masters = {};

    std::vector<std::string> cards;
    Reference reference;
    std::vector<uint16_t> counts;
    const int total = static_cast<int>(order.size());
    struct Done {
        LightReport report;
        std::string warped; // its scratch file, when stacked
        double noise = 0; // of its sky, physical units
        intake::Warnings warnings;
    };
    std::vector<Done> done(static_cast<size_t>(total));
    int finished = 0;
    std::mutex gate;
    std::condition_variable referenceKnown;
    bool referenceReady = false, referenceLost = false;
    const auto process = [&](int i) {
        Done& d = done[static_cast<size_t>(i)];
        intake::Frame frame = intake::ReadFrame(order[i], read, d.warnings);
        const std::vector<unsigned> saturated = SaturatedPixels(frame);
        Calibrate(
            frame, order[i], exposures[i] > 0 ? std::optional(exposures[i]) : std::nullopt, calibration, d.warnings);
        const Light light = FindLightStars(std::move(frame), options.stars, saturated);
        if (i == 0) {
            reference = ReferenceOf(light, order[0], options.registration);
            cards = light.frame.cards;
            counts.assign(static_cast<size_t>(reference.width) * reference.height, 0);
            const std::lock_guard<std::mutex> lock(gate);
            referenceReady = true;
            referenceKnown.notify_all();
        } else {
            // Found alongside the reference's; registered once it is known.
            std::unique_lock<std::mutex> lock(gate);
            referenceKnown.wait(lock, [&] { return referenceReady || referenceLost; });
            if (!referenceReady)
                return;
        }
        if (i > 0 || referenceStacked) {
            std::vector<uint16_t> defined(counts.size(), 0);
            WarpedLight result = RegisterAndWarp(light, order[i], reference, i == 0, options.registration, defined);
            if (result.report.stacked) {
#pragma omp critical(tamrix_stack_lights)
                {
                    d.warped = scratch.File();
                    for (size_t j = 0; j < counts.size(); ++j)
                        counts[j] = static_cast<uint16_t>(std::min(counts[j] + defined[j], int { UINT16_MAX }));
                }
                intake::ImageWriter writer(
                    d.warped, reference.width, reference.height, intake::Sample::F32, cards, {});
                writer.Write(0, reference.height, result.values.data());
                writer.Finish();
                d.noise = result.noise;
            }
            d.report = std::move(result.report);
        }
#pragma omp critical(tamrix_stack_lights)
        if (progress)
            progress("register", ++finished, total);
    };
    if (progress)
        progress("register", 0, total);
    // The lights side by side, as many as the budget holds (each reads its
    // own file: the masters are in memory), the reference first: the others
    // wait for its stars before they register.
    const int64_t perLight = [&] { // a light and its detection's planes
        const intake::ImageRows grid(order[0], plane);
        return int64_t { 28 } * grid.Width() * grid.Height();
    }();
    const int atOnce = !intake::ConcurrentReads() || !Distinct(order)
        ? 1
        : static_cast<int>(
            std::clamp<int64_t>(options.files.budget.bytes / perLight, 1, std::max(1, omp_get_max_threads())));
    std::exception_ptr failed;
    bool stop = false;
#pragma omp parallel for schedule(dynamic, 1) num_threads(atOnce) if (atOnce > 1)
    for (int i = 0; i < total; ++i) {
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
            const std::lock_guard<std::mutex> lock(gate);
            referenceLost = true;
            referenceKnown.notify_all();
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
    std::vector<double> weights;
    combine.settings = WarpedSettings(combine.settings, noises, options.weighted ? &weights : nullptr);
    CombineFiles(
        warped, output, "", history, combine, quiet,
        [&](int done, int bands) {
            if (progress)
                progress("combine", done, bands);
        },
        cancel);
    if (!coverage.empty()) {
        intake::ImageWriter writer(coverage, reference.width, reference.height, intake::Sample::U16, cards, history);
        writer.Write(0, reference.height, counts.data());
        writer.Finish();
    }
    // Reports in the lights' order.
    std::rotate(reports.begin(), reports.begin() + 1, reports.begin() + referenceAt + 1);
    return reports;
}

} // namespace tamrix::stack
