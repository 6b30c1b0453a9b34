// Geometry: resampling, sub-pixel shifts and affine transforms.
#include "args.h"
#include "bindings.h"

#include "tamrix.h"

#include <array>

namespace tamrix::python {

namespace {

constexpr long long kIntLimit = INT32_MAX;

// The destination of a shift or transform: out, or a new zeroed frame of the
// given shape (the image's by default), since pixels whose source position
// lies outside keep what the destination held.
Frame Destination(py::handle out, py::handle shape, const Frame& src)
{
    if (!out.is_none()) {
        if (!shape.is_none())
            throw py::value_error("give either out or shape, not both");
        Frame dst = FrameArg(out, "out", /*writable=*/true);
        if (dst.depth != src.depth)
            throw py::type_error(std::string("out must have the dtype of image (") + DtypeName(src.depth) + ")");
        CheckDistinct(src, "image", dst, "out");
        return dst;
    }
    int height = src.height, width = src.width;
    if (!shape.is_none()) {
        if (!py::isinstance<py::sequence>(shape) || py::len(shape) != 2)
            throw py::type_error("shape must be a pair (height, width)");
        auto s = py::reinterpret_borrow<py::sequence>(shape);
        height = static_cast<int>(IntArg(s[0], "shape[0]", 0, kIntLimit));
        width = static_cast<int>(IntArg(s[1], "shape[1]", 0, kIntLimit));
        if (static_cast<long long>(height) * width > kIntLimit)
            throw py::value_error("shape must give fewer than 2^31 pixels");
    }
    return OutputFrame(py::none(), height, width, src.depth, "out", /*zeroed=*/true);
}

py::array Resample(py::handle image, py::handle fx, py::handle fy, py::handle out)
{
    const Frame src = FrameArg(image, "image");
    CheckByteAddressable(src, "image");
    const long long x = IntArg(fx, "fx", 1, kIntLimit);
    const long long y = fy.is_none() ? x : IntArg(fy, "fy", 1, kIntLimit);
    // The destination is stepped in bytes in signed 32-bit arithmetic.
    const long long width = x * src.width, height = y * src.height;
    if (width > kIntLimit || height > kIntLimit || width * height * src.depth > kIntLimit)
        throw py::value_error("the resampled frame would hold 2^31 bytes or more");
    const Frame dst = OutputFrame(out, static_cast<int>(height), static_cast<int>(width), src.depth);
    CheckDistinct(src, "image", dst, "out");
    {
        py::gil_scoped_release release;
        tamrix::Resample(static_cast<int>(x), static_cast<int>(y), src.data, dst.data, src.width, src.height,
                         src.depth);
    }
    return dst.array;
}

py::array SubPixelShift(py::handle image, py::handle dx, py::handle dy, py::handle weights, py::handle divisor,
                        py::handle shape, py::handle out)
{
    const Frame src = FrameArg(image, "image");
    const int x = static_cast<int>(IntArg(dx, "dx", INT32_MIN, INT32_MAX));
    const int y = static_cast<int>(IntArg(dy, "dy", INT32_MIN, INT32_MAX));
    if (!py::isinstance<py::sequence>(weights) || py::len(weights) != 4)
        throw py::type_error("weights must be four integers (w00, w10, w01, w11)");
    auto w = py::reinterpret_borrow<py::sequence>(weights);
    std::array<unsigned, 4> wt{};
    const char* names[4] = {"weights[0]", "weights[1]", "weights[2]", "weights[3]"};
    for (int i = 0; i < 4; ++i)
        wt[i] = static_cast<unsigned>(IntArg(w[i], names[i], 0, UINT32_MAX));
    const auto d = static_cast<unsigned>(IntArg(divisor, "divisor", 1, UINT32_MAX));
    const Frame dst = Destination(out, shape, src);
    {
        py::gil_scoped_release release;
        tamrix::SubPixelShift(x, y, wt[0], wt[1], wt[2], wt[3], d, src.data, src.width, src.height, src.depth,
                              dst.data, dst.width, dst.height);
    }
    return dst.array;
}

py::array Transform(py::handle image, py::handle matrix, py::handle shape, py::handle out)
{
    const Frame src = FrameArg(image, "image");
    auto numpy = py::module_::import("numpy");
    auto m = py::reinterpret_steal<py::array>(numpy.attr("asarray")(matrix).release());
    const char kind = m.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
        throw py::type_error("matrix must hold real numbers");
    if (m.ndim() != 2 || m.shape(0) != 2 || m.shape(1) != 3)
        throw py::value_error("matrix must have shape (2, 3): [[A, B, C], [D, E, F]] with sx = A x + B y + C, "
                              "sy = D x + E y + F");
    auto c = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(m);
    std::array<double, 6> k{};
    for (int i = 0; i < 6; ++i)
        k[i] = CheckFinite(c.data()[i], "matrix");
    const Frame dst = Destination(out, shape, src);
    {
        py::gil_scoped_release release;
        tamrix::Transform(k[0], k[1], k[2], k[3], k[4], k[5], src.data, src.width, src.height, src.depth, dst.data,
                          dst.width, dst.height);
    }
    return dst.array;
}

} // namespace

void BindGeometry(py::module_& m)
{
    m.def("resample", &Resample, py::arg("image"), py::kw_only(), py::arg("fx"), py::arg("fy") = py::none(),
          py::arg("out") = py::none(),
          R"doc(resample(image, *, fx, fy=None, out=None)

Enlarge a frame by whole factors with integer linear interpolation.

Source pixel (x, y) lands on (fx x, fy y); the pixels between two source
pixels a and b are a + (k (b - a)) // f truncated toward zero (leaning toward
a); the last fx columns and fy rows repeat the last source column and row.

Parameters
----------
image : 2-D uint16 or uint32 array
fx, fy : int >= 1
    Horizontal and vertical factors; fy defaults to fx.
out : array of the image's dtype, shape (fy * height, fx * width), optional

Returns
-------
The enlarged frame.)doc");

