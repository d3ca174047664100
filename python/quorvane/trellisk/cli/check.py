"""``check``: read every sample once and report every problem found.

The checks mirror what the readers need: a file the reader would fail on, or a
value it would silently turn into a wrong batch (a class beyond the labels, a
vertex outside the picture), is reported with the file (and record) it is in.
Nothing stops at the first problem.
"""

import io
import json
import math
import os
import reprlib
import sys
from collections import Counter
from dataclasses import dataclass as _dataclass, field as _field

from ..datasets import _rle
from ..datasets import formats as F
from .sources import import_tensorflow, tf_error_text
from . import progress

# Problem kinds, in the order of the summary table.
KINDS = {
    "description": "invalid description",
    "annotation-unreadable": "unreadable annotation file",
    "annotation-not-json": "annotation file is not JSON",
    "annotation-malformed": "malformed annotation",
    "image-missing": "missing image",
    "image-undecodable": "undecodable image",
    "few-vertices": "part with fewer than {} vertices".format(F.MIN_PART_VERTICES),
    "zero-length": "part of zero length",
    "class-range": "class outside the labels",
    "not-painted": "object that will not be painted",
    "coord-range": "coordinate outside the image",
    "record-parse": "record fails to parse",
    "record-decode": "record image fails to decode",
    "box-label-mismatch": "box/label count mismatch",
}
SEGMENTATION_KINDS = [k for k in KINDS if not k.startswith(("record-", "box-"))]
TFRECORD_KINDS = ["description", "record-parse", "record-decode", "box-label-mismatch",
                  "class-range", "coord-range"]


def problem_line(where, kind, detail):
    """One problem as check prints it."""
    return _printable("{}: {}: {}".format(where, KINDS[kind], detail))


def _printable(text):
    """``text`` with the undecodable bytes of file names (surrogate escapes)
    shown as \\x.. escapes: printing them as they are would raise."""
    return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")


class Report:
    """Collects problems; each one is printed as soon as it is found (unless
    ``echo`` is false: a caller that decides what to print, like ``pack``)."""

    def __init__(self, out=None, echo=True):
        self.out = out
        self.echo = echo
        self.problems = []  # (where, kind, detail)
        self.counted = Counter()  # "annotation files", "images", "records", ...
        self.notes = []  # worth knowing, but not a fault of the dataset

    def add(self, where, kind, detail):
        assert kind in KINDS, kind
        self.problems.append((where, kind, detail))
        if self.echo:
            progress.write(problem_line(where, kind, detail), file=self.out or sys.stdout)

    def counts(self):
        return Counter(kind for _, kind, _ in self.problems)

    def summary(self, kinds):
        out = self.out or sys.stdout
        counts = self.counts()
        rows = [(KINDS[k], counts.get(k, 0)) for k in kinds]
        rows += [(KINDS[k], n) for k, n in counts.items() if k not in kinds]
        width = max(len(r[0]) for r in rows + [("problem", 0)])
        print("", file=out)
        print("{:<{w}}  {:>7}".format("problem", "count", w=width), file=out)
        print("{}  {}".format("-" * width, "-" * 7), file=out)
        for name, n in rows:
            print("{:<{w}}  {:>7}".format(name, n, w=width), file=out)
        print("{}  {}".format("-" * width, "-" * 7), file=out)
        print("{:<{w}}  {:>7}".format("total", len(self.problems), w=width), file=out)
        read = ", ".join("{}: {}".format(what, n) for what, n in self.counted.items())
        print("read: {}".format(read or "nothing"), file=out)
        for note in self.notes:
            print("note: {}".format(note), file=out)


def _bar(iterable, desc, total=None):
    return progress.bar(iterable, desc=desc, total=total, unit="file", file=sys.stderr)


def _is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def _hashable(v):
    try:
        hash(v)
    except TypeError:
        return False
    return True


def _id_order(v):
    """Numbers in numeric order, then everything else in text order."""
    return (0, v, "") if _is_number(v) else (1, 0, str(v))


def _guarded(report, where, check, *args):
    """Run one check; a value none of the checks foresaw is a problem line,
    never a traceback, and the checking goes on."""
    try:
        check(*args)
    except Exception as e:  # noqa: BLE001 -- any JSON value must give a line
        report.add(where, "annotation-malformed", "unexpected value ({}: {})".format(
            type(e).__name__, _show(str(e))))


