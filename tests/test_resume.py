"""Long runs: repeat-factor sampling (each class's share per pass as the
factors predict, the same passes on both pipelines) and exact resume (a
pipeline started at (pass, batch) yields the rest of an uninterrupted run,
decoding nothing before it; graph iterators checkpointed; a killed Keras run
restarted with ResumePosition trains on the batches of an unbroken one)."""

import hashlib
import json
import math
import os
import signal
import subprocess
import sys

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from quorvane.trellisk.datasets import graph
from quorvane.trellisk.datasets._sampling import repeat_factors
from quorvane.trellisk.datasets.augment import use_native_augmentation
from quorvane.trellisk.datasets.records import encode_example
from quorvane.trellisk.datasets.segmentation import (SegmentationDataset, SegmentationDatasetJsonCOCO,
                                                     SegmentationDatasetTFRecord)
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
from test_tfrecord import example, write_records

HERE = os.path.dirname(os.path.abspath(__file__))
SHAPE = [16, 16, 3]
RECIPE = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}
# Pictures holding each class (one class per picture): a long tail. With
# threshold 0.3 the factors are 1, sqrt(1.5) (rounded at random), 3 and 6.
TAIL = {0: 91, 1: 24, 2: 4, 3: 1}
FULL_FRAME = [[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]]


def picture_classes(counts):
    return [c for c, n in counts.items() for _ in range(n)]


def picture(i):
    rng = np.random.default_rng(i)
    return rng.integers(0, 256, (12, 12, 3), dtype=np.uint8)


def folder_dataset(root, classes):
    """One picture per entry of `classes`, its whole frame of that class."""
    for split in ("train", "val"):
        for sub in ("images", "anns"):
            (root / split / sub).mkdir(parents=True, exist_ok=True)
    for i, cls in enumerate(classes):
        Image.fromarray(picture(i)).save(root / "train" / "images" / "{}.png".format(i))
        (root / "train" / "anns" / "{}.json".format(i)).write_text(json.dumps(
            {"image": "{}.png".format(i), "segment": [[{"polygon": FULL_FRAME, "class": cls}]]}))
    return SegmentationDataset(list(SHAPE), str(root / "train" / "images"), str(root / "val" / "images"),
                               str(root / "train" / "anns"), str(root / "val" / "anns"),
                               labels=["a", "b", "c", "d"], tasks=["segment"], num_points=8)


def coco_dataset(root, classes):
    (root / "images").mkdir(parents=True, exist_ok=True)
    images, annotations = [], []
    for i, cls in enumerate(classes):
        Image.fromarray(picture(i)).save(root / "images" / "{}.png".format(i))
        images.append({"file_name": "{}.png".format(i), "id": i + 1})
        annotations.append({"id": i, "image_id": i + 1, "category_id": cls + 1,
                            "segmentation": [[0, 0, 12, 0, 12, 12, 0, 12]]})
    (root / "c.json").write_text(json.dumps({
        "images": images, "annotations": annotations,
        "categories": [{"id": k + 1, "name": "abcd"[k]} for k in range(4)]}))
    return SegmentationDatasetJsonCOCO(str(root / "c.json"), train_images=str(root / "images"),
                                       shape=list(SHAPE), num_points=8)


def record_dataset(root, classes, aug_cfg=None):
    records = [example(picture(i), [cls], [0.5, 0.5, 0.6, 0.6], name=b"%d.jpg" % i)
               for i, cls in enumerate(classes)]
    for k in range(2):
        write_records(root / "train" / "{}.tfrecord".format(k), records[k::2])
    write_records(root / "val" / "v.tfrecord", records[:1])
    return TFRecordDataset({"classes": ["a", "b", "c", "d"], "train": {"path": str(root / "train")},
                            "validation": {"path": str(root / "val")}}, shape=list(SHAPE),
                           aug_cfg=aug_cfg)


