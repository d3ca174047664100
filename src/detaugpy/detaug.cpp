// quorvane.trellisk.datasets._detaug: the Python face of the detection
// augmentation engine. It converts aug_cfg and the arrays, draws the plan,
// then releases the GIL around the pixel and box work.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <string>
#include <vector>

#include "detaug/engine.h"
#include "pyglue.h"

namespace py = pybind11;
namespace da = trellisk::detaug;

namespace {

[[noreturn]] void fail(const std::string &msg) { pyglue::raise(PyExc_ValueError, msg); }

std::string type_name(py::handle obj) { return py::str(py::type::handle_of(obj).attr("__name__")); }

bool is_boolean(py::handle obj) {
    if (PyBool_Check(obj.ptr())) return true;
    const std::string t = type_name(obj);
    return t == "bool_" || t == "bool";
}

// One aug_cfg value as the kernel reads it. Strings, mappings and other
// objects keep only their type name, for the error message.
da::Value to_value(py::handle obj) {
    da::Value v;
    if (obj.is_none()) return v;
    if (is_boolean(obj)) {
        v.kind = da::Value::Kind::boolean;
        return v;
    }
    if (PyLong_Check(obj.ptr()) || (!PyFloat_Check(obj.ptr()) && py::hasattr(obj, "__index__") &&
                                    !PyUnicode_Check(obj.ptr()) && !PyBytes_Check(obj.ptr()))) {
        py::int_ i = py::reinterpret_steal<py::int_>(PyNumber_Index(obj.ptr()));
        if (!i) throw py::error_already_set();
        double d = PyLong_AsDouble(i.ptr());
        if (d == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            d = py::int_(0) < i ? HUGE_VAL : -HUGE_VAL;
        }
        return da::Value::number(d, true);
    }
    if (PyFloat_Check(obj.ptr()) || type_name(obj).rfind("float", 0) == 0) {
        const double d = PyFloat_AsDouble(obj.ptr());
        if (d == -1.0 && PyErr_Occurred()) throw py::error_already_set();
        return da::Value::number(d, false);
    }
    if (PyList_Check(obj.ptr()) || PyTuple_Check(obj.ptr())) {
        v.kind = da::Value::Kind::list;
        for (py::handle item : obj) {
            da::Value x = to_value(item);
            if (x.kind != da::Value::Kind::number) {
                v.type_name = "list holding " + type_name(item);
                continue;
            }
            v.numbers.push_back(x.numbers[0]);
        }
        return v;
    }
    v.kind = da::Value::Kind::other;
    v.type_name = type_name(obj);
    return v;
}

py::object from_value(const da::Value &v) {
    switch (v.kind) {
        case da::Value::Kind::number:
            return v.integral ? py::object(py::int_(int64_t(v.numbers[0]))) : py::object(py::float_(v.numbers[0]));
        case da::Value::Kind::list: {
            py::list l;
            for (double x : v.numbers) l.append(x);
            return std::move(l);
        }
        default: return py::none();
    }
}

class DetectionAugmentConfig {
public:
    DetectionAugmentConfig(py::object aug_cfg, int height, int width) {
        da::Items items;
        if (!aug_cfg.is_none()) {
            if (!py::isinstance(aug_cfg, py::module_::import("collections.abc").attr("Mapping")))
                fail("aug_cfg must be a mapping from technique or setting to value (or None), got " +
                     type_name(aug_cfg) + "; valid keys: " + da::valid_keys_text());
            for (py::handle key : aug_cfg.attr("keys")()) {
                if (!PyUnicode_Check(key.ptr()))
                    fail("aug_cfg keys must be strings, got " + std::string(py::repr(key)) + " (" + type_name(key) +
                         "); valid keys: " + da::valid_keys_text());
                items.emplace_back(py::cast<std::string>(key), to_value(aug_cfg[key]));
            }
        }
        std::string e = da::make_config(items, height, width, &config_);
        if (!e.empty()) fail(e);
        serialized_ = da::serialize(config_);
    }
    explicit DetectionAugmentConfig(const da::Config &c) : config_(c), serialized_(da::serialize(c)) {}

    static DetectionAugmentConfig from_serialized(const std::string &s) {
        da::Config c;
        std::string e = da::parse_serialized(s, &c);
        if (!e.empty()) fail(e);
        return DetectionAugmentConfig(c);
    }

    py::dict as_dict() const {
        py::dict d;
        for (const auto &kv : da::settings(config_)) d[py::str(kv.first)] = from_value(kv.second);
        return d;
    }