def _check_image(report, where, path, seen=None):
    """Missing or undecodable image; returns (width, height) or None. A
    ``seen`` dict gets "image": (path, file format, mode, (width, height),
    the file's bytes)."""
    from PIL import Image

    report.counted["images"] += 1
    if not os.path.isfile(path):
        report.add(where, "image-missing", "no image file at {}".format(path))
        return None
    try:
        data = None
        if seen is not None:
            # Read once: pack stores these very bytes.
            with open(path, "rb") as f:
                data = f.read()
        with Image.open(path if data is None else io.BytesIO(data)) as im:
            size = im.size
            if seen is not None:
                seen["image"] = (path, im.format, im.mode, size, data)
            if im.format == "JPEG":
                # Decoding at an eighth of the size still reads the whole
                # entropy-coded stream, which is where a damaged file fails;
                # it only skips most of the inverse transforms.
                im.draft(None, (1, 1))
            im.convert("RGB")  # forces the decode, and the conversion the readers make
            return size
    except Exception as e:
        report.add(where, "image-undecodable", "{}: {}".format(path, e))
        return None


def _check_vertices(report, where, points, width=1.0, height=1.0, unit="", kind="folders"):
    """Vertex count, outline length and range of one part, points as [[x, y], ...].
    ``kind``: the dataset kind, whose reader keeps parts down to
    ``F.MIN_VERTICES[kind]`` vertices (the COCO reader keeps two and paints
    them as a line)."""
    n = len(points)
    min_vertices = F.MIN_VERTICES[kind]
    if n < min_vertices:
        report.add(where, "few-vertices", "{} vertices; the reader drops such a part".format(n))
    elif n < F.MIN_PART_VERTICES:
        report.add(where, "few-vertices",
                   "{} vertices; the reader paints such a part as a line, not an area".format(n))
    if math.isfinite(width) and math.isfinite(height):
        # Finite limits: the range test alone turns NaN and infinity away.
        bad = [(x, y) for x, y in points if not (0 <= x <= width and 0 <= y <= height)]
    else:
        bad = [(x, y) for x, y in points
               if not (math.isfinite(x) and math.isfinite(y) and 0 <= x <= width and 0 <= y <= height)]
    if bad:
        report.add(where, "coord-range", "{} of {} vertices outside 0..{}{} x 0..{}{}, first {}".format(
            len(bad), len(points), _fmt(width), unit, _fmt(height), unit, list(bad[0])))
    if n >= min_vertices and not bad:
        # The outline has no length exactly when every vertex is the same point.
        if len(set(points)) == 1:
            report.add(where, "zero-length", "all {} vertices are the same point {}".format(
                len(points), list(points[0])))


_REPR = reprlib.Repr()
_REPR.maxlevel, _REPR.maxlist, _REPR.maxtuple, _REPR.maxdict = 3, 8, 8, 8
_REPR.maxstring = _REPR.maxother = 120


def _show(v):
    """repr() of a value from a dataset file, bounded: a YAML alias chain can
    expand to hundreds of millions of items."""
    text = _REPR.repr(v)
    return text if len(text) <= 200 else text[:200] + "..."


def _fmt(v):
    return "{:g}".format(v)


_PLAIN = (int, float)
_BIG = 1e300


def _as_points(polygon):
    """[[x, y], ...] of numbers, or None."""
    if not isinstance(polygon, list):
        return None
    # Plain JSON numbers (no bool, no integer beyond a float): one pass.
    if all(type(p) is list and len(p) == 2 and type(p[0]) in _PLAIN and type(p[1]) in _PLAIN
           and abs(p[0]) < _BIG and abs(p[1]) < _BIG for p in polygon):
        return [(float(x), float(y)) for x, y in polygon]
    pts = []
    for p in polygon:
        if not (isinstance(p, list) and len(p) == 2):
            return None
        x, y = p
        if not (_is_number(x) and _is_number(y)):
            return None
        try:
            pts.append((float(x), float(y)))
        except OverflowError:  # an integer beyond any float
            pts.append((math.inf, math.inf))
    return pts


