"""Fuzz the native augmentation engine (datasets.augment) with odd images
and masks: sizes, element types, byte orders and class ids.

Input: flags (bit 0 channel ops, bits 1-4 the mask's element type, bit 5
image without its channel axis, bit 6 no mask, bit 7 the draw keyed by
(seed, pass, index) as the training pipelines make it, the pass and index
taken from the seed and the image size), engine height and width,
image height and width, a seed byte, then pixel bytes and mask bytes."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import numpy as np  # noqa: E402

from quorvane.trellisk.datasets.augment import AugmentationEngine  # noqa: E402

MASK_TYPES = [np.int32, np.int64, np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.uint64,
              ">i4", ">i8", np.float32, np.float64, np.bool_, "<u2", np.int32, np.int64]
_engines = {}

# Bad images or masks: TypeError or ValueError naming what was expected.
ERRORS = (TypeError, ValueError)


def engine(height, width, channel_ops, seed):
    key = (height, width, channel_ops, seed)
    if key not in _engines:
        if len(_engines) > 64:
            _engines.clear()
        _engines[key] = AugmentationEngine(height, width, channel_ops=channel_ops, seed=seed)
    return _engines[key]


def take(raw, count, dtype):
    size = count * np.dtype(dtype).itemsize
    return np.frombuffer(raw[:size].ljust(size, b"\0"), dtype).copy()


def one_input(data):
    inp = harness.Input(data)
    flags = inp.byte()
    eh, ew, ih, iw = (1 + inp.byte() % 24 for _ in range(4))
    seed = inp.byte()
    pixels = inp.chunk()
    raw_mask = inp.rest()
    image = take(pixels, ih * iw * 3, np.uint8).reshape(ih, iw, 3)
    if flags & 32:
        image = image[:, :, 0]
    mask_type = np.dtype(MASK_TYPES[(flags >> 1) & 15])
    mask = take(raw_mask, ih * iw, mask_type).reshape(ih, iw)
    with harness.allowed(*ERRORS):
        eng = engine(eh, ew, bool(flags & 1), seed)
        if flags & 128:
            img, m = eng.keyed(image, None if flags & 64 else mask, seed * 977 - 2 ** 40, ih * iw - 5)
            out = {"image": img} if flags & 64 else {"image": img, "mask": m}
        else:
            out = eng(image=image) if flags & 64 else eng(image=image, mask=mask)
        img = out["image"]
        harness.check(img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] == 3,
                      "image {} {}".format(img.dtype, img.shape))
        harness.check(img.shape[:2] in ((ih, iw), (eh, ew)),
                      "image size {} from {} for {}".format(img.shape, (ih, iw), (eh, ew)))
        if not flags & 64:
            m = out["mask"]
            harness.check(m.dtype == np.int32 and m.shape == img.shape[:2],
                          "mask {} {}".format(m.dtype, m.shape))
            kept = set(np.unique(mask).tolist()) | {0}
            harness.check(set(np.unique(m).tolist()) <= kept,
                          "mask values {} not among the input's".format(
                              sorted(set(np.unique(m).tolist()) - kept)[:5]))
        harness.signal("ok", mask_type.str, img.shape == (eh, ew, 3))


if __name__ == "__main__":
    harness.main(one_input, "augment")
