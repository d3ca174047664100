"""A COCO instances file (``FILE.json --images DIR``): image entries,
annotations with polygon outlines and boxes in pixels, and categories whose
classes are the COCO reader's. One split; ``pack`` sends a share of it to
validation.
"""

import math
import os
from collections import Counter
from dataclasses import dataclass, field

from ..datasets import _rle
from ..datasets import formats as F
from ..errors import UsageError
from ._common import (K, Problems, as_points, check_image, check_vertices, extent, fmt, guarded,
                      file_size, hashable, id_order, is_number, load_json_object, show)
from .base import Object, Sample, SampleRef, SourceBase


def recognise(paths, images=None):
    return len(paths) == 1 and paths[0].lower().endswith(".json") and not os.path.isdir(paths[0])


def open(paths, images=None, classes=None):  # noqa: A001
    if not images:
        raise UsageError("a COCO file needs its image folder: --images DIR")
    if classes:
        raise UsageError("a COCO file names its own classes: leave out --classes")
    return CocoSource(paths[0], images)


@dataclass
class CocoSample:
    """One image entry and its annotations: ``position`` in "images",
    ``entry``, ``annotations`` [(position in "annotations", annotation)]."""

    position: int
    entry: dict
    annotations: list = field(default_factory=list)


def coco_bbox(ann):
    """The "bbox" [x, y, width, height] of an annotation as floats, or None
    when it is not four finite numbers with a size of 0 or more."""
    box = ann.get(F.COCO_BBOX)
    if not (isinstance(box, list) and len(box) == F.BOX_VALUES and all(is_number(v) for v in box)):
        return None
    try:
        box = [float(v) for v in box]
    except OverflowError:
        return None
    if not all(math.isfinite(v) for v in box) or box[2] < 0 or box[3] < 0:
        return None
    return box


def coco_region(ann, entry=None):
    """The run lengths of an annotation's RLE "segmentation", decoded and
    checked by the readers' decoder (against the image entry's "height" and
    "width" when ``entry`` gives both); None when it holds polygons. A
    broken RLE is a ValueError naming the annotation id."""
    seg = ann.get(F.COCO_SEGMENTATION)
    if not _rle.is_rle(seg):
        return None
    height = width = None
    if isinstance(entry, dict) and all(isinstance(entry.get(k), int) and not isinstance(entry.get(k), bool)
                                       for k in (F.COCO_HEIGHT, F.COCO_WIDTH)):
        height, width = entry[F.COCO_HEIGHT], entry[F.COCO_WIDTH]
    try:
        return _rle.runs(seg, height, width)
    except ValueError as e:
        raise ValueError("annotation {}: {}".format(show(ann.get(F.COCO_ID)), e)) from None


def region_text(rle, width, height):
    """The compressed "counts" text of a sound RLE region at the picture's
    ``width`` x ``height``: as written when it is text of that size; runs
    are encoded; a region of another size is brought to the picture's by
    nearest neighbour (each pixel takes the region pixel the readers would
    paint on it)."""
    counts = rle[F.COCO_COUNTS]
    region_height, region_width = (int(v) for v in rle[F.COCO_SIZE])
    if (region_height, region_width) == (height, width) and isinstance(counts, str):
        return counts
    mask = _rle.decode(rle)
    if (region_height, region_width) != (height, width):
        import numpy as np

        def nearest(n, source):
            # The source pixel under each pixel centre, as the readers map regions.
            return np.clip(np.floor(np.arange(n) * (source / n) + 0.5), 0, max(source - 1, 0)).astype(np.intp)

        mask = mask[nearest(height, region_height)][:, nearest(width, region_width)] if mask.size else \
            np.zeros((height, width), np.uint8)
    return _rle.encode(mask)[F.COCO_COUNTS]


def crowd_note(crowd, annotations):
    """What check says of a COCO file's crowd regions, or None without any."""
    if not crowd:
        return None
    note = ("{} crowd regions: painted with their class (crowd='object', the default), with the "
            "ignore value (crowd='ignore') or left out (crowd='skip')".format(crowd))
    if crowd == annotations:
        note += ("; every annotation is a crowd region: probably exported by an annotation tool; "
                 "crowd='ignore' would leave nothing to learn")
    return note


