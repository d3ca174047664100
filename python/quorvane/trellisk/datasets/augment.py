"""Native augmentation for the segmentation datasets.

``AugmentationEngine`` does in C++ what a segmentation dataset's
augmentation pipeline does: one of a horizontal flip and a shift-scale-rotate
(Lanczos image, nearest mask, grey 114 fill), channel dropout, channel
shuffle, defocus, one of an elastic warp and a 4 x 4 piecewise-affine warp,
and a random sized crop resized to the dataset shape, with the same
probabilities and parameter ranges. It releases the interpreter lock while it
works and may be called from many threads at once.

Switch a dataset over with ``use_native_augmentation(dataset)``: its
``apply_augmentation``, ``tf_apply_augmentation`` and training iterator then
use the engine instead of the augmentation library's ``Compose``. Where the
library is not installed, or is not a 1.3 release, every dataset starts with
an engine (and one ``AugmentationFallbackWarning`` says so).
"""

import functools

from . import _augment
from .formats import RECORD_SEGMENTATION

__all__ = ["AugmentationEngine", "use_native_augmentation", "grid_diagonals"]


@functools.lru_cache(maxsize=256)
def grid_diagonals(height, width):
    """How the piecewise-affine warp splits its grid cells for a height x width input.

    The warp triangulates its 4 x 4 control grid (corners at multiples of a
    third of the size) with a Delaunay triangulation; every cell is a
    rectangle, so either diagonal is valid and which one SciPy's Delaunay
    picks depends on the size. Returns a 9-bit int: bit (row * 3 + col) set
    when that cell is split from its top-left to its bottom-right corner.
    """
    import numpy as np
    from scipy import spatial

    ys = np.linspace(0, height, _augment.GRID)
    xs = np.linspace(0, width, _augment.GRID)
    xx, yy = np.meshgrid(xs, ys)
    points = np.dstack([xx.flat, yy.flat])[0]
    simplices = [set(s) for s in spatial.Delaunay(points).simplices]
    bits = 0
    cells = _augment.GRID - 1
    for r in range(cells):
        for c in range(cells):
            a, b = r * _augment.GRID + c, (r + 1) * _augment.GRID + c + 1
            if any(a in s and b in s for s in simplices):
                bits |= 1 << (r * cells + c)
    return bits


class AugmentationEngine:
    """The segmentation augmentation pipeline, native and thread-safe.

    AugmentationEngine(height, width, channel_ops=True, seed=None)

    height, width: the dataset shape; the random sized crop resizes to it
    and draws crop heights from height // 5 to height // 2. channel_ops:
    include channel dropout and channel shuffle (the COCO dataset has
    neither). seed: an int for repeatable results, None for a fresh one.

    Call it like the library's Compose: ``engine(image=..., mask=...)``
    returns ``{"image": uint8 array, "mask": int32 array}`` (mask may be
    omitted). image: uint8, (height, width, 3) of any size; mask: integer
    class ids of the image's height and width, kept exactly (any integer type
    whose values fit in int32). Other inputs raise TypeError or ValueError.

    Randomness: call number n of the engine (counted from 0) uses a
    generator derived from (seed, n) alone. With a seed, the same sequence
    of calls from one thread gives the same outputs. Calls from several
    threads each get their own n, so the set of results is the same as on
    one thread, but which input gets which n depends on timing.
    """

    def __init__(self, height, width, channel_ops=True, seed=None):
        for name, value in (("height", height), ("width", width)):
            if isinstance(value, bool) or not hasattr(value, "__index__"):
                raise TypeError("{} must be an int, got {}".format(name, type(value).__name__))
            if not 1 <= value <= _augment.MAX_SIDE:
                raise ValueError("{} must lie in [1, {}], got {}".format(name, _augment.MAX_SIDE, value))
        height, width = int(height), int(width)
        self._height, self._width = height, width
        self._engine = _augment.Engine(height, width, bool(channel_ops), seed,
                                       grid_diagonals(height, width))

    @property
    def shape(self):
        """(height, width) of the crop output."""
        return (self._height, self._width)

    @property
    def channel_ops(self):
        """Whether channel dropout and channel shuffle are part of the pipeline."""
        return self._engine.channel_ops

    @property
    def seed(self):
        """The seed in use (drawn at creation when none was given)."""
        return self._engine.seed

    def _diagonals(self, image):
        shape = getattr(image, "shape", None)
        try:
            h, w = int(shape[0]), int(shape[1])
        except (TypeError, IndexError, ValueError):
            return -1
        if (h, w) == (self._height, self._width) or not (1 <= h <= _augment.MAX_SIDE
                                                         and 1 <= w <= _augment.MAX_SIDE):
            return -1
        return grid_diagonals(h, w)

    def __call__(self, *, image, mask=None):
        """Augment one sample: returns {"image": ..., "mask": ...} (mask only when given)."""
        out_image, out_mask = self._engine(image, mask, self._diagonals(image))
        if mask is None:
            return {"image": out_image}
        return {"image": out_image, "mask": out_mask}

    def keyed(self, image, mask, pass_number, index):
        """Augment one sample with the draws of (seed, pass_number, index)
        alone, as the op library's augment op makes them: returns (image,
        mask). The training pipelines key each sample so, which makes them
        repeatable whatever thread runs a sample, and lets a run resume
        exactly."""
        return self._engine.keyed(image, mask, int(pass_number), int(index), self._diagonals(image))

    def plan(self, height, width, index):
        """The parameters call number `index` draws for a height x width input (a dict)."""
        return self._engine.plan(height, width, index, -1 if (height, width) == self.shape
                                 else grid_diagonals(height, width))

    def __repr__(self):
        return "AugmentationEngine(height={}, width={}, channel_ops={}, seed={})".format(
            self._height, self._width, self.channel_ops, self.seed)


def use_native_augmentation(dataset, seed=None):
    """Make `dataset` augment with an AugmentationEngine; returns the engine.

    dataset: a SegmentationDataset, SegmentationDatasetYaml,
    SegmentationDatasetJsonCOCO or SegmentationDatasetTFRecord. The engine
    is built from dataset.shape (COCO: without channel dropout and shuffle)
    and replaces dataset._augmentation_pipeline, so apply_augmentation,
    tf_apply_augmentation and build_train_iterator use it from now on.
    seed: as for AugmentationEngine.
    """
    describe = getattr(dataset, "describe", None)
    about = describe() if callable(describe) else None
    if getattr(about, "kind", None) not in ("folders", "coco", RECORD_SEGMENTATION):
        raise TypeError("dataset must be a SegmentationDataset, SegmentationDatasetYaml, "
                        "SegmentationDatasetJsonCOCO or SegmentationDatasetTFRecord, got {}".format(
                            type(dataset).__name__))
    shape = about.shape
    try:
        height, width = shape[0], shape[1]
    except (TypeError, IndexError, KeyError):
        raise ValueError("dataset.shape must be [height, width, channels], got {!r}".format(shape))
    engine = AugmentationEngine(height, width, channel_ops=about.augmentation["channel_ops"],
                                seed=seed)
    dataset._augmentation_pipeline = engine
    return engine
