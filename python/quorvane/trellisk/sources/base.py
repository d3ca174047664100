"""What every dataset layout gives ``validate`` and ``packing``.

A layout is read by one ``Source``: it lists the samples of each split, reads
one sample (its picture bytes and its objects) and reports what is wrong as
``Problem`` values. ``validate`` and ``packing`` iterate sources and never ask
which layout they hold, so a new layout is one module beside the others.

Sources are plain, picklable objects: ``packing`` hands them and their
``SampleRef`` values to worker processes.
"""

import enum
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, Dict, List, Optional, Protocol, Sequence, Tuple, runtime_checkable

Point = Tuple[float, float]


class ProblemKind(enum.Enum):
    """Every kind of problem a source reports; the value is the summary's name."""

    DESCRIPTION = "invalid description"
    ANNOTATION_UNREADABLE = "unreadable annotation file"
    ANNOTATION_NOT_JSON = "annotation file is not JSON"
    ANNOTATION_MALFORMED = "malformed annotation"
    IMAGE_MISSING = "missing image"
    IMAGE_UNDECODABLE = "undecodable image"
    FEW_VERTICES = "part with too few vertices"
    ZERO_LENGTH = "part of zero length"
    CLASS_RANGE = "class outside the labels"
    NOT_PAINTED = "object that will not be painted"
    COORD_RANGE = "coordinate outside the image"
    RECORD_PARSE = "record fails to parse"
    RECORD_DECODE = "record image fails to decode"
    BOX_LABEL_MISMATCH = "box/label count mismatch"
    OUTLINE_MISMATCH = "record outlines that disagree"
    LABEL_WITHOUT_IMAGE = "label file without a picture"

    @property
    def key(self) -> str:
        """The short name callers match on: "class-range", "image-missing", ..."""
        return self.name.lower().replace("_", "-")

    @property
    def title(self) -> str:
        """The name in check's summary table (the fewest vertices a part
        needs is the readers' own figure)."""
        if self is ProblemKind.FEW_VERTICES:
            from ..datasets.formats import MIN_PART_VERTICES

            return "part with fewer than {} vertices".format(MIN_PART_VERTICES)
        return self.value


@dataclass(frozen=True)
class Problem:
    kind: ProblemKind
    where: str   # the file, and the record or annotation in it
    text: str    # what is wrong, with the offending value

    def line(self) -> str:
        """The problem as check prints it; undecodable bytes of file names
        (surrogate escapes) shown as \\x.. escapes, as printing them raises."""
        text = "{}: {}: {}".format(self.where, self.kind.title, self.text)
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "backslashreplace")

    # A (where, kind key, text) triple to callers that unpack or index it.
    def __iter__(self):
        return iter((self.where, self.kind.key, self.text))

    def __getitem__(self, index):
        return tuple(self)[index]


@dataclass(frozen=True)
class Object:
    """One object of a sample, in fractions of the picture (0..1)."""

    class_id: int                         # position in Source.classes
    box: Tuple[float, float, float, float]  # x1, y1, x2, y2
    parts: Tuple[Tuple[Point, ...], ...] = ()  # outline parts, when the layout has them
    crowd: bool = False
    region: Optional[str] = None  # a COCO RLE region: its compressed "counts" text at
                                  # the picture's size (records carry it beside the outlines)


@dataclass(frozen=True)
class SampleRef:
    """A sample of a split, as ``Source.read`` needs to find it again."""

    split: str   # "train" or "validation"
    name: str    # a stable name: the picture's, or its annotation file's when
                 # the picture is named only inside it; orders the samples and
                 # picks the validation ones when a layout has one split only
    key: Any     # whatever the source needs (a path, an index); picklable
    where: str = ""  # what a problem line names for the sample as a whole
    size: int = 0    # estimated bytes of the picture, for balancing shards


@dataclass
class Sample:
    name: str
    image: Optional[bytes]                 # None when there is no readable picture
    width: int = 0
    height: int = 0
    objects: List[Object] = field(default_factory=list)
    problems: List[Problem] = field(default_factory=list)
    counts: Counter = field(default_factory=Counter)  # e.g. {"difficult objects": 2}
    stands_for_sample: bool = True  # False: problems found between samples (a damaged
                                    # file tail) carried in the stream of samples


@runtime_checkable
class Source(Protocol):
    kind: str               # "folders", "yaml", "coco", "tfrecord", "yolo", "voc"
    path: str               # what the user named
    classes: List[str]
    # Optional members (SourceBase gives the defaults):
    #   classes_given: bool -- False when the classes were made up (class0..)
    #     because nothing named them; check then does not range-check them
    #   parallel: bool -- read() may run in worker processes (no TensorFlow)
    #   problem_kinds: the kinds it can report, in the order of check's summary
    #   counts: Counter -- what the description itself holds ("COCO files": 1)
    #   samples(split, image) -- the split's samples in order (a layout read
    #     as a stream overrides it; the default reads each ref)
    #   leftovers() -- problems that belong to no sample (an annotation of no
    #     image), found after the samples; they skip nothing
    #   split_problems(split) -- problems that show once a split is read (a
    #     stated count the files do not hold); they skip nothing
    #   notes() -- worth knowing once all is read, not a fault

    def title(self) -> str: ...

    def problems(self) -> List[Problem]:
        """Problems of the description as a whole (empty when it is sound)."""

    def splits(self) -> Dict[str, Sequence[SampleRef]]:
        """The samples of each split, in a stable order."""

    def read(self, ref: SampleRef, image: bool = True) -> Sample:
        """One sample: its picture bytes (unless ``image`` is false: check
        may decode from the file itself), its objects and its problems.
        Never raises for a fault of the data: that is a Problem."""


K = ProblemKind
# The rows of check's summary table, by what a layout can report: the
# layouts of pictures and annotation files, and the record layouts.
ANNOTATION_KINDS = tuple(k for k in ProblemKind if k not in (
    K.RECORD_PARSE, K.RECORD_DECODE, K.BOX_LABEL_MISMATCH, K.LABEL_WITHOUT_IMAGE))
RECORD_KINDS = (K.DESCRIPTION, K.RECORD_PARSE, K.RECORD_DECODE, K.BOX_LABEL_MISMATCH,
                K.CLASS_RANGE, K.COORD_RANGE, K.OUTLINE_MISMATCH)


class SourceBase:
    """Defaults of the optional members of ``Source``."""

    classes_given = True
    parallel = True
    problem_kinds = ANNOTATION_KINDS  # the summary rows check prints, in order

    def __init__(self):
        self.counts = Counter()

    def samples(self, split: str, image: bool = True):
        for ref in self.splits().get(split, ()):
            yield self.read(ref, image)

    def leftovers(self) -> List[Problem]:
        return []

    def split_problems(self, split: str) -> List[Problem]:
        return []

    def notes(self) -> List[str]:
        return []


class _Completed:
    """A source that gives only the members of ``Source``, with the
    defaults of ``SourceBase`` for the rest."""

    def __init__(self, inner):
        self._inner = inner
        self._counts = Counter()

    def __getattr__(self, name):
        if name.startswith("__") or name in ("_inner", "_counts"):
            raise AttributeError(name)
        if hasattr(self._inner, name):
            return getattr(self._inner, name)
        if name == "counts":
            return self._counts
        member = getattr(SourceBase, name)
        return member.__get__(self) if callable(member) else member


def complete(source):
    """``source`` with every optional member: as it is when it derives from
    ``SourceBase``, else with that class's defaults for what it lacks."""
    return source if isinstance(source, (SourceBase, _Completed)) else _Completed(source)
