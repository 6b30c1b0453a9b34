// Display bitmaps: frames mapped through black point, white point and a
// look-up table into 8-bit and 24-bit DIB pixel arrays.
#include "args.h"
#include "bindings.h"

#include "tamrix.h"

#include <array>

namespace tamrix::python {

namespace {

constexpr long long kIntLimit = INT32_MAX;

// One channel's mapping settings, checked: the table must cover every index
// the mapping can form.
struct Mapping {
    unsigned low = 0, high = 0, shift = 0;
    unsigned char* lut = nullptr;
    py::object lutArray;
};

Mapping MappingArg(py::handle low, py::handle high, py::handle shift, py::handle lut, const std::string& channel)
{
    const std::string suffix = channel.empty() ? "" : " (" + channel + ")";
    Mapping m;
    m.low = static_cast<unsigned>(IntArg(low, ("low" + suffix).c_str(), 0, UINT32_MAX));
    m.high = static_cast<unsigned>(IntArg(high, ("high" + suffix).c_str(), 0, UINT32_MAX));
    m.shift = static_cast<unsigned>(IntArg(shift, ("shift" + suffix).c_str(), 0, UINT32_MAX));
    // Between the two points the byte is lut[(v - low) >> shift], v < high.
    uint64_t needed = 0;
    if (m.high > m.low + 1ull)
        needed = ((uint64_t{m.high} - 1 - m.low) >> (m.shift % 64)) + 1;
    const std::string name = "lut" + suffix;
    if (lut.is_none()) {
        if (needed > 0)
            throw py::value_error(Named(name.c_str(), "is needed when high > low + 1"));
        return m;
    }
    if (!py::isinstance<py::array_t<uint8_t>>(lut))
        throw py::type_error(Named(name.c_str(), "must be a numpy.ndarray of dtype uint8"));
    auto array = py::reinterpret_borrow<py::array>(lut);
    if (array.ndim() != 1 || !(array.flags() & py::array::c_style))
        throw py::value_error(Named(name.c_str(), "must be a contiguous 1-D array"));
    if (static_cast<uint64_t>(array.shape(0)) < needed)
        throw py::value_error(Named(name.c_str(), "must have at least ((high - 1 - low) >> shift) + 1 = "
                                                     + std::to_string(needed) + " entries, got "
                                                     + std::to_string(array.shape(0))));
    m.lut = static_cast<unsigned char*>(const_cast<void*>(array.data()));
    m.lutArray = array;
    return m;
}

// Bitmap size of a zoom step: enlarged n = zoom + 1 times, or reduced by
// f = 1 - zoom (a factor beyond the frame leaves nothing).
struct Geometry {
    int outWidth = 0, outHeight = 0;
};

Geometry SizeOf(long long zoom, const Frame& f, int bytesPerPixel)
{
    long long w, h;
    if (zoom > 0) {
        w = (zoom + 1) * f.width;
        h = (zoom + 1) * f.height;
    } else {
        w = f.width / (1 - zoom);
        h = f.height / (1 - zoom);
    }
    const long long stride = ((w * bytesPerPixel) + 3) & ~3ll;
    if (w > kIntLimit - 3 || h > kIntLimit || stride * h > kIntLimit)
        throw py::value_error("zoom gives a bitmap of 2^31 bytes or more");
    return {static_cast<int>(w), static_cast<int>(h)};
}

// The caller's bitmap buffer, or a new one: rows padded to a multiple of 4
// bytes as a DIB has them.
py::array BitmapArg(py::handle out, int height, long long stride)
{
    if (out.is_none())
        return py::array_t<uint8_t>({static_cast<py::ssize_t>(height), static_cast<py::ssize_t>(stride)});
    if (!py::isinstance<py::array_t<uint8_t>>(out))
        throw py::type_error("out must be a numpy.ndarray of dtype uint8");
    auto array = py::reinterpret_borrow<py::array>(out);
    if (array.ndim() != 2 || array.shape(0) != height || array.shape(1) != stride)
        throw py::value_error("out must have shape (" + std::to_string(height) + ", " + std::to_string(stride)
                              + "): the bitmap rows with their padding");
    if (!(array.flags() & py::array::c_style) || !array.writeable())
        throw py::value_error("out must be a writable C-contiguous array");
    return array;
}

py::object Slice(long long stop) { return py::slice(0, static_cast<py::ssize_t>(stop), 1); }

py::array CreateMonoDIB(py::handle image, py::handle low, py::handle high, py::handle lut, py::handle shift,
                        py::handle zoom, py::handle out)
{
    const Frame f = FrameArg(image, "image");
    CheckByteAddressable(f, "image");
    const long long z = IntArg(zoom, "zoom", INT32_MIN + 2, INT32_MAX - 1);
    const Mapping m = MappingArg(low, high, shift, lut, "");
    const Geometry g = SizeOf(z, f, 1);
    const long long stride = (g.outWidth + 3ll) & ~3ll;
    py::array bitmap = BitmapArg(out, g.outHeight, stride);
    void* bits = bitmap.mutable_data();
    {
        py::gil_scoped_release release;
        tamrix::CreateMonoDIB(static_cast<int>(z), bits, f.width, f.height, f.depth, f.data, m.low, m.high, m.shift,
                              m.lut);
    }
    return bitmap[py::make_tuple(Slice(g.outHeight), Slice(g.outWidth))];
}

std::array<py::object, 3> PerChannel(py::handle value, const char* name)
{
    if (py::isinstance<py::tuple>(value) || py::isinstance<py::list>(value)) {
        if (py::len(value) != 3)
            throw py::value_error(Named(name, "must be one value or three (red, green, blue)"));
        return {value[py::int_(0)], value[py::int_(1)], value[py::int_(2)]};
    }
    auto v = py::reinterpret_borrow<py::object>(value);
    return {v, v, v};
}

py::array CreateColorDIB(py::handle red, py::handle green, py::handle blue, py::handle low, py::handle high,
                         py::handle lut, py::handle shift, py::handle zoom, py::handle out)
{
    const Frame r = FrameArg(red, "red");
    CheckByteAddressable(r, "red");
    const Frame g = MatchingFrame(green, "green", r, "red");
    const Frame b = MatchingFrame(blue, "blue", r, "red");
    const long long z = IntArg(zoom, "zoom", INT32_MIN + 2, INT32_MAX - 1);
    const auto lows = PerChannel(low, "low"), highs = PerChannel(high, "high"), shifts = PerChannel(shift, "shift"),
               luts = PerChannel(lut, "lut");
    const char* names[3] = {"red", "green", "blue"};
    std::array<Mapping, 3> m;
    for (int c = 0; c < 3; ++c)
        m[c] = MappingArg(lows[c], highs[c], shifts[c], luts[c], names[c]);
    const Geometry geometry = SizeOf(z, r, 3);
    const long long stride = (3ll * geometry.outWidth + 3) & ~3ll;
    py::array bitmap = BitmapArg(out, geometry.outHeight, stride);
    void* bits = bitmap.mutable_data();
    {
        py::gil_scoped_release release;
        tamrix::CreateColorDIB(static_cast<int>(z), bits, r.width, r.height, r.depth, r.data, m[0].low, m[0].high,
                               m[0].shift, m[0].lut, g.data, m[1].low, m[1].high, m[1].shift, m[1].lut, b.data,
                               m[2].low, m[2].high, m[2].shift, m[2].lut);
    }
    // Pixels are stored blue, green, red: reversing the last axis of the
    // (height, width, 3) view gives red, green, blue without a copy.
    py::object bgr = bitmap[py::make_tuple(Slice(geometry.outHeight), Slice(3ll * geometry.outWidth))]
                         .attr("reshape")(geometry.outHeight, geometry.outWidth, 3);
    return bgr[py::make_tuple(py::ellipsis(), py::slice(py::none(), py::none(), py::int_(-1)))];
}

} // namespace

void BindDisplay(py::module_& m)
{
    m.def("create_mono_dib", &CreateMonoDIB, py::arg("image"), py::kw_only(), py::arg("low"), py::arg("high"),
          py::arg("lut") = py::none(), py::arg("shift") = 0, py::arg("zoom") = 0, py::arg("out") = py::none(),
          R"doc(create_mono_dib(image, *, low, high, lut=None, shift=0, zoom=0, out=None)

Render a frame into the pixel array of an 8-bit display bitmap.

A pixel v becomes 0 if v <= low, 255 if v >= high, else lut[(v - low) >> shift].
zoom > 0 enlarges zoom + 1 times (pixel replication), zoom < 0 reduces
1 - zoom times (mean of the mapped bytes of each block).

Parameters
----------
image : 2-D uint16 or uint32 array
low, high : int, 0 .. 2**32 - 1
    Black and white point.
lut : 1-D uint8 array, optional
    At least ((high - 1 - low) >> shift) + 1 entries; needed when
    high > low + 1.
shift : int
zoom : int
out : 2-D uint8 array, optional
    The bitmap buffer, shape (out_height, stride) with stride = out_width
    rounded up to a multiple of 4.

Returns
-------
uint8 array of shape (out_height, out_width): a view of the padded bitmap
buffer (its .base), rows in frame order.)doc");

    m.def("create_color_dib", &CreateColorDIB, py::arg("red"), py::arg("green"), py::arg("blue"), py::kw_only(),
          py::arg("low"), py::arg("high"), py::arg("lut") = py::none(), py::arg("shift") = 0, py::arg("zoom") = 0,
          py::arg("out") = py::none(),
          R"doc(create_color_dib(red, green, blue, *, low, high, lut=None, shift=0, zoom=0, out=None)

Render three frames into the pixel array of a 24-bit display bitmap, each
channel mapped as in create_mono_dib with its own settings.

Parameters
----------
red, green, blue : 2-D arrays of one dtype (uint16 or uint32) and shape
low, high, shift : int or a tuple of three (red, green, blue)
lut : 1-D uint8 array or a tuple of three, optional
zoom : int
out : 2-D uint8 array, optional
    The bitmap buffer, shape (out_height, stride) with stride = 3 * out_width
    rounded up to a multiple of 4; pixels are stored blue, green, red.

Returns
-------
uint8 array of shape (out_height, out_width, 3) in red, green, blue order: a
view of the padded BGR bitmap buffer (its .base).)doc");
}

} // namespace tamrix::python
