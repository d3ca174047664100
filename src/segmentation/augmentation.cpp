#include "augmentation.h"

#include "augment/recipe.h"
#include "idioms.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace seg {

using pyglue::Call;
using pyglue::MethodDef;
using pyglue::getitem;
using pyglue::list_of;
using pyglue::truthy;
using pyglue::unpack;

namespace {

py::object as_dtype_unshared(py::object np, py::handle value, py::handle dtype, py::handle input) {
    py::object a = np.attr("asarray")(value, py::arg("dtype") = dtype);
    // The library may hand the input back untouched; the caller must still
    // get an array of its own.
    if (truthy(np.attr("may_share_memory")(a, input))) a = np.attr("array")(a);
    return a;
}

// The augmentation library clips masks of types whose range it does not know
// (int32, int64 among them) to [0, 1] in its piecewise-affine warp, which
// turned every class of a sample into class 1. So a class mask goes in as
// the narrowest unsigned type that holds it: its own values when they lie in
// 0..65535, otherwise codes of its distinct values (0 keeps code 0, the
// value the warps fill uncovered pixels with), mapped back afterwards. Every
// mask entry resamples by nearest neighbour, so codes are never blended.
struct CodedMask {
    py::object mask;             // what the library is given
    std::vector<int32_t> value;  // value[code]; empty when the mask holds its own values
};

template <class T>
py::array_t<T> copy_as(const int64_t *p, py::ssize_t n, const std::vector<py::ssize_t> &dims) {
    py::array_t<T> out(dims);
    T *o = out.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) o[i] = static_cast<T>(p[i]);
    return out;
}

CodedMask code_class_mask(py::handle np, py::handle mask) {
    py::object m = np.attr("asarray")(mask);
    const std::string kind = m.attr("dtype").attr("kind").cast<std::string>();
    if (kind == "b") m = m.attr("astype")(np.attr("uint8"));
    else if (kind != "i" && kind != "u")
        throw py::type_error("the mask must hold integer class ids, got an array of " +
                             pyglue::text(m.attr("dtype")));
    CodedMask r;
    if (m.attr("size").cast<py::ssize_t>() == 0) {
        r.mask = m.attr("astype")(np.attr("uint8"));
        return r;
    }
    // The result is int32: a value it cannot hold cannot be kept.
    for (const char *end : {"min", "max"}) {
        py::object v = m.attr(end)();
        if (pyglue::compare(v, py::int_(std::numeric_limits<int32_t>::min()), Py_LT) ||
            pyglue::compare(v, py::int_(std::numeric_limits<int32_t>::max()), Py_GT))
            pyglue::raise(PyExc_ValueError, "mask value " + pyglue::text(v) +
                                                " does not fit the int32 class mask");
    }
    // Native byte order and layout, whatever the input had.
    py::array_t<int64_t, py::array::c_style | py::array::forcecast> a(m);
    const int64_t *p = a.data();
    const py::ssize_t n = a.size();
    std::vector<py::ssize_t> dims(a.shape(), a.shape() + a.ndim());
    const auto [lo_it, hi_it] = std::minmax_element(p, p + n);
    const int64_t lo = *lo_it, hi = *hi_it;
    if (lo >= 0 && hi <= 255) {
        r.mask = copy_as<uint8_t>(p, n, dims);
        return r;
    }
    if (lo >= 0 && hi <= 65535) {
        r.mask = copy_as<uint16_t>(p, n, dims);
        return r;
    }
    std::vector<int64_t> sorted(p, p + n);
    sorted.push_back(0);
    std::sort(sorted.begin(), sorted.end());
    sorted.erase(std::unique(sorted.begin(), sorted.end()), sorted.end());
    if (sorted.size() > 65536)
        pyglue::raise(PyExc_ValueError, "the mask holds " + std::to_string(sorted.size()) +
                                            " distinct class ids; at most 65536 can be augmented");
    // Code 0 is value 0; the others keep their sorted order.
    const std::size_t zero = static_cast<std::size_t>(
        std::lower_bound(sorted.begin(), sorted.end(), int64_t{0}) - sorted.begin());
    r.value.reserve(sorted.size());
    r.value.push_back(0);
    for (std::size_t k = 0; k < sorted.size(); ++k)
        if (k != zero) r.value.push_back(static_cast<int32_t>(sorted[k]));
    py::array_t<uint16_t> codes(dims);
    uint16_t *o = codes.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        const std::size_t k = static_cast<std::size_t>(
            std::lower_bound(sorted.begin(), sorted.end(), p[i]) - sorted.begin());
        o[i] = static_cast<uint16_t>(k == zero ? 0 : (k < zero ? k + 1 : k));
    }
    r.mask = std::move(codes);
    return r;
}