def _load_json_object(report, path):
    """The JSON object in ``path``, or None after reporting why there is none."""
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except OSError as e:
        report.add(path, "annotation-unreadable", e.strerror or str(e))
        return None
    except (UnicodeDecodeError, ValueError) as e:
        report.add(path, "annotation-not-json", str(e))
        return None
    if not isinstance(doc, dict):
        report.add(path, "annotation-malformed", "the top level is not a JSON object")
        return None
    return doc


def check_annotation_file(report, path, images_dir, labels, seen=None):
    """One per-image JSON annotation file and the image it names. A ``seen``
    dict gets the parsed "doc" and the "image" (see _check_image)."""
    report.counted["annotation files"] += 1
    doc = _load_json_object(report, path)
    if doc is None:
        return
    if seen is not None:
        seen["doc"] = doc
    _guarded(report, path, _check_annotation_doc, report, path, doc, images_dir, labels, seen)


def _check_annotation_doc(report, path, doc, images_dir, labels, seen=None):
    image = doc.get(F.JSON_IMAGE)
    if not isinstance(image, str) or not image:
        report.add(path, "annotation-malformed", 'no "{}" file name'.format(F.JSON_IMAGE))
    else:
        _check_image(report, path, os.path.join(images_dir, os.path.basename(image)), seen)
    segment = doc.get(F.JSON_SEGMENT, [])
    if not isinstance(segment, list):
        report.add(path, "annotation-malformed", '"{}" is not a list of objects'.format(F.JSON_SEGMENT))
        return
    for i, obj in enumerate(segment):
        if not isinstance(obj, list):
            report.add("{} object {}".format(path, i), "annotation-malformed",
                       "an object is not a list of parts")
            continue
        for j, part in enumerate(obj):
            where = "{} object {} part {}".format(path, i, j)
            _guarded(report, where, _check_part, report, where, part, labels)


def _check_part(report, where, part, labels):
    if not isinstance(part, dict) or F.JSON_POLYGON not in part or F.JSON_CLASS not in part:
        report.add(where, "annotation-malformed", 'a part needs "{}" and "{}"'.format(
            F.JSON_POLYGON, F.JSON_CLASS))
        return
    cls = part[F.JSON_CLASS]
    if not F.is_class_id(cls):
        report.add(where, "annotation-malformed",
                   "class {} is not a class id (an integer from 0 to {}); the reader refuses "
                   "the file".format(_show(cls), F.MAX_CLASS_ID))
    elif labels is not None and not cls < len(labels):
        report.add(where, "class-range", "class {} with {} labels (0..{})".format(
            int(cls), len(labels), len(labels) - 1))
    pts = _as_points(part[F.JSON_POLYGON])
    if pts is None:
        report.add(where, "annotation-malformed", "polygon is not a list of [x, y] numbers")
        return
    _check_vertices(report, where, pts)


def json_split_files(report, split, images_dir, ann_dir, required=True):
    """The annotation files of one split of a folder pair, sorted; None
    after reporting a folder that does not exist."""
    problems = []
    for what, d in (("images", images_dir), ("annotations", ann_dir)):
        if not isinstance(d, str) or not os.path.isdir(d):
            problems.append("{} {} folder does not exist: {}".format(split, what, d))
    for p in problems:
        report.add(split, "description", p)
    if problems:
        return None
    # The dataset's own listing, so check reads exactly the files it reads.
    files = sorted(F.annotation_files(ann_dir))
    if not files and required:
        report.add(ann_dir, "description", "no annotation files (*.json) in the {} folder".format(split))
    return files


def check_json_split(report, split, images_dir, ann_dir, labels, required=True):
    files = json_split_files(report, split, images_dir, ann_dir, required)
    for path in _bar(files or [], "{} annotations".format(split)):
        check_annotation_file(report, path, images_dir, labels)


def check_folders(report, src):
    labels = src.classes
    if labels is None:
        print("note: no --classes given, so class values are not checked against labels",
              file=report.out or sys.stdout)
    check_json_split(report, "train", src.images, src.annotations, labels)


