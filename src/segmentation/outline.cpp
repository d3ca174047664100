#include "outline.h"

#include "resample.h"

#include <pybind11/numpy.h>

#include <cmath>
#include <cstdint>
#include <limits>

namespace seg {

using pyglue::Call;

py::object number_pairs(PyObject *const *items, Py_ssize_t count) {
    if (count <= 0 || count % 2) return py::object();
    bool any_float = false;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *x = items[i];
        if (PyFloat_CheckExact(x)) {
            any_float = true;
        } else if (PyLong_CheckExact(x)) {
            int overflow = 0;
            PyLong_AsLongLongAndOverflow(x, &overflow);
            if (overflow) return py::object();  // numpy picks another dtype
        } else {
            return py::object();
        }
    }
    const std::vector<py::ssize_t> dims{count / 2, 2};
    if (any_float) {
        py::array_t<double> a(dims);
        double *p = a.mutable_data();
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject *x = items[i];
            const double d = PyFloat_CheckExact(x) ? PyFloat_AS_DOUBLE(x) : PyLong_AsDouble(x);
            if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
            p[i] = d;
        }
        return std::move(a);
    }
    py::array_t<std::int64_t> a(dims);
    std::int64_t *p = a.mutable_data();
    for (Py_ssize_t i = 0; i < count; ++i) p[i] = PyLong_AsLongLong(items[i]);
    return std::move(a);
}

py::object polygon_array(Call &c, py::handle value) {
    // np.array on nested lists goes element by element through generic
    // machinery; JSON polygons are almost always plain lists of number pairs,
    // which are read here directly into the array np.array would make.
    PyObject *v = value.ptr();
    if (PyList_CheckExact(v) && PyList_GET_SIZE(v) > 0) {
        const Py_ssize_t n = PyList_GET_SIZE(v);
        std::vector<PyObject *> items;
        items.reserve(static_cast<std::size_t>(2 * n));
        for (Py_ssize_t i = 0; i < n; ++i) {
            PyObject *row = PyList_GET_ITEM(v, i);
            if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) != 2) break;
            items.push_back(PyList_GET_ITEM(row, 0));
            items.push_back(PyList_GET_ITEM(row, 1));
        }
        if (static_cast<Py_ssize_t>(items.size()) == 2 * n) {
            py::object a = number_pairs(items.data(), 2 * n);
            if (a) return a;
        }
    }
    return c.g("np").attr("array")(value);
}

void raise_non_finite() {
    pyglue::raise(PyExc_ValueError,
                  "polygon coordinates must be finite numbers within the float32 range");
}

namespace {

using PointsArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

PointsArray as_points(py::handle points) {
    PointsArray a = PointsArray(py::reinterpret_borrow<py::object>(points));
    if (a.ndim() != 2 || a.shape(1) != 2) {
        py::tuple shape(a.ndim());
        for (py::ssize_t i = 0; i < a.ndim(); ++i) shape[i] = py::int_(a.shape(i));
        throw py::value_error(
            py::str("a polygon must be a list of [x, y] vertices; got an array of shape {}")
                .format(shape)
                .cast<std::string>());
    }
    return a;
}

// True while the module's interp1d is SciPy's own, whose result the native
// kernel reproduces.
bool interp1d_is_scipy(Call &c) {
    py::object mine = c.g("interp1d");
    PyObject *mod = PyImport_GetModule(py::str("scipy.interpolate").ptr());
    if (!mod) {
        if (PyErr_Occurred()) throw py::error_already_set();
        return false;
    }
    py::object scipy_interpolate = py::reinterpret_steal<py::object>(mod);
    PyObject *ref = PyObject_GetAttrString(mod, "interp1d");
    if (!ref) {
        PyErr_Clear();
        return false;
    }
    const bool same = ref == mine.ptr();
    Py_DECREF(ref);
    return same;
}

py::object empty_float32(Call &c) {
    py::object np = c.g("np");
    return np.attr("zeros")(0, py::arg("dtype") = np.attr("float32"));
}

}  // namespace

