"""What a DESCRIPTION on the command line points at, and the dataset built from it.

Four layouts are understood:

- ``folders``: a folder of images and a folder of per-image JSON annotation
  files (``IMAGES_DIR ANNOTATIONS_DIR``, or ``ANNOTATIONS_DIR --images DIR``);
- ``yaml``: a segmentation YAML file (classes, train/validation images and
  annotations folders);
- ``coco``: a COCO JSON file, with its image folder given by ``--images``;
- ``tfrecord``: a TFRecord YAML file (classes, train/validation ``path``).
"""

import json
import os
import re
from dataclasses import dataclass, field
from typing import List, Optional




# What the commands (preview, throughput, the demo) augment TFRecord training
# samples with unless told otherwise: the usual detection recipe.
DETECTION_AUG_CFG = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}


class UsageError(Exception):
    """The command line itself is wrong (exit code 2)."""


class DatasetError(Exception):
    """The dataset or its description cannot be used (exit code 1)."""


@dataclass
class Source:
    kind: str                      # "folders", "yaml", "coco" or "tfrecord"
    path: Optional[str] = None     # the description file, if any
    images: Optional[str] = None   # image folder (folders, coco)
    annotations: Optional[str] = None  # annotation folder (folders)
    classes: Optional[List[str]] = None  # from --classes
    doc: object = None             # the parsed YAML description
    doc_error: Optional[str] = None  # why the YAML could not be read
    extra: dict = field(default_factory=dict)

    def title(self):
        names = {"folders": "JSON folders", "yaml": "segmentation YAML",
                 "coco": "COCO", "tfrecord": "TFRecord YAML"}
        where = self.path or "{} + {}".format(self.images, self.annotations)
        return "{} ({})".format(names[self.kind], where)


def _has_json(folder):
    from ..datasets import formats  # compiled rules: not needed for --help

    return bool(formats.annotation_files(folder))


def _looks_tfrecord(doc):
    if doc.get("type") is not None:
        return True
    splits = [doc.get(k) for k in ("train", "validation")]
    splits = [s for s in splits if isinstance(s, dict)]
    if any("path" in s for s in splits):
        return True
    # The older TFRecord layout names the record folder "images" and has no
    # annotation folder; a segmentation description always has one.
    return bool(splits) and not any("annotations" in s for s in splits)


def resolve(paths, images=None, classes=None):
    """Work out the layout from the DESCRIPTION argument(s); raises UsageError."""
    if not paths or len(paths) > 2:
        raise UsageError("give one description file, or an images folder and an annotations folder")
    for p in paths + ([images] if images else []):
        if not os.path.exists(p):
            raise UsageError("no such file or folder: {}".format(p))
    if classes is not None and not classes:
        raise UsageError("--classes needs at least one class name")

    if len(paths) == 2:
        a, b = paths
        if not (os.path.isdir(a) and os.path.isdir(b)):
            raise UsageError("two arguments must be an images folder and an annotations folder")
        if _has_json(a) and not _has_json(b):
            a, b = b, a  # given as annotations, images
        return Source("folders", images=a, annotations=b, classes=classes)

    (p,) = paths
    if os.path.isdir(p):
        if not images:
            raise UsageError("{} is a folder: give the images folder too "
                             "(IMAGES_DIR ANNOTATIONS_DIR, or --images DIR)".format(p))
        return Source("folders", images=images, annotations=p, classes=classes)
    if p.lower().endswith(".json"):
        if not images:
            raise UsageError("a COCO file needs its image folder: --images DIR")
        if classes:
            raise UsageError("a COCO file names its own classes: leave out --classes")
        return Source("coco", path=p, images=images)

    if images or classes:
        raise UsageError("--images and --classes go with a COCO file or an annotations folder; "
                         "a YAML description names its own folders and classes")
    src = Source("yaml", path=p)
    try:
        import yaml

        with open(p) as f:
            doc = yaml.safe_load(f)
    except (OSError, UnicodeDecodeError) as e:
        src.doc_error = "cannot read the file: {}".format(e)
        return src
    except Exception as e:  # the YAML library's parse errors
        src.doc_error = "not valid YAML: {}".format(" ".join(str(e).split()))
        return src
    if not isinstance(doc, dict):
        src.doc_error = "the top level is not a mapping of keys to values"
        return src
    src.doc = doc
    if _looks_tfrecord(doc):
        src.kind = "tfrecord"
    return src