// The augmented codes back to class ids (int32).
py::object decode_class_mask(py::handle np, py::handle out, const std::vector<int32_t> &value) {
    py::array_t<int64_t, py::array::c_style | py::array::forcecast> codes(
        np.attr("asarray")(out));
    py::array_t<int32_t> result(std::vector<py::ssize_t>(codes.shape(), codes.shape() + codes.ndim()));
    const int64_t *c = codes.data();
    int32_t *o = result.mutable_data();
    for (py::ssize_t i = 0; i < codes.size(); ++i) {
        if (c[i] < 0 || static_cast<std::size_t>(c[i]) >= value.size())
            pyglue::raise(PyExc_RuntimeError, "the augmentation returned a mask code that no class id has");
        o[i] = value[static_cast<std::size_t>(c[i])];
    }
    return std::move(result);
}

py::object apply_augmentation(Call &c) {
    py::object np = c.g("np");
    CodedMask coded = code_class_mask(np, c[1]);
    py::object out = c.self.attr("_augmentation_pipeline")(py::arg("image") = c[0],
                                                            py::arg("mask") = coded.mask);
    py::object image = as_dtype_unshared(np, out["image"], np.attr("uint8"), c[0]);
    py::object mask = coded.value.empty()
                          ? as_dtype_unshared(np, out["mask"], np.attr("int32"), c[1])
                          : decode_class_mask(np, out["mask"], coded.value);
    return py::make_tuple(image, mask);
}

py::object tf_apply_augmentation(Call &c) {
    py::object tf = c.g("tf");
    py::object r = tf.attr("numpy_function")(pyglue::weak_method(c.self, "apply_augmentation"), list_of({c[0], c[1]}),
                                             py::arg("Tout") = list_of({tf.attr("uint8"), tf.attr("int32")}));
    std::vector<py::object> items = unpack(r, 2);
    return py::make_tuple(items[0], items[1]);
}

}  // namespace

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

namespace r = trellisk::augment::recipe;

py::tuple pair(r::Range v) { return py::make_tuple(py::float_(v.lo), py::float_(v.hi)); }
py::tuple ipair(r::IntRange v) { return py::make_tuple(py::int_(v.lo), py::int_(v.hi)); }

}  // namespace

