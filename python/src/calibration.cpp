// Dark subtraction and flat-field division.
#include "args.h"
#include "bindings.h"

#include "tamrix.h"

namespace tamrix::python {

namespace {

py::array DiffDark(py::handle image, py::handle dark, py::handle out)
{
    const Frame raw = FrameArg(image, "image");
    const Frame d = MatchingFrame(dark, "dark", raw, "image");
    const Frame dst = OutputFrame(out, raw.height, raw.width, raw.depth);
    CheckSameOrDistinct(raw, "image", dst, "out");
    CheckSameOrDistinct(d, "dark", dst, "out");
    {
        py::gil_scoped_release release;
        tamrix::DiffDark(raw.data, dst.data, d.data, raw.width, raw.height, raw.depth);
    }
    return dst.array;
}

py::object Flat(py::handle image, py::handle flat, py::handle level, py::handle out, bool returnLevel)
{
    const Frame raw = FrameArg(image, "image");
    const Frame f = MatchingFrame(flat, "flat", raw, "image");
    const Frame dst = OutputFrame(out, raw.height, raw.width, raw.depth);
    CheckSameOrDistinct(raw, "image", dst, "out");
    CheckSameOrDistinct(f, "flat", dst, "out");
    double reference = 0.0; // 0 asks for the flat's mean
    if (!level.is_none()) {
        // The 16-bit kernel forms raw * m in 32 bits, exact for m up to 65535.
        const double limit = raw.depth == 2 ? 65535.0 : 4294967295.0;
        reference = FloatArg(level, "level");
        if (!(reference > 0.0 && reference <= limit))
            throw py::value_error("level must be above 0 and at most " + std::to_string(static_cast<long long>(limit))
                                  + " for " + DtypeName(raw.depth) + " frames (None uses the flat's mean)");
    }
    {
        py::gil_scoped_release release;
        tamrix::Flat(raw.data, dst.data, f.data, &reference, raw.width, raw.height, raw.depth);
    }
    if (returnLevel)
        return py::make_tuple(dst.array, reference);
    return dst.array;
}

} // namespace

void BindCalibration(py::module_& m)
{
    m.def("diff_dark", &DiffDark, py::arg("image"), py::arg("dark"), py::kw_only(), py::arg("out") = py::none(),
          R"doc(diff_dark(image, dark, *, out=None)

Subtract a dark frame: image - dark, 0 where dark is brighter.

Saturated image pixels (65535 or 4294967295) stay saturated.

Parameters
----------
image : 2-D uint16 or uint32 array
dark : array of the same dtype and shape
out : array of the same dtype and shape, optional
    May be image itself (in-place calibration).

Returns
-------
The calibrated frame (out when given).)doc");

    m.def("flat", &Flat, py::arg("image"), py::arg("flat"), py::kw_only(), py::arg("level") = py::none(),
          py::arg("out") = py::none(), py::arg("return_level") = false,
          R"doc(flat(image, flat, *, level=None, out=None, return_level=False)

Divide by a flat field normalised to a reference level.

Each pixel becomes image * m // flat with m = round(level), clamped at full
scale; saturated pixels stay saturated and a zero flat pixel passes the
image pixel unchanged.

Parameters
----------
image : 2-D uint16 or uint32 array
flat : array of the same dtype and shape
level : float, optional
    Reference level, above 0 (at most 65535 for uint16 frames). None uses
    the mean of the flat.
out : array of the same dtype and shape, optional
    May be image itself (in-place calibration).
return_level : bool
    Also return the level used (the flat's mean when level is None).

Returns
-------
The calibrated frame (out when given), or (frame, level).)doc");
}

} // namespace tamrix::python
