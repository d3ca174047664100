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
    LABEL_WITHOUT_IMAGE = "label file without a picture"


@dataclass(frozen=True)
class Problem:
    kind: ProblemKind
    where: str   # the file, and the record or annotation in it
    text: str    # what is wrong, with the offending value

    def line(self) -> str:
        return "{}: {}: {}".format(self.where, self.kind.value, self.text)


@dataclass(frozen=True)
class Object:
    """One object of a sample, in fractions of the picture (0..1)."""

    class_id: int                         # position in Source.classes
    box: Tuple[float, float, float, float]  # x1, y1, x2, y2
    parts: Tuple[Tuple[Point, ...], ...] = ()  # outline parts, when the layout has them
    crowd: bool = False


@dataclass(frozen=True)
class SampleRef:
    """A sample of a split, as ``Source.read`` needs to find it again."""

    split: str   # "train" or "validation"
    name: str    # the picture's name, as records store it
    key: Any     # whatever the source needs (a path, an index); picklable


@dataclass
class Sample:
    name: str
    image: Optional[bytes]                 # None when there is no readable picture
    width: int = 0
    height: int = 0
    objects: List[Object] = field(default_factory=list)
    problems: List[Problem] = field(default_factory=list)
    counts: Counter = field(default_factory=Counter)  # e.g. {"difficult objects": 2}


@runtime_checkable
class Source(Protocol):
    kind: str               # "folders", "yaml", "coco", "tfrecord", "yolo", "voc"
    path: str               # what the user named
    classes: List[str]

    def title(self) -> str: ...

    def problems(self) -> List[Problem]:
        """Problems of the description as a whole (empty when it is sound)."""

    def splits(self) -> Dict[str, Sequence[SampleRef]]:
        """The samples of each split, in a stable order."""

    def read(self, ref: SampleRef, image: bool = True) -> Sample:
        """One sample: its picture bytes (unless ``image`` is false: check
        may decode from the file itself), its objects and its problems.
        Never raises for a fault of the data: that is a Problem."""
