// Class ids and record labels given as Python values, checked by the shared
// rules of src/rules/ranges.h.
#pragma once

#include "pyglue.h"

namespace pyglue {
namespace py = pybind11;

// The class id a JSON "class" value stands for: a Python int, or a float
// without a fraction (not a bool), within the class-id range. False for
// anything else; `out` is then unchanged.
bool class_id(py::handle value, long long &out);

}  // namespace pyglue
