// quorvane.trellisk.datasets._rle: the COCO run-length decoder of the
// readers, for Python code that reads COCO files without a dataset object
// (check, pack, tests, benchmarks).
#include "regions.h"
#include "rle.h"

#include <pybind11/numpy.h>

namespace py = pybind11;

namespace {

std::int64_t expected(py::handle v) { return v.is_none() ? -1 : v.cast<std::int64_t>(); }

}  // namespace

PYBIND11_MODULE(_rle, m) {
    m.doc() = "COCO run-length encoded regions ({\"size\": [height, width], \"counts\": ...}):\n"
              "both forms of \"counts\" (a list of run lengths, or the compressed text), runs\n"
              "down the columns starting with background. Bad input raises ValueError.";
    m.def(
        "decode",
        [](py::handle rle, py::handle height, py::handle width) {
            rlepy::Runs r = rlepy::parse(rle, expected(height), expected(width));
            py::array_t<std::uint8_t> out(std::vector<py::ssize_t>{r.height, r.width});
            {
                py::gil_scoped_release unlocked;
                rle::to_mask(r.runs.data(), r.runs.size(), r.height, r.width, out.mutable_data());
            }
            return out;
        },
        py::arg("rle"), py::arg("height") = py::none(), py::arg("width") = py::none(),
        "The region as a uint8 height x width array of 0 and 1. With height and\n"
        "width (the image entry's), a \"size\" that differs is a ValueError.");
    m.def(
        "runs",
        [](py::handle rle, py::handle height, py::handle width) {
            rlepy::Runs r = rlepy::parse(rle, expected(height), expected(width));
            py::array_t<std::int64_t> out(static_cast<py::ssize_t>(r.runs.size()));
            std::copy(r.runs.begin(), r.runs.end(), out.mutable_data());
            return out;
        },
        py::arg("rle"), py::arg("height") = py::none(), py::arg("width") = py::none(),
        "The checked run lengths as an int64 array (first run background).");
    m.def(
        "extent",
        [](py::handle rle, py::handle height, py::handle width) -> py::object {
            rlepy::Runs r = rlepy::parse(rle, expected(height), expected(width));
            std::int64_t box[4];
            if (!rle::extent(r.runs.data(), r.runs.size(), r.height, r.width, box)) return py::none();
            return py::make_tuple(box[0], box[1], box[2], box[3]);
        },
        py::arg("rle"), py::arg("height") = py::none(), py::arg("width") = py::none(),
        "The foreground's bounding box (x, y, width, height) in whole pixels, or\n"
        "None for an empty region.");
    m.def(
        "area",
        [](py::handle rle) {
            rlepy::Runs r = rlepy::parse(rle);
            return rle::area(r.runs.data(), r.runs.size());
        },
        py::arg("rle"), "Foreground pixels of the region.");
    m.def(
        "encode",
        [](py::array_t<std::uint8_t, py::array::c_style | py::array::forcecast> mask, bool compressed) {
            if (mask.ndim() != 2) throw py::value_error("mask must be a height x width array");
            std::vector<std::int64_t> runs =
                rle::from_mask(mask.data(), static_cast<std::int64_t>(mask.shape(0)), static_cast<std::int64_t>(mask.shape(1)));
            py::dict out;
            out["size"] = py::list(py::make_tuple(mask.shape(0), mask.shape(1)));
            if (compressed)
                out["counts"] = py::str(rle::encode_text(runs.data(), runs.size()));
            else
            {
                py::list counts;
                for (std::int64_t r : runs) counts.append(r);
                out["counts"] = counts;
            }
            return out;
        },
        py::arg("mask"), py::arg("compressed") = true,
        "The RLE object of a height x width mask (nonzero is foreground), with\n"
        "\"counts\" as compressed text or (compressed=False) a list.");
    m.def("is_rle", [](py::handle s) { return rlepy::is_rle(s); }, py::arg("segmentation"),
          "Whether a \"segmentation\" value is an RLE object (not a list of polygons).");
}
