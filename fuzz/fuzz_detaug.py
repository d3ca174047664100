"""Fuzz the detection augmentation engine (datasets._detaug) with odd
settings and groups: any aug_cfg values (out of range, NaN, inverted
ranges, wrong types), any sizes, and box values of any float bit pattern.

With flag bit 4 the objects get outlines too: part rows (box row, first
vertex, vertex count) of any int32 values and vertices of any float bit
pattern, which reach the engine's tight-box path when they are sound.

Input: flags (bit 0 baseline, bit 1 scale as one number, bit 4 outlines),
output height and width, group size, boxes per sample, main, seed, pass;
then one byte per setting (its value's kind and magnitude); then box
floats, with bit 4 a chunk of part int32s and one of vertex floats, then
pixel bytes."""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import numpy as np  # noqa: E402

from quorvane.trellisk.datasets import _detaug  # noqa: E402

TECHNIQUES = ("mosaic", "mixup", "affine", "hsv", "hflip", "vflip")
STRENGTHS = ("translate", "degrees", "shear", "hsv_h", "hsv_s", "hsv_v", "mixup_alpha",
             "min_box_size", "min_visibility", "max_aspect_ratio")
SPECIAL = (float("nan"), float("inf"), -1.0, 2.0, "0.5", None, [0.1, 0.2], True)

# Bad settings or inputs: ValueError (or TypeError) saying what is wrong.
ERRORS = (TypeError, ValueError)


def setting(b):
    """A value for a setting from one byte: mostly sound, sometimes not."""
    if b < 200:
        return b / 199.0
    return SPECIAL[b % len(SPECIAL)]


def one_input(data):
    inp = harness.Input(data)
    flags = inp.byte()
    h, w = 1 + inp.byte() % 48, 1 + inp.byte() % 48
    k, n = 1 + inp.byte() % 4, inp.byte() % 6
    main, seed, pass_number = inp.byte() % 5, inp.byte(), inp.byte() % 4
    cfg = {}
    for name in TECHNIQUES + STRENGTHS:
        b = inp.byte()
        if b & 1:
            cfg[name] = setting(b >> 1 << 1 | (b & 0x80))
    lo, hi = inp.byte() / 64.0, inp.byte() / 64.0
    if flags & 2:
        cfg["scale"] = lo
    elif flags & 4:
        cfg["scale"] = [lo, hi]
    if flags & 8:
        cfg["mosaic_stop_pass"] = inp.byte() % 3
    raw = inp.chunk()
    floats = np.frombuffer(raw[: len(raw) // 4 * 4], "<f4")
    boxes = np.resize(floats, k * n * 5).astype(np.float32).reshape(k, n, 5) if floats.size \
        else np.zeros((k, n, 5), np.float32)
    counts = np.full(k, n, np.int32)
    outline = {}
    if flags & 16:
        raw_parts, raw_xy = inp.chunk(), inp.chunk()
        ints = np.frombuffer(raw_parts[: len(raw_parts) // 4 * 4], "<i4")
        p = ints.size // (3 * k)
        # Mostly small values, so that many rows name real boxes and vertices.
        parts = (ints[: k * p * 3] % 64 if flags & 32 else ints[: k * p * 3]).astype(np.int32).reshape(k, p, 3)
        coords = np.frombuffer(raw_xy[: len(raw_xy) // 8 * 8], "<f4")
        v = coords.size // (2 * k)
        xy = coords[: k * v * 2].astype(np.float32).reshape(k, v, 2)
        if flags & 64:
            xy = np.nan_to_num(xy, nan=1.0, posinf=1e30, neginf=-1e30) % (3 * max(h, w))
        outline = {"outline_xy": xy, "outline_parts": parts}
    pixels = inp.rest()
    images = np.frombuffer(pixels.ljust(k * h * w * 3, b"\0")[: k * h * w * 3], np.uint8)
    images = images.reshape(k, h, w, 3).copy()
    with harness.allowed(*ERRORS):
        config = _detaug.DetectionAugmentConfig(cfg, h, w)
        image, out = _detaug.augment_group(config, images, boxes, counts, main, seed, pass_number,
                                           struct.unpack("<H", bytes(data[:2]).ljust(2, b"\0"))[0],
                                           baseline=bool(flags & 1), **outline)
        harness.check(image.dtype == np.uint8 and image.shape == (h, w, 3),
                      "image {} {}".format(image.dtype, image.shape))
        harness.check(out.dtype == np.float32 and out.ndim == 2 and out.shape[1] == 5 and
                      len(out) >= 1, "boxes {} {}".format(out.dtype, out.shape))
        harness.check(bool(np.isfinite(out).all()), "non-finite box values")
        real = out[np.any(out != 0, axis=1)]
        harness.check(bool(((real[:, 0] >= 0) & (real[:, 2] <= w) & (real[:, 1] >= 0) &
                            (real[:, 3] <= h)).all()), "a box outside the picture")
        labels = set(boxes[:, :, 4].ravel().tolist()) | {0.0}
        harness.check(set(real[:, 4].tolist()) <= labels, "a label that no input box had")
        harness.signal("ok", len(out) > 1, config.group_size, bool(outline))


if __name__ == "__main__":
    harness.main(one_input, "detaug")
