#include "args.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace tamrix::python {

namespace {

constexpr long long kIntLimit = std::numeric_limits<int32_t>::max(); // 2^31 - 1

std::string TypeName(py::handle obj)
{
    return py::str(py::type::handle_of(obj).attr("__name__")).cast<std::string>();
}

std::string DtypeText(const py::array& a)
{
    std::string text = py::str(a.dtype()).cast<std::string>();
    if (!a.dtype().attr("isnative").cast<bool>())
        text += " (non-native byte order)";
    return text;
}

std::string ShapeText(long long height, long long width)
{
    return "(" + std::to_string(height) + ", " + std::to_string(width) + ")";
}

bool Overlap(const Frame& a, const Frame& b)
{
    if (a.Bytes() == 0 || b.Bytes() == 0)
        return false;
    const auto* a0 = static_cast<const char*>(a.data);
    const auto* b0 = static_cast<const char*>(b.data);
    return a0 < b0 + b.Bytes() && b0 < a0 + a.Bytes();
}

} // namespace

std::string Named(const char* name, const std::string& what)
{
    return std::string(name) + " " + what;
}

const char* DtypeName(int depth)
{
    return depth == 2 ? "uint16" : "uint32";
}

Frame FrameArg(py::handle obj, const char* name, bool writable)
{
    if (!py::isinstance<py::array>(obj))
        throw py::type_error(Named(name, "must be a numpy.ndarray of uint16 or uint32, not " + TypeName(obj)));
    // A masked array's mask would be ignored without a word: refuse it.
    if (py::isinstance(obj, py::module_::import("numpy.ma").attr("MaskedArray")))
        throw py::type_error(Named(name, "must not be a masked array (pass its data, e.g. .filled(0))"));
    auto array = py::reinterpret_borrow<py::array>(obj);

    // The pixel type is never changed here: other dtypes go through
    // tamrix.to_frame, whose mapping the caller chooses.
    const py::dtype dtype = array.dtype();
    const char kind = dtype.kind();
    if (kind != 'u' || (dtype.itemsize() != 2 && dtype.itemsize() != 4))
        throw py::type_error(Named(name, "must have dtype uint16 or uint32, got " + DtypeText(array)
                                             + (kind == 'i' || kind == 'f'
                                                    ? "; use tamrix.to_frame(array) to map signed or floating-point "
                                                      "data onto a frame"
                                                    : kind == 'u' ? "; use tamrix.to_frame(array) to map other "
                                                                    "unsigned data onto a frame"
                                                                  : "")));
    Frame frame;
    frame.depth = static_cast<int>(dtype.itemsize());

    if (array.ndim() != 2)
        throw py::value_error(Named(name, "must be a 2-D array indexed [y, x], got " + std::to_string(array.ndim()) + "-D"));
    const long long height = array.shape(0), width = array.shape(1);
    if (height > kIntLimit || width > kIntLimit || height * width > kIntLimit)
        throw py::value_error(Named(name, "has " + ShapeText(height, width) + " pixels; frames hold fewer than 2^31"));
    const bool direct = dtype.attr("isnative").cast<bool>() && (array.flags() & py::array::c_style)
        && (array.flags() & py::detail::npy_api::NPY_ARRAY_ALIGNED_);
    if (writable) {
        // Written in place: a copy would take the result away from the caller.
        if (!direct || !array.writeable())
            throw py::value_error(Named(name, "must be a writable, aligned, C-contiguous array in native byte order, "
                                              "as the result is written into it"));
    } else if (!direct) {
        // Big-endian (FITS readers), unaligned (buffers from Dask or
        // numpy.frombuffer) or strided data: one copy into a native
        // C-contiguous array of the same pixel type.
        array = py::reinterpret_steal<py::array>(py::module_::import("numpy").attr("array")(
            array, py::arg("dtype") = frame.depth == 2 ? py::dtype::of<uint16_t>() : py::dtype::of<uint32_t>(),
            py::arg("order") = "C").release());
    }

    frame.height = static_cast<int>(height);
    frame.width = static_cast<int>(width);
    frame.data = const_cast<void*>(array.data()); // writability was checked where it matters
    frame.array = std::move(array);
    return frame;
}

