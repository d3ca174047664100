#include "common.h"

#include "resample.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace seg {

using pyglue::Call;
using pyglue::Kind;
using pyglue::MethodDef;

// ------------------------------------------------------------ Python helpers

std::vector<py::object> unpack(py::handle obj, std::size_t n) {
    PyObject *it = PyObject_GetIter(obj.ptr());
    if (!it) {
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

void add_note(py::error_already_set &e, const std::string &note) {
#if PY_VERSION_HEX >= 0x030B0000
    PyObject *r = PyObject_CallMethod(e.value().ptr(), "add_note", "s", note.c_str());
    if (r)
        Py_DECREF(r);
    else
        PyErr_Clear();  // the original error matters more than its note
#else
    (void)e;
    (void)note;
#endif
}

static py::list list_of(std::initializer_list<py::handle> items) {
    py::list l(items.size());
    std::size_t i = 0;
    for (py::handle h : items) l[i++] = py::reinterpret_borrow<py::object>(h);
    return l;
}

// shape[:2], the way the slice expression does it.
static py::object first_two(py::handle shape) {
    py::object two = py::int_(2);
    PyObject *sl = PySlice_New(Py_None, two.ptr(), Py_None);
    if (!sl) throw py::error_already_set();
    py::object slice = py::reinterpret_steal<py::object>(sl);
    PyObject *r = PyObject_GetItem(shape.ptr(), slice.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

static py::object item(py::handle seq, Py_ssize_t i) {
    py::object key = py::int_(i);
    PyObject *r = PyObject_GetItem(seq.ptr(), key.ptr());
    if (!r) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// ------------------------------------------------------------------ reading

py::object open_rgb(Call &c, py::handle path) {
    py::object im = c.g("Image").attr("open")(path);
    py::object rgb;
    try {
        rgb = im.attr("convert")("RGB");
    } catch (py::error_already_set &) {
        try {
            im.attr("close")();
        } catch (py::error_already_set &) {
        }
        throw;
    }
    im.attr("close")();
    py::object np = c.g("np");
    // A writable array, as callers (and a rebound letterbox) may change it in
    // place; asarray would hand out PIL's read-only buffer. The copy is small
    // next to the decode.
    return np.attr("array")(rgb, py::arg("dtype") = np.attr("uint8"));
}

Fitted fit_to_shape(Call &c, py::object image, bool letter_box) {
    py::object shape = c.self.attr("shape");
    py::object dims = image.attr("shape");
    py::object oH = item(dims, 0), oW = item(dims, 1);
    Fitted f;
    if (letter_box) {
        py::object r = c.g("letterbox")(image, first_two(shape), py::arg("auto") = false);
        std::vector<py::object> items = unpack(r, 3);
        f.image = items[0];
        f.w = item(items[1], 0) * oW;
        f.h = item(items[1], 1) * oH;
        f.padw = item(items[2], 0);
        f.padh = item(items[2], 1);
    } else {
        py::object width = item(shape, 1), height = item(shape, 0);
        f.image = c.g("cv2").attr("resize")(image, py::make_tuple(width, height));
        f.w = width;
        f.h = height;
        f.padw = py::int_(0);
        f.padh = py::int_(0);
    }
    return f;
}

py::object polygon_array(Call &c, py::handle value) {
    // np.array on nested lists goes element by element through generic
    // machinery; JSON polygons are almost always plain lists of number pairs,
    // which are read here directly into the array np.array would make
    // (int64 when every number is an int, else float64).
    PyObject *v = value.ptr();
    if (PyList_CheckExact(v) && PyList_GET_SIZE(v) > 0) {
        const Py_ssize_t n = PyList_GET_SIZE(v);
        bool plain = true, any_float = false;
        for (Py_ssize_t i = 0; plain && i < n; ++i) {
            PyObject *row = PyList_GET_ITEM(v, i);
            if (!PyList_CheckExact(row) || PyList_GET_SIZE(row) != 2) {
                plain = false;
                break;
            }
            for (int k = 0; k < 2; ++k) {
                PyObject *x = PyList_GET_ITEM(row, k);
                if (PyFloat_CheckExact(x)) {
                    any_float = true;
                } else if (PyLong_CheckExact(x)) {
                    int overflow = 0;
                    PyLong_AsLongLongAndOverflow(x, &overflow);
                    if (overflow) plain = false;  // numpy picks another dtype
                } else {
                    plain = false;
                }
            }
        }
        if (plain) {
            const std::vector<py::ssize_t> dims{n, 2};
            if (any_float) {
                py::array_t<double> a(dims);
                double *p = a.mutable_data();
                for (Py_ssize_t i = 0; i < n; ++i) {
                    PyObject *row = PyList_GET_ITEM(v, i);
                    for (int k = 0; k < 2; ++k) {
                        PyObject *x = PyList_GET_ITEM(row, k);
                        double d = PyFloat_CheckExact(x) ? PyFloat_AS_DOUBLE(x) : PyLong_AsDouble(x);
                        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
                        p[2 * i + k] = d;
                    }
                }
                return std::move(a);
            }
            py::array_t<std::int64_t> a(dims);
            std::int64_t *p = a.mutable_data();
            for (Py_ssize_t i = 0; i < n; ++i) {
                PyObject *row = PyList_GET_ITEM(v, i);
                for (int k = 0; k < 2; ++k) p[2 * i + k] = PyLong_AsLongLong(PyList_GET_ITEM(row, k));
            }
            return std::move(a);
        }
    }
    return c.g("np").attr("array")(value);
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

[[noreturn]] void raise_non_finite() {
    pyglue::raise(PyExc_ValueError,
                  "polygon coordinates must be finite numbers within the float32 range");
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

// ------------------------------------------------------------ ground truth

namespace {

template <class T>
void truncate_points(const T *src, std::int32_t *dst, py::ssize_t n) {
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    for (py::ssize_t i = 0; i < n; ++i) {
        const double v = static_cast<double>(src[i]);
        if (!std::isfinite(v)) raise_non_finite();
        // Toward zero, as a cast to int32 does; pinned to the int32 range
        // rather than wrapping (OpenCV clips what lies outside the canvas).
        const double t = std::trunc(v);
        dst[i] = static_cast<std::int32_t>(t < lo ? lo : (t > hi ? hi : t));
    }
}

py::object build_gt_mask_plain(Call &c) {
    py::object np = c.g("np");
    py::object cv2 = c.g("cv2");
    py::object canvas = np.attr("zeros")(py::arg("shape") = first_two(c.self.attr("shape")),
                                         py::arg("dtype") = np.attr("int32"));
    // np.asarray reads eager tensors and NumPy arrays alike.
    py::array masks = np.attr("asarray")(c[0]);
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> classes(
        np.attr("asarray")(c[1]));

    if (masks.size() == 0 || classes.size() == 0) return canvas;
    if (masks.ndim() != 3 || masks.shape(2) != 2)
        throw py::value_error(
            py::str("masks must be an M x num_points x 2 array of (x, y) points; got shape {}")
                .format(masks.attr("shape"))
                .cast<std::string>());
    const py::ssize_t count = std::min<py::ssize_t>(masks.shape(0), classes.size());
    const py::ssize_t points = masks.shape(1);
    if (points == 0) return canvas;

    py::array_t<std::int32_t> pts(std::vector<py::ssize_t>{masks.shape(0), points, 2});
    const py::ssize_t n = masks.size();
    if (py::isinstance<py::array_t<float>>(masks) && (masks.flags() & py::array::c_style)) {
        truncate_points(static_cast<const float *>(masks.data()), pts.mutable_data(), n);
    } else {
        py::array_t<double, py::array::c_style | py::array::forcecast> d(masks);
        truncate_points(d.data(), pts.mutable_data(), n);
    }

    py::object fill = cv2.attr("fillPoly");
    const std::int64_t *cls = classes.data();
    std::int32_t *base = pts.mutable_data();
    for (py::ssize_t i = 0; i < count; ++i) {
        // A view of polygon i; `pts` keeps the memory alive.
        py::array_t<std::int32_t> poly(std::vector<py::ssize_t>{points, 2},
                                       base + static_cast<std::size_t>(i * points * 2), pts);
        // Class ids are 0-based, the mask reserves 0 for background.
        fill(canvas, list_of({poly}), py::arg("color") = py::int_(cls[i] + 1));
    }
    return canvas;
}

py::object build_gt_mask_tf(Call &c) {
    std::vector<py::object> data = unpack(c[0], 3);
    py::object tf = c.g("tf");
    py::object mask = tf.attr("py_function")(c.self.attr("_build_gt_mask"), list_of({data[1], data[2]}),
                                             tf.attr("int32"));
    return py::make_tuple(data[0], mask);
}

// ------------------------------------------------------------ augmentation

py::object as_dtype_unshared(py::object np, py::handle value, py::handle dtype, py::handle input) {
    py::object a = np.attr("asarray")(value, py::arg("dtype") = dtype);
    // The library may hand the input back untouched; the caller must still
    // get an array of its own.
    if (truthy(np.attr("may_share_memory")(a, input))) a = np.attr("array")(a);
    return a;
}

// The augmentation library clips masks of types whose range it does not know
// (int32 among them) to [0, 1] in its piecewise-affine warp, which would turn
// every class of a sample into class 1. Class masks go in as the narrowest
// unsigned type that holds their values; other masks are passed unchanged.
py::object narrow_class_mask(py::handle mask) {
    using Int32Array = py::array_t<int32_t, py::array::c_style>;
    if (!py::isinstance<Int32Array>(mask)) return py::reinterpret_borrow<py::object>(mask);
    Int32Array in = py::reinterpret_borrow<Int32Array>(mask);
    const int32_t *p = in.data();
    const py::ssize_t n = in.size();
    int32_t lo = 0, hi = 0;
    for (py::ssize_t i = 0; i < n; ++i) {
        lo = std::min(lo, p[i]);
        hi = std::max(hi, p[i]);
    }
    if (lo < 0 || hi > 65535) return std::move(in);
    std::vector<py::ssize_t> dims(in.shape(), in.shape() + in.ndim());
    if (hi <= 255) {
        py::array_t<uint8_t> out(dims);
        std::copy(p, p + n, out.mutable_data());
        return std::move(out);
    }
    py::array_t<uint16_t> out(dims);
    std::copy(p, p + n, out.mutable_data());
    return std::move(out);
}

py::object apply_augmentation(Call &c) {
    py::object out = c.self.attr("_augmentation_pipeline")(py::arg("image") = c[0],
                                                            py::arg("mask") = narrow_class_mask(c[1]));
    py::object np = c.g("np");
    py::object image = as_dtype_unshared(np, out["image"], np.attr("uint8"), c[0]);
    py::object mask = as_dtype_unshared(np, out["mask"], np.attr("int32"), c[1]);
    return py::make_tuple(image, mask);
}

py::object tf_apply_augmentation(Call &c) {
    py::object tf = c.g("tf");
    py::object r = tf.attr("numpy_function")(c.self.attr("apply_augmentation"), list_of({c[0], c[1]}),
                                             py::arg("Tout") = list_of({tf.attr("uint8"), tf.attr("int32")}));
    std::vector<py::object> items = unpack(r, 2);
    return py::make_tuple(items[0], items[1]);
}

}  // namespace

const MethodDef kBuildGtMaskPlain{
    "_build_gt_mask",
    {{"masks"}, {"classes"}},
    build_gt_mask_plain,
    "Paint the ground-truth mask of one sample.\n"
    "\n"
    "masks: M x num_points x 2 polygons in output pixels (x, y), or an empty\n"
    "array; classes: the M class ids (eager tensors or arrays). Returns an int32\n"
    "array of shape[:2]: 0 is background, a polygon of class k is filled with\n"
    "k + 1, later polygons over earlier ones. Coordinates are truncated toward\n"
    "zero; whatever lies outside the canvas is clipped."};

const MethodDef kBuildGtMask{
    "build_gt_mask",
    {{"data"}},
    build_gt_mask_tf,
    "data = [image, polygons, classes] (tensors) -> (image, int32 mask tensor).\n"
    "\n"
    "The mask is painted by _build_gt_mask through tf.py_function; the image\n"
    "passes through unchanged.",
    true};

const MethodDef kApplyAugmentation{
    "apply_augmentation",
    {{"image"}, {"mask"}},
    apply_augmentation,
    "Augment one sample with the dataset's pipeline.\n"
    "\n"
    "image: H x W x 3 uint8 array; mask: H x W class ids. Returns (image as\n"
    "uint8, mask as int32), new arrays that do not share memory with the inputs."};

const MethodDef kTfApplyAugmentation{
    "tf_apply_augmentation",
    {{"image"}, {"mask"}},
    tf_apply_augmentation,
    "apply_augmentation inside a tf.data map (tf.numpy_function): returns\n"
    "(image tf.uint8, mask tf.int32) tensors without a static shape.",
    true};

// ---------------------------------------------------- augmentation pipeline

namespace {

py::object call_kw(py::handle fn, std::initializer_list<std::pair<const char *, py::object>> kw) {
    py::dict d;
    for (const auto &p : kw) d[py::str(p.first)] = p.second;
    return fn(**d);
}

py::tuple pair(double a, double b) { return py::make_tuple(py::float_(a), py::float_(b)); }
py::tuple ipair(long a, long b) { return py::make_tuple(py::int_(a), py::int_(b)); }

}  // namespace

py::object build_augmentation_pipeline(Call &c, bool channel_ops) {
    py::object A = c.g("A");
    py::object shape = c.self.attr("shape");
    py::object five = py::int_(5), two = py::int_(2);
    auto floordiv = [](py::handle a, py::handle b) {
        PyObject *r = PyNumber_FloorDivide(a.ptr(), b.ptr());
        if (!r) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(r);
    };
    // Each value has the type the library documents for it: floats for
    // probabilities and fractions, ints for pixels, degrees and codes.
    py::tuple grey = py::make_tuple(114, 114, 114);
    py::object T = py::bool_(true), F = py::bool_(false), None = py::none();

    py::object flip = call_kw(A.attr("HorizontalFlip"), {{"p", py::float_(0.5)}});
    py::object ssr = call_kw(A.attr("ShiftScaleRotate"),
                             {{"always_apply", T},
                              {"p", py::float_(0.5)},
                              {"shift_limit_x", pair(-0.5, 0.5)},
                              {"shift_limit_y", pair(-0.5, 0.5)},
                              {"scale_limit", pair(-0.3, 1.2)},
                              {"rotate_limit", ipair(-20, 20)},
                              {"interpolation", py::int_(4)},
                              {"border_mode", py::int_(0)},
                              {"value", grey},
                              {"mask_value", None}});
    py::list transforms;
    transforms.append(A.attr("OneOf")(list_of({flip, ssr})));
    if (channel_ops) {
        transforms.append(call_kw(A.attr("ChannelDropout"), {{"always_apply", F},
                                                             {"p", py::float_(0.3)},
                                                             {"channel_drop_range", ipair(1, 1)},
                                                             {"fill_value", py::int_(0)}}));
        transforms.append(
            call_kw(A.attr("ChannelShuffle"), {{"always_apply", F}, {"p", py::float_(0.1)}}));
    }
    transforms.append(call_kw(A.attr("Defocus"), {{"always_apply", F},
                                                  {"p", py::float_(0.05)},
                                                  {"radius", ipair(3, 10)},
                                                  {"alias_blur", pair(0.1, 0.5)}}));
    py::object elastic = call_kw(A.attr("ElasticTransform"), {{"always_apply", F},
                                                              {"p", py::float_(0.2)},
                                                              {"alpha", py::float_(1.0)},
                                                              {"sigma", py::float_(50.0)},
                                                              {"alpha_affine", py::float_(50.0)},
                                                              {"interpolation", py::int_(0)},
                                                              {"border_mode", py::int_(0)},
                                                              {"value", grey},
                                                              {"mask_value", None},
                                                              {"approximate", F},
                                                              {"same_dxdy", F}});
    py::object affine = call_kw(A.attr("PiecewiseAffine"), {{"always_apply", F},
                                                            {"p", py::float_(0.2)},
                                                            {"scale", pair(0.03, 0.05)},
                                                            {"nb_rows", ipair(4, 4)},
                                                            {"nb_cols", ipair(4, 4)},
                                                            {"interpolation", py::int_(0)},
                                                            {"mask_interpolation", py::int_(0)},
                                                            {"cval", py::int_(0)},
                                                            {"cval_mask", py::int_(0)},
                                                            {"mode", py::str("constant")},
                                                            {"absolute_scale", py::int_(0)},
                                                            {"keypoints_threshold", py::float_(0.01)}});
    transforms.append(A.attr("OneOf")(list_of({elastic, affine})));
    py::object H1 = item(shape, 0), H2 = item(shape, 0), H = item(shape, 0), W = item(shape, 1);
    transforms.append(call_kw(A.attr("RandomSizedCrop"),
                              {{"always_apply", F},
                               {"p", py::float_(0.2)},
                               {"min_max_height", py::make_tuple(floordiv(H1, five), floordiv(H2, two))},
                               {"height", H},
                               {"width", W},
                               {"w2h_ratio", py::float_(1.0)},
                               {"interpolation", py::int_(0)}}));
    return A.attr("Compose")(transforms);
}

// ------------------------------------------------------------ training tail

py::object train_tail(Call &c, py::object ds, py::handle batch_size, py::handle prefetch) {
    py::object tf = c.g("tf");
    py::object autotune = tf.attr("data").attr("AUTOTUNE");
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::cpp_function to_mask([self](py::object x1, py::object x2, py::object x3) {
        return self.attr("build_gt_mask")(list_of({x1, x2, x3}));
    });
    ds = ds.attr("map")(to_mask, py::arg("num_parallel_calls") = autotune);
    ds = ds.attr("map")(self.attr("tf_apply_augmentation"), py::arg("num_parallel_calls") = autotune);
    py::object shape = self.attr("shape");
    ds = ds.attr("padded_batch")(py::arg("batch_size") = batch_size, py::arg("drop_remainder") = true,
                                 py::arg("padded_shapes") = py::make_tuple(shape, first_two(shape)));
    return ds.attr("prefetch")(py::arg("buffer_size") = prefetch);
}

}  // namespace seg
