"""Fuzz the op library's kernels (quorvane.trellisk.ops) called eagerly
with tensors of any shape and content, the way a hand-made graph could call
them: annotation reading (a mutated annotation file), outline resampling
with splits that need not match the vertices, mask painting, letterboxing,
detection boxes and the outline and region features of records.

Input: the op (byte 0), a flag byte, four small dimensions, then raw bytes
that fill the tensors (and, for annotation reading, the file)."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from quorvane.trellisk import ops  # noqa: E402

OPS = ops.load()
WORK = harness.scratch("graph")
ANN = os.path.join(WORK, "a.json")
harness.write(os.path.join(WORK, "0.png"), b"")

# Kernels report bad input as InvalidArgument (any TensorFlow error is a
# clean refusal here; a crash, a sanitizer report or a wrong result is not).
ERRORS = (tf.errors.OpError,)
# FUZZ_GRAPH_OP=k sends every input to op k (a run for one op, such as a new
# one); the op byte is still read, so saved inputs replay the same way.
ONLY_OP = os.environ.get("FUZZ_GRAPH_OP")


class Fill:
    def __init__(self, raw):
        self.raw, self.pos = raw, 0

    def __call__(self, shape, dtype):
        dtype = np.dtype(dtype)
        n = int(np.prod(shape)) * dtype.itemsize
        out = self.raw[self.pos:self.pos + n].ljust(n, b"\0")
        self.pos += n
        return np.frombuffer(out, dtype).reshape(shape).copy()


def one_input(data):
    inp = harness.Input(data)
    op, flags = inp.byte() % 7, inp.byte()
    if ONLY_OP:
        op = int(ONLY_OP)
    a, b, c, d = (inp.byte() % 12 for _ in range(4))
    fill = Fill(inp.rest())
    h, w = 1 + a, 1 + b
    with harness.allowed(*ERRORS):
        if op == 0:
            harness.write(ANN, fill.raw)
            path, vertices, splits, classes = OPS.trellisk_read_annotation(
                ANN, WORK, segments=bool(flags & 1))
            v, s, k = vertices.numpy(), splits.numpy(), classes.numpy()
            harness.check(v.ndim == 2 and v.shape[1] == 2, "vertices {}".format(v.shape))
            harness.check(len(s) == len(k) + 1 and s[0] == 0 and (np.diff(s) >= 0).all()
                          and s[-1] == len(v), "splits {} for {} vertices".format(s, len(v)))
        elif op == 1:
            vertices = fill((c, 2) if not flags & 2 else (c,), np.float64)
            splits = fill((d,), np.int64)
            classes = fill((max(d - 1, 0),) if not flags & 4 else (c,), np.int32)
            frame = fill((4,) if not flags & 8 else (c,), np.float64)
            polygons, kept = OPS.trellisk_resample_outlines(
                vertices, splits, classes, frame, "x", num_points=1 + (flags >> 4))
            p = polygons.numpy()
            harness.check(p.ndim == 3 and p.shape[0] == len(kept.numpy()),
                          "polygons {} for {} classes".format(p.shape, len(kept.numpy())))
            if np.isfinite(vertices).all() and np.isfinite(frame).all() \
                    and np.abs(vertices).max(initial=0) < 1e6 and np.abs(frame).max() < 1e6:
                harness.check(np.isfinite(p).all(), "non-finite resampled point")
        elif op == 2:
            polygons = fill((c, 1 + d, 2) if not flags & 2 else (c, 2), np.float32)
            classes = fill((c,) if not flags & 4 else (d,), np.int32)
            mask = OPS.trellisk_paint_mask(polygons, classes, height=h, width=w).numpy()
            harness.check(mask.shape == (h, w), "mask {}".format(mask.shape))
            allowed = set((classes.astype(np.int64) + 1).tolist()) | {0}
            harness.check(set(np.unique(mask).tolist()) <= allowed, "mask values outside classes")
        elif op == 3:
            image = fill((1 + c, 1 + d, 1 + (flags & 3)) if not flags & 4 else (1 + c, 1 + d),
                         np.uint8)
            out, frame = OPS.trellisk_letterbox(image, "x", height=h, width=w,
                                                letterbox=bool(flags & 8))
            harness.check(out.shape[:2] == (h, w), "letterboxed {}".format(out.shape))
            harness.check(np.isfinite(frame.numpy()).all(), "non-finite frame")
        elif op == 5:
            # A record's outline features: counts that may disagree, any floats.
            classes = fill((c,), np.int64) % 8 if flags & 16 else fill((c,), np.int64)
            parts = fill((c if not flags & 2 else d,), np.int64) % 4 if flags & 32 else fill((c,), np.int64)
            vertices = fill((d,), np.int64) % 6 if flags & 64 else fill((d,), np.int64)
            xy = fill((2 * a,), np.float32)
            if flags & 128:
                xy = np.abs(np.nan_to_num(xy)) % 1
            objects = classes if flags & 4 else fill((d,), np.int64)
            size = np.array([h, w], np.int32) if not flags & 8 else fill((d % 3,), np.int32)
            points, rows, kept = OPS.trellisk_record_outlines(
                classes, parts, vertices, xy, objects, size, "x", max_class=7,
                match_objects=bool(flags & 1), height=h if flags & 8 else 0, width=w if flags & 8 else 0)
            p, r = points.numpy(), rows.numpy()
            harness.check(p.shape == (a, 2) and np.isfinite(p).all(), "points {}".format(p.shape))
            harness.check(bool(((r[:, 1] >= 0) & (r[:, 2] >= 1) & (r[:, 1] + r[:, 2] <= a)).all())
                          and len(kept.numpy()) == c, "parts {} for {} vertices".format(r, a))
        elif op == 6:
            # A record's RLE regions: objects and texts of any length and content.
            objects = fill((d,), np.int64) % (c + 1) if flags & 1 else fill((d,), np.int64)
            if flags & 2:
                objects = np.sort(objects)
            classes = fill((c,), np.int32) % 8
            size = np.array([a, b], np.int64) if not flags & 4 else fill((d % 3,), np.int64)
            # One text a line: as many as there are objects or not.
            texts = fill.raw[fill.pos:].split(b"\n") if fill.pos < len(fill.raw) else []
            info = OPS.trellisk_record_regions(objects, texts, classes, size, "x").numpy()
            harness.check(info.shape == (d, 7) and (info[:, 6] == objects).all()
                          and (info[:, 5] == classes[objects] + 1).all(), "regions {}".format(info))
        else:
            objects = fill((c,), np.int64)
            bboxes = fill((d * 4,) if not flags & 2 else (d,), np.float32)
            frame = fill((4,) if not flags & 4 else (c,), np.float64)
            size = np.array([h, w], np.int32) if not flags & 8 else fill((d % 3,), np.int32)
            boxes = OPS.trellisk_detection_boxes(objects, bboxes, frame, size, "x",
                                                 training=bool(flags & 1), height=h, width=w,
                                                 class_offset=flags >> 4).numpy()
            harness.check(boxes.ndim == 2 and boxes.shape[1] == 5, "boxes {}".format(boxes.shape))
            harness.check(np.isfinite(boxes).all(), "non-finite box")
        harness.signal("ok", op, flags & 15)


if __name__ == "__main__":
    harness.main(one_input, "graph")