    // The techniques applied at all, with their frequencies: the settings
    // come in key order, techniques first.
    py::dict techniques() const {
        py::dict d;
        const auto all = da::settings(config_);
        for (int t = 0; t < da::kTechniques; ++t)
            if (config_.freq[t] > 0) d[py::str(all[size_t(t)].first)] = config_.freq[t];
        return d;
    }

    std::string repr() const {
        std::string s = "DetectionAugmentConfig({";
        bool first = true;
        const auto all = da::settings(config_);
        for (size_t i = 0; i < all.size(); ++i) {
            const auto &kv = all[i];
            const auto &v = kv.second;
            if (i < size_t(da::kTechniques) && !(v.numbers[0] > 0)) continue;  // techniques that are off
            s += (first ? "" : ", ") + ("'" + kv.first + "': ") + std::string(py::repr(from_value(v)));
            first = false;
        }
        return s + "}, height=" + std::to_string(config_.height) + ", width=" + std::to_string(config_.width) + ")";
    }

    const da::Config &config() const { return config_; }
    const std::string &serialized() const { return serialized_; }

private:
    da::Config config_;
    std::string serialized_;
};

std::string describe(const py::array &a) {
    std::string shape = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) shape += (i ? ", " : "") + std::to_string(a.shape(i));
    if (a.ndim() == 1) shape += ",";
    return std::string(py::str(a.dtype())) + " array of shape " + shape + ")";
}

py::array as_array(py::handle obj, const char *name) {
    if (!py::isinstance<py::array>(obj))
        fail(std::string(name) + " must be a numpy.ndarray, got " + type_name(obj));
    return py::reinterpret_borrow<py::array>(obj);
}

uint64_t low_bits(py::handle obj, const char *name) {
    if (!PyLong_Check(obj.ptr()) && !py::hasattr(obj, "__index__"))
        fail(std::string(name) + " must be an int, got " + type_name(obj));
    if (is_boolean(obj)) fail(std::string(name) + " must be an int, got bool");
    py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(obj.ptr()));
    if (!i) throw py::error_already_set();
    const uint64_t v = PyLong_AsUnsignedLongLongMask(i.ptr());
    if (PyErr_Occurred()) throw py::error_already_set();
    return v;
}

// The group's arrays checked and converted (C-contiguous, the kernel's
// element types); the caller keeps them alive while the kernel runs.
struct Inputs {
    py::array_t<uint8_t> images;
    py::array_t<float> boxes;
    py::array_t<int32_t> counts;
    py::array_t<float> outline_xy;
    py::array_t<int32_t> outline_parts;
    da::Group group;
};

