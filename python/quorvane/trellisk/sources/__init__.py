"""One ``Source`` per dataset layout, read by ``validate`` and ``packing``.

Each layout is one module with two functions: ``recognise(paths, images=None)``
says from the content whether the DESCRIPTION is of that layout, and
``open(paths, images=None, classes=None)`` returns its ``Source`` (raising
``UsageError`` for arguments that do not fit it). ``open_source`` asks the
modules of ``LAYOUTS`` in turn, so adding a layout is one module and one entry.
"""

import os

from ..errors import DatasetError, UsageError  # noqa: F401
from . import coco, folders, segyaml, tfrecord, voc, yolo
from .base import (Object, Problem, ProblemKind, Sample, SampleRef, Source,  # noqa: F401
                   SourceBase, complete)

# Asked in this order: the folder pair (any folder) and the segmentation
# YAML (any other single file, so that a broken YAML file is reported as
# such) claim what the others leave, so they come last. A YOLO or VOC folder
# is known by its subfolders, a YOLO data YAML by a "train" that is not a
# mapping.
LAYOUTS = [coco, tfrecord, yolo, voc, folders, segyaml]


def open_source(paths, images=None, classes=None):
    """The ``Source`` of a DESCRIPTION: one path (a description file, an
    annotations folder) or two (an images folder and an annotations folder);
    ``images``: the pictures folder of a COCO file or an annotations folder;
    ``classes``: class names of a folder pair. Raises UsageError."""
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    paths = [os.fspath(p) for p in paths]
    if not paths or len(paths) > 2:
        raise UsageError("give one description file, or an images folder and an annotations folder")
    for p in paths + ([images] if images else []):
        if not os.path.exists(p):
            raise UsageError("no such file or folder: {}".format(p))
    if classes is not None and not classes:
        raise UsageError("--classes needs at least one class name")
    for layout in LAYOUTS:
        if layout.recognise(paths, images):
            return complete(layout.open(paths, images, classes))
    raise UsageError("{} is not a dataset layout that can be read".format(" ".join(paths)))
