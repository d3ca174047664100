"""YOLO layout: one text file of labels per picture.

A DESCRIPTION is either a folder holding ``images/`` and ``labels/`` (split
by their ``train/`` and ``val/`` subfolders when there are such), or a data
YAML file::

    path: /data/shapes          # the dataset root (relative: to the YAML's folder)
    train: images/train         # a folder of pictures, a list of them, or a
    val: images/val             #   .txt file listing picture paths
    names: [rectangle, triangle]  # or a mapping {0: rectangle, 1: triangle}

The labels of ``.../images/train/a.jpg`` are in ``.../labels/train/a.txt``
(the last ``images`` folder of the path becomes ``labels``). Each line is one
object, ``class cx cy w h`` (centre and size in fractions of the picture), or
an outline ``class x1 y1 x2 y2 ...`` whose box is its extent.
"""

import io
import math
import os

from ..errors import UsageError
from . import _shared as P
from ._common import (MAX_INFERRED_CLASSES, K, Problems, YamlDescription, extent, file_size,
                      show)
from .base import Object, Sample, SampleRef

KIND = "yolo"
LABEL_SUFFIX = ".txt"
BOX_NUMBERS = 4
# An outline needs at least three vertices; with two it would read as a box.
MIN_OUTLINE_NUMBERS = 6
# The data YAML's key of each split.
SPLIT_KEYS = (("train", "train"), ("validation", "val"))
# The subfolders of images/ a bare folder is split by, in order of preference.
FOLDER_SPLITS = (("train", ("train",)), ("validation", ("val", "valid", "validation")))
# Keys of which at least one sits beside "train" in a data YAML.
_YAML_KEYS = ("names", "nc", "val", "path")


def _is_split_value(v):
    """A folder, a list file, or a non-empty list of them (a segmentation or
    TFRecord description has a mapping here)."""
    if isinstance(v, str):
        return bool(v)
    return isinstance(v, list) and bool(v) and all(isinstance(e, str) for e in v)


def recognise(paths, images=None):
    """Whether ``paths`` (the DESCRIPTION) is a YOLO dataset: one folder with
    ``images/`` and ``labels/`` in it, or a data YAML whose ``train`` is a
    folder, a list file or a list of them (never a mapping, as in the other
    YAML layouts). Reads nothing large and never raises."""
    try:
        paths = list(paths)
        if len(paths) != 1 or not isinstance(paths[0], str):
            return False
        p = paths[0]
        if os.path.isdir(p):
            return os.path.isdir(os.path.join(p, "images")) and os.path.isdir(os.path.join(p, "labels"))
        if p.lower().endswith(".json") or not P.small_file(p):
            return False
        doc = YamlDescription(p).doc
        return (doc is not None and _is_split_value(doc.get("train"))
                and any(k in doc for k in _YAML_KEYS))
    except Exception:  # noqa: BLE001 -- recognising never fails, it says no
        return False


def class_id(token):
    """The class of a label line: an integer, also written as an integral
    number such as ``7.0``; None when it is not one."""
    try:
        v = float(token)
    except ValueError:
        return None
    if not math.isfinite(v) or v != math.floor(v):
        return None
    return int(v)


def label_path(image_path):
    """The label file of a picture: the last ``images`` folder of its path
    becomes ``labels`` and the suffix ``.txt`` (beside the picture when no
    folder is called ``images``)."""
    folder, name = os.path.split(image_path)
    return os.path.join(_labels_folder(folder), os.path.splitext(name)[0] + LABEL_SUFFIX)


def _labels_folder(folder):
    parts = folder.split(os.sep)
    for k in range(len(parts) - 1, -1, -1):
        if parts[k] == "images":
            parts[k] = "labels"
            break
    return os.sep.join(parts)


def _names_list(names):
    """(class names, problem text or None) of a data YAML's ``names``."""
    if isinstance(names, list):
        if not names:
            return None, '"names" is an empty list'
        return [str(n) for n in names], None
    if not isinstance(names, dict) or not names:
        return None, '"names" must be a list of names or a mapping from class index to name, ' \
                     'got {}'.format(show(names))
    by_index = {}
    for key, name in names.items():
        k = key if isinstance(key, int) and not isinstance(key, bool) else (
            int(key) if isinstance(key, str) and key.strip().isdigit() else None)
        if k is None or k < 0:
            return None, '"names" key {} is not a class index (0, 1, ...)'.format(show(key))
        by_index[k] = str(name)
    first_missing = next(k for k in range(len(by_index) + 1) if k not in by_index)
    if first_missing < len(by_index):
        return None, '"names" has no name for class {} (indices run from 0 without gaps)'.format(
            first_missing)
    return [by_index[k] for k in range(len(by_index))], None