Inputs take(const da::Config &c, py::handle images_obj, py::handle boxes_obj, py::handle counts_obj,
           py::handle xy_obj, py::handle parts_obj) {
    Inputs in;
    py::array im = as_array(images_obj, "images");
    if (im.dtype().kind() != 'u' || im.dtype().itemsize() != 1 || im.ndim() != 4 || im.shape(3) != 3 ||
        im.shape(1) != c.height || im.shape(2) != c.width || im.shape(0) < 1)
        fail("images must be a uint8 array of shape (k, " + std::to_string(c.height) + ", " + std::to_string(c.width) +
             ", 3) with k >= 1 (the config's output size), got " + describe(im));
    const py::ssize_t k = im.shape(0);
    if (k > da::kMaxGroup) fail("a group holds at most " + std::to_string(da::kMaxGroup) + " samples, got " + std::to_string(k));
    py::array bx = as_array(boxes_obj, "boxes");
    const char bk = bx.dtype().kind();
    if ((bk != 'f' && bk != 'i' && bk != 'u') || bx.ndim() != 3 || bx.shape(0) != k || bx.shape(2) != 5)
        fail("boxes must be a float32 array of shape (" + std::to_string(k) + ", N, 5), got " + describe(bx));
    if (bx.shape(1) > da::kMaxBoxes) fail("too many box rows: " + std::to_string(bx.shape(1)));
    py::array ct = as_array(counts_obj, "counts");
    const char ck = ct.dtype().kind();
    if ((ck != 'i' && ck != 'u') || ct.ndim() != 1 || ct.shape(0) != k)
        fail("counts must be an int32 array of shape (" + std::to_string(k) + ",), got " + describe(ct));
    // Counts of wider types are checked before the narrowing cast.
    if (ct.dtype().itemsize() > 4 || (ck == 'u' && ct.dtype().itemsize() == 4)) {
        py::object lo = ct.attr("min")(), hi = ct.attr("max")();
        if (lo < py::int_(0) || hi > py::int_(bx.shape(1)))
            fail("counts must be in 0.." + std::to_string(bx.shape(1)) + " (the box rows given), got values from " +
                 std::string(py::str(lo)) + " to " + std::string(py::str(hi)));
    }
    in.images = py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(im);
    in.boxes = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(bx);
    in.counts = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(ct);
    if (!in.images || !in.boxes || !in.counts) throw py::error_already_set();
    in.group.images = in.images.data();
    in.group.boxes = in.boxes.data();
    in.group.counts = in.counts.data();
    in.group.k = int(k);
    in.group.n = int(bx.shape(1));
    if (xy_obj.is_none() != parts_obj.is_none()) fail("outline_xy and outline_parts go together");
    if (!parts_obj.is_none()) {
        py::array xy = as_array(xy_obj, "outline_xy"), parts = as_array(parts_obj, "outline_parts");
        const char xk = xy.dtype().kind(), pk = parts.dtype().kind();
        if ((xk != 'f' && xk != 'i' && xk != 'u') || xy.ndim() != 3 || xy.shape(0) != k || xy.shape(2) != 2 ||
            xy.shape(1) > da::kMaxVertices)
            fail("outline_xy must be a float32 array of shape (" + std::to_string(k) + ", V, 2), got " + describe(xy));
        if (pk != 'i' || parts.dtype().itemsize() != 4 || parts.ndim() != 3 ||
            parts.shape(0) != k || parts.shape(2) != 3 || parts.shape(1) > da::kMaxBoxes)
            fail("outline_parts must be an int32 array of shape (" + std::to_string(k) + ", P, 3), got " +
                 describe(parts));
        in.outline_xy = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(xy);
        in.outline_parts = py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(parts);
        if (!in.outline_xy || !in.outline_parts) throw py::error_already_set();
        in.group.outline_xy = in.outline_xy.data();
        in.group.outline_parts = in.outline_parts.data();
        in.group.v = int(xy.shape(1));
        in.group.p = int(parts.shape(1));
    }
    std::string e = da::check(c, in.group);
    if (!e.empty()) fail(e);
    return in;
}

da::Plan plan_of(const DetectionAugmentConfig &cfg, int k, py::handle main, py::handle seed, py::handle pass_number,
                 py::handle index) {
    const uint64_t s = low_bits(seed, "seed"), i = low_bits(index, "index");
    py::object pass_i = py::reinterpret_steal<py::object>(PyNumber_Index(pass_number.ptr()));
    if (!pass_i || is_boolean(pass_number)) {
        PyErr_Clear();
        fail("pass_number must be an int >= 0, got " + type_name(pass_number));
    }
    const long long pass = PyLong_AsLongLong(pass_i.ptr());
    if (PyErr_Occurred() || pass < 0) {
        PyErr_Clear();
        fail("pass_number must be an int in 0..2**63 - 1, got " + std::string(py::repr(pass_number)));
    }
    py::object main_i = py::reinterpret_steal<py::object>(PyNumber_Index(main.ptr()));
    if (!main_i || is_boolean(main)) {
        PyErr_Clear();
        fail("main must be an int, got " + type_name(main));
    }
    const long long m = PyLong_AsLongLong(main_i.ptr());
    if (PyErr_Occurred()) PyErr_Clear();
    if (m < 0 || m >= k) fail("main must be in 0.." + std::to_string(k - 1) + " (the group's members), got " +
                              std::string(py::repr(main)));
    da::Plan plan;
    std::string e = da::draw(cfg.config(), da::call_key(s, uint64_t(pass), i), k, int(m), pass, &plan);
    if (!e.empty()) fail(e);
    return plan;
}

py::tuple augment_group(const DetectionAugmentConfig &cfg, py::handle images, py::handle boxes, py::handle counts,
                        py::handle main, py::handle seed, py::handle pass_number, py::handle index, bool baseline,
                        py::handle outline_xy, py::handle outline_parts) {
    const da::Config &c = cfg.config();
    Inputs in = take(c, images, boxes, counts, outline_xy, outline_parts);
    const da::Plan plan = plan_of(cfg, in.group.k, main, seed, pass_number, index);
    py::array_t<uint8_t> out({py::ssize_t(c.height), py::ssize_t(c.width), py::ssize_t(3)});
    uint8_t *dst = out.mutable_data();
    std::vector<float> rows;
    const da::Group g = in.group;
    std::string e = pyglue::without_gil(
        [&] { return da::render(c, plan, g, dst, &rows, baseline ? da::Simd::baseline : da::Simd::best); });
    if (!e.empty()) fail(e);
    py::array_t<float> out_boxes({py::ssize_t(rows.size() / 5), py::ssize_t(5)});
    std::copy(rows.begin(), rows.end(), out_boxes.mutable_data());
    return py::make_tuple(out, out_boxes);
}

