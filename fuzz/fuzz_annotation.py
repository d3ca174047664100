"""Fuzz the JSON annotation reader and the mask painter of
SegmentationDataset with mutated annotation files and image bytes.

Input: flags (bit 0 letterbox, bit 1 read for validation), the annotation
file as a chunk, the image file (named 0.png) as the rest."""

import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

Image = harness.image_library()

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from quorvane.trellisk.datasets.segmentation import SegmentationDataset  # noqa: E402

SHAPE = [16, 16, 3]
NUM_POINTS = 8
LABELS = ["a", "b", "c"]
WORK = harness.scratch("annotation")
ANN = {True: os.path.join(WORK, "train", "ann", "a.json"),
       False: os.path.join(WORK, "val", "ann", "a.json")}
for split in ("train", "val"):
    harness.write(os.path.join(WORK, split, "ann", "a.json"), b"{}")
    os.makedirs(os.path.join(WORK, split, "img"), exist_ok=True)
DS = SegmentationDataset(SHAPE, *(os.path.join(WORK, s, k) for s, k in
                                  (("train", "img"), ("val", "img"), ("train", "ann"), ("val", "ann"))),
                         LABELS, ["segment"], num_points=NUM_POINTS)

# What a bad annotation or image may raise: missing/unreadable files and the
# image library's errors (OSError), the JSON parser and bad values
# (ValueError), absent keys (KeyError), values of the wrong kind (TypeError),
# a document nested too deep for the parser (RecursionError) and an image
# too large to decode.
READ_ERRORS = (OSError, ValueError, KeyError, TypeError, RecursionError,
               Image.DecompressionBombError)


def check_sample(out, train):
    img, polygons, classes = out[:3]
    harness.check(len(out) == (3 if train else 4), "item count")
    harness.check(img.dtype == np.uint8 and img.shape == tuple(SHAPE), "image {} {}".format(
        img.dtype, img.shape))
    harness.check(polygons.dtype == np.float32 and classes.dtype == np.int32, "element types")
    m = len(classes)
    harness.check(polygons.shape == ((m, NUM_POINTS, 2) if m else (0,)),
                  "polygons {} for {} classes".format(polygons.shape, m))
    harness.check(np.isfinite(polygons).all(), "non-finite polygon point")


def one_input(data):
    inp = harness.Input(data)
    flags = inp.byte()
    train = not flags & 2
    harness.write(ANN[train], inp.chunk())
    harness.write(os.path.join(WORK, "train" if train else "val", "img", "0.png"), inp.rest())
    DS.letter_box = bool(flags & 1)
    with warnings.catch_warnings(), harness.allowed(*READ_ERRORS):
        warnings.simplefilter("ignore")
        out = DS._read_data(ANN[train], train)
        check_sample(out, train)
        harness.signal("ok", train, DS.letter_box, out[1].shape, sorted(set(out[2].tolist()))[:4])
        mask = DS._build_gt_mask(tf.constant(out[1]), tf.constant(out[2]))
        harness.check(mask.dtype == np.int32 and mask.shape == tuple(SHAPE[:2]), "mask layout")
        allowed = set(int(c) + 1 for c in out[2]) | {0}
        harness.check(set(np.unique(mask).tolist()) <= allowed,
                      "mask values {} outside {}".format(np.unique(mask), sorted(allowed)))


if __name__ == "__main__":
    harness.main(one_input, "annotation")
