"""Fuzz SegmentationDatasetJsonCOCO: the constructor on a mutated COCO file,
then the reader and the mask painter on the images it indexed.

Input: flags (bit 0 letterbox), the COCO file as a chunk, the image file
(every entry's file, whatever its name) as the rest."""

import json
import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

Image = harness.image_library()

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from quorvane.trellisk import validate  # noqa: E402
from quorvane.trellisk.datasets import _rules  # noqa: E402
from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO  # noqa: E402
from quorvane.trellisk.sources import open_source  # noqa: E402

SHAPE = [16, 16, 3]
NUM_POINTS = 8
WORK = harness.scratch("coco")
FILE = os.path.join(WORK, "train.json")
IMAGES = os.path.join(WORK, "images")
os.makedirs(IMAGES)

# Construction: a missing file, the parser (ValueError), empty sections
# (ValueError), odd coordinate counts (ValueError from the reshape), an
# annotation without a segmentation or a section of the wrong kind
# (TypeError), too deep a document (RecursionError). Reading: the image
# library's errors and the id search (ValueError).
ERRORS = (OSError, ValueError, TypeError, KeyError, RecursionError,
          Image.DecompressionBombError)


def one_input(data):
    inp = harness.Input(data)
    flags = inp.byte()
    harness.write(FILE, inp.chunk())
    image = inp.rest()
    # check reads the same file and never raises for a fault of the data;
    # the category numbering it shares with the reader refuses only what
    # the reader refuses (a category that is not an object: TypeError).
    report = validate.check(open_source([FILE], images=IMAGES))
    harness.check(all(p.line() for p in report.problems), "problem lines")
    with harness.allowed(ValueError, TypeError, RecursionError):
        with open(FILE, encoding="utf-8") as f:
            doc = json.load(f)
        if isinstance(doc, dict) and isinstance(doc.get("categories"), list):
            _rules.coco_category_classes(doc["categories"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        with harness.allowed(*ERRORS):
            ds = SegmentationDatasetJsonCOCO(train_json_file=FILE, train_images=IMAGES,
                                            shape=list(SHAPE), letter_box=bool(flags & 1),
                                            num_points=NUM_POINTS)
            harness.check(ds.get_num_train_samples() == len(ds.train_images_id), "count")
            classes = ds.get_num_segmentation_classes()
            for name in dict.fromkeys(ds.train_storage_images[:3]):
                # names are the file's own values: only plain ones are written
                if isinstance(name, str) and name and "/" not in name and "\0" not in name \
                        and name not in (".", ".."):
                    harness.write(os.path.join(IMAGES, name), image)
            for image_id in list(dict.fromkeys(ds.train_images_id))[:3]:
                with harness.allowed(*ERRORS):
                    img, polygons, cls = ds._read_data(image_id)
                    harness.check(img.dtype == np.uint8 and img.shape == tuple(SHAPE),
                                  "image {} {}".format(img.dtype, img.shape))
                    harness.check(polygons.dtype == np.float32 and cls.dtype == np.int32,
                                  "element types")
                    harness.check(np.isfinite(polygons).all(), "non-finite polygon point")
                    harness.signal("ok", polygons.shape, classes)
                    mask = ds._build_gt_mask(tf.constant(polygons), tf.constant(cls))
                    harness.check(mask.dtype == np.int32 and mask.shape == tuple(SHAPE[:2]),
                                  "mask layout")
                    harness.check(0 <= mask.min() and mask.max() < classes,
                                  "mask values {} for {} classes".format(np.unique(mask), classes))
        for name in os.listdir(IMAGES):
            path = os.path.join(IMAGES, name)
            if os.path.isfile(path):
                os.remove(path)


if __name__ == "__main__":
    harness.main(one_input, "coco")
