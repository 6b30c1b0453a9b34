// Combining frames into a master, through the stack layer.
#include "bindings.h"
#include "double_frames.h"

#include "intake/error.h"
#include "stack/combine.h"

#include <cmath>

namespace tamrix::python {

namespace {

// A frame or a stack of them as C-contiguous doubles (a copy unless they
// are already), after the dtype check that forcecast would skip.
Doubles AsDoubles(py::handle obj, const std::string& name)
{
    const py::array a = py::array::ensure(obj);
    if (!a)
        throw py::type_error(name + " must be a numpy array");
    const char kind = a.dtype().kind();
    if (kind != 'u' && kind != 'i' && kind != 'f')
        throw py::type_error(
            name + " must hold integers or floating-point numbers, not " + std::string(py::str(a.dtype())));
    return Doubles::ensure(a);
}

std::string Shape(const Doubles& a)
{
    return "(" + std::to_string(a.shape(0)) + ", " + std::to_string(a.shape(1)) + ")";
}

} // namespace

stack::Settings SettingsArg(const std::string& method, py::handle sigma)
{
    stack::Settings settings;
    try {
        settings.method = stack::ParseMethod(method, "method");
    } catch (const intake::Error& e) {
        throw py::value_error(e.what());
    }
    const py::sequence bounds = py::reinterpret_borrow<py::sequence>(sigma);
    if (!py::isinstance<py::sequence>(sigma) || py::len(bounds) != 2)
        throw py::value_error("sigma must be a pair (low, high)");
    settings.low = FloatArg(bounds[0], "sigma");
    settings.high = FloatArg(bounds[1], "sigma");
    try {
        stack::CheckSigma(settings.low, settings.high, "sigma");
    } catch (const intake::Error& e) {
        throw py::value_error(e.what());
    }
    return settings;
}

Doubles DoubleFrameArg(py::handle obj, const std::string& name)
{
    Doubles frame = AsDoubles(obj, name);
    if (frame.ndim() != 2)
        throw py::value_error(name + " must be 2-D, not " + std::to_string(frame.ndim()) + "-D");
    return frame;
}

DoubleFrames DoubleFramesArg(py::handle frames, const std::string& name)
{
    DoubleFrames f;
    // One 3-D array, or a sequence of 2-D ones.
    const bool array = py::isinstance<py::array>(frames);
    if (array && py::reinterpret_borrow<py::array>(frames).ndim() != 3)
        throw py::value_error(name + " must be a 3-D array (frame, y, x) or a sequence of 2-D arrays, not a "
            + std::to_string(py::reinterpret_borrow<py::array>(frames).ndim()) + "-D array");
    if (array) {
        const Doubles cube = AsDoubles(frames, name);
        f.height = cube.shape(1);
        f.width = cube.shape(2);
        for (py::ssize_t i = 0; i < cube.shape(0); ++i)
            f.pointers.push_back(cube.data(i, 0, 0));
        f.held.push_back(cube);
    } else {
        if (!py::isinstance<py::sequence>(frames) || py::isinstance<py::str>(frames))
            throw py::type_error(name + " must be a 3-D array or a sequence of 2-D arrays");
        const py::sequence list = py::reinterpret_borrow<py::sequence>(frames);
        for (size_t i = 0; i < py::len(list); ++i) {
            const std::string item = name + "[" + std::to_string(i) + "]";
            Doubles frame = DoubleFrameArg(list[i], item);
            if (i == 0) {
                f.height = frame.shape(0);
                f.width = frame.shape(1);
            } else if (frame.shape(0) != f.height || frame.shape(1) != f.width) {
                throw py::value_error(
                    item + " has shape " + Shape(frame) + ", but " + name + "[0] has shape " + Shape(f.held[0]));
            }
            f.pointers.push_back(frame.data());
            f.held.push_back(std::move(frame));
        }
    }
    if (f.pointers.empty())
        throw py::value_error(name + " must hold at least one frame");
    if (f.height < 1 || f.width < 1 || f.height * f.width >= (py::ssize_t { 1 } << 31))
        throw py::value_error(name + " must be of 1 to 2^31 - 1 pixels each");
    return f;
}

namespace {

py::array Combine(py::handle frames, const std::string& method, py::handle sigma)
{
    const stack::Settings settings = SettingsArg(method, sigma);
    const DoubleFrames f = DoubleFramesArg(frames, "frames");
    const py::ssize_t height = f.height, width = f.width;
    const std::vector<const double*>& pointers = f.pointers;

    py::array_t<float> out({ height, width });
    float* to = out.mutable_data();
    {
        py::gil_scoped_release release;
        stack::ArrayFrames source(pointers, static_cast<int>(width), static_cast<int>(height));
        stack::Combine(source, settings, stack::Budget {}, [&](int y, int rows, const float* values, const uint16_t*) {
            std::copy(values, values + static_cast<size_t>(rows) * static_cast<size_t>(width),
                to + static_cast<size_t>(y) * static_cast<size_t>(width));
        });
    }
    return std::move(out);
}

} // namespace

void BindCombine(py::module_& m)
{
    m.def("combine", &Combine, py::arg("frames"), py::kw_only(), py::arg("method") = "median",
        py::arg("sigma") = py::make_tuple(3, 3),
        R"doc(combine(frames, *, method='median', sigma=(3, 3))

Combine equally sized frames pixel by pixel into a master (dark, flat, bias).

Parameters
----------
frames : 3-D array (frame, y, x) or sequence of 2-D arrays
    Integers or floating-point numbers; NaN values are left out of their
    pixel's combination (a pixel NaN in every frame is NaN).
method : {"median", "mean", "sigma-clip", "winsorized"}
    sigma-clip averages the values within the bounds around the median,
    round after round until none is rejected; winsorized moves the values
    beyond the bounds onto them and averages all. With fewer than 3 values
    at a pixel nothing is clipped.
sigma : (low, high)
    Bounds below and above the median in robust standard deviations
    (1.4826 times the median absolute deviation, times the small-sample
    factor that makes it unbiased for normal noise), both above 0.

Returns
-------
2-D float32 array.)doc");
}

} // namespace tamrix::python
