#include "mask.h"

#include "classids.h"
#include "idioms.h"
#include "outline.h"
#include "paint.h"
#include "ranges.h"
#include "rle.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace seg {

using pyglue::Call;
using pyglue::MethodDef;
using pyglue::head;
using pyglue::list_of;
using pyglue::unpack;

namespace {

// OpenCV's fillPoly as found when the module was set up; kept for the life of
// the process (never released, so nothing touches it during finalization).
PyObject *opencv_fill_poly = nullptr;

// The class ids as int64, each checked before anything is painted (a
// wrapped id would paint another class, -1 the background). Checked on the
// original array, before a cast could cut or wrap them.
py::array checked_class_ids(py::object ids) {
    if (py::len(ids.attr("shape")) == 0 || ids.attr("size").cast<py::ssize_t>() == 0)
        return ids;
    const std::string kind = ids.attr("dtype").attr("kind").cast<std::string>();
    py::object bad;
    if (kind == "f") {
        py::array_t<double, py::array::c_style | py::array::forcecast> d(ids);
        for (py::ssize_t i = 0; i < d.size() && !bad; ++i) {
            const double v = d.data()[i];
            if (rules::class_id(v)) continue;
            if (!std::isfinite(v) || v != std::floor(v))
                pyglue::raise(PyExc_ValueError, "class ids must be whole numbers");
            bad = py::float_(v);
        }
    } else if (kind == "i" || kind == "u") {
        // The extremes as Python ints: uint64 values beyond int64 stay exact.
        long long unused;
        py::object lo = ids.attr("min")().attr("item")(), hi = ids.attr("max")().attr("item")();
        bad = !pyglue::class_id(lo, unused) ? lo : !pyglue::class_id(hi, unused) ? hi : py::object();
    } else {
        throw py::type_error("class ids must be integers, got an array of " +
                             pyglue::text(ids.attr("dtype")));
    }
    if (bad)
        pyglue::raise(PyExc_ValueError, "class id " + pyglue::text(bad) + " is outside 0.." +
                                            std::to_string(rules::kMaxClassId) +
                                            " (the mask holds id + 1 as int32)");
    return ids;
}

// The RLE regions of a sample as its reader packs them (int64, see
// rle::pack) and the placement of the source picture in the output (w, h,
// padw, padh); none when `packed_arg` is None or empty.
void regions_of(py::object np, py::handle packed_arg, py::handle frame_arg, std::vector<std::int64_t> &packed,
                std::vector<rle::Region> &regions, rle::Placement &at) {
    if (packed_arg.is_none()) return;
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> p(np.attr("asarray")(packed_arg));
    if (p.size() == 0) return;
    packed.assign(p.data(), p.data() + p.size());
    if (rle::Error e = rle::unpack(packed.data(), packed.size(), regions)) throw py::value_error("regions: " + e.reason);
    if (frame_arg.is_none()) throw py::value_error("regions need the frame (w, h, padw, padh) they are placed by");
    py::array_t<double, py::array::c_style | py::array::forcecast> f(np.attr("asarray")(frame_arg));
    if (f.size() != 4) throw py::value_error("frame must hold 4 values (w, h, padw, padh)");
    at = rle::Placement{f.data()[0], f.data()[1], f.data()[2], f.data()[3]};
}

py::object build_gt_mask_plain(Call &c) {
    py::object np = c.g("np");
    py::object cv2 = c.g("cv2");
    py::object canvas = np.attr("zeros")(py::arg("shape") = head(c.self.attr("shape"), 2),
                                         py::arg("dtype") = np.attr("int32"));
    // np.asarray reads eager tensors and NumPy arrays alike.
    py::array masks = np.attr("asarray")(c[0]);
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> classes =
        checked_class_ids(np.attr("asarray")(c[1]));

    // RLE regions painted among the polygons (keyword-only, see regions_of).
    std::vector<std::int64_t> packed;
    std::vector<rle::Region> regions;
    rle::Placement at{0, 0, 0, 0};
    regions_of(np, c[2], c[3], packed, regions, at);

    const bool no_polygons = masks.size() == 0 && masks.ndim() == 1;
    if (!no_polygons && (masks.ndim() != 3 || masks.shape(2) != 2))
        throw py::value_error(
            py::str("masks must be an M x num_points x 2 array of (x, y) points; got shape {}")
                .format(masks.attr("shape"))
                .cast<std::string>());
    // One class per polygon: a shorter list would leave polygons unpainted
    // and a longer one means the two came from different samples.
    const py::ssize_t count = no_polygons ? 0 : masks.shape(0);
    if (count != classes.size())
        pyglue::raise(PyExc_ValueError, "masks holds " + std::to_string(count) +
                                            " polygons but classes holds " +
                                            std::to_string(classes.size()) + " class ids");
    const py::ssize_t points = count ? masks.shape(1) : 0;
    if (regions.empty() && (count == 0 || points == 0)) return canvas;

    py::array_t<std::int32_t> pts(std::vector<py::ssize_t>{count, points, 2});
    const py::ssize_t n = masks.size();
    bool finite;
    if (n == 0) {
        finite = true;
    } else if (py::isinstance<py::array_t<float>>(masks) && (masks.flags() & py::array::c_style)) {
        finite = imaging::truncate_vertices(static_cast<const float *>(masks.data()), static_cast<std::size_t>(n),
                                            pts.mutable_data());
    } else {
        py::array_t<double, py::array::c_style | py::array::forcecast> d(masks);
        finite = imaging::truncate_vertices(d.data(), static_cast<std::size_t>(n), pts.mutable_data());
    }
    if (!finite) raise_non_finite();

    py::object fill = cv2.attr("fillPoly");
    const std::int64_t *cls = classes.data();
    std::int32_t *base = pts.mutable_data();
    py::array_t<std::int32_t> out;
    if (py::isinstance<py::array_t<std::int32_t>>(canvas)) out = py::reinterpret_borrow<py::array_t<std::int32_t>>(canvas);
    if (fill.ptr() == opencv_fill_poly && out && out.ndim() == 2 && out.writeable() && out.shape(0) > 0 && out.shape(1) > 0 &&
        (out.flags() & py::array::c_style) && out.shape(0) <= std::numeric_limits<int>::max() &&
        out.shape(1) <= std::numeric_limits<int>::max()) {
        // The native fill paints exactly what OpenCV's does, but skips the
        // rows above the canvas one by one that a far vertex makes OpenCV
        // step through (seconds per polygon).
        const imaging::Canvas paint{out.mutable_data(), static_cast<int>(out.shape(0)),
                                    static_cast<int>(out.shape(1))};
        py::gil_scoped_release unlocked;
        rle::paint_in_order(paint, static_cast<std::size_t>(points ? count : 0), regions, at, [&](std::size_t i) {
            imaging::fill_polygon(paint, base + i * static_cast<std::size_t>(points) * 2,
                                  static_cast<std::size_t>(points), rules::mask_value(cls[i]));
        });
        return canvas;
    }
    auto fill_one = [&](std::size_t i) {
        // A view of polygon i; `pts` keeps the memory alive.
        py::array_t<std::int32_t> poly(std::vector<py::ssize_t>{points, 2},
                                       base + i * static_cast<std::size_t>(points) * 2, pts);
        // Class ids are 0-based, the mask reserves 0 for background.
        fill(canvas, list_of({poly}), py::arg("color") = py::int_(rules::mask_value(cls[i])));
    };
    if (regions.empty()) {
        for (py::ssize_t i = 0; i < count; ++i) fill_one(static_cast<std::size_t>(i));
        return canvas;
    }
    // A rebound fillPoly paints the polygons; the regions need the canvas as
    // the int32 array the mask is.
    if (!out || out.ndim() != 2 || !(out.flags() & py::array::c_style) || !out.writeable())
        pyglue::raise(PyExc_TypeError, "RLE regions are painted on an int32 canvas of shape[:2]");
    const imaging::Canvas paint{out.mutable_data(), static_cast<int>(out.shape(0)), static_cast<int>(out.shape(1))};
    rle::paint_in_order(paint, static_cast<std::size_t>(points ? count : 0), regions, at, fill_one);
    return canvas;
}

py::object build_gt_mask_tf(Call &c) {
    // [image, polygons, classes], or with a sample's RLE regions and frame
    // after them (the COCO reader's training samples).
    const bool with_regions = py::len(c[0]) == 5;
    std::vector<py::object> data = unpack(c[0], with_regions ? 5 : 3);
    py::object tf = c.g("tf");
    py::object paint = pyglue::weak_method(c.self, "_build_gt_mask");
    py::list inputs = list_of({data[1], data[2]});
    if (with_regions) {
        inputs.append(data[3]);
        inputs.append(data[4]);
        // Through the weak attribute lookup: the method takes the regions by keyword.
        py::object lookup = pyglue::weak_method(c.self, "__getattribute__");
        paint = py::cpp_function([lookup](py::object masks, py::object classes, py::object regions, py::object frame) {
            return lookup("_build_gt_mask")(masks, classes, py::arg("regions") = regions, py::arg("frame") = frame);
        });
    }
    py::object mask = tf.attr("py_function")(paint, inputs, tf.attr("int32"));
    return py::make_tuple(data[0], mask);
}

}  // namespace

