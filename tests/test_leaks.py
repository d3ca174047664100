"""Memory stays flat over many calls: per-sample readers, argument-checked
methods (good and bad arguments) and record decoding."""

import gc
import os

import numpy as np
import pytest
import tensorflow as tf

from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml
from quorvane.trellisk.losses.attitude import AttitudeLoss
from test_segmentation import make_dataset, simple
from test_tfrecord import example, picture

LIMIT_MB = 4


def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2 ** 20


def growth(step, n, warmup):
    """RSS growth (MB) over n calls of step(i), after warmup calls."""
    for i in range(warmup):
        step(i)
    gc.collect()
    before = rss_mb()
    for i in range(n):
        step(i)
    gc.collect()
    return rss_mb() - before


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


@pytest.mark.parametrize("make, calls", [
    (segmentation_step, 20000),
    (argument_step, 100000 // 3),  # three checked calls per step
    (record_step, 5000),
])
def test_no_growth(tmp_path, make, calls):
    step = make(tmp_path)
    assert growth(step, calls, warmup=max(calls // 10, 200)) < LIMIT_MB
