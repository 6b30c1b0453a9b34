// Star detection: the classic detectors, returning the stars as a numpy
// structured array and the claim mask as a boolean frame.
#include "args.h"
#include "bindings.h"
#include "network.h"
#include "stars.h"

#include "detect/stars.h"
#include "detect/training.h"
#include "tamrix.h"

#include <cmath>
#include <cstring>
#include <optional>

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

// A row of detect_stars' structured array.
struct MeasuredStar {
    int32_t x, y;
    double cx, cy, flux;
    uint32_t peak;
    double fwhm, elongation, snr, sharpness;
    uint32_t flags;
};

py::array DetectStars(py::handle image, py::handle startSigma, py::handle startLevel, py::handle nsigma,
                      py::handle neighbours, py::handle halfSize, py::handle minSnr, py::handle maxFwhm,
                      py::handle saturation, py::handle mask, py::handle undefined, bool parallel, py::handle network,
                      py::handle level)
{
    const Frame frame = FrameArg(image, "image");
    const long long full = frame.depth == 2 ? UINT16_MAX : UINT32_MAX;
    detect::Options o;
    o.startSigma = FloatArg(startSigma, "start_sigma");
    if (!startLevel.is_none())
        o.startLevel = static_cast<uint32_t>(IntArg(startLevel, "start_level", 0, full));
    o.k = FloatArg(nsigma, "nsigma");
    o.neighbours = static_cast<int>(IntArg(neighbours, "neighbours", 0, 8));
    if (!halfSize.is_none())
        o.radius = static_cast<int>(IntArg(halfSize, "half_size", 2, 25));
    o.minSnr = FloatArg(minSnr, "min_snr");
    if (!maxFwhm.is_none()) {
        o.maxFwhm = FloatArg(maxFwhm, "max_fwhm");
        if (!(o.maxFwhm > 0))
            throw py::value_error("max_fwhm must be above 0 pixels");
    }
    if (!saturation.is_none())
        o.saturation = static_cast<uint32_t>(IntArg(saturation, "saturation", 1, full));
    std::vector<bool> outside;
    if (!undefined.is_none()) {
        const bool* flags = PixelFlags(undefined, "undefined", frame);
        outside.assign(flags, flags + frame.Pixels());
        o.undefined = &outside;
    }
    o.parallel = parallel;
    std::optional<Network::Use> use;
    if (!network.is_none()) {
        Network& net = network.cast<Network&>();
        use.emplace(net);
        o.networkRadius = detect::NetworkRadius(net.net);
        if (o.networkRadius < 0)
            throw py::value_error("network must rate star windows: (2r+1)^2 inputs and one output");
        if (!halfSize.is_none() && *o.radius != o.networkRadius)
            throw py::value_error("half_size must be the network's window half-size, "
                                  + std::to_string(o.networkRadius));
        o.network = &net.net;
        o.level = level.is_none() ? detect::kShippedLevel : static_cast<float>(FloatArg(level, "level"));
        if (!(o.level >= 0 && o.level <= 1))
            throw py::value_error("level must lie in 0 .. 1");
    } else if (!level.is_none())
        throw py::value_error("level needs a network");
    ClaimMask claim(frame, mask);
    detect::Result result;
    {
        py::gil_scoped_release release;
        claim.Pack();
        result = detect::FindStars(frame.data, frame.width, frame.height, frame.depth, o, claim.Words());
    }
    py::array_t<MeasuredStar> array(static_cast<py::ssize_t>(result.stars.size()));
    MeasuredStar* out = array.mutable_data();
    for (const detect::Star& s : result.stars)
        *out++ = MeasuredStar { s.x, s.y, s.cx, s.cy, s.flux, s.peak, s.fwhm, s.elongation, s.snr, s.sharpness,
                                s.flags };
    return array;
}

} // namespace

void BindStars(py::module_& m)
{
    RegisterStarDtype();
    PYBIND11_NUMPY_DTYPE(MeasuredStar, x, y, cx, cy, flux, peak, fwhm, elongation, snr, sharpness, flags);
    m.def("detect_stars", &DetectStars, py::arg("image"), py::kw_only(), py::arg("start_sigma") = detect::Options{}.startSigma,
          py::arg("start_level") = py::none(), py::arg("nsigma") = 4.0, py::arg("neighbours") = 2,
          py::arg("half_size") = py::none(), py::arg("min_snr") = detect::Options{}.minSnr, py::arg("max_fwhm") = py::none(),
          py::arg("saturation") = py::none(), py::arg("mask") = py::none(), py::arg("undefined") = py::none(),
          py::arg("parallel") = true, py::arg("network") = py::none(), py::arg("level") = py::none(),
          R"doc(detect_stars(image, *, start_sigma=4.0, start_level=None, nsigma=4.0, neighbours=2, half_size=None, min_snr=5.0, max_fwhm=None, saturation=None, mask=None, undefined=None, parallel=True, network=None, level=None)

Find stars with settings taken from the frame, as `tamrix stars` does.

The sky's level and noise come from a 3-sigma clipped estimate over the
frame, the stars' FWHM from its brightest isolated peaks. find_stars then
runs over a copy padded with sky noise (so that stars at the edges are
found), with the window 1.5 FWHM + 2, again with half_size 25 and on a 2 x 2
binned copy for stars that did not fit; every star is measured, and those
much sharper than the frame's bright stars (cosmic rays, hot pixels), below
min_snr or wider than max_fwhm are dropped.

Parameters
----------
image : 2-D uint16 or uint32 array
start_sigma : float
    Positions are examined from sky + start_sigma * noise up...
start_level : int, optional
    ... or from this pixel value.
nsigma, neighbours : the detector's own threshold and neighbour count
half_size : int, 2 .. 25, optional
    A fixed window instead of the one from the FWHM (and no further passes).
min_snr : float
max_fwhm : float, optional
saturation : int, optional
    The saturation level (default: the image's highest value when at least
    three pixels hold it far above the sky, as data clipped below the
    dtype's range are; else the dtype's largest value).
mask : 2-D bool array of the image's shape, optional
    Pixels excluded beforehand. Not modified.
undefined : 2-D bool array of the image's shape, optional
    Pixels without data (NaN before to_frame, say): read as sky noise, and
    a star that reaches them is flagged at the edge. The image's lowest
    value filling part of it far below the sky (a registered frame's
    uncovered corners) is taken as undefined too.
parallel : bool
    False gives the same list on every run.
network : Network, optional
    Find the stars with this network instead (as `tamrix stars --nn`): the
    pixel groups find_stars_nn rates at least `level`, measured and
    filtered like the classic ones. The shipped one:
    ``net = Network(); net.load(data_path("stars.net"))``.
level : float, optional
    With a network: the least rating of a star pixel (default 0.98, the
    shipped network's level).

Returns
-------
Structured array, sorted by y then x, with fields x, y (int32, the centroid
rounded), cx, cy (float64, the centroid; pixel centres at whole numbers),
flux (float64, above the local background), peak (uint32), fwhm (pixels),
elongation (axis ratio), snr (flux / (noise * sqrt(pixels)), background
noise only), sharpness ((peak - mean of its 8 neighbours) / (peak -
background)) and flags (uint32: 1 edge, 2 saturated, 4 blended, 8 too large
for the largest window).)doc");
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
