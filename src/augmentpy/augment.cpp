// quorvane.trellisk.datasets._augment: the Python face of the augmentation
// engine. It checks and converts the arrays, draws the plan, then releases
// the GIL once around the pixel work.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>

#include "augment/engine.h"
#include "augment/recipe.h"
#include "pyglue.h"

namespace py = pybind11;
namespace ag = trellisk::augment;

namespace {

std::string describe(const py::array &a) {
    std::string shape = "(";
    for (py::ssize_t i = 0; i < a.ndim(); ++i) shape += (i ? ", " : "") + std::to_string(a.shape(i));
    if (a.ndim() == 1) shape += ",";
    return std::string(py::str(a.dtype())) + " array of shape " + shape + ")";
}

[[noreturn]] void fail(PyObject *type, const std::string &msg) { pyglue::raise(type, msg); }

// The image as a C-contiguous uint8 array of shape (h, w, 3).
py::array_t<uint8_t> take_image(py::handle obj) {
    if (!py::isinstance<py::array>(obj))
        fail(PyExc_TypeError, "image must be a numpy.ndarray of uint8 with shape (height, width, 3), got " +
                                  std::string(py::str(py::type::handle_of(obj).attr("__name__"))));
    py::array a = py::reinterpret_borrow<py::array>(obj);
    // By kind and size, not by identity: an unpickled array carries an equal
    // but distinct dtype object.
    if (a.dtype().kind() != 'u' || a.dtype().itemsize() != 1)
        fail(PyExc_TypeError, "image must be a uint8 array of shape (height, width, 3), got " + describe(a));
    if (a.ndim() != 3 || a.shape(2) != 3 || a.shape(0) < 1 || a.shape(1) < 1)
        fail(PyExc_ValueError, "image must have shape (height, width, 3), got " + describe(a));
    return py::array_t<uint8_t, py::array::c_style | py::array::forcecast>::ensure(a);
}

// The mask as a C-contiguous int32 array of shape (h, w); every integer
// type is accepted as long as its values fit in int32.
py::array_t<int32_t> take_mask(py::handle obj, py::ssize_t h, py::ssize_t w) {
    if (!py::isinstance<py::array>(obj))
        fail(PyExc_TypeError, "mask must be a numpy.ndarray of integers with shape (height, width), got " +
                                  std::string(py::str(py::type::handle_of(obj).attr("__name__"))));
    py::array a = py::reinterpret_borrow<py::array>(obj);
    const char kind = a.dtype().kind();
    if (kind != 'i' && kind != 'u')
        fail(PyExc_TypeError, "mask must be an integer array of shape (height, width), got " + describe(a));
    if (a.ndim() != 2 || a.shape(0) != h || a.shape(1) != w)
        fail(PyExc_ValueError, "mask must have shape (" + std::to_string(h) + ", " + std::to_string(w) +
                                   "), the image's height and width, got " + describe(a));
    const bool fits = a.dtype().itemsize() < 4 || (kind == 'i' && a.dtype().itemsize() == 4);
    if (!fits && a.size() > 0) {
        py::object lo = a.attr("min")(), hi = a.attr("max")();
        if (lo < py::int_(INT32_MIN) || hi > py::int_(INT32_MAX))
            fail(PyExc_ValueError, "mask values must fit in int32, got values from " + std::string(py::str(lo)) +
                                       " to " + std::string(py::str(hi)));
    }
    return py::array_t<int32_t, py::array::c_style | py::array::forcecast>::ensure(a);
}

uint64_t fresh_seed() {
    std::random_device rd;
    return (uint64_t(rd()) << 32) ^ rd();
}

class Engine {
public:
    Engine(int height, int width, bool channel_ops, py::object seed, int diagonals) {
        std::string e =
            ag::make_config(height, width, channel_ops, ag::Diagonals(diagonals & ag::kDefaultDiagonals), &config_);
        if (!e.empty()) fail(PyExc_ValueError, e);
        if (seed.is_none()) {
            seed_ = fresh_seed();
        } else {
            if (!PyLong_Check(seed.ptr()) || PyBool_Check(seed.ptr()))
                fail(PyExc_TypeError, "seed must be an int or None");
            // Any Python int: its low 64 bits.
            seed_ = PyLong_AsUnsignedLongLongMask(seed.ptr());
            if (PyErr_Occurred()) throw py::error_already_set();
        }
        seeded_ = !seed.is_none();
    }

    py::tuple call(py::handle image_obj, py::handle mask_obj, int diagonals) {
        return run(image_obj, mask_obj, diagonals, [this] {
            return ag::derive_key(seed_, counter_.fetch_add(1, std::memory_order_relaxed));
        });
    }

    // Keyed by (seed, pass, index) as the op library's augment op is, so a
    // pipeline that numbers its samples gets the same draws on any thread,
    // in any process, and in either pipeline.
    py::tuple keyed(py::handle image_obj, py::handle mask_obj, int64_t pass_number, int64_t index,
                    int diagonals) {
        return run(image_obj, mask_obj, diagonals, [&] {
            return ag::derive_key(ag::derive_key(seed_, uint64_t(pass_number)), uint64_t(index));
        });
    }