def segmentation_yaml_splits(report, src):
    """(labels, [(split, images folder, annotations folder)]) of a segmentation
    YAML description, after reporting what is wrong with it; labels is None
    when the classes are unusable, and a split with missing keys is left out."""
    doc, where = src.doc, src.path
    labels = doc.get("classes")
    if not isinstance(labels, list) or not labels:
        report.add(where, "description",
                   '"classes" must be a non-empty list of names, got {}'.format(_show(labels)))
        labels = None
    splits = []
    for key in ("train", "validation"):
        section = doc.get(key)
        if not isinstance(section, dict):
            report.add(where, "description", "``{}`` section is missing".format(key))
            continue
        missing = [k for k in ("images", "annotations") if section.get(k) is None]
        for k in missing:
            report.add(where, "description", "``{}`` is missing in the ``{}`` section".format(k, key))
        if not missing:
            splits.append((key, section["images"], section["annotations"]))
    return labels, splits


def check_segmentation_yaml(report, src):
    labels, splits = segmentation_yaml_splits(report, src)
    for split, images, annotations in splits:
        check_json_split(report, split, images, annotations, labels, required=(split == "train"))


@_dataclass
class CocoSample:
    """One image entry of a COCO file and its annotations: ``position`` in
    "images", ``entry``, ``annotations`` [(position in "annotations", annotation)]."""

    position: int
    entry: dict
    annotations: list = _field(default_factory=list)


@_dataclass
class CocoPlan:
    """A COCO file split into samples: ``category_ids`` are the distinct ids
    the reader turns into classes, in file order; ``labels`` the reader's
    class names and ``category_classes`` {category id: class id}, the
    position in ``labels`` of the id's first listing; ``samples`` the sound
    image entries; ``orphans`` [(position, annotation)] the annotations that
    belong to none of them."""

    path: str
    images_dir: str
    category_ids: list
    samples: list
    orphans: list
    labels: list = _field(default_factory=list)
    category_classes: dict = _field(default_factory=dict)


def coco_plan(report, src):
    """Read a COCO file, report the problems of the file as a whole and of
    its image entries, and group the annotations by image; None when the
    file cannot be used at all."""
    path = src.path
    report.counted["COCO files"] += 1
    doc = _load_json_object(report, path)
    if doc is None:
        return None
    images, annotations, categories = (
        doc.get(k, []) for k in (F.COCO_IMAGES, F.COCO_ANNOTATIONS, F.COCO_CATEGORIES))
    for key, value in ((F.COCO_IMAGES, images), (F.COCO_ANNOTATIONS, annotations),
                       (F.COCO_CATEGORIES, categories)):
        if not isinstance(value, list):
            report.add(path, "annotation-malformed", '"{}" is not a list'.format(key))
            return None
    if not images:
        report.add(path, "description", "no training images in the file")
    if not annotations:
        report.add(path, "description", "no training annotations in the file")
    category_ids = []  # the ids the reader turns into classes, in file order
    labels, category_classes = [], {}
    for k, c in enumerate(categories):
        cid = c.get(F.COCO_ID, 0) if isinstance(c, dict) else None
        if isinstance(c, dict) and cid != 0:
            # Every category but id 0 adds a name, a repeated id too.
            labels.append(c.get(F.COCO_NAME))
            if _hashable(cid):
                category_classes.setdefault(cid, len(labels) - 1)
        if isinstance(c, dict) and cid != 0 and cid not in category_ids:
            if _hashable(cid):
                category_ids.append(cid)
            else:
                report.add("{} categories[{}]".format(path, k), "annotation-malformed",
                           "category id {} cannot match any category_id".format(_show(cid)))
    by_id = {}
    for k, entry in enumerate(images):
        where = "{} images[{}]".format(path, k)
        found = []
        _guarded(report, where, _coco_entry_id, report, where, entry, by_id, found)
        if found:
            by_id[found[0]] = CocoSample(k, entry)
    orphans = []
    for k, ann in enumerate(annotations):
        image_id = ann.get(F.COCO_IMAGE_ID, 0) if isinstance(ann, dict) else None
        sample = by_id.get(image_id) if _hashable(image_id) else None
        (sample.annotations if sample else orphans).append((k, ann))
    return CocoPlan(path, src.images, category_ids, list(by_id.values()), orphans, labels,
                    category_classes)


def check_coco_sample(report, plan, sample, boxes=False, seen=None):
    """The image of one COCO sample and its annotations; returns the number
    of its crowd regions ("iscrowd", polygons or RLE). ``boxes``: also check
    the "bbox" of each object that is not a crowd region (detection records
    are made of them). A ``seen`` dict gets the "image" (see _check_image)."""
    where = "{} images[{}]".format(plan.path, sample.position)
    sizes = {}
    _guarded(report, where, _check_coco_image, report, plan.images_dir, where, sample.entry, sizes,
             seen)
    crowd = []
    for k, ann in sample.annotations:
        _check_one_coco_annotation(report, plan, k, ann, sizes, crowd, boxes, sample.entry)
    return len(crowd)


