// Python statements and expressions written in C++ with the interpreter's own
// behaviour and error messages: `a, b = obj`, `bool(obj)`, `from m import n`,
// `obj[key]`, comparisons, str.format, exception notes. One copy for every
// extension module, so their errors read the same.
#pragma once

#include "pyglue.h"

#include <cstddef>
#include <initializer_list>
#include <string>
#include <vector>

namespace pyglue {
namespace py = pybind11;

// `a, b, c = obj`: exactly n items, with the interpreter's unpacking errors.
std::vector<py::object> unpack(py::handle obj, std::size_t n);

// bool(obj) (raises what bool(obj) raises).
bool truthy(py::handle obj);

// `a <op> b` with op one of Py_EQ, Py_NE, Py_LT, Py_LE, Py_GT, Py_GE.
bool compare(py::handle a, py::handle b, int op);
inline bool equals(py::handle a, py::handle b) { return compare(a, b, Py_EQ); }

// `from module import name`, with the ImportError that statement gives
// (including the submodule import it tries first).
py::object import_from(const char *module, const char *name);

// A callable for TensorFlow to keep (py_function, numpy_function, map):
// calls obj.<name>(*args), but holds obj only weakly. Traced graphs keep
// what they call for as long as the method's trace cache lives, and that
// cache lives as long as obj, so a strong reference would keep obj forever.
// ReferenceError once obj is gone; obj.<name> itself when obj has no weak
// references.
py::object weak_method(py::handle obj, const char *name);

// obj[key], obj[index], obj[key] = value.
py::object getitem(py::handle obj, py::handle key);
py::object getitem(py::handle obj, long index);
void setitem(py::handle obj, py::handle key, py::handle value);

// slice(start, stop); None for an open end.
py::object make_slice(py::handle start, py::handle stop);

// seq[:n]
py::object head(py::handle seq, long n);

// [a, b, ...] as a new list.
py::list list_of(std::initializer_list<py::handle> items);

// text.format(value), with at most about 200 characters of the value
// (see excerpt).
py::str fmt(const char *text, py::handle value);

// Raises `type` with an arbitrary object (usually a str) as its argument.
[[noreturn]] void raise(PyObject *type, py::handle msg);

// Text for a diagnostic; none of these raises, so an error message never
// fails while it is being built:
// - text(obj): str(obj) as UTF-8, at most about 200 characters (excerpt),
//   characters that UTF-8 cannot hold (lone
//   surrogates) as backslash escapes; "?" when str() fails;
// - describe(obj): the same for repr(obj);
// - describe_path(path): a str, bytes or path-like file name, bytes that are
//   not UTF-8 shown as \x.. escapes (a file named caf\xe9.json on Linux).
std::string text(py::handle obj);
std::string describe(py::handle obj);
std::string describe_path(py::handle path);

// Attaches `note` to the exception held by `e` (an exception note, which
// the tracebacks TensorFlow puts into a pipeline's error message show). The
// exception's type and message do not change, and a failure to attach is
// ignored: the original error matters more than its note.
void add_note(py::error_already_set &e, const std::string &note);

// Runs fn(); an exception escaping it propagates as a Python exception with
// `note` attached.
template <class F>
auto with_note(const std::string &note, F &&fn) -> decltype(fn()) {
    try {
        return fn();
    } catch (py::error_already_set &e) {
        add_note(e, note);
        throw;
    } catch (...) {
        set_error_from_current_exception();
        py::error_already_set e;
        add_note(e, note);
        throw e;
    }
}

// `with closing(resource): return fn()`: runs fn(), then resource.close().
// When fn() raises, a failure to close is dropped so that fn()'s error is the
// one that propagates.
template <class F>
py::object closing(py::handle resource, F &&fn) {
    py::object result;
    try {
        result = fn();
    } catch (py::error_already_set &) {
        try {
            resource.attr("close")();
        } catch (py::error_already_set &) {
        }
        throw;
    }
    resource.attr("close")();
    return result;
}

}  // namespace pyglue