class YoloSource(P.ListedSource):
    """The samples of a YOLO dataset (see the module's help)."""

    kind = KIND
    name = "YOLO"
    problem_kinds = (K.DESCRIPTION, K.ANNOTATION_UNREADABLE, K.ANNOTATION_MALFORMED, K.IMAGE_MISSING,
                     K.IMAGE_UNDECODABLE, K.ZERO_LENGTH, K.CLASS_RANGE, K.COORD_RANGE,
                     K.LABEL_WITHOUT_IMAGE)

    def __init__(self, path, classes=None):
        super().__init__(path, classes)
        self.root = path
        # Label folders (and the label files the pictures have in them) to
        # look through for labels without a picture.
        self._label_dirs = {}

    def read(self, ref, image=True):
        """One picture and the objects of its label file (none, counted,
        when it has no label file). Never raises for a fault of the data."""
        image_path, labels = ref.key
        sample = Sample(ref.name, None, problems=Problems())
        has_labels = os.path.isfile(labels)
        try:
            usable = P.read_picture(sample, labels if has_labels else image_path, image_path, image)
            if not has_labels:
                if usable:
                    sample.counts["pictures without labels"] += 1
                return sample
            sample.counts["label files"] += 1
            sample.objects = self._read_labels(labels, sample.problems)
        except Exception as e:  # noqa: BLE001 -- a fault nothing foresaw is still a problem
            sample.problems.add(labels, K.ANNOTATION_MALFORMED,
                                "unexpected fault ({}: {})".format(type(e).__name__, e))
        return sample

    # -- labels ---------------------------------------------------------------

    def _read_labels(self, path, problems):
        try:
            with io.open(path, encoding="utf-8") as f:
                text = f.read()
        except OSError as e:
            problems.add(path, K.ANNOTATION_UNREADABLE, e.strerror or str(e))
            return []
        except UnicodeDecodeError as e:
            problems.add(path, K.ANNOTATION_MALFORMED, "not UTF-8 text: {}".format(e))
            return []
        objects = []
        for n, line in enumerate(text.splitlines(), 1):
            tokens = line.split()
            if tokens:
                obj = self._object(tokens, "{} line {}".format(path, n), problems)
                if obj is not None:
                    objects.append(obj)
        return objects

    def _object(self, tokens, where, problems):
        """The object of one label line, or None after reporting its problems."""
        def problem(kind, text):
            problems.add(where, kind, text)

        cls = class_id(tokens[0])
        try:
            values = [float(t) for t in tokens[1:]]
        except ValueError:
            values = None
        if cls is None or values is None:
            problem(K.ANNOTATION_MALFORMED,
                    "class {} is not an integer".format(show(tokens[0])) if cls is None else
                    "not numbers: {}".format(show(" ".join(tokens[1:]))))
            return None
        n = len(values)
        if n != BOX_NUMBERS and (n < MIN_OUTLINE_NUMBERS or n % 2):
            problem(K.ANNOTATION_MALFORMED,
                    "{} numbers after the class: a box has 4 (cx cy w h), an outline an even "
                    "number from 6 (x1 y1 x2 y2 ...)".format(n))
            return None
        before = len(problems)
        if not 0 <= cls < len(self.classes):
            problem(K.CLASS_RANGE, "class {} with {} names (0..{})".format(
                cls, len(self.classes), len(self.classes) - 1))
        if n == BOX_NUMBERS:
            cx, cy, w, h = values
            if w < 0 or h < 0:
                problem(K.ANNOTATION_MALFORMED, "negative width or height: {}".format(
                    show(" ".join(tokens[1:]))))
                return None
            points = [(cx - w / 2, cy - h / 2), (cx + w / 2, cy + h / 2)]
        else:
            points = list(zip(values[0::2], values[1::2]))
        low, high = -P.EDGE_SLACK, 1 + P.EDGE_SLACK
        outside = [p for p in points if not (low <= p[0] <= high and low <= p[1] <= high)]
        if outside:
            what = "box corners" if n == BOX_NUMBERS else "vertices"
            problem(K.COORD_RANGE, "{} of {} {} outside 0..1, first ({:g}, {:g})".format(
                len(outside), len(points), what, *outside[0]))
        elif n != BOX_NUMBERS and len(set(points)) == 1:
            problem(K.ZERO_LENGTH, "all {} vertices are the same point ({:g}, {:g})".format(
                len(points), *points[0]))
        if len(problems) > before:
            return None
        points = tuple((min(max(x, 0.0), 1.0), min(max(y, 0.0), 1.0)) for x, y in points)
        return Object(cls, extent(points), () if n == BOX_NUMBERS else (points,))

    # -- opening ----------------------------------------------------------------

    def _open_folder(self, folder):
        """images/ and labels/, split by images/train and images/val."""
        images = os.path.join(folder, "images")
        dirs = {}
        for split, names in FOLDER_SPLITS:
            found = [os.path.join(images, n) for n in names if os.path.isdir(os.path.join(images, n))]
            if found:
                dirs[split] = found[:1]
        if "train" not in dirs:
            # No split subfolders: every picture is a training one.
            dirs = {"train": [images]}
        for split in ("train", "validation"):
            self._add_split(split, [("folder", d) for d in dirs.get(split, [])])

    def _open_yaml(self, path):
        description = YamlDescription(path)
        doc = description.doc
        if description.error:
            self._add(K.DESCRIPTION, path, description.error)
            return
        here = os.path.dirname(os.path.abspath(path))
        root = doc.get("path")
        if root is None:
            root = here
        elif not isinstance(root, str) or not root:
            self._add(K.DESCRIPTION, path, '"path" must be a folder, got {}'.format(
                show(root)))
            return
        self.root = root = os.path.join(here, root)
        if not os.path.isdir(root):
            self._add(K.DESCRIPTION, path, "the dataset folder does not exist: {}".format(root))
            return
        self._yaml_classes(path, doc)
        for split, key in SPLIT_KEYS:
            value = doc.get(key)
            if value is None:
                continue
            if not _is_split_value(value):
                self._add(K.DESCRIPTION, path,
                          '"{}" must be a folder, a .txt list of pictures or a list of them, '
                          'got {}'.format(key, show(value)))
                continue
            entries = []
            for entry in [value] if isinstance(value, str) else value:
                full = os.path.join(root, entry)
                if os.path.isdir(full):
                    entries.append(("folder", full))
                elif os.path.isfile(full) and full.lower().endswith(LABEL_SUFFIX):
                    entries.append(("list", full))
                else:
                    self._add(K.DESCRIPTION, path,
                              '"{}": {} is neither a folder nor a .txt list of pictures'.format(
                                  key, full))
            self._add_split(split, entries)

    def _yaml_classes(self, path, doc):
        names, nc = doc.get("names"), doc.get("nc")
        if names is None:
            self._add(K.DESCRIPTION, path, 'no "names": the class names are needed')
            return
        listed, error = _names_list(names)
        if error:
            self._add(K.DESCRIPTION, path, error)
            return
        if nc is not None and nc != len(listed):
            self._add(K.DESCRIPTION, path, '"nc" is {} but "names" holds {} names'.format(
                show(nc), len(listed)))
        self.classes = listed
        self.classes_given = True

    def _add_split(self, split, entries):
        seen, refs = set(), self._splits[split]
        for what, place in entries:
            if what == "folder":
                pictures = P.pictures_under(place)
                labels_dir = _labels_folder(place)
                if labels_dir != place:
                    self._label_dirs.setdefault(labels_dir, set()).update(
                        label_path(p) for p in pictures)
            else:
                pictures = self._listed(place)
            for picture in pictures:
                if picture not in seen:
                    seen.add(picture)
                    labels = label_path(picture)
                    refs.append(SampleRef(split, P.relative_name(picture, self.root),
                                          (picture, labels), labels, file_size(picture)))

    def _listed(self, path):
        """The pictures a .txt list file names, one a line (relative: to the
        list's folder), in its order."""
        here = os.path.dirname(path)
        lines = (line.strip() for line in self._lines(path, "pictures"))
        return [os.path.normpath(os.path.join(here, s)) for s in lines if s and not s.startswith("#")]

    def _finish(self):
        """What needs every split listed: the classes when no names were
        given, labels without a picture, empty splits."""
        for folder, expected in sorted(self._label_dirs.items()):
            if not os.path.isdir(folder):
                self._notes.append("no labels folder {}: its pictures have no objects".format(folder))
                continue
            for top, dirs, files in os.walk(folder):
                dirs.sort()
                for f in sorted(files):
                    label = os.path.join(top, f)
                    if f.endswith(LABEL_SUFFIX) and label not in expected:
                        self._add(K.LABEL_WITHOUT_IMAGE, label,
                                  "no picture of this name at the same place under the images "
                                  "folder")
        self._label_dirs = {}  # not needed again: the packing workers get a lean copy
        if not self.classes_given:
            self._infer_classes()
        if not self._splits["train"] and not any(
                p.kind == K.DESCRIPTION for p in self._problems):
            self._add(K.DESCRIPTION, self.path, "no pictures in the train split")
        if not self._splits["validation"]:
            self._no_validation("no validation pictures")

    def _infer_classes(self):
        top = -1
        for refs in self._splits.values():
            for ref in refs:
                try:
                    with io.open(ref.key[1], encoding="utf-8") as f:
                        for line in f:
                            tokens = line.split()
                            cls = class_id(tokens[0]) if tokens else None
                            if cls is not None and cls < MAX_INFERRED_CLASSES:
                                top = max(top, cls)
                except (OSError, UnicodeDecodeError):
                    continue  # read() reports it
        self.classes = ["class{}".format(k) for k in range(top + 1)] or ["class0"]
        self._notes.append("no class names given: the labels use classes 0..{}, named class0..class{}"
                           .format(len(self.classes) - 1, len(self.classes) - 1))


def open(paths, images=None, classes=None):  # noqa: A001 -- the name every layout module gives it
    """The YOLO dataset named by ``paths`` (a folder or a data YAML file, see
    the module's help) as a Source. ``classes``: the class names of a folder
    (else class0..classN up to the highest class the labels use); a data
    YAML names its own. Raises UsageError for arguments that do not fit the
    layout; faults of the dataset are problems of the source."""
    P.refuse_images(images, "YOLO")
    (path,) = paths
    src = YoloSource(path, classes)
    if os.path.isdir(path):
        src._open_folder(path)
    else:
        if classes:
            raise UsageError("a YOLO data YAML names its own classes: leave out --classes")
        src._open_yaml(path)
    src._finish()
    return src
