"""What the YOLO and Pascal VOC sources share: the split lists, problems and
notes they hold, finding pictures, and reading one sample's picture."""

import io
import os

from ..errors import UsageError
from ._common import K, Problems, check_image
from .base import SourceBase

# Picture files a folder of images is searched for (any letter case).
IMAGE_SUFFIXES = (".jpg", ".jpeg", ".png", ".bmp", ".webp", ".tif", ".tiff")

# A description file larger than this is not a small YAML file of keys: it
# is not parsed to find out what it is.
MAX_DESCRIPTION_BYTES = 1 << 20

# Box edges may pass 0 or 1 by the rounding of a few decimals in a text file
# (centre minus half the width); within this they are clipped, beyond it the
# box is outside the picture.
EDGE_SLACK = 1e-6


def refuse_images(images, layout):
    if images:
        raise UsageError("a {} dataset names its own pictures: leave out --images".format(layout))


def read_picture(sample, where, path, image=True):
    """Test the picture at ``path`` as check does (missing, or failing a
    full decode) and put its size, and its bytes when ``image`` is true, in
    ``sample``; problems go to ``sample.problems`` under ``where``. Returns
    whether the picture is usable."""
    found = check_image(sample.problems, sample.counts, where, path, keep=image)
    if found is None:
        return False
    sample.image, (sample.width, sample.height) = found
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


class ListedSource(SourceBase):
    """A source whose samples are listed when it is opened, held as plain
    attributes so that it pickles for the packing workers. A layout without
    a validation split lists only "train", and pack sends a share of it to
    validation."""

    kind = ""
    name = ""  # of the layout, in the title

    def __init__(self, path, classes=None):
        super().__init__()
        self.path = path
        self.classes = list(classes) if classes else []
        self.classes_given = classes is not None  # else gathered from the annotations
        self._notes = []
        self._problems = Problems()
        self._splits = {"train": [], "validation": []}

    def title(self):
        return "{} ({})".format(self.name, self.path)

    def problems(self):
        return list(self._problems)

    def splits(self):
        return {split: list(refs) for split, refs in self._splits.items()
                if refs or split == "train"}

    def notes(self):
        return list(self._notes)

    def _add(self, kind, where, text):
        self._problems.add(where, kind, text)

    def _no_validation(self, why):
        self._notes.append("{}: pack sends a share of the training samples to validation".format(why))

    def _lines(self, path, what):
        """The lines of a list file (ids, picture paths); none after
        reporting a file that cannot be read as text."""
        try:
            with io.open(path, encoding="utf-8") as f:
                return f.read().splitlines()
        except (OSError, UnicodeDecodeError) as e:
            self._add(K.DESCRIPTION, path, "cannot read the list of {}: {}".format(what, e))
            return []
