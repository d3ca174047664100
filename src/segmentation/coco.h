// The COCO-file segmentation dataset class.
#pragma once

#include "pyglue.h"

namespace seg {

// Creates SegmentationDatasetJsonCOCO in the module namespace `ns`.
void add_coco_class(pybind11::dict ns);

}  // namespace seg
