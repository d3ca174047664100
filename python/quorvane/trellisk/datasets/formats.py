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

# The keys, sections and messages of the segmentation YAML and TFRecord YAML
# descriptions (the dataset constructors raise their messages; check reports
# its own); the classes of a COCO file's categories as the COCO reader
# numbers them: coco_category_classes(categories) -> (labels, {id: class}).
from ._rules import SEGMENTATION_YAML, TFRECORD_YAML, coco_category_classes  # noqa: F401

# The fewest vertices a part keeps, by dataset kind (DatasetDescription.kind).
MIN_VERTICES = {"folders": MIN_PART_VERTICES, "coco": MIN_OUTLINE_VERTICES,
                "tfrecord-segmentation": MIN_PART_VERTICES}

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
COCO_BBOX = "bbox"  # [x, y, width, height] in pixels of the image
COCO_HEIGHT = "height"  # of an image entry, in pixels
COCO_WIDTH = "width"
# An RLE "segmentation": {"size": [height, width], "counts": runs or text}.
COCO_SIZE = "size"
COCO_COUNTS = "counts"
# What the COCO dataset's masks make of crowd regions ("iscrowd" 1): paint
# them with their class, with the ignore value, or leave them out.
CROWD_POLICIES = ("object", "ignore", "skip")
DEFAULT_IGNORE_VALUE = 255

# -- TFRecord detection datasets ----------------------------------------------

RECORD_PATTERN = "*.tfrecord"
# Records a training stream shuffles through (a buffer, not the whole split).
RECORD_SHUFFLE_BUFFER = 200
# Files a stream of records reads at once, one record from each in turn. A
# fixed number, not one per core: a training pass's order and augmentation
# are keyed by the records' places in the stream, so that order must be the
# same on every machine a run is resumed on.
RECORD_READ_CYCLE = 4
# (feature, "fixed" or "var", dtype name in TensorFlow)
RECORD_FEATURES = (
    ("image", "fixed", "string"),
    ("image_name", "fixed", "string"),
    ("width", "fixed", "int64"),
    ("height", "fixed", "int64"),
    ("objects", "var", "int64"),
    ("bboxes", "var", "float32"),
)

# Outlines beside the detection features (optional; a record without them
# reads as before). Object m has class OUTLINE_CLASSES[m] and
# OUTLINE_PARTS[m] parts (0: none); part p has OUTLINE_VERTICES[p]
# vertices, parts in object order; OUTLINE_XY holds the vertices as flat
# (x, y) pairs, fractions of the picture (0..1), parts in order. When the
# record has "objects", outline object m is detection object m (same class).
OUTLINE_CLASSES = "outline_classes"
OUTLINE_PARTS = "outline_parts"
OUTLINE_VERTICES = "outline_vertices"
OUTLINE_XY = "outline_xy"
OUTLINE_FEATURES = (
    (OUTLINE_CLASSES, "var", "int64"),
    (OUTLINE_PARTS, "var", "int64"),
    (OUTLINE_VERTICES, "var", "int64"),
    (OUTLINE_XY, "var", "float32"),
)