void remember_fill_poly(py::handle cv2) {
    py::object f = cv2.attr("fillPoly");
    Py_XDECREF(opencv_fill_poly);
    opencv_fill_poly = f.release().ptr();
}

const MethodDef kBuildGtMaskPlain{
    "_build_gt_mask",
    {{"masks"}, {"classes"}, {"regions", pyglue::Kind::Any, "None", true}, {"frame", pyglue::Kind::Any, "None", true}},
    build_gt_mask_plain,
    "Paint the ground-truth mask of one sample.\n"
    "\n"
    "masks: M x num_points x 2 polygons in output pixels (x, y), or an empty\n"
    "array; classes: the M class ids (eager tensors or arrays). Returns an int32\n"
    "array of shape[:2]: 0 is background, a polygon of class k is filled with\n"
    "k + 1, later polygons over earlier ones. Coordinates are truncated toward\n"
    "zero; whatever lies outside the canvas is clipped.\n"
    "\n"
    "regions, frame (keyword-only): a COCO sample's RLE regions as its reader\n"
    "packs them (int64 [height, width, value, after, count, runs...] per\n"
    "region) and the placement (w, h, padw, padh) of the source picture in\n"
    "the mask. Region r is painted after the first `after` polygons with its\n"
    "own value, each mask pixel taking the source pixel under its centre."};

const MethodDef kBuildGtMask{
    "build_gt_mask",
    {{"data"}},
    build_gt_mask_tf,
    "data = [image, polygons, classes] (tensors) -> (image, int32 mask tensor);\n"
    "a COCO training sample may add its packed RLE regions and frame.\n"
    "\n"
    "The mask is painted by _build_gt_mask through tf.py_function; the image\n"
    "passes through unchanged.",
    true};

}  // namespace seg
