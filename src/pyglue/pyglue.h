// Support shared by the extension modules: C++ functions that behave like
// Python methods (binding, signatures, docstrings, argument rules), classes
// made with type() so that they can derive from Python classes, and the
// boundary that turns C++ exceptions into Python ones.
#pragma once

#include <pybind11/pybind11.h>

#include <exception>
#include <string>
#include <type_traits>
#include <vector>

namespace pyglue {
namespace py = pybind11;

// How a parameter is checked on entry.
enum class Kind {
    Any,    // taken as given
    List,   // exactly list, or None
    Str,    // exactly str, or None
    Dict,   // exactly dict, or None
    Float,  // converted with float() semantics on entry
};

struct Param {
    const char *name;
    Kind kind = Kind::Any;
    // Default as a Python literal ("None", "True", "300", "1.0"); nullptr
    // for a required parameter.
    const char *dflt = nullptr;
    // Given by keyword only (parameters added beside the documented ones);
    // they come last.
    bool keyword_only = false;
};

class Call;
using Impl = py::object (*)(Call &);

// One method: parameters after self, in order. Defined as a static table
// entry by each module; must outlive the interpreter.
struct MethodDef {
    const char *name;
    std::vector<Param> params;
    Impl impl;
    const char *doc;
    bool tf_function = false;  // the class attribute is tf.function(method)
};

// The parsed arguments of one call.
class Call {
public:
    Call(py::handle self, std::vector<py::object> args, py::handle globals, py::handle owner,
         const MethodDef *def)
        : self(self), args_(std::move(args)), globals_(globals), owner_(owner), def_(def) {}

    py::handle self;
    // The class that defines the method (for super(cls, self)).
    py::handle owner() const { return owner_; }
    // super(owner, self)
    py::object super() const;
    // Parameter i after self.
    py::object &operator[](size_t i) { return args_.at(i); }
    // A name of the defining module, looked up now, so that a caller's
    // rebinding of a module attribute takes effect.
    py::object g(const char *name) const;
    const MethodDef &def() const { return *def_; }

private:
    std::vector<py::object> args_;
    py::handle globals_;
    py::handle owner_;
    const MethodDef *def_;
};

// Parses positional and keyword arguments against a parameter table.
// `params` includes self as entry 0 when the callable is a method. Raises
// the interpreter-style TypeError messages. Exposed for testing.
std::vector<py::object> parse_args(const char *fname, const std::vector<Param> &params,
                                   const std::vector<py::object> &defaults,
                                   PyObject *args, PyObject *kwargs);

// The method object for `def`, bound to the namespace `globals`.
py::object make_method(const MethodDef &def, py::dict globals);

// Creates a class with type(name, bases, namespace): sets __module__ (from
// globals["__name__"]), __qualname__ and __doc__, adds the methods in order
// (wrapping tf_function ones with tensorflow.function) and binds the class
// in globals under its name.
py::object make_class(py::dict globals, const char *name, py::tuple bases, const char *doc,
                      const std::vector<const MethodDef *> &methods);

// str(value) (repr(value) with `as_repr`) for an error message, cut to
// `limit` characters plus "..." and built only that far: lists, tuples and
// dicts are walked piece by piece, so a huge or self-containing value costs
// no more than its first characters.
py::str excerpt(py::handle value, size_t limit = 200, bool as_repr = false);

// Exception helpers: raise the given Python exception type with a message.
[[noreturn]] void raise(PyObject *type, const std::string &msg);
[[noreturn]] void raise_from_python();  // a Python error is already set

// "Argument 'x' has incorrect type (expected list, got tuple)"
[[noreturn]] void raise_arg_type(const char *name, const char *expected, py::handle got);
// True when `value` is None or exactly of `kind`'s type.
bool kind_accepts(Kind kind, py::handle value);

// Runs `fn`, translating any C++ exception into a Python error; returns
// nullptr with the error set on failure. Used at every entry point.
template <class F>
PyObject *guarded(F &&fn);

// Sets the Python error for the exception being handled. The one exception
// it lets through is the forced unwind that ends a thread (a worker thread
// that wakes up while the interpreter shuts down): swallowing it aborts the
// process.
void set_error_from_current_exception();

template <class F>
PyObject *guarded(F &&fn) {
    try {
        py::object r = fn();
        if (!r) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_SystemError, "native call returned no result");
            return nullptr;
        }
        return r.release().ptr();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

// Runs fn() -- pure C++ that touches no Python object -- with the GIL
// released. The GIL is taken back in plain code, not in a destructor: a
// thread that wakes up while the interpreter shuts down is ended by a forced
// unwind, and one that starts in a destructor terminates the process.
template <class F>
auto without_gil(F &&fn) -> decltype(fn()) {
    using R = decltype(fn());
    std::exception_ptr error;
    PyThreadState *state = PyEval_SaveThread();
    if constexpr (std::is_void_v<R>) {
        try {
            fn();
        } catch (...) {
            error = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (error) std::rethrow_exception(error);
    } else {
        R result{};
        try {
            result = fn();
        } catch (...) {
            error = std::current_exception();
        }
        PyEval_RestoreThread(state);
        if (error) std::rethrow_exception(error);
        return result;
    }
}

// Module-init helper: runs `body` with the module and returns it, or nullptr
// with the Python error set.
PyObject *init_module(PyModuleDef *def, void (*body)(py::module_ &m));

}  // namespace pyglue
