"""What several layouts check alike: pictures, outlines, JSON files, and
values from a dataset file shown in a bounded way."""

import io
import json
import math
import os
import reprlib

from ..datasets import formats as F
from ..errors import UsageError
from .base import Problem, ProblemKind

# Classes named class0, class1, ... when nothing names them, at most: a
# larger class in an annotation is taken for a fault (check reports it out of
# range), not for that many classes.
MAX_INFERRED_CLASSES = 1 << 16

K = ProblemKind


class Problems(list):
    """The problems of one sample (or of a description) as they are found."""

    def add(self, where, kind, text):
        self.append(Problem(kind, where, text))


def is_number(v):
    return isinstance(v, (int, float)) and not isinstance(v, bool)


def hashable(v):
    try:
        hash(v)
    except TypeError:
        return False
    return True


def id_order(v):
    """Numbers in numeric order, then everything else in text order."""
    return (0, v, "") if is_number(v) else (1, 0, str(v))


_REPR = reprlib.Repr()
_REPR.maxlevel, _REPR.maxlist, _REPR.maxtuple, _REPR.maxdict = 3, 8, 8, 8
_REPR.maxstring = _REPR.maxother = 120


def show(v):
    """repr() of a value from a dataset file, bounded: a YAML alias chain can
    expand to hundreds of millions of items."""
    text = _REPR.repr(v)
    return text if len(text) <= 200 else text[:200] + "..."


def fmt(v):
    return "{:g}".format(v)


def guarded(problems, where, check, *args):
    """Run one check; a value none of the checks foresaw is a problem line,
    never a traceback, and the checking goes on."""
    try:
        return check(*args)
    except Exception as e:  # noqa: BLE001 -- any JSON value must give a line
        problems.add(where, K.ANNOTATION_MALFORMED, "unexpected value ({}: {})".format(
            type(e).__name__, show(str(e))))
        return None


def check_image(problems, counts, where, path, keep=False):
    """Missing or undecodable picture: (bytes or None, (width, height)) of a
    sound one (the bytes only when ``keep``: pack stores these very bytes),
    None after reporting a bad one."""
    from PIL import Image

    counts["images"] += 1
    if not os.path.isfile(path):
        problems.add(where, K.IMAGE_MISSING, "no image file at {}".format(path))
        return None
    try:
        data = None
        if keep:
            with open(path, "rb") as f:
                data = f.read()
        with Image.open(path if data is None else io.BytesIO(data)) as im:
            size = im.size
            if im.format == "JPEG":
                # Decoding at an eighth of the size still reads the whole
                # entropy-coded stream, which is where a damaged file fails;
                # it only skips most of the inverse transforms.
                im.draft(None, (1, 1))
            im.convert("RGB")  # forces the decode, and the conversion the readers make
            return data, size
    except Exception as e:
        problems.add(where, K.IMAGE_UNDECODABLE, "{}: {}".format(path, e))
        return None


def check_vertices(problems, where, points, min_vertices, width=1.0, height=1.0, unit=""):
    """Vertex count, outline length and range of one part, points as
    [(x, y), ...]; ``min_vertices``: the fewest the layout's reader keeps (the
    COCO reader keeps two and paints them as a line). True when the part is
    kept and in range."""
    n = len(points)
    if n < min_vertices:
        problems.add(where, K.FEW_VERTICES, "{} vertices; the reader drops such a part".format(n))
    elif n < F.MIN_PART_VERTICES:
        problems.add(where, K.FEW_VERTICES,
                     "{} vertices; the reader paints such a part as a line, not an area".format(n))
    if math.isfinite(width) and math.isfinite(height):
        # Finite limits: the range test alone turns NaN and infinity away.
        bad = [(x, y) for x, y in points if not (0 <= x <= width and 0 <= y <= height)]
    else:
        bad = [(x, y) for x, y in points
               if not (math.isfinite(x) and math.isfinite(y) and 0 <= x <= width and 0 <= y <= height)]
    if bad:
        problems.add(where, K.COORD_RANGE, "{} of {} vertices outside 0..{}{} x 0..{}{}, first {}".format(
            len(bad), len(points), fmt(width), unit, fmt(height), unit, list(bad[0])))
    if n >= min_vertices and not bad:
        # The outline has no length exactly when every vertex is the same point.
        if len(set(points)) == 1:
            problems.add(where, K.ZERO_LENGTH, "all {} vertices are the same point {}".format(
                len(points), list(points[0])))


_PLAIN = (int, float)
_BIG = 1e300


def as_points(polygon):
    """[(x, y), ...] of numbers, or None."""
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
        if not (is_number(x) and is_number(y)):
            return None
        try:
            pts.append((float(x), float(y)))
        except OverflowError:  # an integer beyond any float
            pts.append((math.inf, math.inf))
    return pts


def extent(points):
    """(x1, y1, x2, y2) of the points."""
    xs = [p[0] for p in points]
    ys = [p[1] for p in points]
    return min(xs), min(ys), max(xs), max(ys)


def load_json_object(problems, path):
    """The JSON object in ``path``, or None after reporting why there is none."""
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f)
    except OSError as e:
        problems.add(path, K.ANNOTATION_UNREADABLE, e.strerror or str(e))
        return None
    except (UnicodeDecodeError, ValueError) as e:
        problems.add(path, K.ANNOTATION_NOT_JSON, str(e))
        return None
    except RecursionError:
        problems.add(path, K.ANNOTATION_NOT_JSON, "the JSON is nested too deeply to be read")
        return None
    if not isinstance(doc, dict):
        problems.add(path, K.ANNOTATION_MALFORMED, "the top level is not a JSON object")
        return None
    return doc


def file_size(path):
    try:
        return os.stat(path).st_size
    except OSError:
        return 0


def one_path(paths):
    """The single path of a DESCRIPTION, or None when there are two."""
    return paths[0] if len(paths) == 1 else None


class YamlDescription:
    """A YAML description file as read: ``doc`` the mapping, or ``error``
    saying why there is none."""

    def __init__(self, path):
        self.path, self.doc, self.error = path, None, None
        try:
            import yaml

            with open(path) as f:
                doc = yaml.safe_load(f)
        except (OSError, UnicodeDecodeError) as e:
            self.error = "cannot read the file: {}".format(e)
            return
        except Exception as e:  # the YAML library's parse errors
            self.error = "not valid YAML: {}".format(" ".join(str(e).split()))
            return
        if not isinstance(doc, dict):
            self.error = "the top level is not a mapping of keys to values"
            return
        self.doc = doc


def refuse_folders_and_classes(images, classes):
    """A YAML description names its own folders and classes."""
    if images or classes:
        raise UsageError("--images and --classes go with a COCO file or an annotations folder; "
                         "a YAML description names its own folders and classes")
