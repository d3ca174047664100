#include "categories.h"

#include "idioms.h"

namespace pyglue {

py::object json_get(py::handle mapping, py::handle key, py::object dflt) {
    if (!PyDict_Check(mapping.ptr()))
        raise(PyExc_TypeError, py::str("expected a JSON object where \"{}\" is read, got {}")
                                   .format(key, Py_TYPE(mapping.ptr())->tp_name)
                                   .cast<std::string>());
    return mapping.attr("get")(key, dflt);
}

void set_first(py::dict d, py::handle key, py::handle value) {
    int r = PyDict_Contains(d.ptr(), key.ptr());
    if (r < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return;
    }
    if (!r && PyDict_SetItem(d.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

void coco_categories(py::handle categories, py::list labels, py::dict positions) {
    const py::object formats = py::module_::import("quorvane.trellisk.datasets.formats");
    const py::object k_id = formats.attr("COCO_ID"), k_name = formats.attr("COCO_NAME");
    const py::int_ zero(0);
    for (py::handle cat : categories) {
        py::object id = json_get(cat, k_id, zero);
        if (equals(id, zero)) continue;
        labels.append(json_get(cat, k_name));
        set_first(positions, id, py::int_(py::len(labels) - 1));
    }
}

}  // namespace pyglue
