// The stacking steps (lights.h) on frames in memory, for the Python module
// and the tasks of a cluster: frames are physical values (NaN where
// undefined), width x height each, row after row. StackArrays runs the
// steps in sequence; a cluster runs the same steps as tasks (masters, the
// lights' ranges, one task per light, one per band of rows) and gets the
// same result.
#pragma once

#include "lights.h"

#include <optional>
#include <utility>
#include <vector>

namespace tamrix::stack {

// The median of the frames: a master bias, dark or flat.
std::vector<float> MasterOf(const std::vector<const double*>& frames, int width, int height);

// The finite minimum and maximum of a light ((0, 0) when none is finite).
std::pair<double, double> ArrayRange(const double* values, size_t count);

// The mapping of the lights' range (LightsRange).
intake::Mapping ArrayMapping(std::pair<double, double> range);

// A light on the calibration's mapping, calibrated (its exposure time for a
// scaled dark), and its stars found.
Light ArrayLight(const double* values, int width, int height, const std::string& name, std::optional<double> exposure,
    const Calibration& calibration, const detect::Options& stars, intake::Warnings& warnings);

struct ArrayStackOptions {
    Settings settings { Method::SigmaClip, 3, 3 };
    detect::Options stars;
    Options registration;
    size_t reference = 0; // index of the light whose grid the stack takes
    bool weighted = false; // each light weighted by the inverse square of its sky noise
};

struct ArrayStack {
    std::vector<float> values; // the stack, the reference's size
    std::vector<uint16_t> coverage; // the lights that defined each pixel
    std::vector<LightReport> reports; // in the lights' order
};

// The whole pipeline: `exposures` (one per light) and `darkExposure` scale
// the dark when given (darkExposure > 0). Throws intake::Error as StackFiles.
ArrayStack StackArrays(const std::vector<const double*>& lights, const std::vector<const double*>& biases,
    const std::vector<const double*>& darks, const std::vector<const double*>& flats, int width, int height,
    const std::vector<double>& exposures, double darkExposure, const ArrayStackOptions& options,
    intake::Warnings& warnings);

} // namespace tamrix::stack