class CocoSource(SourceBase):
    kind = "coco"

    def __init__(self, path, images):
        super().__init__()
        self.path, self.images = path, images
        self._planned = False
        self._crowd = self._annotations = 0  # crowd regions among the annotations read

    def _planned_once(self):
        # The file is read when first needed: naming a COCO file to the
        # training commands costs no extra parse of it.
        if not self._planned:
            self._planned = True
            self._classes, self.category_classes = [], {}
            self._problems, self._refs, self._orphans = Problems(), [], []
            self._plan()

    @property
    def classes(self):
        self._planned_once()
        return self._classes

    def __getstate__(self):
        # Worker processes read samples by their refs, which carry the
        # annotations: the lists of the whole file stay here.
        state = dict(self.__dict__)
        state["_refs"], state["_orphans"] = [], []
        return state

    def title(self):
        return "COCO ({})".format(self.path)

    def problems(self):
        self._planned_once()
        return list(self._problems)

    def splits(self):
        self._planned_once()
        return {"train": list(self._refs)} if self._refs else {}

    def _plan(self):
        problems, path = self._problems, self.path
        self.counts["COCO files"] += 1
        doc = load_json_object(problems, path)
        if doc is None:
            return
        images, annotations, categories = (
            doc.get(k, []) for k in (F.COCO_IMAGES, F.COCO_ANNOTATIONS, F.COCO_CATEGORIES))
        for key, value in ((F.COCO_IMAGES, images), (F.COCO_ANNOTATIONS, annotations),
                           (F.COCO_CATEGORIES, categories)):
            if not isinstance(value, list):
                problems.add(path, K.ANNOTATION_MALFORMED, '"{}" is not a list'.format(key))
                return
        if not images:
            problems.add(path, K.DESCRIPTION, "no training images in the file")
        if not annotations:
            problems.add(path, K.DESCRIPTION, "no training annotations in the file")
        for k, c in enumerate(categories):
            where = "{} categories[{}]".format(path, k)
            if not isinstance(c, dict):
                problems.add(where, K.ANNOTATION_MALFORMED,
                             "a category is not a JSON object: the reader refuses the file")
                return
            cid = c.get(F.COCO_ID, 0)
            if cid != 0 and not hashable(cid):
                problems.add(where, K.ANNOTATION_MALFORMED,
                             "category id {} cannot match any category_id".format(show(cid)))
        # The reader's own numbering.
        names, self.category_classes = F.coco_category_classes(categories)
        self._classes = [str(c) for c in names]
        by_id = {}
        for k, entry in enumerate(images):
            where = "{} images[{}]".format(path, k)
            image_id = guarded(problems, where, self._entry_id, where, entry, by_id)
            if image_id is not None:
                by_id[image_id] = CocoSample(k, entry)
        for k, ann in enumerate(annotations):
            image_id = ann.get(F.COCO_IMAGE_ID, 0) if isinstance(ann, dict) else None
            sample = by_id.get(image_id) if hashable(image_id) else None
            (sample.annotations if sample else self._orphans).append((k, ann))
        for sample in by_id.values():
            name = sample.entry[F.COCO_FILE_NAME]
            self._refs.append(SampleRef("train", "{}#{}".format(name, sample.position), sample,
                                        "{} images[{}]".format(path, sample.position),
                                        file_size(os.path.join(self.images, name))))

    def _entry_id(self, where, entry, by_id):
        """The id of a sound image entry; a malformed or repeated one is reported."""
        problems = self._problems
        if (not isinstance(entry, dict) or entry.get(F.COCO_ID) is None
                or not isinstance(entry.get(F.COCO_FILE_NAME), str)):
            problems.add(where, K.ANNOTATION_MALFORMED, 'an image entry needs "{}" and "{}"'.format(
                F.COCO_ID, F.COCO_FILE_NAME))
            return None
        image_id = entry[F.COCO_ID]
        if not hashable(image_id):
            problems.add(where, K.ANNOTATION_MALFORMED,
                         "image id {} is not an integer or a string: no annotation can refer to "
                         "it".format(show(image_id)))
            return None
        if image_id in by_id:
            problems.add(where, K.ANNOTATION_MALFORMED,
                         "image id {} repeats; every sample of it reads the first entry's file".format(
                             show(image_id)))
            return None
        return image_id

    def read(self, ref, image=True):
        entry = ref.key.entry
        problems, counts = Problems(), Counter()
        sample = Sample(entry.get(F.COCO_FILE_NAME), None, problems=problems, counts=counts)
        sizes = {}
        guarded(problems, ref.where, self._read_image, sample, ref.where, entry, sizes, image)
        for k, ann in ref.key.annotations:
            self._read_annotation(sample, k, ann, sizes, entry)
        return sample

    def leftovers(self):
        """The annotations that belong to no sound image entry."""
        self._planned_once()
        sample = Sample("", None, problems=Problems())
        for k, ann in self._orphans:
            self._read_annotation(sample, k, ann, {})
        self.counts.update(sample.counts)
        return list(sample.problems)

    def notes(self):
        note = crowd_note(self._crowd, self._annotations)
        return [note] if note else []

    def _read_image(self, sample, where, entry, sizes, image):
        found = check_image(sample.problems, sample.counts, where,
                            os.path.join(self.images, entry[F.COCO_FILE_NAME]), image)
        size = None
        if found is not None:
            sample.image, size = found
            sample.width, sample.height = size
        width, height = entry.get("width"), entry.get("height")
        if size is None and is_number(width) and is_number(height):
            size = (width, height)
        sizes[entry[F.COCO_ID]] = size

    def _read_annotation(self, sample, k, ann, sizes, entry=None):
        where = "{} annotations[{}]".format(self.path, k)
        sample.counts["annotations"] += 1
        obj = guarded(sample.problems, where, self._annotation, sample.problems, where, ann, sizes, entry)
        if obj is not None:
            sample.objects.append(obj)

    def _annotation(self, problems, where, ann, sizes, entry=None):
        """The object of one annotation, None after reporting what is wrong
        (or for an object the reader skips)."""
        if not isinstance(ann, dict):
            problems.add(where, K.ANNOTATION_MALFORMED, "an annotation is not a JSON object")
            return None
        self._annotations += 1
        sound = True
        image_id = ann.get(F.COCO_IMAGE_ID, 0)
        if not hashable(image_id) or image_id not in sizes:
            problems.add(where, K.ANNOTATION_MALFORMED, "image_id {} matches no image".format(
                show(image_id)))
            sound = False
        cat = ann.get(F.COCO_CATEGORY_ID, 0)
        if not hashable(cat) or cat not in self.category_classes:
            problems.add(where, K.CLASS_RANGE, "category_id {} is not among the categories {}".format(
                show(cat), show(sorted(self.category_classes, key=id_order))))
            sound = False
        size = sizes.get(image_id) if hashable(image_id) else None
        crowd = bool(ann.get(F.COCO_ISCROWD))
        self._crowd += crowd  # painted as the dataset's crowd policy says
        seg = ann.get(F.COCO_SEGMENTATION)
        if isinstance(seg, dict):
            try:
                coco_region(ann, entry)
            except ValueError as e:
                problems.add(where, K.ANNOTATION_MALFORMED, str(e))
                return None
            if not sound or size is None:
                return None
            if crowd:  # kept out of records: a bbox that is not sound gives way to the extent
                box = self._box(Problems(), where, ann, size, [], seg) or \
                    self._box(Problems(), where, {}, size, [], seg)
            else:
                box = self._box(problems, where, ann, size, [], seg)
            if box is None:
                return None
            # At the picture's size (known once the picture is read; pack reads it).
            whole = all(isinstance(v, int) for v in size)
            region = region_text(seg, *size) if whole and not crowd else None
            return Object(self.category_classes[cat], box, (), crowd, region)
        if not isinstance(seg, list):
            problems.add(where, K.ANNOTATION_MALFORMED, '"{}" must be a list of polygons'.format(
                F.COCO_SEGMENTATION))
            return None
        if not seg:
            problems.add(where, K.NOT_PAINTED, 'empty "{}": the object has no outline to paint'.format(
                F.COCO_SEGMENTATION))
            return None
        w, h = size if size else (math.inf, math.inf)
        parts = []
        for j, flat in enumerate(seg):
            pwhere = "{} polygon {}".format(where, j)
            if not isinstance(flat, list) or not all(is_number(v) for v in flat):
                problems.add(pwhere, K.ANNOTATION_MALFORMED, "a polygon is not a flat list of numbers")
                sound = False
                continue
            if len(flat) % 2:
                problems.add(pwhere, K.ANNOTATION_MALFORMED,
                             "odd number of coordinates ({})".format(len(flat)))
                sound = False
                continue
            pts = as_points([[flat[i], flat[i + 1]] for i in range(0, len(flat), 2)])
            before = len(problems)
            check_vertices(problems, pwhere, pts, F.MIN_VERTICES["coco"], w, h, unit=" px")
            sound = sound and len(problems) == before
            parts.append(pts)
        box = self._box(problems, where, ann, size, parts) if sound and not crowd else None
        if not sound or size is None or (box is None and not crowd):
            return None
        width, height = size
        outline = tuple(tuple((x / width, y / height) for x, y in part) for part in parts)
        if box is None:  # a crowd polygon: left out of records, not boxed
            box = extent([p for part in outline for p in part]) if outline else (0.0, 0.0, 0.0, 0.0)
        return Object(self.category_classes[cat], box, outline, crowd)

    def _box(self, problems, where, ann, size, parts, rle=None):
        """The object's box in fractions of the picture: its "bbox" (checked),
        or the extent of its outline (of its RLE region, ``rle``) when it has
        none."""
        width, height = size if size else (math.inf, math.inf)
        if rle is not None and F.COCO_BBOX not in ann:
            found = _rle.extent(rle)
            x1, y1, x2, y2 = (0, 0, 0, 0) if found is None else (
                found[0], found[1], found[0] + found[2], found[1] + found[3])
        elif F.COCO_BBOX not in ann:
            x1, y1, x2, y2 = extent([p for part in parts for p in part])
        else:
            box = coco_bbox(ann)
            if box is None:
                problems.add(where, K.ANNOTATION_MALFORMED, '"{}" must be [x, y, width, height], '
                             'got {}'.format(F.COCO_BBOX, show(ann.get(F.COCO_BBOX))))
                return None
            x, y, w, h = box
            # x + width may pass the edge by a rounding error of the sum.
            slack = 1e-6
            if not (x >= 0 and y >= 0 and x + w <= width + slack and y + h <= height + slack):
                problems.add(where, K.COORD_RANGE, '"{}" {} reaches outside 0..{} px x 0..{} px'.format(
                    F.COCO_BBOX, [fmt(v) for v in box], fmt(width), fmt(height)))
                return None
            x1, y1, x2, y2 = x, y, min(x + w, width), min(y + h, height)
        if size is None:
            return None
        return (x1 / width, y1 / height, x2 / width, y2 / height)
