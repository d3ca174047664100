"""Resuming deep in a pass, and what repeat-factor sampling costs.

Time to the first batch of a training pipeline started at step 0, started at
the middle of a pass with ``start=(0, k)``, and built at step 0 then moved
there with a plain ``skip(k)``; for the default and the graph detection
pipelines over 2,000 records (320x240 JPEG to 320x320, batch 8, native
augmentation), and for the default segmentation pipeline with the native
engine over 2,000 PNG files. Then the sample rate of the graph and default
detection pipelines with and without repeat-factor sampling (threshold
0.1 over a long-tailed set of labels), in alternating rounds. Writes its
tables into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_resume.py [--quick]
"""

import gc
import json
import os
import statistics
import sys
import tempfile
import time

import numpy as np
import tensorflow as tf
from PIL import Image

from _pipelines import _process_cpu, cpu_and_rate
from _report import finish, parser, stamp
from quorvane.trellisk.datasets import _detection_stream, _sampling, graph
from quorvane.trellisk.datasets.augment import use_native_augmentation
from quorvane.trellisk.datasets.segmentation import SegmentationDataset
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset

SOURCE = (240, 320)
SHAPE = [320, 320, 3]
SEG_SHAPE = [128, 128, 3]
BATCH = 8
RECIPE = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}
THRESHOLD = 0.1


