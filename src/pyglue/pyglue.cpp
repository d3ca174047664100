#include "pyglue.h"

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <new>
#include <stdexcept>

namespace pyglue {

// ---------------------------------------------------------------- errors

void raise(PyObject *type, const std::string &msg) {
    PyErr_SetString(type, msg.c_str());
    throw py::error_already_set();
}

void raise_from_python() { throw py::error_already_set(); }

void raise_arg_type(const char *name, const char *expected, py::handle got) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected, Py_TYPE(got.ptr())->tp_name);
    throw py::error_already_set();
}

void set_error_from_current_exception() {
    try {
        throw;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // libstdc++ only: the unwind that ends a thread must go on.
        throw;
#endif
    } catch (py::error_already_set &e) {
        e.restore();
    } catch (py::builtin_exception &e) {
        e.set_error();
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown native exception");
    }
}

py::object Call::g(const char *name) const {
    PyObject *v = PyDict_GetItemString(globals_.ptr(), name);  // borrowed
    if (!v) {
        PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
        throw py::error_already_set();
    }
    return py::reinterpret_borrow<py::object>(v);
}

py::object Call::super() const {
    if (!owner_) raise(PyExc_RuntimeError, std::string(def_->name) + "(): method has no class");
    return py::reinterpret_borrow<py::object>((PyObject *)&PySuper_Type)(owner_, self);
}

// ------------------------------------------------------- argument rules

static const char *kind_type_name(Kind k) {
    switch (k) {
    case Kind::List: return "list";
    case Kind::Str: return "str";
    case Kind::Dict: return "dict";
    case Kind::Float: return "float";
    default: return "object";
    }
}

bool kind_accepts(Kind kind, py::handle v) {
    if (v.is_none()) return true;
    switch (kind) {
    case Kind::List: return PyList_CheckExact(v.ptr());
    case Kind::Str: return PyUnicode_CheckExact(v.ptr());
    case Kind::Dict: return PyDict_CheckExact(v.ptr());
    default: return true;
    }
}

[[noreturn]] static void raise_count(const char *fname, const char *how, Py_ssize_t expected,
                                     Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 fname, how, expected, expected == 1 ? "" : "s", given);
    throw py::error_already_set();
}

std::vector<py::object> parse_args(const char *fname, const std::vector<Param> &params,
                                   const std::vector<py::object> &defaults, PyObject *args,
                                   PyObject *kwargs) {
    const Py_ssize_t n = static_cast<Py_ssize_t>(params.size());
    Py_ssize_t npos = 0;  // parameters that may be given by position
    while (npos < n && !params[npos].keyword_only) ++npos;
    Py_ssize_t nmin = 0;
    while (nmin < npos && !params[nmin].dflt) ++nmin;
    const bool exact = nmin == npos;
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > npos) raise_count(fname, exact ? "exactly" : "at most", npos, nargs);

    std::vector<py::object> out(params.size());
    for (Py_ssize_t i = 0; i < nargs; ++i)
        out[i] = py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));

    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        PyObject *key, *value;
        Py_ssize_t pos = 0;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
                throw py::error_already_set();
            }
            Py_ssize_t idx = -1;
            for (Py_ssize_t i = 0; i < n; ++i) {
                if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
                    idx = i;
                    break;
                }
            }
            if (idx < 0) {
                PyErr_Format(PyExc_TypeError, "%.200s() got an unexpected keyword argument '%U'",
                             fname, key);
                throw py::error_already_set();
            }
            if (out[idx]) {
                PyErr_Format(PyExc_TypeError,
                             "%.200s() got multiple values for keyword argument '%U'", fname, key);
                throw py::error_already_set();
            }
            out[idx] = py::reinterpret_borrow<py::object>(value);
        }
    }

    for (Py_ssize_t i = 0; i < n; ++i) {
        if (out[i]) continue;
        if (!params[i].dflt) raise_count(fname, exact ? "exactly" : "at least", nmin, i);
        out[i] = defaults.at(i);
    }

    // Type rules run in parameter order, before the body.
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Kind k = params[i].kind;
        if (k == Kind::Any) continue;
        if (k == Kind::Float) {
            double d = PyFloat_AsDouble(out[i].ptr());
            if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            out[i] = py::float_(d);
        } else if (!kind_accepts(k, out[i])) {
            raise_arg_type(params[i].name, kind_type_name(k), out[i]);
        }
    }
    return out;
}

