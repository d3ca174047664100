// The classes of a COCO file's categories, as the COCO reader numbers them.
// The reader (SegmentationDatasetJsonCOCO) and `check`/`pack` (through
// datasets._rules.coco_category_classes) both call this one function.
#pragma once

#include "pyglue.h"

namespace pyglue {
namespace py = pybind11;

// `mapping.get(key, dflt)` for a dict-like entry of a JSON file; an entry
// that is not a JSON object is a TypeError saying so, not "'int' object has
// no attribute 'get'".
py::object json_get(py::handle mapping, py::handle key, py::object dflt = py::none());

// Inserts key -> value unless the key is there already (first one wins).
// Unhashable keys are left out: lookups fall back to an equality search.
void set_first(py::dict d, py::handle key, py::handle value);

// Every category whose "id" is not 0 (equal to 0 as Python compares: 0.0 and
// False too) appends its "name" to `labels`, a repeated id too; `positions`
// maps each hashable id to the position of its first listing in `labels`.
void coco_categories(py::handle categories, py::list labels, py::dict positions);

}  // namespace pyglue