    m.def("sub_pixel_shift", &SubPixelShift, py::arg("image"), py::kw_only(), py::arg("dx"), py::arg("dy"),
          py::arg("weights"), py::arg("divisor"), py::arg("shape") = py::none(), py::arg("out") = py::none(),
          R"doc(sub_pixel_shift(image, *, dx, dy, weights, divisor, shape=None, out=None)

Shift a frame by whole pixels plus a fraction given as integer weights.

Destination (x, y) = (w00 p(sx, sy) + w10 p(sx + 1, sy) + w01 p(sx, sy + 1)
+ w11 p(sx + 1, sy + 1)) // divisor with sx = x + dx, sy = y + dy; sums are
unsigned 32-bit (exact while they stay below 2**32). Pixels whose 2 x 2 source
square is not inside the image are not written.

Parameters
----------
image : 2-D uint16 or uint32 array
dx, dy : int
weights : four ints (w00, w10, w01, w11), 0 .. 2**32 - 1
divisor : int, 1 .. 2**32 - 1
shape : (height, width), optional
    Size of a new destination (zero-filled); the image's by default.
out : array of the image's dtype, optional
    Destination to write into instead (pixels not written keep their value).

Returns
-------
The destination frame.)doc");

    m.def("transform", &Transform, py::arg("image"), py::kw_only(), py::arg("matrix"), py::arg("shape") = py::none(),
          py::arg("out") = py::none(),
          R"doc(transform(image, *, matrix, shape=None, out=None)

Affine resampling: destination (x, y) samples the image at
sx = A x + B y + C, sy = D x + E y + F (pass the inverse of the motion
wanted), bilinear with fractions truncated to 1/64 pixel. Positions outside
0 <= sx < width - 1, 0 <= sy < height - 1 are not written.

Parameters
----------
image : 2-D uint16 or uint32 array
matrix : (2, 3) real array [[A, B, C], [D, E, F]], finite
shape : (height, width), optional
    Size of a new destination (zero-filled); the image's by default.
out : array of the image's dtype, optional
    Destination to write into instead (pixels not written keep their value).

Returns
-------
The destination frame.)doc");
}

} // namespace tamrix::python