static py::object literal_value(const char *lit) {
    if (!lit) return py::object();
    std::string s(lit);
    if (s == "None") return py::none();
    if (s == "True") return py::bool_(true);
    if (s == "False") return py::bool_(false);
    if (s.find_first_of(".eE") != std::string::npos) return py::float_(std::stod(s));
    return py::int_(std::stoll(s));
}

// ------------------------------------------------------- the method type

namespace {

struct MethodObject {
    PyObject_HEAD
    const MethodDef *def;
    std::vector<Param> *params;           // self + def->params
    std::vector<py::object> *defaults;    // parallel to params
    PyObject *globals;                    // module namespace
    PyObject *owner;                      // defining class (borrowed: it owns us)
    PyObject *qualname;
    PyObject *signature;                  // built lazily
    PyObject *weakreflist;
};

// Calls running in this module's methods, calls started so far, and whether
// the interpreter has begun to exit.
//
// Why: tf.data keeps calling the methods from its worker threads while the
// interpreter exits. Once finalization has begun, a worker thread that takes
// the GIL (to enter a py_function, or back inside a method after a
// TensorFlow op released it) is ended by the interpreter. The call it was
// running never completes, and the main thread, destroying a module-global
// iterator during finalization, waits for that call forever; a thread ended
// inside a method's C++ frames also drops references without the GIL.
// So at exit (atexit runs before finalization) new calls are refused, which
// makes each pipeline fill its buffers with errors at once and go idle, and
// the drain returns only once no call has run or started for a while: then
// no worker needs the GIL again.
std::atomic<long> g_in_flight{0};
std::atomic<unsigned long> g_started{0};
std::atomic<bool> g_exiting{false};

struct InFlight {
    InFlight() {
        g_started.fetch_add(1, std::memory_order_relaxed);
        g_in_flight.fetch_add(1, std::memory_order_relaxed);
    }
    ~InFlight() { g_in_flight.fetch_sub(1, std::memory_order_relaxed); }
    InFlight(const InFlight &) = delete;
    InFlight &operator=(const InFlight &) = delete;
};

// A forked child has only the forking thread: calls that other threads of
// the parent were running are not running in the child.
void reset_in_child() {
    g_in_flight.store(0);
    g_started.store(0);
    g_exiting.store(false);
}

PyObject *drain_at_exit(PyObject *, PyObject *) {
    using clock = std::chrono::steady_clock;
    g_exiting.store(true);
    // Quiet: nothing running and nothing started for this long. A call that
    // waits on something else (so nothing moves) is given up on after the
    // stall limit, and a pipeline that never goes idle (one that drops its
    // errors keeps asking for elements) after the overall limit, rather than
    // keeping the process from exiting.
    const auto quiet = std::chrono::milliseconds(100);
    const auto stall = std::chrono::seconds(10);
    const auto overall = std::chrono::seconds(30);
    const auto begin = clock::now();
    auto last_change = begin;
    long running = g_in_flight.load();
    unsigned long started = g_started.load();
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        Py_END_ALLOW_THREADS
        const long r = g_in_flight.load();
        const unsigned long s = g_started.load();
        const auto now = clock::now();
        if (r != running || s != started) {
            running = r;
            started = s;
            last_change = now;
        }
        if (r <= 0 && now - last_change >= quiet) break;
        if (now - last_change >= stall || now - begin >= overall) break;
    }
    Py_RETURN_NONE;
}

// What a call refused at exit raises: a RuntimeError for Python callers, and
// also a StopIteration, which TensorFlow's py_function / numpy_function turn
// into an end-of-input status that fails the pipeline element without the
// warning and traceback it logs for any other exception. A pipeline still
// running at exit then stops as quietly as one of plain TensorFlow.
PyObject *g_exiting_error = nullptr;

PyObject *make_exiting_error() {
    PyObject *bases = PyTuple_Pack(2, PyExc_StopIteration, PyExc_RuntimeError);
    if (!bases) return nullptr;
    PyObject *type = PyErr_NewExceptionWithDoc(
        "quorvane.trellisk.InterpreterExiting",
        "A native method was called while the interpreter exits (also a StopIteration,\n"
        "so that a tf.data pipeline still running then ends without error output).",
        bases, nullptr);
    Py_DECREF(bases);
    return type;
}