py::dict view_dict(const da::View &v) {
    py::dict d;
    d["mosaic"] = v.mosaic;
    py::list members;
    for (int t = 0; t < v.tiles; ++t) members.append(v.member[t]);
    d["members"] = members;
    d["centre"] = v.mosaic ? py::object(py::make_tuple(v.xc, v.yc)) : py::none();
    d["affine"] = v.affine ? py::object(py::dict(py::arg("degrees") = v.angle, py::arg("scale") = v.scale,
                                                 py::arg("shear") = py::make_tuple(v.shear_x, v.shear_y),
                                                 py::arg("translate") = py::make_tuple(v.tx, v.ty)))
                           : py::none();
    d["hflip"] = v.hflip;
    d["vflip"] = v.vflip;
    d["matrix"] = py::make_tuple(v.m[0], v.m[1], v.m[2], v.m[3], v.m[4], v.m[5]);
    return d;
}

py::dict draw_plan(const DetectionAugmentConfig &cfg, int group, py::handle main, py::handle seed, py::handle pass_number,
                   py::handle index) {
    if (group < 1 || group > da::kMaxGroup) fail("group must be 1 to " + std::to_string(da::kMaxGroup));
    const da::Plan p = plan_of(cfg, group, main, seed, pass_number, index);
    py::dict d;
    d["first"] = view_dict(p.first);
    d["mixup"] = p.mixup ? py::object(py::make_tuple(view_dict(p.second), p.ratio)) : py::none();
    d["hsv"] = p.hsv ? py::object(py::make_tuple(p.hue, p.sat, p.val)) : py::none();
    return d;
}

std::string keys_table() {
    std::string t = "    key               default      meaning\n";
    for (const auto &k : da::keys()) {
        std::string name = k.name, dflt = k.default_text;
        name.resize(std::max<size_t>(name.size() + 1, 18), ' ');
        dflt.resize(std::max<size_t>(dflt.size() + 1, 13), ' ');
        t += "    " + name + dflt + k.meaning + "\n";
    }
    return t;
}

const std::string &class_doc() {
    static const std::string doc =
        "DetectionAugmentConfig(aug_cfg, height, width)\n\n"
        "The validated, immutable settings of the detection augmentation engine for outputs of\n"
        "height x width. aug_cfg maps a technique to its frequency (the probability, 0 to 1, that it\n"
        "is applied to an output) and a strength setting to its value; missing keys take the\n"
        "defaults below. None or {} gives a config with enabled == False. An unknown key, a value of\n"
        "the wrong type, NaN or infinity, a frequency outside 0..1, a value out of range or an\n"
        "inverted range raises ValueError naming the key and listing the valid keys.\n\n"
        "Keys:\n" + keys_table() +
        "\nThe techniques of one output run in this order: mosaic (four group members on a 2H x 2W\n"
        "canvas around a random centre, the main sample in a random quadrant), the affine warp\n"
        "(rotation and zoom about the centre, shear, shift), the flips; all are one matrix, and the\n"
        "pixels are sampled through its inverse (bilinear; uncovered area grey 114). Mix-up blends\n"
        "this with a second output built the same way around another member; HSV applies last.\n\n"
        "Box rules: box corners go through the pixels' matrix (four corners, enclosed; an object\n"
        "given with its outline: the outline, clipped to the output, whose extent is the box), the result is\n"
        "clipped to the output, and a box is dropped when its clipped width or height is below\n"
        "min_box_size, when less than min_visibility of its warped area is inside, or when its aspect\n"
        "ratio exceeds max_aspect_ratio. Labels never change; an output without boxes gets the one\n"
        "no-object row [0, 0, 0, 0, 0].\n\n"
        "Attributes: enabled, techniques (those on, with their frequencies), group_size\n"
        "(consecutive samples to group: 4 when mosaic or mix-up is on, else 1), height, width, serialized (the text form the op takes;\n"
        "from_serialized() reads it back). as_dict() gives every setting, valid_keys() the keys.";
    return doc;
}

}  // namespace

