// The training stages every segmentation dataset runs after its reader.
#pragma once

#include "pyglue.h"

namespace seg {
namespace py = pybind11;

// Map build_gt_mask over (image, polygons, classes), map
// tf_apply_augmentation, padded_batch(batch_size, drop_remainder=True,
// padded_shapes=(shape, shape[:2])), prefetch.
py::object train_tail(pyglue::Call &c, py::object ds, py::handle batch_size, py::handle prefetch,
                      bool augment = true);

}  // namespace seg
