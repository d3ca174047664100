"""What the YOLO and Pascal VOC sources share: the split lists and problems
they hold, finding pictures, and reading one with the same decode test
``check`` applies."""

import io
import os
from collections import Counter

from .base import Problem, ProblemKind

# Picture files a folder of images is searched for (any letter case).
IMAGE_SUFFIXES = (".jpg", ".jpeg", ".png", ".bmp", ".webp", ".tif", ".tiff")

# A description file larger than this is not a small YAML file of keys: it
# is not parsed to find out what it is.
MAX_DESCRIPTION_BYTES = 1 << 20

# Box edges may pass 0 or 1 by the rounding of a few decimals in a text file
# (centre minus half the width); within this they are clipped, beyond it the
# box is outside the picture.
EDGE_SLACK = 1e-6


class _Collected:
    """Stands in for check's report so that its picture test reports into
    Problem values, and prints nothing."""

    def __init__(self):
        self.counted = Counter()
        self.problems = []

    def add(self, where, kind, detail):
        # check names kinds "image-missing"; the enumeration IMAGE_MISSING.
        self.problems.append(Problem(ProblemKind[kind.upper().replace("-", "_")], where, detail))


def read_picture(sample, where, path, image=True):
    """Test the picture at ``path`` as check does (missing, or failing a
    full decode) and put its size, and its bytes when ``image`` is true, in
    ``sample``; problems go to ``sample.problems`` under ``where``. Returns
    whether the picture is usable."""
    from ..cli.check import _check_image

    report, seen = _Collected(), ({} if image else None)
    size = _check_image(report, where, path, seen)
    sample.problems.extend(report.problems)
    if size is None:
        return False
    sample.width, sample.height = size
    if image:
        sample.image = seen["image"][4]
    return True


def is_picture(name):
    return name.lower().endswith(IMAGE_SUFFIXES)


def pictures_under(folder):
    """Every picture file under ``folder`` (subfolders too), sorted by path."""
    found = []
    for top, dirs, files in os.walk(folder):
        dirs.sort()
        found.extend(os.path.join(top, f) for f in files if is_picture(f))
    return sorted(found)


def relative_name(path, root):
    """``path`` relative to ``root`` with "/" between the parts, as a record
    names its picture; the absolute path when it is not under ``root``."""
    rel = os.path.relpath(path, root)
    if rel == os.pardir or rel.startswith(os.pardir + os.sep):
        return os.path.abspath(path).replace(os.sep, "/")
    return rel.replace(os.sep, "/")


def small_file(path):
    """Whether ``path`` is a regular file small enough to be a description."""
    try:
        return os.path.isfile(path) and os.path.getsize(path) <= MAX_DESCRIPTION_BYTES
    except OSError:
        return False


def show(value):
    """repr() of a value from a dataset file, bounded for a message."""
    from ..cli.check import _show

    return _show(value)


class ListedSource:
    """A source whose samples are listed when it is opened: the splits and
    the problems of the description as plain attributes, so that it pickles
    for the packing workers. ``notes``: what is worth knowing but not a fault
    (an empty validation split, classes inferred)."""

    kind = ""
    name = ""  # of the layout, in the title

    def __init__(self, path, classes=None):
        self.path = path
        self.classes = list(classes) if classes else []
        self.notes = []
        self._given = classes is not None  # the classes are fixed, not gathered
        self._problems = []
        self._splits = {"train": [], "validation": []}

    def title(self):
        return "{} ({})".format(self.name, self.path)

    def problems(self):
        return list(self._problems)

    def splits(self):
        return {split: list(refs) for split, refs in self._splits.items()}

    def _add(self, kind, where, text):
        self._problems.append(Problem(kind, where, text))

    def _lines(self, path, what):
        """The lines of a list file (ids, picture paths); none after
        reporting a file that cannot be read as text."""
        try:
            with io.open(path, encoding="utf-8") as f:
                return f.read().splitlines()
        except (OSError, UnicodeDecodeError) as e:
            self._add(ProblemKind.DESCRIPTION, path, "cannot read the list of {}: {}".format(what, e))
            return []
