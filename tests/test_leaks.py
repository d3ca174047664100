"""Memory stays flat over many calls: per-sample readers, argument-checked
methods (good and bad arguments) and record decoding."""

import gc
import os

import numpy as np
import pytest
import tensorflow as tf

from quorvane.trellisk.datasets import formats
from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml
from quorvane.trellisk.losses.attitude import AttitudeLoss
from test_segmentation import make_dataset, simple
from test_tfrecord import example, picture

LIMIT_MB = 4


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


def growth(step, n, warmup, windows=3):
    """RSS growth (MB) over n calls of step(i), after warmup calls: the
    median of `windows` runs of n calls in a row, since one run alone may
    see the allocator hand memory back or take a block at once."""
    for i in range(warmup):
        step(i)
    runs = []
    for _ in range(windows):
        gc.collect()
        before = rss_mb()
        for i in range(n):
            step(i)
        gc.collect()
        runs.append(rss_mb() - before)
    return sorted(runs)[len(runs) // 2]


def segmentation_step(tmp_path):
    ds = make_dataset(tmp_path, simple(4, 24, 24), shape=(24, 24, 3))
    paths = list(ds.train_storage)

    def step(i):
        image, polygons, classes = ds._read_data(paths[i % 4], True)
        mask = ds._build_gt_mask(polygons, classes)
        assert mask.shape == (24, 24)
    return step


def argument_step(tmp_path):
    loss = AttitudeLoss()
    ds = make_dataset(tmp_path, simple(1))
    good = {"y_weight": 1.0, "p_weight": 2.0, "r_weight": 0.5}
    bad = [5, {"y_weight": -1.0, "p_weight": 1.0, "r_weight": 1.0},
           {"y_weight": float("nan"), "p_weight": 1.0, "r_weight": 1.0}]

    def step(i):
        loss.set_weights(good)
        for call, arg in ((loss.set_weights, bad[i % 3]), (ds.validate_path, i)):
            try:
                call(arg)
            except (TypeError, ValueError):
                continue
            raise AssertionError("{!r} accepted".format(arg))
    return step


def record_step(tmp_path):
    obj = TFRecordDatasetYaml.__new__(TFRecordDatasetYaml)
    obj.shape, obj.letter_box, obj.class_offset = [32, 32, 3], True, 1
    records = [tf.constant(example(picture(20, 30, i), [0, 1], [0.5, 0.5, 0.2, 0.2] * 2))
               for i in range(4)]
    broken = tf.constant(example(picture(20, 30), [0], [0.5, np.nan, 0.2, 0.2]))

    def step(i):
        if i % 10 == 9:
            try:
                obj.load_instance(broken, True)
            except ValueError:
                return
            raise AssertionError("non-finite boxes accepted")
        else:
            image, boxes = obj.load_instance(records[i % 4], bool(i % 2))[:2]
            assert boxes.shape == (2, 5)
    return step


def record_baseline(tmp_path):
    """The eager TensorFlow calls of one load_instance, alone: TensorFlow
    2.15's eager runtime grows by some hundred bytes a call by itself."""
    records = [tf.constant(example(picture(20, 30, i), [0, 1], [0.5, 0.5, 0.2, 0.2] * 2))
               for i in range(4)]
    features = formats.record_features(tf)

    def step(i):
        sample = tf.io.parse_single_example(records[i % 4], features)
        tf.io.decode_jpeg(sample["image"]).numpy()
        for name in ("objects", "bboxes"):
            tf.sparse.to_dense(sample[name]).numpy()
    return step


@pytest.mark.parametrize("make, calls, baseline", [
    (segmentation_step, 20000, None),
    (argument_step, 100000 // 3, None),  # three checked calls per step
    (record_step, 5000, record_baseline),
])
def test_no_growth(tmp_path, make, calls, baseline):
    """Growth beyond what the libraries called show on their own."""
    warmup = max(calls // 10, 200)
    floor = growth(baseline(tmp_path), calls, warmup) if baseline else 0.0
    step = make(tmp_path)
    assert growth(step, calls, warmup) - max(floor, 0.0) < LIMIT_MB
