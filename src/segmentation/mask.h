// The ground-truth class mask of one sample, painted from its outlines.
#pragma once

#include "pyglue.h"

namespace seg {

// Method tables shared by the dataset classes (same names, parameters and
// behaviour in each): `_build_gt_mask(masks, classes)` and
// `build_gt_mask(data)` (tf.function).
extern const pyglue::MethodDef kBuildGtMaskPlain;
extern const pyglue::MethodDef kBuildGtMask;

// Remembers OpenCV's own fillPoly (called once when the module is set up), so
// that painting can tell it from a rebound one.
void remember_fill_poly(pybind11::handle cv2);

}  // namespace seg
