"""Memory stays flat over many calls: per-sample readers, argument-checked
methods (good and bad arguments) and record decoding; failing calls release
their arguments."""

import gc
import os
import sys

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


class Token:
    """An argument no cache keeps: its reference count is ours alone."""


def failing_calls(tmp_path):
    from quorvane.trellisk.datasets import _rules
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml

    loss = AttitudeLoss()
    ds = make_dataset(tmp_path, simple(1))
    return {
        "bad weights": (loss.set_weights, lambda a: ((a,), {}),
                        {"y_weight": -1.0, "p_weight": 1.0, "r_weight": 1.0}, ValueError),
        "not a path": (ds.validate_path, lambda a: ((a,), {}), Token(), (TypeError, ValueError)),
        "unknown keyword": (ds.validate_path, lambda a: ((), {"nope": a}), Token(), TypeError),
        "too many arguments": (ds.read_data, lambda a: ((a, a, a), {}), Token(), TypeError),
        "not an annotation file": (ds._read_data, lambda a: ((a, True), {}), Token(),
                                   (TypeError, ValueError, OSError)),
        "no description": (SegmentationDatasetYaml, lambda a: ((a,), {"shape": [8, 8, 3]}), Token(),
                           (TypeError, ValueError, OSError)),
        "category not an object": (_rules.coco_category_classes, lambda a: ((a,), {}),
                                   [{"id": 1, "name": "a"}, Token()], TypeError),
    }


@pytest.mark.parametrize("name", ["bad weights", "not a path", "unknown keyword", "too many arguments",
                                  "not an annotation file", "no description",
                                  "category not an object"])
def test_failing_calls_release_their_arguments(tmp_path, name):
    """A call that fails keeps no reference to its argument: a reference
    left behind leaks the argument (and all it holds) on every call, a few
    hundred bytes each, too little for the memory test to see."""
    call, spread, arg, errors = failing_calls(tmp_path)[name]
    held = list(arg) if isinstance(arg, list) else [arg]

    def fail():
        args, kwargs = spread(arg)
        try:
            call(*args, **kwargs)
        except errors:
            return
        raise AssertionError("{} was accepted".format(name))

    for _ in range(20):  # first calls may fill caches
        fail()
    gc.collect()
    before = [sys.getrefcount(h) for h in held]
    for _ in range(2000):
        fail()
    gc.collect()
    assert [sys.getrefcount(h) for h in held] == before