def read_json_labels(ann_dir):
    """Class names for a folder pair given without --classes: class0..classN."""
    from ..datasets import formats

    top = -1
    for path in formats.annotation_files(ann_dir):
        try:
            with open(path, encoding="utf-8") as f:
                doc = json.load(f)
            for obj in doc.get("segment") or []:
                for part in obj:
                    c = part.get("class")
                    if isinstance(c, int) and not isinstance(c, bool):
                        top = max(top, c)
        except Exception:
            continue  # `check` is the place to report broken files
    return ["class{}".format(k) for k in range(top + 1)] or ["class0"]


def import_tensorflow():
    """Import TensorFlow without its start-up chatter."""
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    import tensorflow as tf

    return tf


def tf_error_text(e):
    """The cause in a TensorFlow error raised from a sample's Python code,
    without TensorFlow's node name and the embedded traceback."""
    msg = str(getattr(e, "message", None) or e)
    msg = re.sub(r"^\{\{[^}]*\}\}\s*", "", msg)
    msg = msg.split("Traceback (most recent call last)")[0]
    msg = " ".join(msg.split())
    return (msg or type(e).__name__)[:1000]


def _module(name):
    import importlib

    import_tensorflow()
    try:
        return importlib.import_module("quorvane.trellisk." + name)
    except ImportError as e:
        raise DatasetError("the module quorvane.trellisk.{} cannot be imported ({}); "
                           "build or install the package first (make dev, or make install)"
                           .format(name, e)) from e


def open_dataset(src, shape, letter_box=True, native_augment=False, aug_cfg=DETECTION_AUG_CFG,
                 crowd="object"):
    """Construct the package's dataset object for ``src``; raises DatasetError.

    ``native_augment``: a segmentation dataset augments with the native engine.
    ``aug_cfg``: what a TFRecord dataset's training samples are augmented
    with (None: not at all); segmentation datasets ignore it. ``crowd``: the
    crowd policy of a COCO dataset.
    """
    ds = _construct(src, shape, letter_box, aug_cfg, crowd)
    if native_augment and src.kind != "tfrecord":
        from ..datasets.augment import use_native_augmentation

        use_native_augmentation(ds)
    return ds


def _construct(src, shape, letter_box, aug_cfg, crowd="object"):
    if src.doc_error:
        raise DatasetError("{}: {}".format(src.path, src.doc_error))
    try:
        if src.kind == "tfrecord":
            m = _module("datasets.tfrecord")
            return m.TFRecordDatasetYaml(src.path, shape=list(shape), letter_box=letter_box,
                                         add_bkg_class=True,
                                         aug_cfg=None if aug_cfg is None else dict(aug_cfg))
        m = _module("datasets.segmentation")
        if src.kind == "yaml":
            return m.SegmentationDatasetYaml(src.path, shape=list(shape), letter_box=letter_box,
                                             tasks=["segment"])
        if src.kind == "coco":
            return m.SegmentationDatasetJsonCOCO(
                train_json_file=src.path, train_images=src.images, shape=list(shape),
                letter_box=letter_box, tasks=["segment"], crowd=crowd)
        labels = list(src.classes) if src.classes else read_json_labels(src.annotations)
        # A single pair serves as both splits: the commands only read training samples.
        return m.SegmentationDataset(
            shape=list(shape), train_images=src.images, val_images=src.images,
            train_annotations=src.annotations, val_annotations=src.annotations,
            labels=labels, tasks=["segment"], letter_box=letter_box)
    except DatasetError:
        raise
    except (OSError, ValueError, TypeError, KeyError, AttributeError) as e:
        raise DatasetError("cannot open {}: {}: {}".format(src.title(), type(e).__name__, e)) from e