def record_segmentation_dataset(root, classes, files=2):
    """Segmentation records as pack writes them: each picture's whole frame
    one object of its class, in `files` files."""
    records = [encode_example(tf.io.encode_png(picture(i)).numpy(), "{}.png".format(i), 12, 12, [cls],
                              [0.5, 0.5, 1.0, 1.0], outlines=[(cls, [FULL_FRAME])])
               for i, cls in enumerate(classes)]
    for k in range(files):
        write_records(root / "train" / "{}.tfrecord".format(k), records[k::files])
    write_records(root / "val" / "v.tfrecord", records[:1])
    (root / "tfrecord.yaml").write_text(json.dumps({
        "type": "tfrecord", "classes": ["a", "b", "c", "d"],
        "train": {"path": str(root / "train"), "samples": len(records)},
        "validation": {"path": str(root / "val"), "samples": 1}}))
    return SegmentationDatasetTFRecord(str(root / "tfrecord.yaml"), list(SHAPE), num_points=8,
                                       tasks=["segment"])


def native(ds, seed):
    use_native_augmentation(ds, seed=seed)
    return ds


# Each pipeline: (make dataset, build pipeline of passes [first, ...]).
def default_seg(ds, seed, repeat_threshold=None, start=None):
    return ds.build_train_iterator(4, 2, repeat_threshold=repeat_threshold, start=start)


def default_det(ds, seed, repeat_threshold=None, start=None):
    return ds.build_train_iterator(4, seed=seed, repeat_threshold=repeat_threshold, start=start)


def graph_pipeline(ds, seed, repeat_threshold=None, start=None, augment=True):
    return graph.train_pipeline(ds, 4, seed=seed, repeat=True, repeat_threshold=repeat_threshold,
                                start=start, augment=augment)


def unaugmented(ds):
    """The dataset with augmentation that leaves samples as they are (so
    every mask keeps its class)."""
    ds._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
    return ds


def passes(pipeline, count):
    """Batches of `count` passes, as lists of (image bytes, labels bytes)."""
    info = pipeline.training_passes
    if not info.per_iteration:
        first = info.start[0]
        total = sum(info.batches(p) for p in range(first, first + count)) - info.start[1]
        return [batch_key(b) for b in pipeline.take(total)]
    return [batch_key(b) for _ in range(count) for b in pipeline]


def batch_key(batch):
    images, labels = batch
    labels = labels[0] if isinstance(labels, tuple) else labels
    return images.numpy().tobytes(), labels.numpy().tobytes()


def sample_classes(batch):
    """The class of each sample of a batch: the mask's main class, or the
    label of the only box."""
    images, labels = batch
    if isinstance(labels, tuple):
        return [int(b[0, 4]) - 1 for b in labels[0].numpy()]  # class 0 is the background
    out = []
    for mask in labels.numpy():
        values, counts = np.unique(mask[mask > 0], return_counts=True)
        out.append(int(values[np.argmax(counts)]) - 1)
    return out


PIPELINES = {
    "segmentation default": (lambda root, c: native(folder_dataset(root, c), 5), default_seg),
    "segmentation graph": (lambda root, c: folder_dataset(root, c), graph_pipeline),
    "coco default": (lambda root, c: native(coco_dataset(root, c), 5), default_seg),
    "records default": (lambda root, c: native(record_segmentation_dataset(root, c), 5), default_seg),
    "records graph": (record_segmentation_dataset, graph_pipeline),
    "detection default": (lambda root, c: record_dataset(root, c, RECIPE), default_det),
    "detection graph": (lambda root, c: record_dataset(root, c, RECIPE), graph_pipeline),
}


# ------------------------------------------------------------- arguments

@pytest.mark.parametrize("name", ["segmentation default", "detection default", "detection graph"])
@pytest.mark.parametrize("threshold, error", [
    (0, ValueError), (-0.5, ValueError), (1.01, ValueError), (float("nan"), ValueError),
    (float("inf"), ValueError), ("0.5", TypeError), (True, TypeError)])
def test_threshold_outside_the_unit_interval_is_refused(tmp_path, name, threshold, error):
    make, build = PIPELINES[name]
    ds = make(tmp_path, [0, 1, 2])
    with pytest.raises(error, match="repeat_threshold"):
        build(ds, 1, repeat_threshold=threshold)