PyMethodDef kDrainDef = {"_drain_native_calls", drain_at_exit, METH_NOARGS,
                         "Refuse new native calls and let running ones finish (atexit)."};

PyObject *method_call(PyObject *op, PyObject *args, PyObject *kwargs) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    if (g_exiting.load(std::memory_order_relaxed)) {
        g_started.fetch_add(1, std::memory_order_relaxed);  // the pipeline is still moving
        PyErr_Format(g_exiting_error ? g_exiting_error : PyExc_RuntimeError,
                     "%s(): the interpreter is exiting", m->def->name);
        return nullptr;
    }
    InFlight in_flight;
    return guarded([&]() -> py::object {
        std::vector<py::object> parsed = parse_args(m->def->name, *m->params, *m->defaults, args, kwargs);
        py::handle self = parsed[0];
        std::vector<py::object> rest(std::make_move_iterator(parsed.begin() + 1),
                                     std::make_move_iterator(parsed.end()));
        Call call(self, std::move(rest), m->globals, m->owner, m->def);
        // Keep self alive for the call even if the caller drops it.
        py::object keep = py::reinterpret_borrow<py::object>(self);
        return m->def->impl(call);
    });
}

PyObject *method_get(PyObject *op, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) {
        Py_INCREF(op);
        return op;
    }
    return PyMethod_New(op, obj);
}

void method_dealloc(PyObject *op) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    if (m->weakreflist) PyObject_ClearWeakRefs(op);
    delete m->params;
    delete m->defaults;
    Py_XDECREF(m->globals);
    Py_XDECREF(m->qualname);
    Py_XDECREF(m->signature);
    Py_TYPE(op)->tp_free(op);
}

PyObject *method_repr(PyObject *op) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    return PyUnicode_FromFormat("<function %U at %p>", m->qualname, op);
}

PyObject *get_name(PyObject *op, void *) {
    return PyUnicode_FromString(reinterpret_cast<MethodObject *>(op)->def->name);
}

PyObject *get_qualname(PyObject *op, void *) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    Py_INCREF(m->qualname);
    return m->qualname;
}

int set_qualname(PyObject *op, PyObject *value, void *) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(m->qualname, value);
    return 0;
}

PyObject *get_doc(PyObject *op, void *) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    if (!m->def->doc) Py_RETURN_NONE;
    return PyUnicode_FromString(m->def->doc);
}

PyObject *get_module(PyObject *op, void *) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    PyObject *name = PyDict_GetItemString(m->globals, "__name__");
    if (!name) Py_RETURN_NONE;
    Py_INCREF(name);
    return name;
}

PyObject *get_globals(PyObject *op, void *) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    Py_INCREF(m->globals);
    return m->globals;
}

std::string text_signature(const MethodObject *m) {
    std::string s = "(";
    for (size_t i = 0; i < m->params->size(); ++i) {
        const Param &p = (*m->params)[i];
        if (i) s += ", ";
        if (p.keyword_only && (i == 0 || !(*m->params)[i - 1].keyword_only)) s += "*, ";
        s += p.name;
        if (p.dflt) {
            s += "=";
            s += p.dflt;
        }
    }
    return s + ")";
}

PyObject *get_text_signature(PyObject *op, void *) {
    return PyUnicode_FromString(text_signature(reinterpret_cast<MethodObject *>(op)).c_str());
}

PyObject *get_signature(PyObject *op, void *) {
    auto *m = reinterpret_cast<MethodObject *>(op);
    if (m->signature) {
        Py_INCREF(m->signature);
        return m->signature;
    }
    return guarded([&]() -> py::object {
        py::module_ inspect = py::module_::import("inspect");
        py::object P = inspect.attr("Parameter");
        py::list ps;
        for (size_t i = 0; i < m->params->size(); ++i) {
            const Param &p = (*m->params)[i];
            py::dict kw;
            if (p.dflt) kw["default"] = (*m->defaults)[i];
            switch (p.kind) {
            case Kind::List: kw["annotation"] = py::handle((PyObject *)&PyList_Type); break;
            case Kind::Str: kw["annotation"] = py::handle((PyObject *)&PyUnicode_Type); break;
            case Kind::Dict: kw["annotation"] = py::handle((PyObject *)&PyDict_Type); break;
            case Kind::Float: kw["annotation"] = py::handle((PyObject *)&PyFloat_Type); break;
            default: break;
            }
            ps.append(P(p.name, P.attr(p.keyword_only ? "KEYWORD_ONLY" : "POSITIONAL_OR_KEYWORD"), **kw));
        }
        py::object sig = inspect.attr("Signature")(ps);
        m->signature = sig.inc_ref().ptr();
        return sig;
    });
}

