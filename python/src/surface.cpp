// Cubic surfaces: the least-squares fit of a difference field and the fills
// that render polynomials into frames.
#include "args.h"
#include "bindings.h"

#include "tamrix.h"

#include <array>

namespace tamrix::python {

namespace {

using Coefficients = std::array<double, 10>;

// Ten real coefficients from any sequence or 1-D array of numbers.
Coefficients CoefficientArg(py::handle obj, const char* name)
{
    if (!py::isinstance<py::sequence>(obj) && !py::isinstance<py::array>(obj))
        throw py::type_error(Named(name, "must be a sequence of 10 numbers"));
    const auto items = py::reinterpret_borrow<py::object>(obj);
    if (py::len(items) != 10)
        throw py::value_error(Named(name, "must hold 10 coefficients (x^3, y^3, x^2 y, x y^2, x^2, y^2, x y, x, y, 1), got "
                                              + std::to_string(py::len(items))));
    Coefficients c{};
    std::size_t i = 0;
    for (py::handle item : items) {
        const bool real = PyFloat_Check(item.ptr()) || (PyIndex_Check(item.ptr()) && !PyBool_Check(item.ptr()))
            || py::isinstance(item, py::module_::import("numpy").attr("floating"));
        if (!real)
            throw py::type_error(Named(name, "must hold real numbers"));
        c[i++] = PyFloat_AsDouble(item.ptr());
    }
    return c;
}

py::tuple FitSurface(py::handle points)
{
    // Real-valued points only; integers widen to float64 exactly.
    if (!py::isinstance<py::array>(points) && !py::isinstance<py::sequence>(points))
        throw py::type_error("points must be an array of shape (n, 4)");
    auto numpy = py::module_::import("numpy");
    auto raw = py::reinterpret_steal<py::array>(numpy.attr("asarray")(points).release());
    const char kind = raw.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::type_error("points must hold real numbers, got dtype " + py::str(raw.dtype()).cast<std::string>());
    if (raw.ndim() != 2 || raw.shape(1) != 4)
        throw py::value_error("points must have shape (n, 4): x, y, x', y' per point");
    // count * 10 elements of the design matrix are indexed in 32 bits.
    if (raw.shape(0) >= 429496730)
        throw py::value_error("points must hold fewer than 429496730 records");
    auto p = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(raw);
    const auto count = static_cast<unsigned>(p.shape(0));
    py::array_t<double> a(10), b(10);
    double* s = a.mutable_data();
    double* t = b.mutable_data();
    double* data = const_cast<double*>(p.data());
    {
        py::gil_scoped_release release;
        tamrix::FitSurface(data, count, s, s + 1, s + 2, s + 3, s + 4, s + 5, s + 6, s + 7, s + 8, s + 9, t, t + 1,
                           t + 2, t + 3, t + 4, t + 5, t + 6, t + 7, t + 8, t + 9);
    }
    return py::make_tuple(a, b);
}

py::array FillPolynom(py::handle frame, py::handle coefficients, py::handle scale, py::handle offset)
{
    const Frame f = FrameArg(frame, "frame", /*writable=*/true);
    const Coefficients c = CoefficientArg(coefficients, "coefficients");
    const double s = FloatArg(scale, "scale");
    const int o = static_cast<int>(IntArg(offset, "offset", INT32_MIN, INT32_MAX));
    {
        py::gil_scoped_release release;
        tamrix::FillFrameWithPolynom(f.data, f.width, f.height, f.depth, s, o, c[0], c[1], c[2], c[3], c[4], c[5],
                                     c[6], c[7], c[8], c[9]);
    }
    return f.array;
}

py::array FillPolynoms(py::handle frame, py::handle cx, py::handle cy)
{
    const Frame f = FrameArg(frame, "frame", /*writable=*/true);
    const Coefficients c = CoefficientArg(cx, "coefficients_x");
    const Coefficients d = CoefficientArg(cy, "coefficients_y");
    {
        py::gil_scoped_release release;
        tamrix::FillFrameWithPolynoms(f.data, f.width, f.height, f.depth, c[0], c[1], c[2], c[3], c[4], c[5], c[6],
                                      c[7], c[8], c[9], d[0], d[1], d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9]);
    }
    return f.array;
}

} // namespace

void BindSurface(py::module_& m)
{
    m.def("fit_surface", &FitSurface, py::arg("points"),
          R"doc(fit_surface(points)

Least-squares fit of two cubic surfaces to a field of position differences.

Parameters
----------
points : array of shape (n, 4)
    One record x, y, x', y' per point (real numbers).

Returns
-------
a, b : float64 arrays of 10 coefficients in the term order x^3, y^3, x^2 y,
    x y^2, x^2, y^2, x y, x, y, 1: a models x - x', b models y - y', both as
    functions of (x, y). Terms whose singular value is below 1e-6 of the
    largest are left out (minimum-norm solution); no points give zeros.)doc");

    m.def("fill_frame_with_polynom", &FillPolynom, py::arg("frame"), py::arg("coefficients"), py::kw_only(),
          py::arg("scale") = 1.0, py::arg("offset") = 0,
          R"doc(fill_frame_with_polynom(frame, coefficients, *, scale=1.0, offset=0)

Write P(u, v) * scale + offset into every pixel of frame (in place).

u = (x - width // 2) / s and v = (y - height // 2) / s with s the larger
side; values are clamped to the pixel range and truncated, NaN gives 0.

Parameters
----------
frame : writable 2-D uint16 or uint32 array (its contents are not read)
coefficients : 10 numbers, the term order of fit_surface
scale : float
offset : int

Returns
-------
frame)doc");

    m.def("fill_frame_with_polynoms", &FillPolynoms, py::arg("frame"), py::arg("coefficients_x"),
          py::arg("coefficients_y"),
          R"doc(fill_frame_with_polynoms(frame, coefficients_x, coefficients_y)

Render the vector field (P1, P2) * s (s the larger side, normalised
coordinates as in fill_frame_with_polynom) into frame, in place: every
pixel gets 32767 + 100 per pixel of vector length, then a grid of marks is
drawn with value 0 (a plus at each grid point, a cross where its vector
ends, the line between them).

Returns
-------
frame)doc");
}

} // namespace tamrix::python