Resampled resample_outlines(Call &c, const std::vector<py::object> &points, py::handle num_points) {
    Resampled res;
    if (points.empty()) {
        res.masks = empty_float32(c);
        return res;
    }
    PyObject *idx = PyNumber_Index(num_points.ptr());
    if (!idx) throw py::error_already_set();
    py::object num_obj = py::reinterpret_steal<py::object>(idx);
    int overflow = 0;
    const long long num = PyLong_AsLongLongAndOverflow(idx, &overflow);
    if (num == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow > 0) pyglue::raise(PyExc_OverflowError, "num_points is too large");
    if (overflow < 0 || num < 1)
        throw py::value_error(
            py::str("num_points must be at least 1, got {}").format(num_obj).cast<std::string>());

    const std::size_t count = points.size();
    std::vector<PointsArray> arrays;
    arrays.reserve(count);
    std::vector<Polyline> lines;
    lines.reserve(count);
    for (const py::object &p : points) {
        arrays.push_back(as_points(p));
        lines.push_back(Polyline{arrays.back().data(), static_cast<std::size_t>(arrays.back().shape(0))});
    }

    if (interp1d_is_scipy(c)) {
        py::array_t<float> out(std::vector<py::ssize_t>{static_cast<py::ssize_t>(count),
                                                        static_cast<py::ssize_t>(num), 2});
        float *dst = out.mutable_data();
        std::vector<Outline> status(count);
        const std::size_t written = pyglue::without_gil([&] {
            return resample_all(lines.data(), count, static_cast<std::size_t>(num), dst,
                                status.data());
        });
        for (std::size_t k = 0; k < count; ++k) {
            if (status[k] == Outline::NonFinite) raise_non_finite();
            if (status[k] == Outline::Ok) res.kept.push_back(k);
        }
        if (written == 0)
            res.masks = empty_float32(c);
        else if (written == count)
            res.masks = std::move(out);
        else
            res.masks = out[py::slice(0, static_cast<py::ssize_t>(written), 1)];
        return res;
    }

    // A caller rebound interp1d: use theirs, with the arguments of the
    // reference computation.
    py::object np = c.g("np");
    py::object interp1d = c.g("interp1d");
    py::object alpha = np.attr("linspace")(0, 1, num_points);
    py::list results;
    std::vector<double> s;
    std::vector<std::size_t> keep;
    for (std::size_t k = 0; k < count; ++k) {
        const Outline st = arc_length(lines[k], s, keep);
        if (st == Outline::NonFinite) raise_non_finite();
        if (st == Outline::Degenerate) continue;
        py::array_t<double> distance(static_cast<py::ssize_t>(s.size()), s.data());
        py::object pts = points[k];
        if (keep.size() != lines[k].n) {
            py::array_t<py::ssize_t> rows(static_cast<py::ssize_t>(keep.size()));
            for (std::size_t i = 0; i < keep.size(); ++i) rows.mutable_at(i) = static_cast<py::ssize_t>(keep[i]);
            pts = np.attr("asarray")(pts)[rows];
        }
        py::object interpolator =
            interp1d(distance, pts, py::arg("kind") = "slinear", py::arg("axis") = 0);
        results.append(interpolator(alpha));
        res.kept.push_back(k);
    }
    if (results.empty()) {
        res.masks = empty_float32(c);
        return res;
    }
    py::array_t<float> masks = np.attr("array")(results, py::arg("dtype") = np.attr("float32"));
    const float *m = masks.data();
    for (py::ssize_t i = 0; i < masks.size(); ++i)
        if (!std::isfinite(m[i])) raise_non_finite();
    res.masks = std::move(masks);
    return res;
}

py::object int32_array(Call &c, const std::vector<py::object> &values) {
    py::list l(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) l[i] = values[i];
    py::object np = c.g("np");
    return np.attr("array")(l, py::arg("dtype") = np.attr("int32"));
}

}  // namespace seg
