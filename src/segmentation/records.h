// The segmentation dataset served from record shards.
#pragma once

#include "pyglue.h"

namespace seg {

// Creates SegmentationDatasetTFRecord, a subclass of `base`
// (SegmentationDataset), in the module namespace `ns`.
void add_records_class(pybind11::dict ns, pybind11::handle base);

}  // namespace seg
