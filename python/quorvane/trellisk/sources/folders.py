"""A folder of pictures and a folder of per-image JSON annotation files
(``IMAGES_DIR ANNOTATIONS_DIR``, or ``ANNOTATIONS_DIR --images DIR``).

Each annotation file names its picture and lists objects, each a list of
parts ``{"polygon": [[x, y], ...], "class": k}`` in fractions of the picture.
The pair is one split; ``pack`` sends a share of it to validation.
"""

import builtins
import json
import os
from collections import Counter

from ..datasets import formats as F
from ..errors import UsageError
from ._common import (MAX_INFERRED_CLASSES, K, Problems, as_points, check_image, check_vertices, extent, guarded,
                      load_json_object, show)
from .base import Object, Sample, SampleRef, SourceBase


def _has_json(folder):
    return bool(F.annotation_files(folder))


def recognise(paths, images=None):
    return len(paths) == 2 or os.path.isdir(paths[0])


def open(paths, images=None, classes=None):  # noqa: A001 -- the layout modules' common name
    if len(paths) == 2:
        a, b = paths
        if not (os.path.isdir(a) and os.path.isdir(b)):
            raise UsageError("two arguments must be an images folder and an annotations folder")
        if _has_json(a) and not _has_json(b):
            a, b = b, a  # given as annotations, images
        return FoldersSource(a, b, classes)
    if not images:
        raise UsageError("{} is a folder: give the images folder too "
                         "(IMAGES_DIR ANNOTATIONS_DIR, or --images DIR)".format(paths[0]))
    return FoldersSource(images, paths[0], classes)


def read_json_labels(ann_dir):
    """Class names for a folder pair given without class names: class0..classN."""
    top = -1
    for path in F.annotation_files(ann_dir):
        try:
            with builtins.open(path, encoding="utf-8") as f:
                doc = json.load(f)
            for obj in doc.get(F.JSON_SEGMENT) or []:
                for part in obj:
                    c = part.get(F.JSON_CLASS)
                    # 7.0 is class 7, as the readers take it.
                    if F.is_class_id(c) and int(c) < MAX_INFERRED_CLASSES:
                        top = max(top, int(c))
        except Exception:
            continue  # check is the place to report broken files
    return ["class{}".format(k) for k in range(top + 1)] or ["class0"]


def mean_file_size(folder):
    sizes = []
    try:
        with os.scandir(folder) as it:
            for entry in it:
                if entry.is_file():
                    sizes.append(entry.stat().st_size)
    except OSError:
        pass
    return sum(sizes) // len(sizes) if sizes else 0


# -- one split of per-image annotation files (shared with the segmentation YAML) --

def split_files(problems, split, images_dir, ann_dir, required=True):
    """The annotation files of one split, sorted; None after reporting a
    folder that does not exist."""
    bad = []
    for what, d in zip(F.SEGMENTATION_YAML.SECTION_KEYS, (images_dir, ann_dir)):
        if not isinstance(d, str) or not os.path.isdir(d):
            bad.append(F.SEGMENTATION_YAML.CHECK_NO_FOLDER.format(split, what, d))
    for text in bad:
        problems.add(split, K.DESCRIPTION, text)
    if bad:
        return None
    # The dataset's own listing, so check reads exactly the files it reads.
    files = sorted(F.annotation_files(ann_dir))
    if not files and required:
        problems.add(ann_dir, K.DESCRIPTION, F.SEGMENTATION_YAML.CHECK_NO_FILES.format(split))
    return files


def split_refs(split, images_dir, files):
    # The picture a file names is only known once it is read: the folder's
    # mean file size stands in for each sample's.
    size = mean_file_size(images_dir)
    return [SampleRef(split, os.path.basename(p), (p, images_dir), p, size) for p in files]


