"""Pascal VOC layout: one XML annotation file per picture.

A DESCRIPTION is the root folder::

    Annotations/<id>.xml        <filename>, <size> and one <object> per object
    JPEGImages/<filename>
    ImageSets/Main/train.txt    the ids of the training samples, one a line
    ImageSets/Main/val.txt      the ids of the validation samples

An object has a <name> (its class), a <bndbox> of pixel columns and rows
counted from 1 (xmin=1 is the first column, xmax the last one covered) and
may be <difficult>; difficult objects are kept. The classes are the sorted
names the annotations use, unless they are given. Document type and entity
declarations are refused, so no entity is ever expanded.
"""

import io
import math
import os
from xml.parsers import expat

from . import _shared as P
from ._common import K, Problems, file_size, show
from .base import Object, Sample, SampleRef

KIND = "voc"
ANNOTATIONS = "Annotations"
PICTURES = "JPEGImages"
SPLIT_FILES = (("train", "train.txt"), ("validation", "val.txt"))
BOX_TAGS = ("xmin", "ymin", "xmax", "ymax")
# An annotation file is a few kilobytes; a larger one is not read.
MAX_XML_BYTES = 8 << 20


def _split_folder(root):
    return os.path.join(root, "ImageSets", "Main")


def recognise(paths, images=None):
    """Whether ``paths`` (the DESCRIPTION) is a Pascal VOC root folder: one
    folder holding ``Annotations/`` and ``JPEGImages/``. Never raises."""
    try:
        paths = list(paths)
        if len(paths) != 1 or not isinstance(paths[0], str):
            return False
        p = paths[0]
        return all(os.path.isdir(os.path.join(p, d)) for d in (ANNOTATIONS, PICTURES))
    except Exception:  # noqa: BLE001 -- recognising never fails, it says no
        return False


class XmlRefused(ValueError):
    """An annotation file that is not plain XML without declarations."""


class Element:
    """One XML element: ``tag``, ``children`` and its own ``text``."""

    __slots__ = ("tag", "children", "parts")

    def __init__(self, tag):
        self.tag, self.children, self.parts = tag, [], []

    @property
    def text(self):
        return "".join(self.parts).strip()

    def find(self, tag):
        return next((c for c in self.children if c.tag == tag), None)

    def findall(self, tag):
        return [c for c in self.children if c.tag == tag]

    def value(self, tag):
        """The text of the first child ``tag``, or None without one."""
        child = self.find(tag)
        return None if child is None else child.text


def parse_xml(data):
    """The root Element of XML ``data`` (bytes). A document type or entity
    declaration is refused before anything is expanded (no entity bombs, no
    external files): raises XmlRefused; malformed XML raises expat.ExpatError."""
    parser = expat.ParserCreate()
    parser.buffer_text = True
    parser.SetParamEntityParsing(expat.XML_PARAM_ENTITY_PARSING_NEVER)
    top, stack = [], []

    def start(tag, attrs):
        element = Element(tag)
        (stack[-1].children if stack else top).append(element)
        stack.append(element)

    def end(tag):
        stack.pop()

    def text(data):
        if stack:
            stack[-1].parts.append(data)

    def refuse(*args):
        raise XmlRefused("a document type or entity declaration: such files are refused, "
                         "as their entities could expand without bound or read other files")

    parser.StartElementHandler, parser.EndElementHandler = start, end
    parser.CharacterDataHandler = text
    parser.StartDoctypeDeclHandler = parser.EntityDeclHandler = refuse
    parser.ExternalEntityRefHandler = refuse
    parser.Parse(data, True)
    return top[0]


