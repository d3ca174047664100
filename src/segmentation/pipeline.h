// The training stages every segmentation dataset runs after its reader.
#pragma once

#include "pyglue.h"

#include <functional>

namespace seg {
namespace py = pybind11;

// Map build_gt_mask over (image, polygons, classes), map
// tf_apply_augmentation, padded_batch(batch_size, drop_remainder=True,
// padded_shapes=(shape, shape[:2])), prefetch.
// Without `augment` the augmentation map is left out.
py::object train_tail(pyglue::Call &c, py::object ds, py::handle batch_size, py::handle prefetch,
                      bool augment = true);

// The validation stages after the listing of a split: map read_data(x,
// False) over `ds` (parallel), or `read` when given (which may add a
// sample's regions and frame before the name), then build_gt_mask one at a
// time (in order), giving (image, mask, name); prefetch.
py::object val_tail(pyglue::Call &c, py::object ds, py::handle prefetch, py::object read = py::object());

// self.<method>(x, train) through tf.py_function for the call (x, train):
// outputs of the dtypes `tout`, and tf.string (the name) when train is false.
py::object train_or_val_reader(pyglue::Call &c, const char *method, py::list tout);

// The training pipeline with repeat-factor sampling or a start position,
// when the call (batch_size, prefetch, repeat_threshold, start) asks for
// either: `reader(index)` reads training picture `index` as (image,
// polygons, classes). A null object when it asks for neither.
py::object keyed_train_iterator(pyglue::Call &c, const std::function<py::object()> &reader);

// The keyword-only parameters of build_train_iterator that it takes.
#define SEG_KEYED_TRAIN_PARAMS                                                        \
    {"repeat_threshold", pyglue::Kind::Any, "None", true}, {"start", pyglue::Kind::Any, "None", true}

// What their docstring says of them.
extern const char *const kKeyedTrainDoc;

}  // namespace seg
