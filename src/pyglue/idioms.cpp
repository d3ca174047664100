#include "idioms.h"

namespace pyglue {

std::vector<py::object> unpack(py::handle obj, std::size_t n) {
    PyObject *it = PyObject_GetIter(obj.ptr());
    if (!it) {
        // Only a type that is not iterable at all gets the statement's
        // message; an __iter__ that raises keeps its own error.
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(obj.ptr())->tp_iter &&
            !PySequence_Check(obj.ptr())) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                         Py_TYPE(obj.ptr())->tp_name);
        }
        throw py::error_already_set();
    }
    py::object iter = py::reinterpret_steal<py::object>(it);
    std::vector<py::object> out;
    out.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        PyObject *item = PyIter_Next(it);
        if (!item) {
            if (PyErr_Occurred()) throw py::error_already_set();
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected %zu, got %zu)", n,
                         i);
            throw py::error_already_set();
        }
        out.push_back(py::reinterpret_steal<py::object>(item));
    }
    // The statement looks at one more item, no further.
    PyObject *extra = PyIter_Next(it);
    if (extra) {
        Py_DECREF(extra);
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", n);
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) throw py::error_already_set();
    return out;
}

bool truthy(py::handle obj) {
    int r = PyObject_IsTrue(obj.ptr());
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

bool compare(py::handle a, py::handle b, int op) {
    int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), op);
    if (r < 0) throw py::error_already_set();
    return r != 0;
}

py::object weak_method(py::handle obj, const char *name) {
    PyObject *ref = PyWeakref_NewRef(obj.ptr(), nullptr);
    if (!ref) {
        PyErr_Clear();
        return obj.attr(name);
    }
    py::object weak = py::reinterpret_steal<py::object>(ref);
    std::string method = name;
    return py::cpp_function([weak, method](py::args args) -> py::object {
        PyObject *target = PyWeakref_GetObject(weak.ptr());
        if (!target) throw py::error_already_set();
        if (target == Py_None)
            raise(PyExc_ReferenceError, py::str("the dataset object that " + method + " belongs to is gone"));
        return py::reinterpret_borrow<py::object>(target).attr(method.c_str())(*args);
    });
}

py::object import_from(const char *module, const char *name) {
    py::module_ m = py::module_::import(module);
    if (!py::hasattr(m, name)) {
        // The statement imports a submodule of that name first (PIL.Image).
        PyObject *sub = PyImport_ImportModule((std::string(module) + "." + name).c_str());
        if (sub)
            Py_DECREF(sub);
        else if (PyErr_ExceptionMatches(PyExc_ModuleNotFoundError))
            PyErr_Clear();
        else
            throw py::error_already_set();
    }
    PyObject *v = PyObject_GetAttrString(m.ptr(), name);
    if (v) return py::reinterpret_steal<py::object>(v);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    py::object file = py::getattr(m, "__file__", py::none());
    py::str msg = file.is_none()
                      ? py::str("cannot import name '{}' from '{}' (unknown location)").format(name, module)
                      : py::str("cannot import name '{}' from '{}' ({})").format(name, module, file);
    py::str mod_name(module);
    PyErr_SetImportError(msg.ptr(), mod_name.ptr(), file.is_none() ? nullptr : file.ptr());
    throw py::error_already_set();
}

py::object getitem(py::handle obj, py::handle key) {
    PyObject *r = PyObject_GetItem(obj.ptr(), key.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

py::object getitem(py::handle obj, long index) { return getitem(obj, py::int_(index)); }

void setitem(py::handle obj, py::handle key, py::handle value) {
    if (PyObject_SetItem(obj.ptr(), key.ptr(), value.ptr()) < 0) throw py::error_already_set();
}

py::object make_slice(py::handle start, py::handle stop) {
    PyObject *s = PySlice_New(start.ptr(), stop.ptr(), nullptr);
    if (!s) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(s);
}

py::object head(py::handle seq, long n) { return getitem(seq, make_slice(py::none(), py::int_(n))); }

py::list list_of(std::initializer_list<py::handle> items) {
    py::list l(items.size());
    std::size_t i = 0;
    for (py::handle h : items) l[i++] = py::reinterpret_borrow<py::object>(h);
    return l;
}

// Values come from descriptions of any size: only a bounded excerpt is shown.
py::str fmt(const char *text, py::handle value) { return py::str(text).format(excerpt(value)); }

void raise(PyObject *type, py::handle msg) {
    PyErr_SetObject(type, msg.ptr());
    throw py::error_already_set();
}

namespace {

// UTF-8 of a str object (new or borrowed reference handled by the caller),
// lone surrogates escaped; "?" when s is null or not a str.
std::string utf8_of(PyObject *s) {
    if (!s || !PyUnicode_Check(s)) {
        PyErr_Clear();
        return "?";
    }
    PyObject *b = PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace");
    if (!b) {
        PyErr_Clear();
        return "?";
    }
    std::string out(PyBytes_AS_STRING(b), static_cast<std::size_t>(PyBytes_GET_SIZE(b)));
    Py_DECREF(b);
    return out;
}

std::string utf8_owned(PyObject *s) {
    std::string out = utf8_of(s);
    Py_XDECREF(s);
    return out;
}

// At most about 200 characters of the value (see excerpt).
std::string bounded(py::handle obj, bool as_repr) {
    if (!obj) return "?";
    try {
        return utf8_of(excerpt(obj, 200, as_repr).ptr());
    } catch (py::error_already_set &) {
        PyErr_Clear();
        return "?";
    }
}

}  // namespace

std::string text(py::handle obj) { return bounded(obj, false); }

std::string describe(py::handle obj) { return bounded(obj, true); }

std::string describe_path(py::handle path) {
    if (!path) return "?";
    PyObject *fs = PyOS_FSPath(path.ptr());
    if (!fs) {
        PyErr_Clear();
        return utf8_owned(PyObject_Str(path.ptr()));
    }
    if (PyBytes_Check(fs)) {
        PyObject *s = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(fs), PyBytes_GET_SIZE(fs),
                                           "backslashreplace");
        Py_DECREF(fs);
        return utf8_owned(s);
    }
    // A str made from undecodable bytes holds them as surrogate escapes:
    // back to those bytes, then shown as \x.. escapes.
    PyObject *raw = PyUnicode_AsEncodedString(fs, "utf-8", "surrogateescape");
    Py_DECREF(fs);
    if (!raw) {
        PyErr_Clear();
        return utf8_owned(PyObject_Str(path.ptr()));
    }
    PyObject *s = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(raw), PyBytes_GET_SIZE(raw),
                                       "backslashreplace");
    Py_DECREF(raw);
    return utf8_owned(s);
}

void add_note(py::error_already_set &e, const std::string &note) {
    PyObject *r = PyObject_CallMethod(e.value().ptr(), "add_note", "s", note.c_str());
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();
}

}  // namespace pyglue
