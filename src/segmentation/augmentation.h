// The augmentation pipeline of the segmentation datasets and the dtypes
// their samples take through it.
#pragma once

#include "pyglue.h"

namespace seg {
namespace py = pybind11;

// The augmentation pipeline for self.shape. `channel_ops` includes
// A.ChannelDropout and A.ChannelShuffle (entries 2 and 3).
py::object build_augmentation_pipeline(pyglue::Call &c, bool channel_ops);

// Method tables shared by the dataset classes: `apply_augmentation(image,
// mask)` and `tf_apply_augmentation(image, mask)` (tf.function).
extern const pyglue::MethodDef kApplyAugmentation;
extern const pyglue::MethodDef kTfApplyAugmentation;

}  // namespace seg
