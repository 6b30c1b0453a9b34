// Area statistics and sub-frame extraction.
#include "args.h"
#include "bindings.h"

#include "tamrix.h"

#include <algorithm>

namespace tamrix::python {

namespace {

py::object AreaStatistics(py::object resultType, py::handle image, py::handle x, py::handle y, py::handle width,
                          py::handle height)
{
    const Frame f = FrameArg(image, "image");
    if (f.Empty())
        throw py::value_error("image has no pixels");
    const int left = static_cast<int>(IntArg(x, "x", 0, f.width - 1));
    const int top = static_cast<int>(IntArg(y, "y", 0, f.height - 1));
    // The rectangle is cut at the frame's edges here, where no sum can
    // overflow, as slicing would cut it.
    const long long w = width.is_none() ? f.width - left : IntArg(width, "width", 1, INT32_MAX);
    const long long h = height.is_none() ? f.height - top : IntArg(height, "height", 1, INT32_MAX);
    const int cw = static_cast<int>(std::min<long long>(w, f.width - left));
    const int ch = static_cast<int>(std::min<long long>(h, f.height - top));
    unsigned minimum = 0, maximum = 0;
    double mean = 0.0, deviation = 0.0;
    {
        py::gil_scoped_release release;
        tamrix::CalculateAreaStatistics(f.data, f.width, f.height, f.depth, left, top, cw, ch, &minimum, &maximum,
                                        &mean, &deviation);
    }
    return resultType(minimum, maximum, mean, deviation);
}

py::array SubFrameToVector(py::handle image, py::handle x, py::handle y, py::handle radius, py::handle out)
{
    const Frame f = FrameArg(image, "image");
    if (f.Empty())
        throw py::value_error("image has no pixels");
    const long long r = IntArg(radius, "radius", 0, std::max(0, (std::min(f.width, f.height) - 1) / 2));
    const int cx = static_cast<int>(IntArg(x, "x", r, f.width - 1 - r));
    const int cy = static_cast<int>(IntArg(y, "y", r, f.height - 1 - r));
    const auto n = static_cast<py::ssize_t>((2 * r + 1) * (2 * r + 1));
    py::array_t<float> vector;
    if (out.is_none()) {
        vector = py::array_t<float>(n);
    } else {
        if (!py::isinstance<py::array_t<float>>(out))
            throw py::type_error("out must be a numpy.ndarray of dtype float32");
        vector = py::reinterpret_borrow<py::array_t<float>>(out);
        if (vector.ndim() != 1 || vector.shape(0) != n || !(vector.flags() & py::array::c_style)
            || !vector.writeable())
            throw py::value_error("out must be a writable contiguous 1-D array of " + std::to_string(n) + " floats");
    }
    float* data = vector.mutable_data();
    {
        py::gil_scoped_release release;
        tamrix::SubFrameToVector(f.data, f.width, f.height, static_cast<unsigned>(f.depth), cx, cy,
                                 static_cast<int>(r), data);
    }
    return vector;
}

} // namespace

void BindStatistics(py::module_& m)
{
    py::object resultType = py::module_::import("collections").attr("namedtuple")("AreaStatistics",
                                                                                   "min max mean std");
    resultType.attr("__module__") = "tamrix";
    m.attr("AreaStatistics") = resultType;

    m.def(
        "calculate_area_statistics",
        [resultType](py::handle image, py::handle x, py::handle y, py::handle width, py::handle height) {
            return AreaStatistics(resultType, image, x, y, width, height);
        },
        py::arg("image"), py::kw_only(), py::arg("x") = 0, py::arg("y") = 0, py::arg("width") = py::none(),
        py::arg("height") = py::none(),
        R"doc(calculate_area_statistics(image, *, x=0, y=0, width=None, height=None)

Minimum, maximum, mean and population standard deviation (divided by N) of
the rectangle image[y:y + height, x:x + width].

Parameters
----------
image : 2-D uint16 or uint32 array, not empty
x, y : int
    Upper-left pixel, inside the image.
width, height : int >= 1, optional
    Size of the rectangle, cut at the image's edges; by default up to them.

Returns
-------
AreaStatistics(min, max, mean, std). The last bits of mean and std may
depend on the number of threads.)doc");

    m.def("sub_frame_to_vector", &SubFrameToVector, py::arg("image"), py::kw_only(), py::arg("x"), py::arg("y"),
          py::arg("radius"), py::arg("out") = py::none(),
          R"doc(sub_frame_to_vector(image, *, x, y, radius, out=None)

The (2 radius + 1)^2 window centred on (x, y), row by row, scaled by its own
minimum and maximum to -1 .. +1 in single precision (a flat window gives
NaN): the input the neural star detector gives its network.

Parameters
----------
image : 2-D uint16 or uint32 array
x, y : int
    Window centre; the window must lie inside the image.
radius : int >= 0
out : 1-D float32 array of (2 radius + 1)^2 elements, optional

Returns
-------
1-D float32 array.)doc");
}

} // namespace tamrix::python