    template <class Key>
    py::tuple run(py::handle image_obj, py::handle mask_obj, int diagonals, Key next_key) {
        py::array_t<uint8_t> image = take_image(image_obj);
        const py::ssize_t h = image.shape(0), w = image.shape(1);
        py::array_t<int32_t> mask;
        const bool has_mask = !mask_obj.is_none();
        if (has_mask) mask = take_mask(mask_obj, h, w);
        if (h > ag::kMaxSide || w > ag::kMaxSide)
            fail(PyExc_ValueError, "image of " + std::to_string(h) + " x " + std::to_string(w) + " pixels is too large");
        const uint64_t key = next_key();
        ag::Plan plan;
        std::string e = ag::draw(config_, key, int(h), int(w), &plan, diagonals);
        if (!e.empty()) fail(PyExc_ValueError, e);
        return render(plan, image, has_mask ? &mask : nullptr);
    }

    static py::tuple render(const ag::Plan &plan, const py::array_t<uint8_t> &image,
                            const py::array_t<int32_t> *mask, ag::Simd simd = ag::Simd::best) {
        py::array_t<uint8_t> out_image({py::ssize_t(plan.out_h), py::ssize_t(plan.out_w), py::ssize_t(3)});
        py::array_t<int32_t> out_mask;
        if (mask) out_mask = py::array_t<int32_t>({py::ssize_t(plan.out_h), py::ssize_t(plan.out_w)});
        const uint8_t *in = image.data();
        const int32_t *min = mask ? mask->data() : nullptr;
        uint8_t *oi = out_image.mutable_data();
        int32_t *om = mask ? out_mask.mutable_data() : nullptr;
        std::string e = pyglue::without_gil([&] { return ag::render(plan, in, min, oi, om, simd); });
        if (!e.empty()) fail(PyExc_ValueError, e);
        return py::make_tuple(out_image, mask ? py::object(out_mask) : py::object(py::none()));
    }

    py::dict plan(int in_h, int in_w, uint64_t index, int diagonals) const {
        ag::Plan p;
        std::string e = ag::draw(config_, ag::derive_key(seed_, index), in_h, in_w, &p, diagonals);
        if (!e.empty()) fail(PyExc_ValueError, e);
        return plan_to_dict(p);
    }

    static py::dict plan_to_dict(const ag::Plan &p) {
        py::dict d;
        d["out_shape"] = py::make_tuple(p.out_h, p.out_w);
        d["flip"] = p.flip;
        d["shift_scale_rotate"] = p.ssr ? py::object(py::make_tuple(p.angle, p.scale, p.dx, p.dy)) : py::none();
        d["channel_dropout"] = p.drop_channel >= 0 ? py::object(py::int_(p.drop_channel)) : py::none();
        d["channel_shuffle"] = p.shuffle ? py::object(py::make_tuple(p.perm[0], p.perm[1], p.perm[2])) : py::none();
        d["defocus"] = p.defocus ? py::object(py::make_tuple(p.radius, p.alias_blur)) : py::none();
        d["elastic"] = p.elastic ? py::object(py::make_tuple(p.elastic_m[0], p.elastic_m[1], p.elastic_m[2],
                                                             p.elastic_m[3], p.elastic_m[4], p.elastic_m[5]))
                                 : py::none();
        if (p.piecewise) {
            py::list pts;
            for (const auto &q : p.pa_dst) pts.append(py::make_tuple(q[0], q[1]));
            d["piecewise_affine"] = py::make_tuple(pts, int(p.pa_diagonals));
        } else {
            d["piecewise_affine"] = py::none();
        }
        d["crop"] = p.crop ? py::object(py::make_tuple(p.crop_h, p.crop_w, p.h_start, p.w_start)) : py::none();
        return d;
    }

