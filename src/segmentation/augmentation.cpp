#include "augmentation.h"

#include "idioms.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>

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
    py::object H1 = getitem(shape, 0), H2 = getitem(shape, 0), H = getitem(shape, 0), W = getitem(shape, 1);
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

}  // namespace seg