def load_annotation(path, problems):
    """The root Element of the annotation file at ``path``, or None after
    adding to ``problems`` why there is none."""
    try:
        if os.path.getsize(path) > MAX_XML_BYTES:
            problems.add(path, K.ANNOTATION_MALFORMED, "larger than {} MB: not an annotation "
                         "file".format(MAX_XML_BYTES >> 20))
            return None
        with io.open(path, "rb") as f:
            data = f.read()
    except OSError as e:
        problems.add(path, K.ANNOTATION_UNREADABLE, e.strerror or str(e))
        return None
    try:
        root = parse_xml(data)
    except XmlRefused as e:
        problems.add(path, K.ANNOTATION_MALFORMED, str(e))
        return None
    except expat.ExpatError as e:
        problems.add(path, K.ANNOTATION_MALFORMED, "not XML: {} at line {}".format(
            expat.ErrorString(e.code) if e.code else e, e.lineno))
        return None
    if root.tag != "annotation":
        problems.add(path, K.ANNOTATION_MALFORMED,
                     "the top element is <{}>, not <annotation>".format(root.tag))
        return None
    return root


def _number(text):
    """A finite number, or None."""
    try:
        v = float(text)
    except (TypeError, ValueError):
        return None
    return v if math.isfinite(v) else None


def declared_size(root):
    """(width, height) of <size>, or None when it is missing or not two
    positive whole numbers (some tools write 0 when they do not know)."""
    size = root.find("size")
    if size is None:
        return None
    width, height = _number(size.value("width")), _number(size.value("height"))
    if not (width and height and width > 0 and height > 0
            and width == int(width) and height == int(height)):
        return None
    return int(width), int(height)


