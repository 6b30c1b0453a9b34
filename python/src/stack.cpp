// Stacking lights in memory through the stack layer: tamrix.stack, and the
// steps a cluster runs as tasks (tamrix.dask).
#include "bindings.h"
#include "double_frames.h"

#include "intake/error.h"
#include "stack/arrays.h"

#include <pybind11/stl.h>

#include <cmath>
#include <optional>

namespace tamrix::python {

namespace {

using Floats = py::array_t<float, py::array::c_style | py::array::forcecast>;

void Warn(const intake::Warnings& warnings)
{
    for (const std::string& text : warnings)
        if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0)
            throw py::error_already_set();
}

// Runs `work` without the GIL; the stack layer's errors become ValueError.
template <typename Work> void Run(Work&& work)
{
    std::optional<intake::Error> failed;
    {
        py::gil_scoped_release release;
        try {
            work();
        } catch (const intake::Error& e) {
            failed = e;
        }
    }
    if (failed)
        throw py::value_error(failed->what());
}

py::dict LightDict(const stack::LightReport& r)
{
    py::dict d = ReportDict(r.registration);
    d["stars"] = r.stars;
    d["stacked"] = r.stacked;
    if (r.stacked) {
        py::array_t<double> m({ 2, 3 });
        auto v = m.mutable_unchecked<2>();
        const stack::Affine& t = r.registration.transform;
        v(0, 0) = t.a, v(0, 1) = t.b, v(0, 2) = t.c, v(1, 0) = t.d, v(1, 1) = t.e, v(1, 2) = t.f;
        d["transform"] = m;
    } else {
        d["transform"] = py::none();
    }
    return d;
}

template <typename T> py::array_t<T> Image(const std::vector<T>& values, py::ssize_t height, py::ssize_t width)
{
    py::array_t<T> out({ height, width });
    std::copy(values.begin(), values.end(), out.mutable_data());
    return out;
}

// Frames given by a keyword that may be None, of the lights' shape.
std::vector<const double*> Optional(
    py::handle frames, const char* name, const DoubleFrames& lights, std::vector<DoubleFrames>& held)
{
    if (frames.is_none())
        return {};
    held.push_back(DoubleFramesArg(frames, name));
    const DoubleFrames& f = held.back();
    if (f.height != lights.height || f.width != lights.width)
        throw py::value_error(std::string(name) + " must have the lights' shape (" + std::to_string(lights.height)
            + ", " + std::to_string(lights.width) + ")");
    return f.pointers;
}

double Seconds(py::handle value, const char* name)
{
    const double seconds = FloatArg(value, name);
    if (!(seconds > 0))
        throw py::value_error(std::string(name) + " must be above 0 seconds");
    return seconds;
}

py::tuple Stack(py::handle lights, py::handle darks, py::handle flats, py::handle biases, py::handle reference,
    const std::string& method, py::handle sigma, py::handle exposures, py::handle darkExposure, bool weighted)
{
    const DoubleFrames l = DoubleFramesArg(lights, "lights");
    stack::ArrayStackOptions options;
    options.weighted = weighted;
    options.settings = SettingsArg(method, sigma);
    options.reference = size_t(IntArg(reference, "reference", 0, (long long)(l.pointers.size()) - 1));
    options.stars.parallel = false; // the same stars on every run and every worker
    std::vector<DoubleFrames> held;
    const auto b = Optional(biases, "biases", l, held);
    const auto d = Optional(darks, "darks", l, held);
    const auto f = Optional(flats, "flats", l, held);
    std::vector<double> seconds;
    double darkSeconds = 0;
    if (exposures.is_none() != darkExposure.is_none())
        throw py::value_error("exposures and dark_exposure scale the dark together: give both or neither");
    if (!exposures.is_none()) {
        if (d.empty())
            throw py::value_error("exposures and dark_exposure scale the dark: give darks too");
        if (!py::isinstance<py::sequence>(exposures) || py::len(exposures) != l.pointers.size())
            throw py::value_error("exposures must hold one exposure time per light");
        for (py::handle e : py::reinterpret_borrow<py::sequence>(exposures))
            seconds.push_back(Seconds(e, "exposures"));
        darkSeconds = Seconds(darkExposure, "dark_exposure");
    }
    stack::ArrayStack result;
    intake::Warnings warnings;
    Run([&] {
        result = stack::StackArrays(
            l.pointers, b, d, f, int(l.width), int(l.height), seconds, darkSeconds, options, warnings);
    });
    Warn(warnings);
    py::list reports;
    for (const stack::LightReport& r : result.reports)
        reports.append(LightDict(r));
    return py::make_tuple(Image(result.values, l.height, l.width), Image(result.coverage, l.height, l.width), reports);
}

// The steps of tamrix.dask, one per kind of task.

py::array Master(py::handle frames, const std::string& name)
{
    const DoubleFrames f = DoubleFramesArg(frames, name);
    std::vector<float> master;
    Run([&] { master = stack::MasterOf(f.pointers, int(f.width), int(f.height)); });
    return Image(master, f.height, f.width);
}

py::tuple LightRange(py::handle light)
{
    const Doubles a = DoubleFrameArg(light, "light");
    const auto [lo, hi] = stack::ArrayRange(a.data(), size_t(a.size()));
    return py::make_tuple(lo, hi);
}

std::vector<float> FloatsOf(py::handle a)
{
    if (a.is_none())
        return {};
    const Floats f = Floats::ensure(a);
    return std::vector<float>(f.data(), f.data() + f.size());
}

py::tuple LightsRange(const std::vector<std::pair<double, double>>& ranges, py::handle dark,
    const std::vector<double>& exposures, double darkExposure)
{
    const auto [lo, hi] = stack::LightsRange(
        ranges, stack::DarkMax(FloatsOf(dark)), stack::LargestExposureRatio(exposures, darkExposure));
    return py::make_tuple(lo, hi);
}

// One light: (warped values or None, report, sky noise, stars as (n, 3) x, y, flux).
py::tuple Light(py::handle light, const std::string& name, py::handle bias, py::handle dark, py::handle flat,
    double darkExposure, std::pair<double, double> range, py::handle exposure, py::handle referenceStars,
    py::handle referenceShape)
{
    const Doubles frame = DoubleFrameArg(light, name);
    const py::ssize_t height = frame.shape(0), width = frame.shape(1);
    if (height < 1 || width < 1 || height * width >= (py::ssize_t { 1 } << 31))
        throw py::value_error(name + " must be of 1 to 2^31 - 1 pixels");
    stack::Masters masters;
    masters.height = int(height);
    masters.width = int(width);
    masters.bias = FloatsOf(bias);
    masters.dark = FloatsOf(dark);
    masters.flat = FloatsOf(flat);
    const std::string shape = "(" + std::to_string(height) + ", " + std::to_string(width) + ")";
    for (const auto* master : { &masters.bias, &masters.dark, &masters.flat })
        if (!master->empty() && master->size() != size_t(height * width))
            throw py::value_error(name + " has shape " + shape + ", but the biases, darks and flats do not");
    masters.darkExposure = darkExposure;
    const std::optional<double> seconds = exposure.is_none() ? std::nullopt : std::optional(exposure.cast<double>());
    const bool isReference = referenceStars.is_none();
    stack::Reference reference;
    if (!isReference) {
        const py::array_t<double, py::array::c_style | py::array::forcecast> s
            = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(referenceStars);
        for (py::ssize_t i = 0; i < s.shape(0); ++i)
            reference.stars.push_back({ s.at(i, 0), s.at(i, 1), s.at(i, 2) });
        const auto [h, w] = referenceShape.cast<std::pair<int, int>>();
        if (h != height || w != width)
            throw py::value_error(name + " has shape " + shape + ", but the reference has shape (" + std::to_string(h)
                + ", " + std::to_string(w) + ")");
        reference.height = h;
        reference.width = w;
    }
    stack::ArrayStackOptions options;
    options.stars.parallel = false;
    intake::Warnings warnings;
    stack::WarpedLight warped;
    std::vector<stack::Point> stars;
    Run([&] {
        const stack::Calibration calibration = stack::CalibrationOf(masters, stack::ArrayMapping(range), warnings);
        const stack::Light l = stack::ArrayLight(
            frame.data(), masters.width, masters.height, name, seconds, calibration, options.stars, warnings);
        if (isReference)
            reference = stack::ReferenceOf(l, name, options.registration);
        std::vector<uint16_t> coverage(static_cast<size_t>(reference.width) * reference.height);
        warped = stack::RegisterAndWarp(l, name, reference, isReference, options.registration, coverage);
        stars = l.stars;
    });
    Warn(warnings);
    py::array_t<double> points({ py::ssize_t(stars.size()), py::ssize_t(3) });
    for (size_t i = 0; i < stars.size(); ++i) {
        points.mutable_at(i, 0) = stars[i].x;
        points.mutable_at(i, 1) = stars[i].y;
        points.mutable_at(i, 2) = stars[i].flux;
    }
    py::object values = py::none();
    if (warped.report.stacked)
        values = Image(warped.values, reference.height, reference.width);
    return py::make_tuple(values, LightDict(warped.report), warped.noise, points);
}

// Rows of warped frames combined: (values, coverage).
py::tuple Band(const std::vector<Floats>& bands, const std::string& method, py::handle sigma,
    const std::vector<double>& noises, bool weighted)
{
    std::vector<double> weights;
    const stack::Settings settings
        = stack::WarpedSettings(SettingsArg(method, sigma), noises, weighted ? &weights : nullptr);
    std::vector<const float*> pointers;
    for (const Floats& b : bands)
        pointers.push_back(b.data());
    const py::ssize_t height = bands.at(0).shape(0), width = bands.at(0).shape(1);
    std::vector<float> values(size_t(height * width));
    std::vector<uint16_t> coverage(values.size());
    Run([&] { stack::CombineWarped(pointers, int(width), int(height), settings, values.data(), coverage.data()); });
    return py::make_tuple(Image(values, height, width), Image(coverage, height, width));
}

} // namespace

