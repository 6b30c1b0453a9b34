// Argument checks shared by the bindings. The C functions check nothing, so
// everything they rely on is checked here, before the GIL is released: dtype,
// dimensions, layout, sizes against each other, value ranges. A failed check
// raises TypeError (wrong kind of object or dtype) or ValueError (wrong shape,
// layout or value), naming the parameter. A frame's pixel type is never
// changed; an input frame in another byte order or layout is copied once into
// a native C-contiguous array, while a frame written in place (out=) must
// already be one.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace tamrix::python {

namespace py = pybind11;

// Raised as tamrix.Cancelled when an operation stopped on request.
struct CancelledError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A frame argument that passed its checks: a 2-D native C-contiguous array of
// uint16 (depth 2) or uint32 (depth 4) pixels, indexed [y, x].
struct Frame {
    py::array array; // holds the buffer for the duration of the call
    void* data = nullptr;
    int width = 0;
    int height = 0;
    int depth = 0;

    std::size_t Pixels() const { return static_cast<std::size_t>(width) * static_cast<std::size_t>(height); }
    std::size_t Bytes() const { return Pixels() * static_cast<std::size_t>(depth); }
    bool Empty() const { return width == 0 || height == 0; }
};

// The checked frame `name`: the array itself, or for an input that is not
// native, aligned and C-contiguous a copy that is; a writable frame is never
// copied. The frame functions form element offsets in signed 32-bit
// arithmetic, so a frame holds fewer than 2^31 pixels.
Frame FrameArg(py::handle obj, const char* name, bool writable = false);

// A frame with the dtype and shape of `like`.
Frame MatchingFrame(py::handle obj, const char* name, const Frame& like, const char* likeName, bool writable = false);

// The output frame of a call: a new array of the given shape and depth when
// `out` is None, otherwise `out` after the same checks as an input, which must
// match that shape and depth exactly and be writable.
Frame OutputFrame(py::handle out, int height, int width, int depth, const char* name = "out", bool zeroed = false);

// For the functions that step their rows in bytes: width * height * depth
// must stay below 2^31.
void CheckByteAddressable(const Frame& frame, const char* name);

// Raises ValueError unless the buffers of a and b are disjoint (the C
// functions that read rows around the one they write need distinct buffers).
void CheckDistinct(const Frame& a, const char* aName, const Frame& b, const char* bName);

// Raises ValueError when b overlaps a without being exactly the same buffer
// (the per-pixel functions may write their result over their input).
void CheckSameOrDistinct(const Frame& a, const char* aName, const Frame& b, const char* bName);

// Raises ValueError unless lo <= value <= hi; returns the value.
long long CheckRange(long long value, const char* name, long long lo, long long hi);

// Raises ValueError unless value is finite.
double CheckFinite(double value, const char* name);

// An integer option (a Python or numpy integer; bool and float raise
// TypeError) within lo .. hi.
long long IntArg(py::handle obj, const char* name, long long lo, long long hi);

// A real option (a Python or numpy integer or float), finite.
double FloatArg(py::handle obj, const char* name);

// Numpy dtype name of a pixel depth.
const char* DtypeName(int depth);

// Starts an exception message with the parameter's name.
std::string Named(const char* name, const std::string& what);

} // namespace tamrix::python
