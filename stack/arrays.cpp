#include "arrays.h"

#include "intake/operations.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <limits>

namespace tamrix::stack {
namespace {

intake::Format Doubles(const std::string& name)
{
    intake::Format format;
    format.name = name;
    format.sample = intake::Sample::F64;
    return format;
}

} // namespace

std::vector<float> MasterOf(const std::vector<const double*>& frames, int width, int height)
{
    std::vector<float> master(static_cast<size_t>(width) * static_cast<size_t>(height));
    ArrayFrames source(frames, width, height);
    Combine(source, kMasterSettings, Budget {}, [&](int y, int rows, const float* values, const uint16_t*) {
        std::copy(values, values + static_cast<size_t>(rows) * width, master.begin() + static_cast<size_t>(y) * width);
    });
    return master;
}

std::pair<double, double> ArrayRange(const double* values, size_t count)
{
    return intake::FiniteRange(values, count, Doubles(""));
}

intake::Mapping ArrayMapping(std::pair<double, double> range)
{
    intake::MappingOptions options;
    options.range = range;
    return intake::ChooseMapping({ Doubles("") }, options);
}

Light ArrayLight(const double* values, int width, int height, const std::string& name, std::optional<double> exposure,
    const Calibration& calibration, const detect::Options& stars, intake::Warnings& warnings)
{
    intake::Frame frame(width, height, calibration.mapping);
    frame.path = name;
    const size_t n = frame.Pixels();
    const std::string text
        = intake::MapOnto(values, n, Doubles(name), calibration.mapping, frame.Data(), frame.invalid, true);
    if (!text.empty())
        warnings.push_back(text);
    const std::vector<unsigned> saturated = SaturatedPixels(frame);
    Calibrate(frame, name, exposure, calibration, warnings);
    return FindLightStars(std::move(frame), stars, saturated);
}

ArrayStack StackArrays(const std::vector<const double*>& lights, const std::vector<const double*>& biases,
    const std::vector<const double*>& darks, const std::vector<const double*>& flats, int width, int height,
    const std::vector<double>& exposures, double darkExposure, const ArrayStackOptions& options,
    intake::Warnings& warnings)
{
    const size_t n = static_cast<size_t>(width) * static_cast<size_t>(height);
    Masters masters;
    masters.width = width;
    masters.height = height;
    masters.darkExposure = darkExposure;
    for (auto [frames, master] :
        { std::pair(&biases, &masters.bias), std::pair(&darks, &masters.dark), std::pair(&flats, &masters.flat) })
        if (!frames->empty())
            *master = MasterOf(*frames, width, height);

    std::vector<std::pair<double, double>> ranges;
    for (const double* light : lights)
        ranges.push_back(ArrayRange(light, n));
    const double darkMax = DarkMax(masters.dark);
    const Calibration calibration = CalibrationOf(
        masters, ArrayMapping(LightsRange(ranges, darkMax, LargestExposureRatio(exposures, darkExposure))), warnings);
    masters = {};

    // The reference first: its stars are what the others register onto.
    // Then the other lights side by side, one per thread, each on its own
    // (single-threaded detection: the same stars on every run).
    ArrayStack stack;
    stack.reports.resize(lights.size());
    std::vector<std::vector<float>> warped(lights.size());
    std::vector<double> noises(lights.size());
    std::vector<intake::Warnings> told(lights.size());
    Reference reference;
    const auto process = [&](size_t i) {
        const std::string name = "lights[" + std::to_string(i) + "]";
        const Light light = ArrayLight(lights[i], width, height, name,
            exposures.empty() ? std::nullopt : std::optional(exposures[i]), calibration, options.stars, told[i]);
        if (i == options.reference)
            reference = ReferenceOf(light, name, options.registration);
        std::vector<uint16_t> counts(n); // CombineWarped counts the coverage
        WarpedLight result
            = RegisterAndWarp(light, name, reference, i == options.reference, options.registration, counts);
        warped[i] = std::move(result.values);
        noises[i] = result.noise;
        stack.reports[i] = std::move(result.report);
    };
    process(options.reference);
    std::vector<std::exception_ptr> failed(lights.size());
#pragma omp parallel for schedule(dynamic)
    for (int64_t i = 0; i < static_cast<int64_t>(lights.size()); ++i)
        if (static_cast<size_t>(i) != options.reference) {
            try {
                process(static_cast<size_t>(i));
            } catch (...) {
                failed[i] = std::current_exception();
            }
        }
    for (size_t i = 0; i < lights.size(); ++i) {
        if (failed[i])
            std::rethrow_exception(failed[i]);
        warnings.insert(warnings.end(), told[i].begin(), told[i].end());
    }

    // The stacked lights, the reference first.
    std::vector<size_t> order { options.reference };
    for (size_t i = 0; i < lights.size(); ++i)
        if (i != options.reference && stack.reports[i].stacked)
            order.push_back(i);
    std::vector<double> stackedNoises;
    std::vector<const float*> pointers;
    for (size_t i : order) {
        pointers.push_back(warped[i].data());
        stackedNoises.push_back(noises[i]);
    }
    stack.values.resize(n);
    stack.coverage.resize(n);
    std::vector<double> weights;
    CombineWarped(pointers, width, height,
        WarpedSettings(options.settings, stackedNoises, options.weighted ? &weights : nullptr), stack.values.data(),
        stack.coverage.data());
    return stack;
}

} // namespace tamrix::stack