def _check_one_coco_annotation(report, plan, k, ann, sizes, crowd, boxes=False, entry=None):
    where = "{} annotations[{}]".format(plan.path, k)
    report.counted["annotations"] += 1
    _guarded(report, where, _check_coco_annotation, report, where, ann, sizes, plan.category_ids,
             crowd, entry)
    if boxes and isinstance(ann, dict) and not ann.get(F.COCO_ISCROWD):
        image_id = ann.get(F.COCO_IMAGE_ID, 0)
        _guarded(report, where, _check_coco_bbox, report, where, ann, sizes.get(image_id))


def check_coco(report, src):
    plan = coco_plan(report, src)
    if plan is None:
        return
    crowd_count = 0
    for sample in _bar(plan.samples, "COCO images"):
        crowd_count += check_coco_sample(report, plan, sample)
    crowd = []
    for k, ann in plan.orphans:
        _check_one_coco_annotation(report, plan, k, ann, {}, crowd)
    crowd_count += len(crowd)
    note = coco_crowd_note(crowd_count, report.counted["annotations"])
    if note:
        report.notes.append(note)


def coco_crowd_note(crowd, annotations):
    """What check says of a COCO file's crowd regions, or None without any."""
    if not crowd:
        return None
    note = ("{} crowd regions: painted with their class (crowd='object', the default), with the "
            "ignore value (crowd='ignore') or left out (crowd='skip')".format(crowd))
    if crowd == annotations:
        note += ("; every annotation is a crowd region: probably exported by an annotation tool; "
                 "crowd='ignore' would leave nothing to learn")
    return note


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
        raise ValueError("annotation {}: {}".format(_show(ann.get(F.COCO_ID)), e)) from None


def _coco_entry_id(report, where, entry, by_id, found):
    """The id of a sound image entry is put in ``found``; a malformed or
    repeated one is reported."""
    if (not isinstance(entry, dict) or entry.get(F.COCO_ID) is None
            or not isinstance(entry.get(F.COCO_FILE_NAME), str)):
        report.add(where, "annotation-malformed", 'an image entry needs "{}" and "{}"'.format(
            F.COCO_ID, F.COCO_FILE_NAME))
        return
    image_id = entry[F.COCO_ID]
    if not _hashable(image_id):
        report.add(where, "annotation-malformed",
                   "image id {} is not an integer or a string: no annotation can refer to "
                   "it".format(_show(image_id)))
        return
    if image_id in by_id:
        report.add(where, "annotation-malformed",
                   "image id {} repeats; every sample of it reads the first entry's file".format(
                       _show(image_id)))
        return
    found.append(image_id)


def _check_coco_image(report, images_dir, where, entry, sizes, seen=None):
    size = _check_image(report, where, os.path.join(images_dir, entry[F.COCO_FILE_NAME]), seen)
    width, height = entry.get("width"), entry.get("height")
    if size is None and _is_number(width) and _is_number(height):
        size = (width, height)
    sizes[entry[F.COCO_ID]] = size


def coco_bbox(ann):
    """The "bbox" [x, y, width, height] of an annotation as floats, or None
    when it is not four finite numbers with a size of 0 or more."""
    box = ann.get(F.COCO_BBOX)
    if not (isinstance(box, list) and len(box) == F.BOX_VALUES and all(_is_number(v) for v in box)):
        return None
    try:
        box = [float(v) for v in box]
    except OverflowError:
        return None
    if not all(math.isfinite(v) for v in box) or box[2] < 0 or box[3] < 0:
        return None
    return box


def coco_object_box(ann, entry=None):
    """The box [x, y, width, height] in pixels of a COCO object: its
    "bbox", or when it has none, the extent of its RLE region (decoded by
    the readers' decoder); None when neither gives one. A broken RLE is a
    ValueError naming the annotation id."""
    box = coco_bbox(ann)
    if box is not None or ann.get(F.COCO_BBOX) is not None:
        return box
    runs = coco_region(ann, entry)
    if runs is None:
        return None
    extent = _rle.extent(ann[F.COCO_SEGMENTATION])
    return [0.0, 0.0, 0.0, 0.0] if extent is None else [float(v) for v in extent]


