// Frames of any integer or floating-point dtype as C-contiguous doubles, for
// the bindings of the stack layer (combine, stack), and what registering a
// frame found as a dict.
#pragma once

#include "args.h"

#include "stack/combine.h"
#include "stack/register.h"

#include <string>
#include <vector>

namespace tamrix::python {

using Doubles = py::array_t<double, py::array::c_style | py::array::forcecast>;

// A 3-D array (frame, y, x) or a sequence of 2-D arrays of one shape.
struct DoubleFrames {
    std::vector<Doubles> held;
    std::vector<const double*> pointers;
    py::ssize_t height = 0, width = 0;
};

// One 2-D frame `name` (TypeError, ValueError naming it).
Doubles DoubleFrameArg(py::handle obj, const std::string& name);

// The frames `name`, at least one (ValueError, TypeError naming it).
DoubleFrames DoubleFramesArg(py::handle frames, const std::string& name);

// The combination's method and (low, high) bounds (ValueError naming them).
stack::Settings SettingsArg(const std::string& method, py::handle sigma);

// A report of stack::Register as a dict: status, reason, stars,
// reference_stars, matched, rms, affine_rms.
py::dict ReportDict(const stack::Report& report);

} // namespace tamrix::python