class VocSource(P.ListedSource):
    """The samples of a Pascal VOC dataset (see the module's help)."""

    kind = KIND
    name = "Pascal VOC"
    problem_kinds = (K.DESCRIPTION, K.ANNOTATION_UNREADABLE, K.ANNOTATION_MALFORMED, K.IMAGE_MISSING,
                     K.IMAGE_UNDECODABLE, K.CLASS_RANGE, K.COORD_RANGE)

    def read(self, ref, image=True):
        """One picture and the objects of its annotation file, boxes in
        fractions of the picture. Never raises for a fault of the data."""
        xml_path, picture = ref.key
        sample = Sample(ref.name, None, problems=Problems())
        sample.counts["annotation files"] += 1
        try:
            root = load_annotation(xml_path, sample.problems)
            readable = P.read_picture(sample, xml_path, picture, image)
            if root is not None:
                self._objects(root, xml_path, sample, readable)
        except Exception as e:  # noqa: BLE001 -- a fault nothing foresaw is still a problem
            sample.problems.add(xml_path, K.ANNOTATION_MALFORMED,
                                "unexpected fault ({}: {})".format(type(e).__name__, e))
        return sample

    def _objects(self, root, where, sample, readable):
        declared = declared_size(root)
        if declared and readable and declared != (sample.width, sample.height):
            # The boxes are pixels of the size the file declares: against
            # another size they would land in the wrong place.
            sample.problems.add(where, K.ANNOTATION_MALFORMED,
                                "<size> is {}x{} but the picture is {}x{}".format(
                                    declared[0], declared[1], sample.width, sample.height))
            return
        if not (declared or readable):
            return  # the picture's problem is reported; nothing places the boxes
        width, height = declared or (sample.width, sample.height)
        sample.width, sample.height = width, height
        for k, element in enumerate(root.findall("object")):
            obj = self._object(element, "{} object {}".format(where, k), width, height,
                               sample.problems)
            if obj is not None:
                sample.objects.append(obj)
                if _flag(element.value("difficult")):
                    sample.counts["difficult objects"] += 1

    def _object(self, element, where, width, height, problems):
        """The object of one <object>, or None after reporting its problems."""
        def problem(kind, text):
            problems.add(where, kind, text)

        name, box = element.value("name"), element.find("bndbox")
        values = [None if box is None else _number(box.value(t)) for t in BOX_TAGS]
        if not name or None in values:
            problem(K.ANNOTATION_MALFORMED,
                    "no <name>" if not name else
                    "<bndbox> needs the numbers {}".format(", ".join(BOX_TAGS)))
            return None
        if _flag(element.value("difficult")) is None:
            problem(K.ANNOTATION_MALFORMED, "<difficult> is {}, not 0 or 1".format(
                show(element.value("difficult"))))
            return None
        xmin, ymin, xmax, ymax = values
        if xmin > xmax or ymin > ymax:
            problem(K.ANNOTATION_MALFORMED, "the box's minimum passes its maximum: "
                    "xmin {:g} ymin {:g} xmax {:g} ymax {:g}".format(*values))
            return None
        before = len(problems)
        if name not in self.classes:
            problem(K.CLASS_RANGE, "class {} is not among the classes {}".format(
                show(name), show(self.classes)))
        if xmin < 1 or ymin < 1 or xmax > width or ymax > height:
            problem(K.COORD_RANGE,
                    "box xmin {:g} ymin {:g} xmax {:g} ymax {:g} reaches outside columns 1..{} "
                    "and rows 1..{} (counted from 1)".format(*values, width, height))
        if len(problems) > before:
            return None
        # Pixel k (counted from 1) covers k-1..k: the box runs from the left
        # edge of xmin to the right edge of xmax.
        return Object(self.classes.index(name),
                      ((xmin - 1) / width, (ymin - 1) / height, xmax / width, ymax / height))

    # -- opening ----------------------------------------------------------------

    def _ids(self, path):
        """The ids listed in a split file, in order, each once."""
        ids, seen, repeated = [], set(), 0
        for n, line in enumerate(self._lines(path, "ids"), 1):
            tokens = line.split()
            if not tokens:
                continue
            ident = tokens[0]
            if "/" in ident or "\\" in ident or "\0" in ident or ident in (".", ".."):
                # An id names a file in Annotations/, never one elsewhere.
                self._add(K.ANNOTATION_MALFORMED, "{} line {}".format(path, n),
                          "id {} is not a file name".format(show(ident)))
            elif ident in seen:
                repeated += 1
            else:
                seen.add(ident)
                ids.append(ident)
        if repeated:
            self._notes.append("{}: {} ids listed again are read once".format(path, repeated))
        return ids

    def _open(self):
        root = self.path
        listed = {}
        for split, name in SPLIT_FILES:
            path = os.path.join(_split_folder(root), name)
            if os.path.isfile(path):
                listed[split] = self._ids(path)
            elif split == "train":
                self._add(K.DESCRIPTION, path, "no list of the training ids")
            else:
                self._no_validation("no {}".format(path))
        names = set()
        for split, ids in listed.items():
            for ident in ids:
                xml_path = os.path.join(root, ANNOTATIONS, ident + ".xml")
                found = load_annotation(xml_path, Problems()) if os.path.isfile(xml_path) else None
                filename = found is not None and found.value("filename")
                # The file name alone: a path in it never leaves JPEGImages/.
                picture = os.path.basename(filename) if filename else ident + ".jpg"
                if found is not None and not self.classes_given:
                    names.update(o.value("name") for o in found.findall("object") if o.value("name"))
                picture_path = os.path.join(root, PICTURES, picture)
                self._splits[split].append(SampleRef(split, picture, (xml_path, picture_path),
                                                     xml_path, file_size(picture_path)))
        if not self.classes_given:
            self.classes = sorted(names)
            if not names:
                self._notes.append("no annotation names an object: there are no classes")
        if "train" in listed and not self._splits["train"]:
            self._add(K.DESCRIPTION, self.path, "no ids in the train split")


def _flag(text):
    """<difficult>: absent or 0 is False, 1 is True, anything else None."""
    if text is None or text == "":
        return False
    v = _number(text)
    return None if v not in (0, 1) else bool(v)


def open(paths, images=None, classes=None):  # noqa: A001 -- the name every layout module gives it
    """The Pascal VOC dataset whose root folder is ``paths[0]`` as a Source
    (see the module's help). ``classes``: the class names, in order (else the
    sorted names the annotations use). Raises UsageError for arguments that
    do not fit the layout; faults of the dataset are problems of the source."""
    P.refuse_images(images, "Pascal VOC")
    (path,) = paths
    src = VocSource(path, classes)
    src._open()
    return src
