// Registration of frames onto a reference frame from the stars the detect
// layer finds on each.
#include "bindings.h"
#include "double_frames.h"

#include "detect/stars.h"
#include "stack/register.h"

#include <pybind11/stl.h>

#include <vector>

namespace tamrix::python {

namespace {

const char* StatusName(stack::Status s)
{
    switch (s) {
    case stack::Status::kRegistered:
        return "registered";
    case stack::Status::kTooFewStars:
        return "too few stars";
    case stack::Status::kNoMatch:
        return "no match";
    case stack::Status::kTooFewMatches:
        return "too few matches";
    case stack::Status::kRmsTooHigh:
        return "rms too high";
    }
    return "";
}

} // namespace

py::dict ReportDict(const stack::Report& r)
{
    py::dict d;
    d["status"] = StatusName(r.status);
    d["reason"] = r.reason;
    d["stars"] = r.frameStars;
    d["reference_stars"] = r.referenceStars;
    d["matched"] = r.matched;
    d["rms"] = r.rms;
    d["affine_rms"] = r.affineRms;
    return d;
}

namespace {

py::tuple Register(py::handle frames, py::handle reference, py::handle brightest, py::handle tolerance,
                   py::handle minMatches, py::handle maxRms, bool distortion)
{
    if (!py::isinstance<py::sequence>(frames) || py::isinstance<py::str>(frames))
        throw py::type_error("frames must be a sequence of 2-D uint16 or uint32 arrays");
    const py::sequence list = py::reinterpret_borrow<py::sequence>(frames);
    const size_t n = list.size();
    if (n == 0)
        throw py::value_error("frames must hold at least one frame");
    const size_t ref = size_t(IntArg(reference, "reference", 0, (long long)(n) - 1));
    stack::Options o;
    o.brightest = int(IntArg(brightest, "brightest", 3, 200));
    o.tolerance = FloatArg(tolerance, "tolerance");
    if (!(o.tolerance > 0 && o.tolerance <= 100))
        throw py::value_error("tolerance must be above 0 and at most 100 pixels");
    o.minMatches = int(IntArg(minMatches, "min_matches", 3, 1000000));
    o.maxRms = FloatArg(maxRms, "max_rms");
    if (!(o.maxRms > 0))
        throw py::value_error("max_rms must be above 0 pixels");
    o.distortion = distortion;

    std::vector<Frame> checked;
    for (size_t i = 0; i < n; ++i) {
        const std::string name = "frames[" + std::to_string(i) + "]";
        checked.push_back(FrameArg(list[i], name.c_str()));
    }
    std::vector<std::vector<stack::Point>> stars(n);
    std::vector<stack::Report> reports(n);
    {
        py::gil_scoped_release release;
        for (size_t i = 0; i < n; ++i)
            if (!checked[i].Empty())
                stars[i] = stack::Points(
                    detect::FindStars(checked[i].data, checked[i].width, checked[i].height, checked[i].depth, {})
                        .stars);
        for (size_t i = 0; i < n; ++i)
            reports[i] = stack::Register(stars[ref], stars[i], o);
    }
    py::list transforms, dicts;
    for (const stack::Report& r : reports) {
        if (r.Registered()) {
            py::array_t<double> m({ 2, 3 });
            auto v = m.mutable_unchecked<2>();
            const stack::Affine& t = r.transform;
            v(0, 0) = t.a, v(0, 1) = t.b, v(0, 2) = t.c, v(1, 0) = t.d, v(1, 1) = t.e, v(1, 2) = t.f;
            transforms.append(m);
        } else {
            transforms.append(py::none());
        }
        dicts.append(ReportDict(r));
    }
    return py::make_tuple(transforms, dicts);
}

} // namespace

void BindRegister(py::module_& m)
{
    const stack::Options d;
    m.def("register", &Register, py::arg("frames"), py::kw_only(), py::arg("reference") = 0,
          py::arg("brightest") = d.brightest, py::arg("tolerance") = d.tolerance,
          py::arg("min_matches") = d.minMatches, py::arg("max_rms") = d.maxRms, py::arg("distortion") = false,
          R"doc(register(frames, *, reference=0, brightest=50, tolerance=2.0, min_matches=6, max_rms=1.0, distortion=False)

Register frames onto one of them from their stars (as detect_stars finds
them, saturated and edge stars left out): stars are matched by the shapes of
the triangles the brightest form with their neighbours, so any shift and
rotation, a mirror and a few percent of scale are found; the affine map is
then fitted by least squares to every matched star.

Parameters
----------
frames : sequence of 2-D uint16 or uint32 arrays
reference : int
    Index of the frame the others are registered onto.
brightest : int
    Stars of each frame that form triangles; three times as many when those
    do not agree (stars of much the same brightness rank differently in
    each frame).
tolerance : float
    Pixels within which a mapped star matches one of the other frame.
min_matches : int
    A frame with fewer matched stars does not register.
max_rms : float
    A frame whose matched stars' rms residual (pixels) is larger does not register.
distortion : bool
    Also fit a cubic field to the residuals (reported in rms; the transform
    stays the affine part).

Returns
-------
(transforms, reports): per frame a (2, 3) array [[A, B, C], [D, E, F]]
mapping reference positions to the frame's, x' = A x + B y + C,
y' = D x + E y + F -- the matrix transform(frame, matrix=..., shape=...)
takes to put the frame onto the reference grid -- or None when the frame
does not register; and per frame a dict with status ("registered", "too few
stars", "no match", "too few matches", "rms too high"), reason, stars,
reference_stars, matched, rms and affine_rms (pixels).)doc");
}

} // namespace tamrix::python