void BindStack(py::module_& m)
{
    m.def("stack", &Stack, py::arg("lights"), py::kw_only(), py::arg("darks") = py::none(),
        py::arg("flats") = py::none(), py::arg("biases") = py::none(), py::arg("reference") = 0,
        py::arg("method") = "sigma-clip", py::arg("sigma") = py::make_tuple(3, 3), py::arg("exposures") = py::none(),
        py::arg("dark_exposure") = py::none(), py::arg("weighted") = false,
        R"doc(stack(lights, *, darks=None, flats=None, biases=None, reference=0, method='sigma-clip', sigma=(3, 3), exposures=None, dark_exposure=None, weighted=False)

Stack lights into one deep frame on the pixel grid of one of them: masters
from the biases, darks and flats (medians); each light minus the bias and
the dark, divided by the flat at its mean; its stars found and registered
onto the reference's (any shift and rotation, a mirror, a few percent of
scale); warped onto the reference grid (bilinear); the warped lights
combined pixel by pixel. A light that does not register is reported and
left out.

Parameters
----------
lights : 3-D array (frame, y, x) or sequence of 2-D arrays
    Integers or floating-point numbers of one shape; NaN values are
    undefined.
darks, flats, biases : same, of the lights' shape, or None
    The darks include the bias unless biases are given; then the master
    bias comes off the master dark, the master flat and every light.
reference : int
    Index of the light whose pixel grid the stack takes.
method : {"sigma-clip", "median", "mean", "winsorized"}
sigma : (low, high)
    Clipping bounds, as in combine; the spread is at least half the lights'
    sky noise.
exposures, dark_exposure : sequence of float, float
    Exposure times of the lights and of the darks: the (bias-free) master
    dark is scaled by their ratio for each light. Both or neither.
weighted : bool
    Weight each light by the inverse square of its sky noise in the
    averages (mean, sigma-clip, winsorized).

Returns
-------
(image, coverage, reports): the stack (2-D float32, NaN where no light
reaches), the lights that defined each pixel (2-D uint16), and per light a
dict as register's (status, reason, stars, reference_stars, matched, rms,
affine_rms) with stacked (bool) and transform (the (2, 3) reference ->
light matrix, None when not stacked).)doc");
    m.def("_stack_master", &Master, py::arg("frames"), py::arg("name"));
    m.def("_stack_light_range", &LightRange, py::arg("light"));
    m.def("_stack_lights_range", &LightsRange, py::arg("ranges"), py::arg("dark"), py::arg("exposures"),
        py::arg("dark_exposure"));
    m.def("_stack_light", &Light, py::arg("light"), py::arg("name"), py::arg("bias"), py::arg("dark"), py::arg("flat"),
        py::arg("dark_exposure"), py::arg("range"), py::arg("exposure"), py::arg("reference_stars"),
        py::arg("reference_shape"));
    m.def("_stack_band", &Band, py::arg("bands"), py::arg("method"), py::arg("sigma"), py::arg("noises"),
        py::arg("weighted"));
}

} // namespace tamrix::python
