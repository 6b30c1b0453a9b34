// Binning: block sums into 32-bit pixels.
#include "args.h"
#include "bindings.h"

#include "tamrix.h"

namespace tamrix::python {

namespace {

py::array Bin(py::handle image, py::handle binX, py::handle binY, py::handle out)
{
    const Frame src = FrameArg(image, "image");
    const int bx = static_cast<int>(IntArg(binX, "bin_x", 1, INT32_MAX));
    const int by = binY.is_none() ? bx : static_cast<int>(IntArg(binY, "bin_y", 1, INT32_MAX));
    const Frame dst = OutputFrame(out, src.height / by, src.width / bx, 4);
    CheckDistinct(src, "image", dst, "out");
    {
        py::gil_scoped_release release;
        tamrix::Bin(bx, by, src.data, dst.data, src.width, src.height, src.depth);
    }
    return dst.array;
}

} // namespace

void BindBinning(py::module_& m)
{
    m.def("bin", &Bin, py::arg("image"), py::kw_only(), py::arg("bin_x"), py::arg("bin_y") = py::none(),
          py::arg("out") = py::none(),
          R"doc(bin(image, *, bin_x, bin_y=None, out=None)

Sum each bin_y x bin_x block of pixels into one uint32 pixel.

Parameters
----------
image : 2-D uint16 or uint32 array
bin_x, bin_y : int >= 1
    Block width and height in pixels; bin_y defaults to bin_x.
out : 2-D uint32 array, optional
    Receives the sums; shape (height // bin_y, width // bin_x), separate from
    image.

Returns
-------
uint32 array of shape (height // bin_y, width // bin_x). Leftover rows and
columns are ignored; sums wrap modulo 2**32.)doc");
}

} // namespace tamrix::python
