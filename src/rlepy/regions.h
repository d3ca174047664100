// A COCO RLE object ({"size": [height, width], "counts": text or list})
// turned into checked run lengths by the rle kernel; shared by the
// extension modules that read COCO files (segmentation, _rle).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

namespace rlepy {
namespace py = pybind11;

struct Runs {
    std::vector<std::int64_t> runs;
    std::int64_t height = 0, width = 0;
};

// Raises ValueError saying what is wrong: not an object with "size" and
// "counts", a size that is not two whole numbers or that differs from
// expected_height x expected_width (when those are >= 0), undecodable
// text, or runs that do not add up to height x width.
Runs parse(py::handle rle, std::int64_t expected_height = -1, std::int64_t expected_width = -1);

// Whether `segmentation` is an RLE object rather than a list of polygons.
bool is_rle(py::handle segmentation);

}  // namespace rlepy
