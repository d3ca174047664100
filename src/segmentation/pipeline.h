// The training stages every segmentation dataset runs after its reader.
#pragma once

#include "pyglue.h"

namespace seg {
namespace py = pybind11;

// Map build_gt_mask over (image, polygons, classes), map
// tf_apply_augmentation, padded_batch(batch_size, drop_remainder=True,
// padded_shapes=(shape, shape[:2])), prefetch.
// Without `augment` the augmentation map is left out.
py::object train_tail(pyglue::Call &c, py::object ds, py::handle batch_size, py::handle prefetch,
                      bool augment = true);

// The validation stages after the listing of a split: map read_data(x,
// False) over `ds` (parallel), then build_gt_mask one at a time (in order),
// giving (image, mask, name); prefetch.
py::object val_tail(pyglue::Call &c, py::object ds, py::handle prefetch);

}  // namespace seg