    uint64_t seed() const { return seed_; }
    bool seeded() const { return seeded_; }
    const ag::Config &config() const { return config_; }
    uint64_t calls() const { return counter_.load(); }

private:
    ag::Config config_;
    uint64_t seed_ = 0;
    bool seeded_ = false;
    std::atomic<uint64_t> counter_{0};
};

template <class T, size_t N>
void read_seq(py::handle obj, T (&out)[N], const char *what) {
    py::sequence s = py::reinterpret_borrow<py::sequence>(obj);
    if (py::len(s) != N) fail(PyExc_ValueError, std::string(what) + " must have " + std::to_string(N) + " values");
    for (size_t i = 0; i < N; ++i) out[i] = s[i].cast<T>();
}

// One pass with explicit parameters (keys of Engine.plan()'s dictionary;
// missing keys leave the entry off). Used to compare single entries.
py::tuple render_plan(py::handle image_obj, py::handle mask_obj, py::dict params, bool baseline) {
    py::array_t<uint8_t> image = take_image(image_obj);
    const int h = int(image.shape(0)), w = int(image.shape(1));
    py::array_t<int32_t> mask;
    const bool has_mask = !mask_obj.is_none();
    if (has_mask) mask = take_mask(mask_obj, h, w);
    ag::Plan p;
    p.in_h = p.out_h = h;
    p.in_w = p.out_w = w;
    auto has = [&](const char *k) { return params.contains(k) && !params[k].is_none(); };
    if (has("flip")) p.flip = params["flip"].cast<bool>();
    if (has("shift_scale_rotate")) {
        double v[4];
        read_seq(params["shift_scale_rotate"], v, "shift_scale_rotate");
        p.ssr = true;
        p.angle = v[0], p.scale = v[1], p.dx = v[2], p.dy = v[3];
    }
    if (has("channel_dropout")) p.drop_channel = params["channel_dropout"].cast<int>();
    if (has("channel_shuffle")) {
        p.shuffle = true;
        read_seq(params["channel_shuffle"], p.perm, "channel_shuffle");
    }
    if (has("defocus")) {
        py::tuple t = params["defocus"].cast<py::tuple>();
        p.defocus = true;
        p.radius = t[0].cast<int>();
        p.alias_blur = t[1].cast<double>();
    }
    if (has("elastic")) {
        p.elastic = true;
        read_seq(params["elastic"], p.elastic_m, "elastic");
        if (params.contains("field_key")) p.field_key = params["field_key"].cast<uint64_t>();
    }
    if (has("piecewise_affine")) {
        py::tuple t = params["piecewise_affine"].cast<py::tuple>();
        py::sequence pts = t[0].cast<py::sequence>();
        if (py::len(pts) != 16) fail(PyExc_ValueError, "piecewise_affine needs 16 points");
        for (size_t i = 0; i < 16; ++i) read_seq(pts[i], p.pa_dst[i], "a piecewise_affine point");
        p.piecewise = true;
        p.pa_diagonals = ag::Diagonals(t[1].cast<int>() & ag::kDefaultDiagonals);
    }
    if (has("crop")) {
        py::tuple t = params["crop"].cast<py::tuple>();
        p.crop = true;
        p.crop_h = t[0].cast<int>(), p.crop_w = t[1].cast<int>();
        p.h_start = t[2].cast<double>(), p.w_start = t[3].cast<double>();
        py::tuple out = params["out_shape"].cast<py::tuple>();
        p.out_h = out[0].cast<int>(), p.out_w = out[1].cast<int>();
    }
    return Engine::render(p, image, has_mask ? &mask : nullptr, baseline ? ag::Simd::baseline : ag::Simd::best);
}

}  // namespace

PYBIND11_MODULE(_augment, m) {
    m.doc() = "Native augmentation engine (see quorvane.trellisk.datasets.augment).";
    py::class_<Engine>(m, "Engine")
        .def(py::init<int, int, bool, py::object, int>(), py::arg("height"), py::arg("width"),
             py::arg("channel_ops") = true, py::arg("seed") = py::none(),
             py::arg("diagonals") = int(ag::kDefaultDiagonals))
        .def("__call__", &Engine::call, py::arg("image"), py::arg("mask") = py::none(), py::arg("diagonals") = -1,
             "(image, mask) -> (image, mask or None): one augmentation pass.")
        .def("keyed", &Engine::keyed, py::arg("image"), py::arg("mask"), py::arg("pass_number"),
             py::arg("index"), py::arg("diagonals") = -1,
             "(image, mask, pass_number, index) -> (image, mask or None): the augmentation keyed by\n"
             "(seed, pass_number, index), as the op library's augment op draws it.")
        .def("plan", &Engine::plan, py::arg("height"), py::arg("width"), py::arg("index"), py::arg("diagonals") = -1,
             "The parameters call number `index` draws for an input of height x width.")
        .def_property_readonly("seed", &Engine::seed)
        .def_property_readonly("seeded", &Engine::seeded)
        .def_property_readonly("calls", &Engine::calls)
        .def_property_readonly("height", [](const Engine &e) { return e.config().height; })
        .def_property_readonly("width", [](const Engine &e) { return e.config().width; })
        .def_property_readonly("channel_ops", [](const Engine &e) { return e.config().channel_ops; })
        .def_property_readonly("diagonals", [](const Engine &e) { return int(e.config().diagonals); });
    m.def("render_plan", &render_plan, py::arg("image"), py::arg("mask"), py::arg("params"),
          py::arg("baseline") = false,
          "One pass with explicit parameters (a dict like Engine.plan() returns). baseline=True keeps\n"
          "to the baseline vector instructions (SSE2); the result is the same.");
    m.attr("avx2") = ag::avx2_available();
    // The largest side the engine takes, and the piecewise-affine control
    // grid (points per side), for the Python face's checks and triangulation.
    m.attr("MAX_SIDE") = ag::kMaxSide;
    m.attr("GRID") = trellisk::augment::recipe::kGrid;
}
