// Stacking a night's lights into one deep frame, in steps that files, arrays
// in memory and the tasks of a cluster all take: masters from the biases,
// darks and flats (median combinations); one value mapping for every light,
// reaching low enough below 0 that subtracting the dark keeps every
// difference; each light calibrated with the masters, its stars found and
// registered onto the reference's, and warped onto the reference's pixel
// grid with the library's Transform (bilinear; pixels it does not cover
// undefined); the warped frames combined band by band. StackFiles is that
// sequence over FITS files: warped frames go to scratch files, so memory
// holds one frame and the bands, never the night.
#pragma once

#include "files.h"
#include "register.h"

#include "detect/stars.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace tamrix::stack {

// How masters are combined: the median of their frames.
constexpr Settings kMasterSettings { Method::Median, 3, 3 };

// Master frames as physical values (NaN where undefined), each width x
// height, row after row; an empty one is not given. With a bias, the dark
// still holds it (a median of darks); the calibration takes it out.
struct Masters {
    int width = 0, height = 0;
    std::vector<float> bias, dark, flat;
    // Exposure time of the darks when the dark is scaled to each light's
    // (EXPTIME), 0 when it is not scaled.
    double darkExposure = 0;
};

// The masters on the lights' mapping, ready to calibrate lights of that
// mapping: the dark and the flat without the bias when a bias is given, the
// flat as a divisor (intake::DivisorMapping).
struct Calibration {
    intake::Mapping mapping;
    std::optional<intake::Frame> bias, dark, flat;
    double darkExposure = 0;
};
Calibration CalibrationOf(const Masters& masters, const intake::Mapping& mapping, intake::Warnings& warnings);

// The light's exposure time from its EXPTIME card, if it has one.
std::optional<double> Exposure(const std::vector<std::string>& cards);

// The physical range the lights' mapping covers: from the lowest light
// value (or 0) to the highest, reaching below by as much as the calibration
// can subtract (the dark's largest value, times the largest ratio of a
// light's exposure to the darks' when the dark is scaled up), so that light -
// dark keeps its sign. `ranges` are the lights' finite (min, max).
std::pair<double, double> LightsRange(
    const std::vector<std::pair<double, double>>& ranges, double darkMax, double largestExposureRatio = 1);

// The largest finite value of a master dark (NaN without one), for
// LightsRange.
double DarkMax(const std::vector<float>& dark);

// The largest ratio of a light's exposure time to the darks' (1 when the
// dark is not scaled: `darkExposure` 0), for LightsRange.
double LargestExposureRatio(const std::vector<double>& exposures, double darkExposure);

// Calibrates a light read onto the calibration's mapping (moved onto it
// when it was read onto another): minus the bias, minus the dark (scaled by
// `exposure` / the darks' exposure when the dark is scaled: Failure naming
// `name` when `exposure` is unknown), divided by the flat at its mean.
void Calibrate(intake::Frame& light, const std::string& name, std::optional<double> exposure,
    const Calibration& calibration, intake::Warnings& warnings);

// A calibrated light and what was found on it.
struct Light {
    intake::Frame frame;
    std::vector<Point> stars;
    double noise = 0; // the sky's, physical units
};
// The pixels of a light as read, before calibration, at or above its
// saturation level (its SATURATE card, else detect::SaturationLevel), one
// bit per pixel as detect::FindStars takes a mask; empty when there are
// none. Calibration spreads a clipped star's pixels over many values, which
// then no longer show it saturated.
std::vector<unsigned> SaturatedPixels(const intake::Frame& raw);

// Stars as registration wants them: of about the frame's star width (not
// the large ones), found on one core so that every run finds the same, and
// none that touches a `saturated` pixel; its undefined pixels are no sky.
Light FindLightStars(
    intake::Frame calibrated, const detect::Options& options, const std::vector<unsigned>& saturated = {});

// The grid and the stars every light registers onto. Throws Failure naming
// `name` when the light has fewer stars than registration needs.
struct Reference {
    int width = 0, height = 0;
    std::vector<Point> stars;
};
Reference ReferenceOf(const Light& light, const std::string& name, const Options& registration);

// What became of one light.
struct LightReport {
    std::string file;
    size_t stars = 0; // found on the calibrated light
    bool stacked = false;
    Report registration; // of the reference itself: identity, every star matched
};

// A light on the reference grid: physical values, NaN where undefined;
// `values` empty when it did not register.
struct WarpedLight {
    LightReport report;
    std::vector<float> values;
    double noise = 0;
};

// Registers the light (`isReference`: it is the reference itself, the
// identity) and warps it onto the reference grid, counting its defined
// pixels into `coverage` (width x height of the reference).
WarpedLight RegisterAndWarp(const Light& light, const std::string& name, const Reference& reference, bool isReference,
    const Options& registration, std::vector<uint16_t>& coverage);

// The combination's settings for warped lights of these sky noises:
// clipping spreads at least half their median (bilinear warping smooths
// noise by up to that much). With `weights`, each light is weighted by the
// inverse square of its noise in the averages: `weights` holds them and
// must outlive the settings.
Settings WarpedSettings(Settings settings, std::vector<double> noises, std::vector<double>* weights = nullptr);

// Combines warped frames (a band of them, or whole ones) into `values` and
// the frames defining each pixel into `coverage` (width x height each).
void CombineWarped(const std::vector<const float*>& frames, int width, int height, const Settings& settings,
    float* values, uint16_t* coverage, const unsigned char* cancel = nullptr);

struct StackOptions {
    FileOptions files; // plane, the read range (mapping.range), combination, budget, scratch folder
    std::vector<std::string> biases, darks, flats;
    // Scale the (bias-free) master dark by each light's EXPTIME over the darks'.
    bool darkScale = false;
    // The frame whose pixel grid the output takes: one of the lights (it is
    // stacked) or another file (it is not); empty: the first light.
    std::string reference;
    detect::Options stars;
    Options registration; // its `distortion`: warp through the cubic field too
    bool weighted = false; // each light weighted by the inverse square of its sky noise
};

// Called with a stage ("calibrate" for the masters, "register" per light)
// and how far it has come.
using StageProgress = std::function<void(const std::string& stage, int done, int total)>;

// Stacks `lights` (at least one) into `output`, a new FITS image (BITPIX
// -32, physical units: one mapping for all lights) with the reference's
// header cards, NCOMBINE (the lights stacked) and one HISTORY card per line
// of `history`; with `coverage` not empty, a 16-bit FITS image of the frames
// that defined each pixel too. Darks are subtracted above a pedestal that
// keeps every difference (lights darker than the dark stay negative); the
// master bias, when biases are given, comes off the master dark, the master
// flat and every light; flats divide at their mean. A light that does not
// register is left out; the reports (one per light, in the lights' order)
// say why. Throws intake::Error: Unsupported for a colour (Bayer) frame,
// Failure when the reference has too few stars or nothing registers or,
// with darkScale, a light or dark has no EXPTIME, Mismatch for darks of
// different EXPTIME, "interrupted" once `cancel` is set (polled between
// lights and bands); scratch files go however it ends.
std::vector<LightReport> StackFiles(const std::vector<std::string>& lights, const std::string& output,
    const std::string& coverage, const std::vector<std::string>& history, const StackOptions& options,
    intake::Warnings& warnings, const StageProgress& progress = nullptr, const unsigned char* cancel = nullptr);

} // namespace tamrix::stack
