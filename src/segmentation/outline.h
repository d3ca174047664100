// Outlines read from annotation files: JSON polygons as arrays, their class
// ids, and their resampling to a fixed number of points along the outline.
#pragma once

#include "pyglue.h"

#include <cstddef>
#include <vector>

namespace seg {
namespace py = pybind11;

// The (count / 2) x 2 array that np.array(items).reshape(-1, 2) makes of
// `count` JSON numbers (int64 when every one is an int, else float64), built
// directly; a null object when count is 0 or odd, or an item is not a plain
// int or float or is an int beyond int64 (np.array then decides).
py::object number_pairs(PyObject *const *items, Py_ssize_t count);

// A JSON polygon ([[x, y], ...]) as a NumPy array: the array np.array would
// make, built directly for the common list-of-pairs case.
py::object polygon_array(pyglue::Call &c, py::handle value);

// Outlines of one sample resampled to num_points points each.
struct Resampled {
    // float32 M x num_points x 2, or the empty float32 array of shape (0,)
    // when no outline is left.
    py::object masks;
    // For each row of masks, the index of its outline in the input.
    std::vector<std::size_t> kept;
};

// Resamples outlines given in output pixels (N x 2 each, as mask_padding
// returns them) by arc length. While the module's `interp1d` is SciPy's own
// the native kernel does it without the GIL; a rebound `interp1d` is called
// as interp1d(distance, points, kind="slinear", axis=0)(alpha). Outlines of
// total length 0 are left out (the caller drops their classes); repeated
// vertices are dropped first, so no NaN can arise. Raises ValueError for a
// non-finite coordinate, for num_points < 1 and for outlines that are not
// N x 2.
Resampled resample_outlines(pyglue::Call &c, const std::vector<py::object> &points,
                            py::handle num_points);

// np.array(values, dtype=np.int32).
py::object int32_array(pyglue::Call &c, const std::vector<py::object> &values);

// The ValueError for a coordinate that is not a finite float32.
[[noreturn]] void raise_non_finite();

}  // namespace seg