def _check_coco_bbox(report, where, ann, size):
    box = coco_object_box(ann)
    if box is None:
        report.add(where, "annotation-malformed", '"{}" must be [x, y, width, height], got {}'.format(
            F.COCO_BBOX, _show(ann.get(F.COCO_BBOX))))
        return
    x, y, w, h = box
    width, height = size if size else (math.inf, math.inf)
    # x + width may pass the edge by a rounding error of the sum.
    slack = 1e-6
    if not (x >= 0 and y >= 0 and x + w <= width + slack and y + h <= height + slack):
        report.add(where, "coord-range", '"{}" {} reaches outside 0..{} px x 0..{} px'.format(
            F.COCO_BBOX, [_fmt(v) for v in box], _fmt(width), _fmt(height)))


def _check_coco_annotation(report, where, ann, sizes, category_ids, crowd, entry=None):
    if not isinstance(ann, dict):
        report.add(where, "annotation-malformed", "an annotation is not a JSON object")
        return
    image_id = ann.get(F.COCO_IMAGE_ID, 0)
    if not _hashable(image_id) or image_id not in sizes:
        report.add(where, "annotation-malformed", "image_id {} matches no image".format(_show(image_id)))
    cat = ann.get(F.COCO_CATEGORY_ID, 0)
    if not _hashable(cat) or cat not in category_ids:
        report.add(where, "class-range", "category_id {} is not among the categories {}".format(
            _show(cat), _show(sorted(category_ids, key=_id_order))))
    seg = ann.get(F.COCO_SEGMENTATION)
    if ann.get(F.COCO_ISCROWD):
        crowd.append(1)  # painted as the dataset's crowd policy says
    if isinstance(seg, dict):
        try:
            coco_region(ann, entry)
        except ValueError as e:
            report.add(where, "annotation-malformed", str(e))
        return
    if not isinstance(seg, list):
        report.add(where, "annotation-malformed", '"{}" must be a list of polygons'.format(
            F.COCO_SEGMENTATION))
        return
    if not seg:
        report.add(where, "not-painted", 'empty "{}": the object has no outline to paint'.format(
            F.COCO_SEGMENTATION))
        return
    size = sizes.get(image_id) if _hashable(image_id) else None
    for j, flat in enumerate(seg):
        pwhere = "{} polygon {}".format(where, j)
        if not isinstance(flat, list) or not all(_is_number(v) for v in flat):
            report.add(pwhere, "annotation-malformed", "a polygon is not a flat list of numbers")
            continue
        if len(flat) % 2:
            report.add(pwhere, "annotation-malformed", "odd number of coordinates ({})".format(len(flat)))
            continue
        pts = _as_points([[flat[i], flat[i + 1]] for i in range(0, len(flat), 2)])
        w, h = size if size else (math.inf, math.inf)
        _check_vertices(report, pwhere, pts, w, h, unit=" px", kind="coco")


# -- TFRecord ---------------------------------------------------------------

def tfrecord_splits(report, src):
    """[(split, folder, files, samples)] of a TFRecord description, after checking it."""
    doc, where = src.doc, src.path
    ds_type = doc.get("type")
    if ds_type is not None and ds_type != "tfrecord":
        report.add(where, "description",
                   '"type" is {}; only "tfrecord" is understood'.format(_show(ds_type)))
        return []
    classes = doc.get("classes")
    if not isinstance(classes, list) or not all(isinstance(c, str) for c in classes):
        report.add(where, "description",
                   '"classes" must be a list of names, got {}'.format(_show(classes)))
    key = "images" if ds_type is None else "path"
    out = []
    for name in ("train", "validation"):
        section = doc.get(name)
        if not isinstance(section, dict):
            report.add(where, "description", "``{}`` section is missing".format(name))
            continue
        folder, samples = section.get(key), section.get("samples")
        if not isinstance(folder, str):
            report.add(where, "description", "``{}`` has no ``{}`` folder".format(name, key))
            continue
        if not os.path.isdir(folder):
            report.add(where, "description", "{} folder does not exist: {}".format(name, folder))
            continue
        if samples is not None and (not isinstance(samples, int) or isinstance(samples, bool) or samples <= 0):
            report.add(where, "description", "{} ``samples`` must be a positive count, got {}".format(
                name, _show(samples)))
            samples = None
        files = sorted(F.record_files(folder))
        if not files:
            report.add(folder, "description", "no *.tfrecord files in the {} folder".format(name))
        out.append((name, folder, files, samples))
    return out