# COCO RLE regions beside the outlines (optional, written only for records
# that have any). Region r belongs to outline object REGION_OBJECTS[r] (one
# region per object, objects increasing; such an object usually has no
# parts) and REGION_COUNTS[r] is its compressed RLE text ("counts") at the
# record's height x width. The readers paint object by object: an object's
# parts, then its region, with the object's class + 1.
REGION_OBJECTS = "region_objects"
REGION_COUNTS = "region_counts"
REGION_FEATURES = (
    (REGION_OBJECTS, "var", "int64"),
    (REGION_COUNTS, "var", "string"),
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


def record_features(tf, outlines=False, dense=False):
    """The feature description for tf.io.parse_single_example; with
    ``outlines``, the outline and region features too (empty when a record
    lacks them). ``dense``: list features parse to dense vectors instead of
    sparse ones, which saves converting them when they are read whole."""
    kinds = {"fixed": lambda dtype: tf.io.FixedLenFeature([], dtype),
             "var": (lambda dtype: tf.io.FixedLenSequenceFeature([], dtype, allow_missing=True))
             if dense else (lambda dtype: tf.io.VarLenFeature(dtype))}
    features = RECORD_FEATURES + (OUTLINE_FEATURES + REGION_FEATURES if outlines else ())
    return {name: kinds[kind](getattr(tf, dtype)) for name, kind, dtype in features}


# -- what a pipeline needs to know of a dataset ---------------------------------

from dataclasses import dataclass as _dataclass, field as _field  # noqa: E402
from typing import Any as _Any, Mapping as _Mapping, Optional as _Optional  # noqa: E402

# Segmentation samples read from record shards with outlines
# (SegmentationDatasetTFRecord).
RECORD_SEGMENTATION = "tfrecord-segmentation"
KINDS = ("folders", "coco", "tfrecord", RECORD_SEGMENTATION)


@_dataclass(frozen=True)
class CocoRegion:
    """An RLE region of a COCO image as the masks paint it: after the first
    ``after`` outlines of the image, with the mask value ``value``; ``rle``
    is the "segmentation" object as written (decoded when read),
    ``expected`` the image entry's (height, width) or None, ``annotation_id``
    names it in errors."""

    after: int
    value: int
    annotation_id: _Any
    rle: _Any
    expected: _Optional[tuple]


@_dataclass(frozen=True)
class CocoIndex:
    """The training entries of a COCO dataset as its reader uses them.

    ``image_ids`` and ``image_paths`` have one item per training entry (an
    image listed twice in the file is two entries with one path);
    ``annotations`` maps an image id to its outlines, each a pair (class id,
    polygon float64 N x 2 in source pixels), in file order, leaving out the
    categories that ``labels`` does not list; ``category_classes`` maps a
    category id to its class id. Class ids are what the reader returns; the
    mask paints class id + 1. The crowd policy is applied: crowd outlines
    are left out ("skip") or carry class ignore_value - 1 ("ignore").
    ``regions`` maps an image id to its RLE regions (:class:`CocoRegion`),
    the policy applied likewise.
    """

    image_ids: tuple
    image_paths: tuple
    annotations: _Mapping
    category_classes: _Mapping
    regions: _Mapping = _field(default_factory=dict)

    def regions_of(self, position):
        """The RLE regions of training entry ``position``."""
        return self.regions.get(self.image_ids[position], ())

    def outlines(self, position):
        """The outlines of training entry ``position``."""
        return self.annotations.get(self.image_ids[position], ())


@_dataclass(frozen=True)
class DatasetDescription:
    """What the pipelines and the tools need to know of a dataset, given by
    its ``describe()`` method.

    - ``kind``: "folders" (SegmentationDataset, SegmentationDatasetYaml),
      "coco" (SegmentationDatasetJsonCOCO), "tfrecord" (the detection
      datasets) or "tfrecord-segmentation" (SegmentationDatasetTFRecord);
    - ``shape``: the network input (height, width, channels) or None;
      ``letterbox``: keep the aspect ratio (True) or stretch;
    - ``class_offset``: 1 when class 0 is the background, else 0;
      ``classes``: the class names (segmentation: the labels, mask value
      k + 1 is classes[k]; detection: the dataset's ``classes``, which
      begin with "background" when class 0 is the background);
    - ``train_files``/``val_files``: annotation files (folders), record
      files (tfrecord, tfrecord-segmentation), the image of each training
      entry (coco);
    - ``train_images``/``val_images``: image folders (segmentation);
      ``num_points``: outline resolution; ``segments``: the "segment" task;
    - ``num_train_samples``/``num_val_samples``: sample counts, 0 when not
      known yet; ``info_file``: the description file, if any;
    - ``coco``: the COCO index (:class:`CocoIndex`) or None;
    - ``augmentation``: segmentation: {"channel_ops": bool} (the COCO
      dataset neither drops nor shuffles channels); detection: the validated
      augmentation config, None when the dataset does not augment;
    - ``class_presence``: the class ids each training picture holds (one
      sorted tuple per picture, records in reading order), once a pipeline
      with repeat-factor sampling has asked for them, else None.
    - ``crowd``: what the masks make of crowd regions, one of
      ``CROWD_POLICIES`` ("object" for the layouts without crowd regions);
      ``ignore_value``: the mask value of ignored crowd regions, which
      losses should skip.
    """

    kind: str
    shape: _Optional[tuple]
    letterbox: bool
    class_offset: int
    classes: tuple
    train_files: tuple = ()
    val_files: tuple = ()
    train_images: _Optional[str] = None
    val_images: _Optional[str] = None
    num_points: _Optional[int] = None
    segments: bool = False
    num_train_samples: int = 0
    num_val_samples: int = 0
    info_file: _Optional[str] = None
    coco: _Optional[CocoIndex] = None
    augmentation: _Any = _field(default=None, compare=False)
    class_presence: _Optional[tuple] = _field(default=None, compare=False, repr=False)
    crowd: str = "object"
    ignore_value: int = DEFAULT_IGNORE_VALUE

    def __post_init__(self):
        if self.kind not in KINDS:
            raise ValueError("kind must be one of {}, got {!r}".format(", ".join(KINDS), self.kind))
        if self.crowd not in CROWD_POLICIES:
            raise ValueError("crowd must be one of {}, got {!r}".format(", ".join(CROWD_POLICIES), self.crowd))
        put = object.__setattr__.__get__(self)
        if self.shape is not None:
            try:
                put("shape", tuple(int(v) for v in self.shape))
            except (TypeError, ValueError):
                pass  # kept as given: the pipelines say what is wrong with it
        put("letterbox", bool(self.letterbox))
        put("class_offset", int(self.class_offset))
        put("classes", tuple(self.classes or ()))
        put("train_files", tuple(str(f) for f in self.train_files or ()))
        put("val_files", tuple(str(f) for f in self.val_files or ()))
        put("segments", bool(self.segments))
        put("num_train_samples", int(self.num_train_samples or 0))
        put("num_val_samples", int(self.num_val_samples or 0))

    @property
    def channels(self):
        """Channels of the batches: the third entry of ``shape``, else 3."""
        shape = self.shape
        return int(shape[2]) if shape is not None and len(shape) > 2 else 3

    @property
    def segmentation(self):
        return self.kind != "tfrecord"


def fit_channels(tf, image, channels):
    """``image`` with ``channels`` channels: a greyscale picture among colour
    ones is repeated into three (both pipelines, in the graph)."""
    if channels != 3:
        return image
    return tf.cond(tf.shape(image)[2] == 1, lambda: tf.tile(image, [1, 1, 3]), lambda: image)


def detection_batch_shapes(channels, training, shape=None):
    """The padded shapes of detection batches: training (image at ``shape``,
    (boxes,)); validation (image at its stored size, (boxes, name, size))."""
    if training:
        return ((int(shape[0]), int(shape[1]), channels), ((None, 5),))
    return ((None, None, channels), ((None, 5), (), (2,)))


def _crowd_class(cls, crowd, policy, ignore_value):
    """The class id a crowd-aware painter gets (mask value - 1), or None
    when the policy leaves the object out."""
    if not crowd:
        return cls
    if policy == "skip":
        return None
    return ignore_value - 1 if policy == "ignore" else cls


def coco_index(image_ids, file_names, images_folder, annotations, category_classes,
               join=os.path.join, regions=None, crowd="object", ignore_value=DEFAULT_IGNORE_VALUE):
    """The :class:`CocoIndex` of a COCO dataset's training entries (built by
    its ``describe``): an entry's path is that of the first listing of its
    image id, as the reader finds it. ``regions``: image id -> the reader's
    RLE entries (records before it, category id, crowd, annotation id, RLE,
    (height, width) or None); ``crowd`` and ``ignore_value`` the policy."""
    import bisect

    import numpy as np

    ids, names = list(image_ids), list(file_names)
    first = {}
    for i, image_id in enumerate(ids):
        first.setdefault(image_id, i)
    categories = dict(category_classes)
    regions = regions or {}
    outlines, placed = {}, {}
    for image_id in first:
        kept, records_of = [], []
        for k, record in enumerate(annotations.get(image_id) or ()):
            cls = categories.get(record["class"])
            if cls is not None:  # else a category that labels does not list
                cls = _crowd_class(int(cls), record.get("crowd"), crowd, ignore_value)
            if cls is None:
                continue
            kept.append((cls, np.asarray(record["polygon"], dtype=np.float64).reshape(-1, 2)))
            records_of.append(k)
        outlines[image_id] = tuple(kept)
        found = []
        for before, category, is_crowd, annotation_id, rle, expected in regions.get(image_id) or ():
            cls = categories.get(category)
            if cls is not None:
                cls = _crowd_class(int(cls), is_crowd, crowd, ignore_value)
            if cls is None:
                continue
            found.append(CocoRegion(bisect.bisect_left(records_of, before), cls + 1, annotation_id, rle,
                                    None if expected is None else tuple(int(v) for v in expected)))
        if found:
            placed[image_id] = tuple(found)
    paths = tuple(join(images_folder, names[first[image_id]]) for image_id in ids)
    return CocoIndex(tuple(ids), paths, outlines, categories, placed)