def read_annotation(ref, labels, image=True):
    """The sample of one per-image annotation file; ``labels`` None: the
    classes are not range-checked."""
    path, images_dir = ref.key
    problems, counts = Problems(), Counter()
    sample = Sample(ref.name, None, problems=problems, counts=counts)
    counts["annotation files"] += 1
    doc = load_json_object(problems, path)
    if doc is not None:
        guarded(problems, path, _read_doc, sample, path, doc, images_dir, labels, image)
    return sample


def _read_doc(sample, path, doc, images_dir, labels, image):
    problems = sample.problems
    name = doc.get(F.JSON_IMAGE)
    if not isinstance(name, str) or not name:
        problems.add(path, K.ANNOTATION_MALFORMED, 'no "{}" file name'.format(F.JSON_IMAGE))
    else:
        name = os.path.basename(name)
        sample.name = name
        found = check_image(problems, sample.counts, path, os.path.join(images_dir, name), image)
        if found is not None:
            sample.image, (sample.width, sample.height) = found
    segment = doc.get(F.JSON_SEGMENT, [])
    if not isinstance(segment, list):
        problems.add(path, K.ANNOTATION_MALFORMED, '"{}" is not a list of objects'.format(F.JSON_SEGMENT))
        return
    for i, obj in enumerate(segment):
        if not isinstance(obj, list):
            problems.add("{} object {}".format(path, i), K.ANNOTATION_MALFORMED,
                         "an object is not a list of parts")
            continue
        parts = []
        for j, part in enumerate(obj):
            where = "{} object {} part {}".format(path, i, j)
            parts.append(guarded(problems, where, _read_part, problems, where, part, labels))
        if parts and all(p is not None for p in parts):
            cls, _ = parts[0]
            outline = tuple(tuple(points) for _, points in parts)
            points = [p for part in outline for p in part]
            if points:
                # One box per object: the extent of all its parts, with the
                # class of its first part.
                sample.objects.append(Object(int(cls), extent(points), outline))


def _read_part(problems, where, part, labels):
    """(class, points) of a sound part, else None after reporting it."""
    if not isinstance(part, dict) or F.JSON_POLYGON not in part or F.JSON_CLASS not in part:
        problems.add(where, K.ANNOTATION_MALFORMED, 'a part needs "{}" and "{}"'.format(
            F.JSON_POLYGON, F.JSON_CLASS))
        return None
    cls = part[F.JSON_CLASS]
    sound = True
    if not F.is_class_id(cls):
        problems.add(where, K.ANNOTATION_MALFORMED,
                     "class {} is not a class id (an integer from 0 to {}); the reader refuses "
                     "the file".format(show(cls), F.MAX_CLASS_ID))
        sound = False
    elif labels is not None and not cls < len(labels):
        problems.add(where, K.CLASS_RANGE, "class {} with {} labels (0..{})".format(
            int(cls), len(labels), len(labels) - 1))
    pts = as_points(part[F.JSON_POLYGON])
    if pts is None:
        problems.add(where, K.ANNOTATION_MALFORMED, "polygon is not a list of [x, y] numbers")
        return None
    check_vertices(problems, where, pts, F.MIN_VERTICES["folders"])
    return (cls, pts) if sound else None


class FoldersSource(SourceBase):
    kind = "folders"

    def __init__(self, images, annotations, classes=None):
        super().__init__()
        self.images, self.annotations = images, annotations
        self.path = annotations
        self.classes_given = classes is not None
        self._classes = list(classes) if classes else None
        self._problems = Problems()
        self._files = split_files(self._problems, "train", images, annotations)

    @property
    def classes(self):
        # Made up from the files (class0..classN) only when asked for.
        if self._classes is None:
            self._classes = read_json_labels(self.annotations)
        return self._classes

    def title(self):
        return "JSON folders ({} + {})".format(self.images, self.annotations)

    def problems(self):
        return list(self._problems)

    def splits(self):
        return {"train": split_refs("train", self.images, self._files or [])}

    def read(self, ref, image=True):
        return read_annotation(ref, self.classes if self.classes_given else None, image)