// The entries and values of the recipe (augment/recipe.h), each passed with
// the type the library documents for it: floats for probabilities and
// fractions, ints for pixels, degrees and codes.
py::object build_augmentation_pipeline(Call &c, bool channel_ops) {
    py::object A = c.g("A");
    py::object shape = c.self.attr("shape");
    // Without a library release that takes these arguments (missing, or 1.4
    // and later, which refuse or silently drop several of them), the native
    // engine serves: same entries, same ranges.
    py::object compat = py::module_::import("quorvane.trellisk._compat");
    if (!truthy(compat.attr("library_pipeline_usable")(A)))
        return compat.attr("native_pipeline")(getitem(shape, 0), getitem(shape, 1),
                                              py::bool_(channel_ops), A);
    // Its warp repeats a scikit-image deprecation notice on every sample.
    compat.attr("quiet_library_notices")();
    auto floordiv = [](py::handle a, int b) {
        PyObject *q = PyNumber_FloorDivide(a.ptr(), py::int_(b).ptr());
        if (!q) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(q);
    };
    py::tuple grey = py::make_tuple(r::kFill, r::kFill, r::kFill);
    py::object None = py::none();
    auto p = [](double v) { return py::float_(v); };
    auto code = [](int v) { return py::int_(v); };
    auto flag = [](bool v) { return py::bool_(v); };

    py::object flip = call_kw(A.attr("HorizontalFlip"), {{"p", p(r::kFlipP)}});
    py::object ssr = call_kw(A.attr("ShiftScaleRotate"),
                             {{"always_apply", flag(r::kShiftScaleRotateAlways)},
                              {"p", p(r::kShiftScaleRotateP)},
                              {"shift_limit_x", pair(r::kShiftX)},
                              {"shift_limit_y", pair(r::kShiftY)},
                              {"scale_limit", pair(r::kScaleLimit)},
                              {"rotate_limit", ipair(r::kRotateLimit)},
                              {"interpolation", code(r::kShiftScaleRotateInterpolation)},
                              {"border_mode", code(r::kConstantBorder)},
                              {"value", grey},
                              {"mask_value", None}});
    py::list transforms;
    transforms.append(A.attr("OneOf")(list_of({flip, ssr})));
    if (channel_ops) {
        transforms.append(call_kw(A.attr("ChannelDropout"), {{"always_apply", flag(false)},
                                                             {"p", p(r::kChannelDropoutP)},
                                                             {"channel_drop_range", ipair(r::kChannelDropRange)},
                                                             {"fill_value", code(r::kChannelFill)}}));
        transforms.append(call_kw(A.attr("ChannelShuffle"),
                                  {{"always_apply", flag(false)}, {"p", p(r::kChannelShuffleP)}}));
    }
    transforms.append(call_kw(A.attr("Defocus"), {{"always_apply", flag(false)},
                                                  {"p", p(r::kDefocusP)},
                                                  {"radius", ipair(r::kDefocusRadius)},
                                                  {"alias_blur", pair(r::kAliasBlur)}}));
    py::object elastic = call_kw(A.attr("ElasticTransform"), {{"always_apply", flag(false)},
                                                              {"p", p(r::kElasticP)},
                                                              {"alpha", p(r::kElasticAlpha)},
                                                              {"sigma", p(r::kElasticSigma)},
                                                              {"alpha_affine", p(r::kElasticAlphaAffine)},
                                                              {"interpolation", code(r::kElasticInterpolation)},
                                                              {"border_mode", code(r::kConstantBorder)},
                                                              {"value", grey},
                                                              {"mask_value", None},
                                                              {"approximate", flag(false)},
                                                              {"same_dxdy", flag(false)}});
    py::object affine = call_kw(A.attr("PiecewiseAffine"),
                                {{"always_apply", flag(false)},
                                 {"p", p(r::kPiecewiseP)},
                                 {"scale", pair(r::kPiecewiseScale)},
                                 {"nb_rows", ipair({r::kGrid, r::kGrid})},
                                 {"nb_cols", ipair({r::kGrid, r::kGrid})},
                                 {"interpolation", code(r::kPiecewiseInterpolation)},
                                 {"mask_interpolation", code(r::kPiecewiseInterpolation)},
                                 {"cval", code(r::kPiecewiseFill)},
                                 {"cval_mask", code(r::kPiecewiseFill)},
                                 {"mode", py::str("constant")},
                                 {"absolute_scale", code(r::kPiecewiseAbsoluteScale)},
                                 {"keypoints_threshold", p(r::kKeypointsThreshold)}});
    transforms.append(A.attr("OneOf")(list_of({elastic, affine})));
    py::object H1 = getitem(shape, 0), H2 = getitem(shape, 0), H = getitem(shape, 0), W = getitem(shape, 1);
    transforms.append(call_kw(A.attr("RandomSizedCrop"),
                              {{"always_apply", flag(false)},
                               {"p", p(r::kCropP)},
                               {"min_max_height", py::make_tuple(floordiv(H1, r::kCropMinDivisor),
                                                                 floordiv(H2, r::kCropMaxDivisor))},
                               {"height", H},
                               {"width", W},
                               {"w2h_ratio", p(r::kCropAspect)},
                               {"interpolation", code(r::kCropInterpolation)}}));
    return A.attr("Compose")(transforms);
}

}  // namespace seg