def check_record(report, tf, where, data, nclasses):
    """One serialized record; returns (parsed features, decoded image shape),
    either None when it cannot be had."""
    features = F.record_features(tf)
    try:
        sample = tf.io.parse_single_example(data, features)
    except (tf.errors.OpError, ValueError) as e:
        report.add(where, "record-parse", _tf_message(e))
        return None, None
    shape = None
    try:
        shape = tf.io.decode_jpeg(sample["image"]).numpy().shape
    except (tf.errors.OpError, ValueError) as e:
        report.add(where, "record-decode", _tf_message(e))
    objects = tf.sparse.to_dense(sample["objects"]).numpy()
    boxes = tf.sparse.to_dense(sample["bboxes"]).numpy()
    if boxes.size % F.BOX_VALUES or boxes.size // F.BOX_VALUES != objects.size:
        report.add(where, "box-label-mismatch", "{} labels and {} box values ({} per box)".format(
            objects.size, boxes.size, F.BOX_VALUES))
    if nclasses is not None:
        bad = [int(o) for o in objects if not 0 <= o < nclasses]
        if bad:
            report.add(where, "class-range", "label {} with {} classes (0..{})".format(
                bad[0], nclasses, nclasses - 1))
    import numpy as np

    outside = boxes[~(np.isfinite(boxes) & (boxes >= 0) & (boxes <= 1))]
    if outside.size:
        report.add(where, "coord-range", "{} box values outside 0..1, first {:g}".format(
            outside.size, float(outside[0])))
    return sample, shape


def _tf_message(e):
    return tf_error_text(e)[:300]


def file_records(report, tf, path):
    """Yields (number read so far, where, serialized record) for the sound
    records of one file, and reports where the file cannot be read on."""
    from ..datasets.tfrecord import scan_record_file

    report.counted["record files"] += 1
    # TensorFlow's reader trusts each frame's declared length (a bad one
    # can kill the process), so only the frames found sound are read.
    sound, offset, problem = scan_record_file(path)
    k = 0
    try:
        for data in tf.data.TFRecordDataset(path).take(sound):
            k += 1
            report.counted["records"] += 1
            yield k, "{} record {}".format(path, k - 1), data
    except tf.errors.OpError as e:
        # A damaged file cannot be read past the damage.
        report.add("{} record {}".format(path, k), "record-parse",
                   "the file cannot be read from here on: {}".format(_tf_message(e)))
        problem = None
    if problem is not None:
        report.add("{} record {}".format(path, k), "record-parse",
                   "the file cannot be read from here on: damaged frame at byte {}: {}".format(
                       offset, problem))


def check_tfrecord(report, src):
    tf = import_tensorflow()
    classes = src.doc.get("classes")
    nclasses = len(classes) if isinstance(classes, list) else None
    for split, folder, files, samples in tfrecord_splits(report, src):
        count = 0
        bar = progress.bar(total=samples, desc="{} records".format(split), unit="record",
                           file=sys.stderr)
        for path in files:
            k = 0
            for k, where, data in file_records(report, tf, path):
                check_record(report, tf, where, data, nclasses)
                bar.update(1)
            count += k
        bar.close()
        if samples is not None and samples != count:
            report.add(src.path, "description", "{} ``samples`` is {} but the files hold {} records".format(
                split, samples, count))


def run(src, out=None):
    """Check the dataset of ``src``; returns the Report."""
    report = Report(out)
    if src.doc_error:
        report.add(src.path, "description", src.doc_error)
        kinds = ["description"]
    elif src.kind == "folders":
        check_folders(report, src)
        kinds = SEGMENTATION_KINDS
    elif src.kind == "yaml":
        check_segmentation_yaml(report, src)
        kinds = SEGMENTATION_KINDS
    elif src.kind == "coco":
        check_coco(report, src)
        kinds = SEGMENTATION_KINDS
    else:
        check_tfrecord(report, src)
        kinds = TFRECORD_KINDS
    report.summary(kinds)
    return report
