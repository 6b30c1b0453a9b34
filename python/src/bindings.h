// One registration function per operation family; module.cpp calls them all.
#pragma once

#include <pybind11/pybind11.h>

namespace tamrix::python {

void BindRuntime(pybind11::module_& m);
void BindBinning(pybind11::module_& m);
void BindCalibration(pybind11::module_& m);
void BindMedian(pybind11::module_& m);
void BindGeometry(pybind11::module_& m);
void BindStatistics(pybind11::module_& m);
void BindDisplay(pybind11::module_& m);
void BindSurface(pybind11::module_& m);
void BindStars(pybind11::module_& m);
void BindNetwork(pybind11::module_& m);
void BindMapping(pybind11::module_& m);
void BindRegister(pybind11::module_& m);
void BindCombine(pybind11::module_& m);
void BindStack(pybind11::module_& m);

} // namespace tamrix::python