PYBIND11_MODULE(_detaug, m) {
    m.doc() = "Native detection augmentation engine: DetectionAugmentConfig and augment_group.";
    py::class_<DetectionAugmentConfig>(m, "DetectionAugmentConfig", class_doc().c_str())
        .def(py::init<py::object, int, int>(), py::arg("aug_cfg"), py::arg("height"), py::arg("width"))
        .def_property_readonly("enabled", [](const DetectionAugmentConfig &c) { return c.config().enabled(); },
                               "Whether any technique has a frequency above 0.")
        .def_property_readonly("group_size", [](const DetectionAugmentConfig &c) { return c.config().group_size(); },
                               "How many consecutive stream samples to group per call: 4 when mosaic or mix-up is "
                               "on (they take partners from the group), else 1.")
        .def_property_readonly("techniques", &DetectionAugmentConfig::techniques,
                               "The techniques that are on (frequency above 0), each with its frequency, "
                               "in the order of the keys.")
        .def_property_readonly("height", [](const DetectionAugmentConfig &c) { return c.config().height; })
        .def_property_readonly("width", [](const DetectionAugmentConfig &c) { return c.config().width; })
        .def_property_readonly("serialized", &DetectionAugmentConfig::serialized,
                               "The normalised config as one line of text (the op's config attribute).")
        .def_static("from_serialized", &DetectionAugmentConfig::from_serialized, py::arg("serialized"),
                    "The config that `serialized` describes (ValueError when it is not one).")
        .def("as_dict", &DetectionAugmentConfig::as_dict,
             "Every setting with its resolved value, defaults included (mosaic_stop_pass None: never).")
        .def_static("valid_keys", [] {
            py::list l;
            for (const auto &k : da::keys()) l.append(k.name);
            return py::tuple(l);
        }, "The keys aug_cfg may hold, in documented order.")
        .def("__repr__", &DetectionAugmentConfig::repr)
        .def("__eq__", [](const DetectionAugmentConfig &a, py::object b) {
            return py::isinstance<DetectionAugmentConfig>(b) &&
                   a.serialized() == b.cast<const DetectionAugmentConfig &>().serialized();
        })
        .def("__hash__", [](const DetectionAugmentConfig &a) { return py::hash(py::str(a.serialized())); })
        .def(py::pickle([](const DetectionAugmentConfig &c) { return py::make_tuple(c.serialized()); },
                        [](py::tuple t) { return DetectionAugmentConfig::from_serialized(t[0].cast<std::string>()); }));
    m.def("augment_group", &augment_group, py::arg("config"), py::arg("images"), py::arg("boxes"), py::arg("counts"),
          py::arg("main"), py::arg("seed"), py::arg("pass_number"), py::arg("index"), py::kw_only(),
          py::arg("baseline") = false, py::arg("outline_xy") = py::none(), py::arg("outline_parts") = py::none(),
          "augment_group(config, images, boxes, counts, main, seed, pass_number, index, *, baseline=False,\n"
          "              outline_xy=None, outline_parts=None) -> (image, boxes)\n\n"
          "One augmented output built around group member `main`.\n"
          "images: uint8 (k, H, W, 3), the group's samples at the config's size; boxes: float32\n"
          "(k, N, 5) rows [x1, y1, x2, y2, label] in pixels, rows at and beyond counts[j] ignored, an\n"
          "all-zero row is the no-object row; counts: int32 (k,). Mosaic and mix-up take partners\n"
          "from the other members (a group of 1 uses itself). The random draws come from (seed,\n"
          "pass_number, index) alone: the same inputs give the same bytes on any thread, and the op\n"
          "ops.detection_augment gives the same. Returns image uint8 (H, W, 3) and boxes float32\n"
          "(M, 5) in output pixels (one row [0, 0, 0, 0, 0] when none is left). The work runs without\n"
          "the GIL. Bad shapes, element types or values raise ValueError. baseline=True keeps to the\n"
          "baseline instructions (the same bytes, for testing).\n\n"
          "outline_xy float32 (k, V, 2) vertices in pixels and outline_parts int32 (k, P, 3) rows\n"
          "(box row, first vertex, vertex count; count 0 is padding) give objects their outlines: such\n"
          "an object's box is the extent of its outline mapped through the same steps and clipped to\n"
          "the picture, and the box rules apply to that box (tight under rotation and shear).");
    m.def("draw_plan", &draw_plan, py::arg("config"), py::arg("group"), py::arg("main"), py::arg("seed"),
          py::arg("pass_number"), py::arg("index"),
          "The random choices augment_group makes for these arguments, as a dict (for inspection).");
    m.attr("avx2") = da::avx2_available();
}