@pytest.mark.parametrize("start, error", [
    ((-1, 0), ValueError), ((0, -2), ValueError), ((1.5, 0), TypeError), (3, TypeError),
    ((1, 2, 3), TypeError), ("12", TypeError)])
def test_bad_start_is_refused(tmp_path, start, error):
    ds = record_dataset(tmp_path, [0, 1])
    for build in (default_det, graph_pipeline):
        with pytest.raises(error, match="start"):
            build(ds, 1, start=start)


def test_new_parameters_are_keyword_only(tmp_path):
    seg = native(folder_dataset(tmp_path / "s", [0, 1]), 1)
    det = record_dataset(tmp_path / "d", [0, 1])
    with pytest.raises(TypeError, match=r"takes at most 3 positional arguments \(4 given\)"):
        seg.build_train_iterator(2, 2, 0.5)
    with pytest.raises(TypeError, match=r"takes at most 4 positional arguments \(5 given\)"):
        det.build_train_iterator(2, 2, 1, 0.5)
    import inspect
    for method in (seg.build_train_iterator, det.build_train_iterator,
                   SegmentationDatasetJsonCOCO.build_train_iterator):
        params = inspect.signature(method).parameters
        assert [params[k].kind for k in ("repeat_threshold", "start")] == [
            inspect.Parameter.KEYWORD_ONLY] * 2


def test_library_augmentation_cannot_resume_and_says_so(tmp_path):
    ds = folder_dataset(tmp_path, [0, 1, 2, 3])
    ds._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
    with pytest.raises(ValueError, match="cannot start mid-run exactly") as e:
        ds.build_train_iterator(2, start=(0, 1))
    assert "\n" not in str(e.value)
    # Repeat-factor sampling alone needs no keyed augmentation.
    batches = list(ds.build_train_iterator(2, repeat_threshold=1.0))
    assert len(batches) == ds.build_train_iterator(2, repeat_threshold=1.0).training_passes.batches(0)


# ------------------------------------------------------ repeat factors

@pytest.mark.parametrize("presence, threshold, factors", [
    ([(0,), (0,), (0,), (0, 1)], 1.0, [1, 1, 1, 2]),            # f1 = 1/4
    ([(0,), (0,), (0,), (0, 1)], 0.25, [1, 1, 1, 1]),           # f1 = t: no repeat
    # f2 = 6/9, f5 = 3/9: a picture with both takes the larger factor
    ([(), (2,), (2, 5), (2,)] * 2 + [(5,)], 0.75, [1, 1.125 ** 0.5, 1.5, 1.125 ** 0.5] * 2 + [1.5]),
    ([(1,)] * 99 + [(7,)], 0.5, [1] * 99 + [50 ** 0.5]),       # f7 = 1/100
])
def test_repeat_factor_of_a_picture_follows_its_rarest_class(presence, threshold, factors):
    np.testing.assert_allclose(repeat_factors(presence, threshold), factors)


UNAUGMENTED = {
    "segmentation default": (lambda root, c: unaugmented(folder_dataset(root, c)), default_seg),
    "coco default": (lambda root, c: unaugmented(coco_dataset(root, c)), default_seg),
    "segmentation graph": (folder_dataset, lambda *a, **k: graph_pipeline(*a, augment=False, **k)),
    "records default": (lambda root, c: unaugmented(record_segmentation_dataset(root, c)), default_seg),
    "records graph": (record_segmentation_dataset,
                      lambda *a, **k: graph_pipeline(*a, augment=False, **k)),
    "detection default": (record_dataset, default_det),
    "detection graph": (record_dataset, graph_pipeline),
}


