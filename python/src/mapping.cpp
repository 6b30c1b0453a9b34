// The value mapping between users' arrays (signed, unsigned, floating point)
// and frames, the one the tamrix program applies to FITS files.
#include "args.h"
#include "bindings.h"

#include "intake/mapping.h"

#include <cstring>
#include <optional>

namespace tamrix::python {

namespace {

using intake::Sample;

std::optional<Sample> SampleOf(const py::dtype& dtype)
{
    const char kind = dtype.kind();
    const auto size = dtype.itemsize();
    if (kind == 'u')
        return size == 1 ? Sample::U8 : size == 2 ? Sample::U16 : size == 4 ? Sample::U32 : Sample::U64;
    if (kind == 'i')
        return size == 1 ? Sample::I8 : size == 2 ? Sample::I16 : size == 4 ? Sample::I32 : Sample::I64;
    if (kind == 'f' && (size == 4 || size == 8))
        return size == 4 ? Sample::F32 : Sample::F64;
    return std::nullopt;
}

// The intake layer's faults as the exceptions of a bad argument.
template <typename F>
auto Guarded(F&& f)
{
    try {
        return f();
    } catch (const intake::Error& e) {
        throw py::value_error(e.what());
    }
}

py::tuple ToFrame(py::handle arrayArg, py::handle bitsArg, py::handle rangeArg)
{
    if (!py::isinstance<py::array>(arrayArg))
        throw py::type_error("array must be a numpy.ndarray");
    if (py::isinstance(arrayArg, py::module_::import("numpy.ma").attr("MaskedArray")))
        throw py::type_error("array must not be a masked array (pass .filled(numpy.nan) for floating point)");
    auto given = py::reinterpret_borrow<py::array>(arrayArg);
    const std::optional<Sample> sample = SampleOf(given.dtype());
    if (!sample)
        throw py::type_error("array must hold integers or floating-point numbers, got " + std::string(py::str(given.dtype())));
    if (given.ndim() != 2)
        throw py::value_error("array must be a 2-D array indexed [y, x], got " + std::to_string(given.ndim()) + "-D");
    // One native, C-contiguous, aligned copy when the array is not already so.
    py::module_ np = py::module_::import("numpy");
    py::array array = np.attr("require")(given, given.dtype().attr("newbyteorder")("="), "CA");

    intake::Format format;
    format.name = "array";
    format.sample = *sample;
    intake::MappingOptions options;
    options.rangeName = "range=(low, high)";
    options.floatBits = static_cast<int>(IntArg(bitsArg, "bits", 16, 32));
    if (options.floatBits != 16 && options.floatBits != 32)
        throw py::value_error("bits must be 16 or 32, got " + std::to_string(options.floatBits));
    if (!rangeArg.is_none()) {
        if (!py::isinstance<py::sequence>(rangeArg) || py::len(rangeArg) != 2)
            throw py::value_error("range must be a pair (low, high)");
        const auto pair = py::reinterpret_borrow<py::sequence>(rangeArg);
        options.range = std::make_pair(FloatArg(pair[0], "range"), FloatArg(pair[1], "range"));
    }
    const long long height = array.shape(0), width = array.shape(1);
    if (height * width > INT32_MAX)
        throw py::value_error("array has more than 2^31 pixels");
    const size_t count = static_cast<size_t>(height * width);

    const intake::Mapping mapping
        = Guarded([&] { return intake::MappingOf(array.data(), count, format, options); });
    const Frame frame = OutputFrame(py::none(), static_cast<int>(height), static_cast<int>(width), mapping.depth);
    std::vector<bool> invalid;
    std::string warning;
    {
        py::gil_scoped_release release;
        warning = intake::MapOnto(array.data(), count, format, mapping, frame.data, invalid, false, options.rangeName);
    }
    if (!warning.empty())
        PyErr_WarnEx(PyExc_RuntimeWarning, warning.c_str(), 2);
    return py::make_tuple(frame.array, mapping.offset, mapping.scale);
}

py::array FromFrame(py::handle frameArg, py::handle offsetArg, py::handle scaleArg)
{
    const Frame frame = FrameArg(frameArg, "frame");
    intake::Mapping mapping;
    mapping.depth = frame.depth;
    mapping.offset = FloatArg(offsetArg, "offset");
    mapping.scale = FloatArg(scaleArg, "scale");
    if (mapping.scale == 0)
        throw py::value_error("scale must not be 0");
    py::array_t<double> out({ frame.height, frame.width });
    {
        py::gil_scoped_release release;
        intake::ToPhysical(frame.data, frame.depth, frame.Pixels(), mapping, out.mutable_data());
    }
    return std::move(out);
}

} // namespace

void BindMapping(py::module_& m)
{
    m.def("to_frame", &ToFrame, py::arg("array"), py::kw_only(), py::arg("bits") = 32, py::arg("range") = py::none(),
        R"doc(to_frame(array, *, bits=32, range=None)

Map an array of any numeric dtype onto a frame: (frame, offset, scale) with
physical value = frame * scale + offset, the mapping the tamrix program
applies to FITS files.

Integers map exactly: uint8 and uint16 onto uint16 frames as they are, int8
and int16 shifted by 2**7 and 2**15, uint32 as it is and int32 shifted by
2**31 onto uint32 frames; 64-bit integers need `range` spanning at most 2**32
values. Floating-point data are quantised on a grid whose step is a power of
two, from min(0, low) with about 2**24 levels below the high end (2**15 with
bits=16), so a round trip errs by at most half a step. The range is `range`,
or else the data's finite minimum and maximum. NaN and infinite pixels are
counted in a RuntimeWarning and take the median of the others; values
outside `range` are clipped to it (also counted). The array may have any
byte order, alignment or strides (it is copied once when it is not native,
aligned and C-contiguous).

Parameters
----------
array : 2-D array of integers or floating-point numbers
bits : 16 or 32
    Frame bits for floating-point data (integers choose their own).
range : (low, high), optional
    Physical values the frame must hold (floating-point and 64-bit data).

Returns
-------
(frame, offset, scale): a uint16 or uint32 array and two floats.)doc");

    m.def("from_frame", &FromFrame, py::arg("frame"), py::arg("offset"), py::arg("scale"),
        R"doc(from_frame(frame, offset, scale)

Physical values of a frame: frame * scale + offset, as float64 (exact for the
integers to_frame maps).

Parameters
----------
frame : 2-D uint16 or uint32 array
offset, scale : float
    As to_frame returns them; scale must not be 0.

Returns
-------
float64 array of the frame's shape.)doc");
}

} // namespace tamrix::python
