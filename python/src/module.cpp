// The compiled part of the tamrix package (python/tamrix), which re-exports
// everything here; its docstring is the package's.
#include "args.h"
#include "bindings.h"
#include "network.h"

#include "tamrix_version.h"

PYBIND11_MODULE(_tamrix, m)
{
    m.doc() = "The compiled part of the tamrix package: use it through import tamrix.";
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
    tamrix::python::BindRegister(m);
    tamrix::python::BindCombine(m);
    tamrix::python::BindStack(m);
}
