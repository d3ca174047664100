"""Fuzz the COCO RLE decoder and the painting of regions: the compiled
decoder (`_rle`) on any "size" and "counts" (text or runs), then the same
region painted among polygons by the COCO mask builder and by the mask op.

Input: flags (bit 0: counts as text, else as little-endian int32 runs;
bit 1: check the size against the image entry's), height and width (one
byte each, 0..255), the placement (four signed bytes: scaled width and
height, offsets), then the counts as the rest."""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from quorvane.trellisk import ops  # noqa: E402
from quorvane.trellisk.datasets import _rle  # noqa: E402
from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO  # noqa: E402

OUT = (12, 10)  # mask height, width
VALUE = 7
# The mask builder only needs its shape; the instance is made without a file.
PAINTER = SegmentationDatasetJsonCOCO.__new__(SegmentationDatasetJsonCOCO)
PAINTER.shape = [OUT[0], OUT[1], 3]
POLYGON = np.array([[[1, 1], [6, 1], [6, 5]]], np.float32)


def parse(inp):
    flags = inp.byte()
    height, width = inp.byte(), inp.byte()
    placement = [struct.unpack("b", bytes([inp.byte()]))[0] for _ in range(4)]
    rest = inp.rest()
    if flags & 1:
        counts = rest.decode("latin-1")
    else:
        counts = list(struct.unpack("<{}i".format(len(rest) // 4), rest[:len(rest) // 4 * 4]))
    return flags, height, width, placement, counts


def one_input(data):
    flags, height, width, placement, counts = parse(harness.Input(data))
    rle = {"size": [height, width], "counts": counts}
    expected = (height ^ (flags >> 2 & 1), width) if flags & 2 else (None, None)
    with harness.allowed(ValueError):
        mask = _rle.decode(rle, *expected)
        runs = _rle.runs(rle)
        harness.check(mask.shape == (height, width) and set(np.unique(mask)) <= {0, 1}, "decoded mask")
        harness.check(int(runs.sum()) == height * width and (runs >= 0).all(), "runs")
        harness.check(int(mask.sum()) == _rle.area(rle), "area")
        again = _rle.decode(_rle.encode(mask))
        harness.check(np.array_equal(again, mask), "text round trip")
        box = _rle.extent(rle)
        if mask.any():
            ys, xs = np.nonzero(mask)
            harness.check(box == (xs.min(), ys.min(), np.ptp(xs) + 1, np.ptp(ys) + 1), "extent")
        harness.signal("ok", mask.any(), len(runs) > 2)
        # Painted after the polygon, through the placement drawn above.
        frame = np.array([placement[0] / 4.0, placement[1] / 4.0, placement[2] / 8.0, placement[3] / 8.0])
        packed = np.array([height, width, VALUE, 1, len(runs)] + runs.tolist(), np.int64)
        painted = PAINTER._build_gt_mask(POLYGON, np.array([0], np.int32), regions=packed, frame=frame)
        harness.check(set(np.unique(painted)) <= {0, 1, VALUE}, "painted values")
        if frame[0] == width and frame[1] == height and frame[2] == frame[3] == 0:
            top = np.zeros(OUT, bool)
            top[:min(height, OUT[0]), :min(width, OUT[1])] = mask[:OUT[0], :OUT[1]] > 0
            harness.check(np.array_equal(painted == VALUE, top), "identity placement")
        text = _rle.encode(mask)["counts"]
        op = ops.paint_mask_regions(
            tf.constant(POLYGON), tf.constant([0], tf.int32), tf.constant([text]),
            tf.zeros([0], tf.int64), tf.constant([0, 0], tf.int64),
            tf.constant([[1, height, width, -1, -1, VALUE, 1]], tf.int64), tf.constant(["fuzz"]),
            tf.constant(frame, tf.float64), list(OUT), source="fuzz")
        harness.check(np.array_equal(op.numpy(), painted), "op and mask builder differ")


if __name__ == "__main__":
    harness.main(one_input, "rle")
