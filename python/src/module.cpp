// The tamrix Python module.
#include "args.h"
#include "bindings.h"
#include "network.h"

#include "tamrix_version.h"

PYBIND11_MODULE(tamrix, m)
{
    m.doc() = R"doc(Fast, exact frame operations for astronomical image processing.

Frames are 2-D C-contiguous numpy arrays of uint16 or uint32 pixels, indexed
[y, x]; positions come back as x, y. Functions take the image first and their
options as keywords, return new arrays (or write into a checked ``out=``
array), and release the GIL while the computation runs on all cores. Any
other dtype, dimension or layout raises TypeError or ValueError naming the
parameter; nothing is converted silently.)doc";
    m.attr("__version__") = TAMRIX_VERSION_STRING;

    // Every docstring starts with its own Python signature; the generated ones
    // would show pybind11's handle types.
    pybind11::options options;
    options.disable_function_signatures();

    pybind11::register_exception<tamrix::python::CancelledError>(m, "Cancelled");
    pybind11::register_exception<tamrix::python::NetworkFileError>(m, "NetworkFileError", PyExc_OSError);

    tamrix::python::BindRuntime(m);
    tamrix::python::BindBinning(m);
    tamrix::python::BindCalibration(m);
    tamrix::python::BindMedian(m);
    tamrix::python::BindGeometry(m);
    tamrix::python::BindStatistics(m);
    tamrix::python::BindDisplay(m);
    tamrix::python::BindSurface(m);
    tamrix::python::BindStars(m);
    tamrix::python::BindNetwork(m);
    tamrix::python::BindMapping(m);
}
