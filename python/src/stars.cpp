// Star detection: the classic detectors, returning the stars as a numpy
// structured array and the claim mask as a boolean frame.
#include "args.h"
#include "bindings.h"
#include "stars.h"

#include "tamrix.h"

namespace tamrix::python {

namespace {

py::tuple FindStars(py::handle image, py::handle halfSize, py::handle nsigma, py::handle neighbours,
                    py::handle startLevel, py::handle mask, bool parallel)
{
    const Frame frame = FrameArg(image, "image");
    const int r = static_cast<int>(IntArg(halfSize, "half_size", 2, 25));
    const double k = FloatArg(nsigma, "nsigma");
    const int q = static_cast<int>(IntArg(neighbours, "neighbours", 0, 8));
    const auto start = static_cast<unsigned>(IntArg(startLevel, "start_level", 0, UINT32_MAX));
    ClaimMask claim(frame, mask);
    StarList stars;
    {
        py::gil_scoped_release release;
        claim.Pack();
        auto* detect = parallel ? &tamrix::FindStars : &tamrix::FindStars1C;
        detect(r, k, q, start, frame.data, frame.width, frame.height, frame.depth, claim.Words(), &stars,
               &CollectStar);
    }
    return py::make_tuple(stars.ToArray(), claim.Unpack());
}

} // namespace

void BindStars(py::module_& m)
{
    RegisterStarDtype();
    m.def("find_stars", &FindStars, py::arg("image"), py::kw_only(), py::arg("half_size"), py::arg("nsigma"),
          py::arg("neighbours"), py::arg("start_level") = 0, py::arg("mask") = py::none(),
          py::arg("parallel") = true,
          R"doc(find_stars(image, *, half_size, nsigma, neighbours, start_level=0, mask=None, parallel=True)

Find stars by local statistics.

Every second row and column is a scan position; around each one whose pixel
is at least start_level and not yet claimed, a (2 half_size + 1)^2 window is
measured: a 3-sigma clipped background, a threshold nsigma clipped standard
deviations above it, star pixels above the threshold with at least
`neighbours` of their 8 neighbours above it too, and the 4-connected star of
the first star pixel (dropped when it touches the window's edge). Each star
is reported once, with its background-subtracted centroid and flux.

Parameters
----------
image : 2-D uint16 or uint32 array
half_size : int, 2 .. 25
nsigma : float
neighbours : int, 0 .. 8 (0 counts as 1)
start_level : int, 0 .. 2**32 - 1
mask : 2-D bool array of the image's shape, optional
    Pixels excluded beforehand: a star touching one is not reported. Not
    modified.
parallel : bool
    Scan the rows on all cores (the report order and, where two windows
    measure one star, its values may change from run to run); False scans
    on the calling thread, in raster order, the same on every run.

Returns
-------
stars : structured array with fields x, y (int32, the centroid rounded),
    cx, cy (float64, the centroid; pixel centres at whole numbers), flux
    (float64) and peak (uint32, the brightest raw pixel).
mask : 2-D bool array: the given mask plus the pixels of every reported
    star.)doc");
}

} // namespace tamrix::python
