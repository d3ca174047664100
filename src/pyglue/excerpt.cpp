// Bounded text of a value for error messages. A description can hold a
// value of any size (a YAML alias chain expands to hundreds of millions of
// strings), so the text is built piece by piece and stops at the limit
// instead of formatting the whole value first.
#include "pyglue.h"

namespace pyglue {

namespace {

struct Builder {
    py::list parts;
    size_t used = 0;
    size_t limit;
    bool full = false;

    explicit Builder(size_t limit) : limit(limit) {}

    void add(py::handle text) {
        if (full) return;
        const size_t n = static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr()));
        parts.append(text);
        used += n;
        if (used > limit) full = true;
    }
    void add(const char *text) { add(py::str(text)); }
};

// str() or repr() of a leaf, computed on at most limit + 1 characters of a
// string or bytes value.
py::object leaf_text(py::handle v, bool as_str, size_t limit) {
    py::object value = py::reinterpret_borrow<py::object>(v);
    const Py_ssize_t cut = static_cast<Py_ssize_t>(limit) + 1;
    if (PyUnicode_Check(v.ptr()) && PyUnicode_GET_LENGTH(v.ptr()) > cut) {
        PyObject *s = PyUnicode_Substring(v.ptr(), 0, cut);
        if (!s) raise_from_python();
        value = py::reinterpret_steal<py::object>(s);
    } else if (PyBytes_Check(v.ptr()) && PyBytes_GET_SIZE(v.ptr()) > cut) {
        PyObject *b = PyBytes_FromStringAndSize(PyBytes_AS_STRING(v.ptr()), cut);
        if (!b) raise_from_python();
        value = py::reinterpret_steal<py::object>(b);
    }
    PyObject *t = as_str ? PyObject_Str(value.ptr()) : PyObject_Repr(value.ptr());
    if (!t) raise_from_python();
    return py::reinterpret_steal<py::object>(t);
}

void walk(Builder &b, py::handle v, bool top, int depth) {
    if (b.full) return;
    PyObject *o = v.ptr();
    const bool list = PyList_CheckExact(o), tuple = PyTuple_CheckExact(o), dict = PyDict_CheckExact(o);
    if (!list && !tuple && !dict) {
        b.add(leaf_text(v, top, b.limit - b.used));
        return;
    }
    if (depth > 16) {  // also ends self-containing values
        b.add("...");
        return;
    }
    if (dict) {
        b.add("{");
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        bool first = true;
        // Borrowed references: keep the dict alive while walking it.
        py::object keep = py::reinterpret_borrow<py::object>(v);
        while (!b.full && PyDict_Next(o, &pos, &key, &value)) {
            py::object k = py::reinterpret_borrow<py::object>(key);
            py::object val = py::reinterpret_borrow<py::object>(value);
            if (!first) b.add(", ");
            first = false;
            walk(b, k, false, depth + 1);
            b.add(": ");
            walk(b, val, false, depth + 1);
        }
        b.add("}");
        return;
    }
    py::object seq = py::reinterpret_borrow<py::object>(v);
    b.add(list ? "[" : "(");
    for (Py_ssize_t i = 0; !b.full; ++i) {
        // The size is read at each step: a list can change while its items'
        // repr runs.
        const Py_ssize_t n = list ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
        if (i >= n) break;
        py::object item = py::reinterpret_borrow<py::object>(list ? PyList_GET_ITEM(o, i)
                                                                   : PyTuple_GET_ITEM(o, i));
        if (i) b.add(", ");
        walk(b, item, false, depth + 1);
    }
    if (tuple && PyTuple_GET_SIZE(o) == 1) b.add(",");
    b.add(list ? "]" : ")");
}

}  // namespace

py::str excerpt(py::handle value, size_t limit, bool as_repr) {
    Builder b(limit);
    walk(b, value, !as_repr, 0);
    py::str text = py::str("").attr("join")(b.parts);
    if (static_cast<size_t>(PyUnicode_GET_LENGTH(text.ptr())) <= limit) return text;
    PyObject *h = PyUnicode_Substring(text.ptr(), 0, static_cast<Py_ssize_t>(limit));
    if (!h) raise_from_python();
    py::object head = py::reinterpret_steal<py::object>(h);
    PyObject *cut = PyUnicode_Concat(head.ptr(), py::str("...").ptr());
    if (!cut) raise_from_python();
    return py::reinterpret_steal<py::str>(cut);
}

}  // namespace pyglue