def photo(rng, size):
    base = rng.integers(0, 256, (size[0] // 16, size[1] // 16, 3), dtype=np.uint8)
    return np.asarray(Image.fromarray(base).resize(size[::-1], Image.BICUBIC))


def label(rng):
    """A long tail: class k in about 2**-k of the pictures."""
    return int(min(rng.geometric(0.5) - 1, 7))


def write_records(root, count):
    rng = np.random.default_rng(1)
    f = tf.train.Feature
    os.makedirs(os.path.join(root, "train"))
    os.makedirs(os.path.join(root, "val"))
    photos = [tf.io.encode_jpeg(photo(rng, SOURCE)).numpy() for _ in range(16)]
    for split, n in (("train", count), ("val", 2)):
        with tf.io.TFRecordWriter(os.path.join(root, split, "a.tfrecord")) as w:
            for i in range(n):
                w.write(tf.train.Example(features=tf.train.Features(feature={
                    "image": f(bytes_list=tf.train.BytesList(value=[photos[i % 16]])),
                    "image_name": f(bytes_list=tf.train.BytesList(value=[b"%d.jpg" % i])),
                    "width": f(int64_list=tf.train.Int64List(value=[SOURCE[1]])),
                    "height": f(int64_list=tf.train.Int64List(value=[SOURCE[0]])),
                    "objects": f(int64_list=tf.train.Int64List(value=[label(rng)])),
                    "bboxes": f(float_list=tf.train.FloatList(value=[0.5, 0.5, 0.3, 0.3])),
                })).SerializeToString())
    return {"classes": list("abcdefgh"), "train": {"path": os.path.join(root, "train"), "samples": count},
            "validation": {"path": os.path.join(root, "val"), "samples": 2}}


def write_folders(root, count):
    rng = np.random.default_rng(2)
    pictures = [photo(rng, (160, 160)) for _ in range(16)]
    for split in ("train", "val"):
        for sub in ("images", "anns"):
            os.makedirs(os.path.join(root, split, sub))
    for i in range(count):
        Image.fromarray(pictures[i % 16]).save(os.path.join(root, "train", "images", "%d.png" % i))
        polygon = (rng.random((6, 2)) * 0.6 + 0.2).tolist()
        with open(os.path.join(root, "train", "anns", "%d.json" % i), "w") as f:
            json.dump({"image": "%d.png" % i, "segment": [[{"polygon": polygon, "class": label(rng)}]]}, f)
    ds = SegmentationDataset(list(SEG_SHAPE), *(os.path.join(root, s, d) for s, d in (
        ("train", "images"), ("val", "images"), ("train", "anns"), ("val", "anns"))),
        labels=list("abcdefgh"), tasks=["segment"], num_points=50)
    use_native_augmentation(ds, seed=3)
    return ds


def first_batch(make):
    """Seconds from building the pipeline to holding its first batch."""
    t = time.perf_counter()
    it = iter(make())
    next(it)
    elapsed = time.perf_counter() - t
    del it
    gc.collect()
    return elapsed


def order_time(det, factors, rounds):
    """CPU seconds of this process to run one pass's record order (block
    shuffle, with or without the copies), reading the records but decoding
    none: what the factors add is the difference."""
    def once():
        records = tf.data.TFRecordDataset(det.train_storage)
        stream = _detection_stream.shuffled(records, 1, 0, factors)
        c = _process_cpu()
        stream.reduce(np.int64(0), lambda n, _: n + 1)
        return _process_cpu() - c
    once()
    return statistics.median(once() for _ in range(rounds))


def main(argv=None):
    args = parser(__doc__).parse_args(argv)
    count = 400 if args.quick else 2000
    middle = count // BATCH // 2
    root = tempfile.mkdtemp(prefix="trellisk-bench-resume-")
    det = TFRecordDataset(write_records(os.path.join(root, "records"), count), shape=list(SHAPE),
                          aug_cfg=dict(RECIPE))
    seg = write_folders(os.path.join(root, "folders"), count)

    pipelines = {
        "detection, default": lambda **kw: det.build_train_iterator(BATCH, seed=1, **kw),
        "detection, graph": lambda **kw: graph.train_pipeline(det, BATCH, seed=1, **kw),
        "segmentation, default (native engine)": lambda **kw: seg.build_train_iterator(
            BATCH, start=kw.pop("start", (0, 0)), **kw),
    }
    rows = ["| pipeline | step 0 | `start=(0, {0})` | step 0 then `skip({0})` | resume / step 0 |".format(middle),
            "|---|---|---|---|---|"]
    for name, make in pipelines.items():
        first_batch(make)  # tracing and the first loads: paid once per process, not measured
        zero = first_batch(make)
        resumed = first_batch(lambda: make(start=(0, middle)))
        skipped = first_batch(lambda: make().skip(middle))
        rows.append("| {} | {:.2f} s | {:.2f} s | {:.2f} s | {:.2f} |".format(
            name, zero, resumed, skipped, resumed / zero))

    t = time.perf_counter()
    graph.train_pipeline(det, BATCH, seed=1, repeat_threshold=THRESHOLD)
    presence = time.perf_counter() - t
    passes = det.build_train_iterator(BATCH, seed=1, repeat_threshold=THRESHOLD).training_passes
    batches = 5 if args.quick else 150
    measure = lambda make: lambda: cpu_and_rate(make(), batches)  # noqa: E731
    variants = {
        "graph, no augmentation": measure(lambda: graph.train_pipeline(
            det, BATCH, seed=1, augment=False)),
        "graph, no augmentation, repeat_threshold": measure(lambda: graph.train_pipeline(
            det, BATCH, seed=1, augment=False, repeat_threshold=THRESHOLD)),
        "default, augmented": measure(lambda: det.build_train_iterator(BATCH, seed=1)),
        "default, augmented, repeat_threshold": measure(lambda: det.build_train_iterator(
            BATCH, seed=1, repeat_threshold=THRESHOLD)),
    }
    rounds = 1 if args.quick else 7
    runs = {name: [] for name in variants}
    for _ in range(rounds):
        for name, one in variants.items():
            runs[name].append(one())
    cpu = {name: statistics.median(c for c, _ in v) for name, v in runs.items()}
    wall = {name: statistics.median(r for _, r in v) for name, v in runs.items()}
    factors = _sampling.repeat_factors(_sampling.class_presence(det), THRESHOLD)
    plain_order, repeat_order = order_time(det, None, 7), order_time(det, factors, 7)
    rate_rows = ["| pipeline | CPU ms / sample | with / without | samples/s | with / without |",
                 "|---|---|---|---|---|"]
    for name in variants:
        base = name.replace(", repeat_threshold", "")
        repeated = name != base
        rate_rows.append("| {} | {:.3f} | {} | {:.1f} | {} |".format(
            name, cpu[name], "{:.3f}".format(cpu[name] / cpu[base]) if repeated else "",
            wall[name], "{:.3f}".format(wall[name] / wall[base]) if repeated else ""))

    header = stamp(__file__, "{} records of {}x{} JPEG -> {}x{}, batch {}, detection recipe {}; "
                             "{} PNG files 160x160 -> {}x{} for segmentation.".format(
                                 count, SOURCE[1], SOURCE[0], SHAPE[1], SHAPE[0], BATCH,
                                 ", ".join("{} {}".format(k, v) for k, v in RECIPE.items()),
                                 count, SEG_SHAPE[1], SEG_SHAPE[0]))
    md = "\n".join([
        header, "",
        "Time to the first batch (building the pipeline included, after one warm-up build), "
        "half-way through a pass of "
        "{} samples ({} of its {} batches left out):".format(count, middle, -(-count // BATCH)), "",
        *rows, "",
        "Repeat-factor sampling, threshold {}: a pass holds {:.0f} samples on average for {} records; "
        "reading the labels of all records once took {:.2f} s. Per sample, median of {} alternating "
        "rounds of {} batches:".format(THRESHOLD, passes.mean_samples, count, presence, rounds, batches), "",
        *rate_rows, "",
        "CPU time is this process's, all its threads, so it holds on a shared machine where the "
        "rates swing; with repeat factors a pass is longer, so per sample is what compares. The "
        "order of one pass alone (records read, none decoded, CPU, median of 7): {:.1f} ms for {} "
        "samples without factors ({:.4f} ms a sample), {:.1f} ms for {} samples with them "
        "({:.4f} ms a sample): the copies add {:.4f} ms a sample, {:.2f} % of the {:.3f} ms a "
        "sample of the unaugmented graph pipeline.".format(
            plain_order * 1e3, count, plain_order * 1e3 / count, repeat_order * 1e3,
            passes.samples(0), repeat_order * 1e3 / passes.samples(0),
            repeat_order * 1e3 / passes.samples(0) - plain_order * 1e3 / count,
            100 * (repeat_order * 1e3 / passes.samples(0) - plain_order * 1e3 / count)
            / cpu["graph, no augmentation"], cpu["graph, no augmentation"]),
    ])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