@pytest.mark.parametrize("name", list(UNAUGMENTED))
def test_each_class_gets_the_predicted_share_of_a_pass(tmp_path, name):
    make, build = UNAUGMENTED[name]
    classes = picture_classes(TAIL)
    ds = make(tmp_path, classes)
    threshold, count = 0.3, 8
    f = {c: n / len(classes) for c, n in TAIL.items()}
    predicted = {c: TAIL[c] * max(1.0, math.sqrt(threshold / f[c])) for c in TAIL}
    pipeline = build(ds, 3, repeat_threshold=threshold)
    seen = {c: 0 for c in TAIL}
    info = pipeline.training_passes
    if info.per_iteration:
        batches = [b for _ in range(count) for b in pipeline]
    else:
        batches = list(pipeline.take(sum(info.batches(p) for p in range(count))))
    for batch in batches:
        for c in sample_classes(batch):
            seen[c] += 1
    # Segmentation drops the last samples of a pass: compare per sample drawn.
    drawn = sum(seen.values())
    total = sum(predicted.values())
    for c in TAIL:
        assert seen[c] / drawn == pytest.approx(predicted[c] / total, rel=0.1), (c, seen, predicted)
    assert len(batches) == sum(info.batches(p) for p in range(count))
    # The dataset's own count stays the number of pictures.
    counted = ds.get_num_train_samples() if hasattr(ds, "get_num_train_samples") else ds.num_train_samples
    assert info.pictures == len(classes) and counted in (0, len(classes))  # 0: not counted yet
    # Known once asked for, without decoding a picture, and described.
    presence = ds.describe().class_presence
    assert sorted(presence) == sorted((c,) for c in classes)


@pytest.mark.parametrize("make, build", [
    (record_dataset, lambda ds, **k: graph.train_pipeline(ds, 2, seed=1, augment=False, **k)),
    (record_segmentation_dataset, lambda ds, **k: graph.train_pipeline(ds, 2, seed=1, augment=False,
                                                                       **k))])
def test_a_shard_of_record_files_repeats_its_records_by_the_whole_datasets_classes(
        tmp_path, make, build):
    # One file holds the only picture of class 3 (1 in 8 of the dataset:
    # factor 2 at threshold 0.5; counted in its shard alone, 1 in 4, it
    # would be sqrt(2)).
    ds = make(tmp_path, [0, 3, 0, 0, 0, 0, 0, 0])
    files = list(ds.describe().train_files)
    rare = next(k for k, f in enumerate(files) if f.endswith("1.tfrecord"))
    pipeline = build(ds, shard=(2, rare), repeat_threshold=0.5)
    info = pipeline.training_passes
    assert sorted(info.factors) == [1.0, 1.0, 1.0, 2.0]
    assert info.samples(0) == 5
    drawn = [c for b in pipeline.take(info.batches(0)) for c in sample_classes(b)]
    # Segmentation drops the odd sample at the end of the pass.
    assert len(drawn) == (4 if info.drop_remainder else 5)
    assert drawn.count(3) >= 2 - (5 - len(drawn))


@pytest.mark.parametrize("kind", ["segmentation", "coco", "records", "detection"])
@pytest.mark.parametrize("threshold", [None, 0.3])
def test_default_and_graph_pipelines_draw_the_same_passes(tmp_path, kind, threshold):
    classes = picture_classes({0: 12, 1: 4, 2: 1})
    if kind == "detection":
        ds = record_dataset(tmp_path, classes, RECIPE)
        default = ds.build_train_iterator(4, seed=9, repeat_threshold=threshold)
    else:
        make = {"segmentation": folder_dataset, "coco": coco_dataset,
                "records": record_segmentation_dataset}[kind]
        ds = native(make(tmp_path, classes), 9)
        default = ds.build_train_iterator(4, repeat_threshold=threshold, start=(0, 0))
    graphed = graph.train_pipeline(ds, 4, seed=9, repeat=True, repeat_threshold=threshold)
    expected = passes(default, 2)
    assert passes(graphed, 2) == expected
    other = graph.train_pipeline(ds, 4, seed=10, repeat=True, repeat_threshold=threshold)
    assert passes(other, 2) != expected


# ---------------------------------------------------------------- resume