Frame MatchingFrame(py::handle obj, const char* name, const Frame& like, const char* likeName, bool writable)
{
    Frame frame = FrameArg(obj, name, writable);
    if (frame.depth != like.depth)
        throw py::type_error(Named(name, std::string("must have the dtype of ") + likeName + " (" + DtypeName(like.depth)
                                             + "), got " + DtypeName(frame.depth)));
    if (frame.width != like.width || frame.height != like.height)
        throw py::value_error(Named(name, std::string("must have the shape of ") + likeName + " "
                                              + ShapeText(like.height, like.width) + ", got "
                                              + ShapeText(frame.height, frame.width)));
    return frame;
}

Frame OutputFrame(py::handle out, int height, int width, int depth, const char* name, bool zeroed)
{
    if (out.is_none()) {
        Frame frame;
        frame.array = depth == 2 ? py::array(py::array_t<uint16_t>({height, width}))
                                 : py::array(py::array_t<uint32_t>({height, width}));
        frame.data = frame.array.mutable_data();
        frame.width = width;
        frame.height = height;
        frame.depth = depth;
        if (zeroed)
            std::memset(frame.data, 0, frame.Bytes());
        return frame;
    }
    Frame frame = FrameArg(out, name, /*writable=*/true);
    if (frame.depth != depth)
        throw py::type_error(Named(name, std::string("must have dtype ") + DtypeName(depth) + ", got "
                                             + DtypeName(frame.depth)));
    if (frame.width != width || frame.height != height)
        throw py::value_error(Named(name, "must have shape " + ShapeText(height, width) + ", got "
                                              + ShapeText(frame.height, frame.width)));
    return frame;
}

void CheckByteAddressable(const Frame& frame, const char* name)
{
    if (static_cast<long long>(frame.Bytes()) > kIntLimit)
        throw py::value_error(Named(name, "holds " + std::to_string(frame.Bytes())
                                              + " bytes; this operation needs frames below 2^31 bytes"));
}

void CheckDistinct(const Frame& a, const char* aName, const Frame& b, const char* bName)
{
    if (Overlap(a, b))
        throw py::value_error(Named(bName, std::string("must not share memory with ") + aName));
}

void CheckSameOrDistinct(const Frame& a, const char* aName, const Frame& b, const char* bName)
{
    if (a.data == b.data && a.Bytes() == b.Bytes())
        return;
    if (Overlap(a, b))
        throw py::value_error(Named(bName, std::string("must be either ") + aName
                                               + " itself or a separate buffer, not an overlapping view"));
}

long long CheckRange(long long value, const char* name, long long lo, long long hi)
{
    if (value < lo || value > hi)
        throw py::value_error(Named(name, "must be in " + std::to_string(lo) + " .. " + std::to_string(hi) + ", got "
                                              + std::to_string(value)));
    return value;
}

double CheckFinite(double value, const char* name)
{
    if (!std::isfinite(value))
        throw py::value_error(Named(name, "must be finite"));
    return value;
}

long long IntArg(py::handle obj, const char* name, long long lo, long long hi)
{
    if (PyBool_Check(obj.ptr()) || !PyIndex_Check(obj.ptr()))
        throw py::type_error(Named(name, "must be an integer, not " + TypeName(obj)));
    auto index = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!index)
        throw py::error_already_set();
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0)
        throw py::value_error(Named(name, "must be in " + std::to_string(lo) + " .. " + std::to_string(hi)));
    return CheckRange(value, name, lo, hi);
}

double FloatArg(py::handle obj, const char* name)
{
    const bool real = PyFloat_Check(obj.ptr()) || (PyIndex_Check(obj.ptr()) && !PyBool_Check(obj.ptr()))
        || py::isinstance(obj, py::module_::import("numpy").attr("floating"));
    if (!real)
        throw py::type_error(Named(name, "must be a real number, not " + TypeName(obj)));
    const double value = PyFloat_AsDouble(obj.ptr());
    if (value == -1.0 && PyErr_Occurred())
        throw py::error_already_set();
    return CheckFinite(value, name);
}

} // namespace tamrix::python
