"""Fuzz AttitudeLoss.set_weights and compute_loss.

Input: flags (bits 0-2: which weight keys are present, bits 3-4: how they
are given: float, int, string or None), three 8-byte chunks with the
weights as float64, then float32 angles split between y_true and y_pred."""

import math
import os
import sys
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from quorvane.trellisk.losses.attitude import AttitudeLoss  # noqa: E402

LOSS = AttitudeLoss()
KEYS = ("y_weight", "p_weight", "r_weight")
# set_weights: bad dictionaries and weights (ValueError), weights that cannot
# be compared with 0 (TypeError). compute_loss: TensorFlow's errors for bad
# shapes or types.
ERRORS = (ValueError, TypeError, tf.errors.OpError)


def as_weight(raw, kind):
    value = float(np.frombuffer(raw.ljust(8, b"\0")[:8], np.float64)[0])
    if kind == 1 and math.isfinite(value):
        return int(max(min(value, 1e18), -1e18))
    if kind == 2:
        return str(value)
    if kind == 3 and value == 0:
        return None
    return value


def one_input(data):
    inp = harness.Input(data)
    flags = inp.byte()
    present = inp.byte()
    raw = [inp.chunk() for _ in KEYS]
    weights = {k: as_weight(r, flags & 3) for i, (k, r) in enumerate(zip(KEYS, raw))
               if present & (1 << i)}
    tail = inp.rest()[:96]
    angles = np.frombuffer(tail[:len(tail) // 4 * 4].ljust(24, b"\0"), np.float32)
    rows = len(angles) // 6
    y_true = angles[:rows * 3].reshape(rows, 3)
    y_pred = angles[rows * 3:rows * 6].reshape(rows, 3)
    with warnings.catch_warnings(), harness.allowed(*ERRORS):
        warnings.simplefilter("ignore")
        LOSS.set_weights(weights)
        stored = (LOSS.w_yaw, LOSS.w_pitch, LOSS.w_roll)
        harness.check(all(isinstance(w, (int, float)) and math.isfinite(w) and w >= 0
                          for w in stored), "accepted weights {}".format(stored))
        harness.signal("ok", sorted(weights), [type(w).__name__ for w in stored], rows)
        out = LOSS.compute_loss(tf.constant(y_true), tf.constant(y_pred))
        harness.check(sorted(out) == ["pitch-loss", "roll-loss", "total-loss", "yaw-loss"],
                      "keys {}".format(sorted(out)))
        # bounded angles and finite weights give a finite loss
        if np.all(np.abs(angles) < 1e9) and all(w < 1e18 for w in stored):
            values = {k: float(v) for k, v in out.items()}
            harness.check(all(math.isfinite(v) for v in values.values()),
                          "non-finite loss {}".format(values))


if __name__ == "__main__":
    harness.main(one_input, "attitude")