PyGetSetDef method_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject *method_type() {
    static PyTypeObject *type = [] {
        static PyType_Slot slots[] = {
            {Py_tp_call, (void *)method_call},
            {Py_tp_descr_get, (void *)method_get},
            {Py_tp_dealloc, (void *)method_dealloc},
            {Py_tp_repr, (void *)method_repr},
            {Py_tp_getset, (void *)method_getset},
            {0, nullptr},
        };
        static PyType_Spec spec = {
            "quorvane.trellisk.native_method", sizeof(MethodObject), 0,
            Py_TPFLAGS_DEFAULT, slots};
        PyObject *t = PyType_FromSpec(&spec);
        if (!t) throw py::error_already_set();
        reinterpret_cast<PyTypeObject *>(t)->tp_weaklistoffset = offsetof(MethodObject, weakreflist);
        return reinterpret_cast<PyTypeObject *>(t);
    }();
    return type;
}

}  // namespace

py::object make_method(const MethodDef &def, py::dict globals) {
    PyTypeObject *t = method_type();
    auto params = std::make_unique<std::vector<Param>>();
    params->push_back(Param{"self"});
    params->insert(params->end(), def.params.begin(), def.params.end());
    auto defaults = std::make_unique<std::vector<py::object>>();
    for (const Param &p : *params) defaults->push_back(literal_value(p.dflt));

    PyObject *op = PyType_GenericAlloc(t, 0);
    if (!op) throw py::error_already_set();
    auto *m = reinterpret_cast<MethodObject *>(op);
    m->def = &def;
    m->params = params.release();
    m->defaults = defaults.release();
    m->globals = globals.inc_ref().ptr();
    m->owner = nullptr;
    m->qualname = PyUnicode_FromString(def.name);
    m->signature = nullptr;
    m->weakreflist = nullptr;
    if (!m->qualname) {
        Py_DECREF(op);
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::object>(op);
}

py::object make_class(py::dict globals, const char *name, py::tuple bases, const char *doc,
                      const std::vector<const MethodDef *> &methods) {
    py::dict ns;
    ns["__module__"] = globals["__name__"];
    ns["__qualname__"] = py::str(name);
    ns["__doc__"] = doc ? py::object(py::str(doc)) : py::object(py::none());
    py::object tf_function;
    std::vector<py::object> made;
    for (const MethodDef *def : methods) {
        py::object meth = make_method(*def, globals);
        made.push_back(meth);
        meth.attr("__qualname__") = py::str(std::string(name) + "." + def->name);
        if (def->tf_function) {
            if (!tf_function) tf_function = py::module_::import("tensorflow").attr("function");
            meth = tf_function(meth);
        }
        ns[def->name] = meth;
    }
    py::object type = py::reinterpret_borrow<py::object>((PyObject *)&PyType_Type);
    py::object cls = type(py::str(name), bases, ns);
    for (py::object &meth : made) reinterpret_cast<MethodObject *>(meth.ptr())->owner = cls.ptr();
    globals[name] = cls;
    return cls;
}

PyObject *init_module(PyModuleDef *def, void (*body)(py::module_ &m)) {
    PyObject *raw = PyModule_Create(def);
    if (!raw) return nullptr;
    py::module_ m = py::reinterpret_steal<py::module_>(raw);
    try {
        static bool registered = false;
        if (!registered) {
            py::object drain = py::reinterpret_steal<py::object>(PyCFunction_New(&kDrainDef, nullptr));
            if (!drain) throw py::error_already_set();
            g_exiting_error = make_exiting_error();  // kept for the life of the process
            if (!g_exiting_error) throw py::error_already_set();
            py::module_::import("atexit").attr("register")(drain);
            pthread_atfork(nullptr, nullptr, reset_in_child);
            registered = true;
        }
        body(m);
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
    return m.release().ptr();
}

}  // namespace pyglue
