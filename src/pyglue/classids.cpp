#include "classids.h"

#include "ranges.h"

namespace pyglue {

bool class_id(py::handle value, long long &out) {
    PyObject *v = value.ptr();
    if (PyLong_Check(v) && !PyBool_Check(v)) {
        int overflow = 0;
        const long long k = PyLong_AsLongLongAndOverflow(v, &overflow);
        if (k == -1 && PyErr_Occurred()) throw py::error_already_set();
        if (overflow || !rules::class_id(static_cast<std::int64_t>(k))) return false;
        out = k;
        return true;
    }
    if (PyFloat_Check(v)) {
        const double d = PyFloat_AS_DOUBLE(v);
        if (!rules::class_id(d)) return false;
        out = static_cast<long long>(d);
        return true;
    }
    return false;
}

}  // namespace pyglue
