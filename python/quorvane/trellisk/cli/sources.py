"""What a DESCRIPTION on the command line points at, and the dataset built from it.

The layouts are those of ``quorvane.trellisk.sources``, recognised by content;
the training commands build datasets of these five:

- ``folders``: a folder of images and a folder of per-image JSON annotation
  files (``IMAGES_DIR ANNOTATIONS_DIR``, or ``ANNOTATIONS_DIR --images DIR``);
- ``yaml``: a segmentation YAML file (classes, train/validation images and
  annotations folders);
- ``coco``: a COCO JSON file, with its image folder given by ``--images``;
- ``tfrecord``: a TFRecord YAML file (classes, train/validation ``path``),
  read as detection samples;
- ``tfrecord-segmentation``: the same file read as segmentation samples
  (``--segmentation``): the outlines that ``pack`` keeps in each record.
"""

from dataclasses import dataclass, field
from typing import List, Optional

from ..errors import DatasetError, UsageError  # noqa: F401
from .._tfutil import import_tensorflow, tf_error_text  # noqa: F401


def _record_segmentation():
    """The kind of a TFRecord description read as segmentation samples, the
    dataset's describe().kind; imported when needed, as --help loads no
    extension module."""
    from ..datasets.formats import RECORD_SEGMENTATION

    return RECORD_SEGMENTATION


# What the commands (preview, throughput, the demo) augment TFRecord training
# samples with unless told otherwise: the usual detection recipe.
DETECTION_AUG_CFG = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}


@dataclass
class Source:
    kind: str                      # "folders", "yaml", "coco", "tfrecord" or "tfrecord-segmentation"
    path: Optional[str] = None     # the description file, if any
    images: Optional[str] = None   # image folder (folders, coco)
    annotations: Optional[str] = None  # annotation folder (folders)
    classes: Optional[List[str]] = None  # from --classes
    doc: object = None             # the parsed YAML description
    doc_error: Optional[str] = None  # why the YAML could not be read
    extra: dict = field(default_factory=dict)

    @property
    def detection(self):
        """Whether the samples are detection samples (pictures and boxes): a
        TFRecord description read without --segmentation."""
        return self.kind == "tfrecord"

    def arguments(self):
        """(paths, images, classes) as ``sources.open_source`` takes them."""
        if self.kind == "folders":
            return [self.images, self.annotations], None, self.classes
        return [self.path], self.images, self.classes

    def title(self):
        names = {"folders": "JSON folders", "yaml": "segmentation YAML",
                 "coco": "COCO", "tfrecord": "TFRecord YAML",
                 _record_segmentation(): "TFRecord YAML read as segmentation"}
        if self.kind not in names:  # a layout that check and pack read (YOLO, VOC)
            return self.extra["source"].title()
        where = self.path or "{} + {}".format(self.images, self.annotations)
        return "{} ({})".format(names[self.kind], where)


def resolve(paths, images=None, classes=None, *, segmentation=False):
    """Work out the layout from the DESCRIPTION argument(s) (by content, as
    ``sources.open_source`` does); raises UsageError.

    ``segmentation``: a TFRecord description is read as segmentation samples
    (kind "tfrecord-segmentation"); any other description is a UsageError.
    """
    from ..sources import open_source

    source = open_source(paths, images=images, classes=classes)
    kind = source.kind
    if segmentation:
        if kind != "tfrecord":
            raise UsageError(
                "--segmentation reads the outlines of a packed TFRecord dataset (the "
                "tfrecord.yaml that pack writes); {} is not a TFRecord description{}".format(
                    source.title(), "" if kind not in TRAINABLE
                    else ", and is read as segmentation samples without the flag"))
        kind = _record_segmentation()
    return Source(kind, path=None if source.kind == "folders" else source.path,
                  images=getattr(source, "images", None),
                  annotations=getattr(source, "annotations", None), classes=classes,
                  doc=getattr(source, "doc", None), doc_error=getattr(source, "error", None),
                  extra={"source": source})


def read_json_labels(ann_dir):
    """Class names for a folder pair given without --classes: class0..classN."""
    from ..sources.folders import read_json_labels

    return read_json_labels(ann_dir)


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
    if native_augment and not src.detection:
        from ..datasets.augment import use_native_augmentation

        use_native_augmentation(ds)
    return ds


# The layouts a dataset class reads directly; the others (YOLO, Pascal VOC)
# are read by check and pack only.
TRAINABLE = ("folders", "yaml", "coco", "tfrecord")


def train_samples(ds):
    """The training sample count of a segmentation dataset, or None when it
    is not known (a record description without "samples" counts)."""
    n = ds.get_num_train_samples()
    return None if n is None else int(n)


def _construct(src, shape, letter_box, aug_cfg, crowd="object"):
    if src.doc_error:
        raise DatasetError("{}: {}".format(src.path, src.doc_error))
    if src.kind not in TRAINABLE + (_record_segmentation(),):
        raise DatasetError("{} is read by check and pack only: pack it into TFRecord files "
                           "(python -m quorvane.trellisk pack DESCRIPTION --out DIR) and use "
                           "DIR/tfrecord.yaml".format(src.title()))
    try:
        if src.kind == "tfrecord":
            m = _module("datasets.tfrecord")
            return m.TFRecordDatasetYaml(src.path, shape=list(shape), letter_box=letter_box,
                                         add_bkg_class=True,
                                         aug_cfg=None if aug_cfg is None else dict(aug_cfg))
        m = _module("datasets.segmentation")
        if src.kind == _record_segmentation():
            return m.SegmentationDatasetTFRecord(src.path, shape=list(shape),
                                                 letter_box=letter_box, tasks=["segment"])
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