@pytest.mark.parametrize("name", [n for n in PIPELINES if n != "coco default"])
@pytest.mark.parametrize("threshold", [None, 0.3])
@pytest.mark.parametrize("start", [(0, 2), (1, 1), (1, 0)])
def test_a_started_pipeline_yields_the_rest_of_the_run(tmp_path, name, threshold, start):
    make, build = PIPELINES[name]
    ds = make(tmp_path, picture_classes({0: 14, 1: 5, 2: 2}))
    whole = build(ds, 4, repeat_threshold=threshold, start=(0, 0))
    info = whole.training_passes
    run = passes(whole, 3)
    done = sum(info.batches(p) for p in range(start[0])) + start[1]
    resumed = build(ds, 4, repeat_threshold=threshold, start=start)
    assert resumed.training_passes.start == start
    assert passes(resumed, 3 - start[0]) == run[done:]
    assert len(run) == sum(info.batches(p) for p in range(3))


class Counted:
    """Counts the calls of a dataset's per-sample reader."""

    def __init__(self, fn):
        self.fn, self.calls = fn, 0

    def __call__(self, *args):
        self.calls += 1
        return self.fn(*args)


@pytest.mark.parametrize("name, reader, group", [
    ("segmentation default", "_read_data", 1), ("coco default", "_read_sample", 1),
    ("records default", "_read_sample", 1), ("detection default", "load_instance", 4)])
@pytest.mark.parametrize("batch", [0, 3, 5])
def test_samples_before_the_start_are_never_read(tmp_path, name, reader, group, batch):
    make, build = PIPELINES[name]
    ds = make(tmp_path, picture_classes({0: 20, 1: 4}))
    build(ds, 2)  # a dataset that counts its records does so at the first request
    counted = Counted(getattr(ds, reader))
    setattr(ds, reader, counted)
    pipeline = build(ds, 2, start=(0, batch))
    got = sum(1 for _ in pipeline)
    info = pipeline.training_passes
    assert got == info.batches(0) - batch
    left = info.samples(0) - 4 * batch
    # A group the start falls in is read whole, for its partners.
    assert left <= counted.calls <= left + group - 1


@pytest.mark.parametrize("name", ["segmentation graph", "records graph", "detection graph"])
def test_graph_iterators_save_and_restore_their_place(tmp_path, name):
    make, _ = PIPELINES[name]
    ds = make(tmp_path, picture_classes({0: 14, 1: 5}))

    def pipeline():
        return graph.train_pipeline(ds, 4, seed=2, repeat_threshold=0.5)

    it = iter(pipeline())
    [next(it) for _ in range(2)]
    path = tf.train.Checkpoint(iterator=it).write(str(tmp_path / "ckpt" / "it"))
    rest = [batch_key(b) for b in it]
    again = iter(pipeline())
    tf.train.Checkpoint(iterator=again).read(path).assert_consumed()
    assert rest and [batch_key(b) for b in again] == rest


# --------------------------------------------------- killed Keras training

def run_training(kind, root, log, die_at=None):
    # The package as this process imports it (built in place or installed),
    # and this folder for the test's own helpers.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([HERE] + sys.path))
    command = [sys.executable, os.path.join(HERE, "resume_training.py"), kind, str(root), str(log)]
    if die_at is not None:
        command.append(str(die_at))
    return subprocess.run(command, env=env, capture_output=True, text=True, timeout=300)


@pytest.mark.parametrize("kind", ["segmentation", "detection"])
def test_a_killed_run_resumed_trains_on_the_batches_of_an_unbroken_one(tmp_path, kind):
    unbroken = run_training(kind, tmp_path / "a", tmp_path / "a.log")
    assert unbroken.returncode == 0, unbroken.stderr[-3000:]
    killed = run_training(kind, tmp_path / "b", tmp_path / "b.log", die_at=5)
    assert killed.returncode == -signal.SIGKILL, killed.stderr[-3000:]
    assert len((tmp_path / "b.log").read_text().split()) == 5
    resumed = run_training(kind, tmp_path / "b", tmp_path / "b.log")
    assert resumed.returncode == 0, resumed.stderr[-3000:]
    expected = (tmp_path / "a.log").read_text().split()
    assert len(expected) == 3 * 3 and len(set(expected)) == len(expected)
    assert (tmp_path / "b.log").read_text().split() == expected
