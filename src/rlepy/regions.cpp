#include "regions.h"

#include "rle.h"

#include <cmath>
#include <string>

namespace rlepy {

namespace {

[[noreturn]] void bad(const std::string &why) { throw py::value_error("RLE " + why); }

// A whole number from JSON (an int, or a float without a fraction).
bool whole(py::handle v, std::int64_t &out) {
    if (PyBool_Check(v.ptr())) return false;
    if (PyLong_Check(v.ptr())) {
        int overflow = 0;
        out = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
        if (out == -1 && PyErr_Occurred()) throw py::error_already_set();
        return !overflow;
    }
    if (PyFloat_Check(v.ptr())) {
        const double d = PyFloat_AS_DOUBLE(v.ptr());
        if (!std::isfinite(d) || d != std::floor(d) || std::fabs(d) > 9.0e15) return false;
        out = static_cast<std::int64_t>(d);
        return true;
    }
    return false;
}

std::string type_name(py::handle v) { return Py_TYPE(v.ptr())->tp_name; }

}  // namespace

bool is_rle(py::handle segmentation) { return PyDict_Check(segmentation.ptr()); }

Runs parse(py::handle rle, std::int64_t expected_height, std::int64_t expected_width) {
    if (!PyDict_Check(rle.ptr())) bad("must be an object with \"size\" and \"counts\", got " + type_name(rle));
    PyObject *size = PyDict_GetItemString(rle.ptr(), "size");     // borrowed
    PyObject *counts = PyDict_GetItemString(rle.ptr(), "counts");  // borrowed
    if (!size || !counts) bad(std::string("has no \"") + (size ? "counts" : "size") + "\"");
    Runs r;
    py::handle s(size);
    if (!(PyList_Check(size) || PyTuple_Check(size)) || py::len(s) != 2 ||
        !whole(s[py::int_(0)], r.height) || !whole(s[py::int_(1)], r.width))
        bad("\"size\" must be [height, width], got " + py::repr(s).cast<std::string>().substr(0, 80));
    rle::Error e;
    if (PyUnicode_Check(counts) || PyBytes_Check(counts)) {
        std::string text;
        if (PyBytes_Check(counts)) {
            text.assign(PyBytes_AS_STRING(counts), static_cast<std::size_t>(PyBytes_GET_SIZE(counts)));
        } else {
            Py_ssize_t n = 0;
            const char *u = PyUnicode_AsUTF8AndSize(counts, &n);
            if (!u) throw py::error_already_set();
            text.assign(u, static_cast<std::size_t>(n));
        }
        py::gil_scoped_release unlocked;
        e = rle::decode_text(text.data(), text.size(), r.runs);
        if (!e) e = rle::check_for_image(r.runs.data(), r.runs.size(), r.height, r.width, expected_height, expected_width);
    } else if (PyList_Check(counts)) {
        const Py_ssize_t n = PyList_GET_SIZE(counts);
        r.runs.resize(static_cast<std::size_t>(n));
        for (Py_ssize_t i = 0; i < n; ++i)
            if (!whole(PyList_GET_ITEM(counts, i), r.runs[static_cast<std::size_t>(i)]))
                bad("\"counts\" item " + std::to_string(i) + " is not a whole number: " +
                    py::repr(PyList_GET_ITEM(counts, i)).cast<std::string>().substr(0, 40));
        e = rle::check_for_image(r.runs.data(), r.runs.size(), r.height, r.width, expected_height, expected_width);
    } else {
        bad("\"counts\" must be a string or a list of run lengths, got " + type_name(counts));
    }
    if (e) bad(e.reason);
    return r;
}

}  // namespace rlepy
