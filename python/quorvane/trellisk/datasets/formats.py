"""What each dataset format is made of: the files a dataset lists, the keys its
annotation files use and the features of its records.

The readers (the extension modules) and ``python -m quorvane.trellisk check``
both take these from here, so that check looks at exactly the files and
values the dataset reads. The annotation keys, the class-id and label
ranges, the vertex counts and the box layout come from the compiled rules
that the readers and the op library apply (``_rules``). No TensorFlow, so
that check starts at once.
"""

import glob as _glob
import os.path

# {"image": file name, "segment": [[{"polygon": [[x, y], ...], "class": k}, ...], ...]};
# is_class_id(v): whether the readers take v as a class id (0..MAX_CLASS_ID);
# max_label(class_offset): the largest record label a TFRecord dataset takes.
from ._rules import (JSON_CLASS, JSON_IMAGE, JSON_POLYGON, JSON_SEGMENT,  # noqa: F401
                     MAX_CLASS_ID, is_class_id, max_label)
# MIN_PART_VERTICES: a part of a per-image annotation file with fewer is
# dropped with its class; MIN_OUTLINE_VERTICES: an outline with fewer has no
# length and is left out (the only count test a COCO polygon meets).
# BOX_VALUES per object in a record's "bboxes"; BOX_COLUMNS [x1, y1, x2, y2,
# label] per decoded box.
from ._rules import (BOX_COLUMNS, BOX_VALUES, MIN_OUTLINE_VERTICES,  # noqa: F401
                     MIN_PART_VERTICES)

# The fewest vertices a part keeps, by dataset kind (DatasetDescription.kind).
MIN_VERTICES = {"folders": MIN_PART_VERTICES, "coco": MIN_OUTLINE_VERTICES}

# -- per-image JSON annotation files (SegmentationDataset) -------------------

# Any letter case of ".json", directly inside the split's annotation folder.
ANNOTATION_PATTERN = "*.[jJ][sS][oO][nN]"

# -- COCO instances files (SegmentationDatasetJsonCOCO) -----------------------

COCO_IMAGES = "images"
COCO_ANNOTATIONS = "annotations"
COCO_CATEGORIES = "categories"
COCO_ID = "id"
COCO_FILE_NAME = "file_name"
COCO_NAME = "name"
COCO_IMAGE_ID = "image_id"
COCO_CATEGORY_ID = "category_id"
COCO_SEGMENTATION = "segmentation"
COCO_ISCROWD = "iscrowd"

# -- TFRecord detection datasets ----------------------------------------------

RECORD_PATTERN = "*.tfrecord"
# Records a training stream shuffles through (a buffer, not the whole split).
RECORD_SHUFFLE_BUFFER = 200
# (feature, "fixed" or "var", dtype name in TensorFlow)
RECORD_FEATURES = (
    ("image", "fixed", "string"),
    ("image_name", "fixed", "string"),
    ("width", "fixed", "int64"),
    ("height", "fixed", "int64"),
    ("objects", "var", "int64"),
    ("bboxes", "var", "float32"),
)


def _listing(folder, pattern, glob, join):
    # Escaped: a folder named "val[1]" is that folder, not a pattern that
    # matches "val1".
    return glob(join(_glob.escape(folder), pattern))


def annotation_files(folder, glob=_glob.glob, join=os.path.join):
    """The annotation files directly inside ``folder``, unsorted (directory
    order). ``glob`` and ``join`` are the functions to use (a module's
    rebound names)."""
    return _listing(folder, ANNOTATION_PATTERN, glob, join)


def record_files(folder, glob=_glob.glob, join=os.path.join):
    """The record files directly inside ``folder``, unsorted (directory order)."""
    return _listing(folder, RECORD_PATTERN, glob, join)


def record_features(tf):
    """The feature description for tf.io.parse_single_example."""
    kinds = {"fixed": lambda dtype: tf.io.FixedLenFeature([], dtype),
             "var": lambda dtype: tf.io.VarLenFeature(dtype)}
    return {name: kinds[kind](getattr(tf, dtype)) for name, kind, dtype in RECORD_FEATURES}
