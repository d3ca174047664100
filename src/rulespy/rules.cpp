// quorvane.trellisk.datasets._rules: the readers' rules for class ids,
// record labels, vertex counts, box layout and annotation keys, for Python
// code that checks data (`check`, `formats`) without a dataset object.
#include "annotation.h"
#include "boxes/boxes.h"
#include "classids.h"
#include "ranges.h"
#include "vertices.h"

namespace py = pybind11;

PYBIND11_MODULE(_rules, m) {
    m.doc() = "Class-id and label ranges, vertex counts, the box layout and annotation keys,\n"
              "as the readers apply them.";
    m.attr("MAX_CLASS_ID") = py::int_(rules::kMaxClassId);
    // A part of a per-image annotation file with fewer vertices is dropped.
    m.attr("MIN_PART_VERTICES") = py::int_(rules::kMinPartVertices);
    // An outline (any layout, COCO polygons included) with fewer vertices is left out.
    m.attr("MIN_OUTLINE_VERTICES") = py::int_(rules::kMinOutlineVertices);
    // Values per object in a record's "bboxes"; columns of a decoded box row.
    m.attr("BOX_VALUES") = py::int_(boxes::kValues);
    m.attr("BOX_COLUMNS") = py::int_(boxes::kColumns);
    m.attr("JSON_IMAGE") = py::str(annotation::keys::image);
    m.attr("JSON_SEGMENT") = py::str(annotation::keys::segment);
    m.attr("JSON_POLYGON") = py::str(annotation::keys::polygon);
    m.attr("JSON_CLASS") = py::str(annotation::keys::class_);
    m.def(
        "is_class_id",
        [](py::handle value) {
            long long unused;
            return pyglue::class_id(value, unused);
        },
        py::arg("value"),
        "True when the readers accept `value` (a JSON \"class\") as a class id:\n"
        "an int, or a float without a fraction (not a bool), from 0 to MAX_CLASS_ID.");
    m.def(
        "max_label", [](std::int64_t class_offset) { return rules::max_label(class_offset); },
        py::arg("class_offset"),
        "The largest record label a TFRecord dataset with this class_offset accepts.");
}
