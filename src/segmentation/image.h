// Reading an image file and bringing it to the network input size.
//
// Functions taking a pyglue::Call look library names up in the module
// namespace through c.g() (a caller's rebinding takes effect) and read the
// instance through c.self; they keep no state between calls, as they run on
// several tf.data worker threads at once for one dataset.
#pragma once

#include "pyglue.h"

namespace seg {
namespace py = pybind11;

// The image file at `path`, opened with PIL, converted to RGB, as a uint8
// height x width x 3 array.
py::object open_rgb(pyglue::Call &c, py::handle path);

// An image brought to self.shape[:2] and the numbers that map normalised
// vertices onto it (mask_padding's w, h, padw, padh).
struct Fitted {
    py::object image, w, h, padw, padh;
};

// With `letter_box`: letterbox(image, self.shape[:2], auto=False), w and h the
// source size times the reported ratios, the reported pad as offsets.
// Without: cv2.resize to (shape[1], shape[0]), w, h the target size, no
// offsets.
Fitted fit_to_shape(pyglue::Call &c, py::object image, bool letter_box);

}  // namespace seg
