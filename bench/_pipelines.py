"""What the pipeline benchmarks share: smooth 640x480 photographs (they
compress and decode like real ones, noise does not), a TFRecord detection
dataset and a segmentation folder layout of them, and the samples/s
measurement in alternating rounds."""

import gc
import os
import statistics
import time

import numpy as np
from PIL import Image

SOURCE = (480, 640)  # height, width
CLASSES = ["a", "b", "c", "d", "e"]


def photo(rng, source=SOURCE):
    base = rng.integers(0, 256, (source[0] // 16, source[1] // 16, 3), dtype=np.uint8)
    return np.asarray(Image.fromarray(base).resize(source[::-1], Image.BICUBIC))


def write_detection_records(root, files, centres=(0.0, 1.0), sizes=(0.0, 0.3), seed=1):
    """train/a.tfrecord with ``files`` records and val/a.tfrecord with 2, up
    to five boxes each, centres in ``centres`` (low, high) and sides in
    ``sizes``; returns the dataset's description dict."""
    import tensorflow as tf

    rng = np.random.default_rng(seed)
    f = tf.train.Feature
    for split in ("train", "val"):
        os.makedirs(os.path.join(root, split))
        with tf.io.TFRecordWriter(os.path.join(root, split, "a.tfrecord")) as w:
            for i in range(files if split == "train" else 2):
                n = int(rng.integers(1, 6))
                boxes = np.concatenate([
                    rng.random((n, 2)) * (centres[1] - centres[0]) + centres[0],
                    rng.random((n, 2)) * (sizes[1] - sizes[0]) + sizes[0]], 1)
                w.write(tf.train.Example(features=tf.train.Features(feature={
                    "image": f(bytes_list=tf.train.BytesList(value=[tf.io.encode_jpeg(photo(rng)).numpy()])),
                    "image_name": f(bytes_list=tf.train.BytesList(value=[b"%d.jpg" % i])),
                    "width": f(int64_list=tf.train.Int64List(value=[SOURCE[1]])),
                    "height": f(int64_list=tf.train.Int64List(value=[SOURCE[0]])),
                    "objects": f(int64_list=tf.train.Int64List(value=list(range(n)))),
                    "bboxes": f(float_list=tf.train.FloatList(value=boxes.ravel().tolist())),
                })).SerializeToString())
    return {"classes": list(CLASSES),
            "train": {"path": os.path.join(root, "train"), "samples": files},
            "validation": {"path": os.path.join(root, "val"), "samples": 2}}


def write_segmentation_folders(root, files, seed=0):
    """``files`` JPEG photographs in root/images, one annotation file each in
    root/anns with three round outlines of 40 vertices (classes a, b, c),
    and root/segmentation.yaml describing them, the same folders serving
    training and validation; returns the YAML's path."""
    import json

    import yaml

    rng = np.random.default_rng(seed)
    images, anns = os.path.join(root, "images"), os.path.join(root, "anns")
    os.makedirs(images)
    os.makedirs(anns)
    for i in range(files):
        Image.fromarray(photo(rng)).save(os.path.join(images, "{}.jpg".format(i)), quality=90)
        segment = []
        for k in range(3):
            t = np.sort(rng.random(40)) * 2 * np.pi
            c, r = rng.random(2) * 0.6 + 0.2, rng.random() * 0.15 + 0.05
            poly = np.stack([c[0] + r * np.cos(t), c[1] + r * np.sin(t)], 1)
            segment.append([{"polygon": poly.round(5).tolist(), "class": k}])
        with open(os.path.join(anns, "{}.json".format(i)), "w") as f:
            json.dump({"image": "{}.jpg".format(i), "segment": segment}, f)
    path = os.path.join(root, "segmentation.yaml")
    split = {"images": images, "annotations": anns}
    with open(path, "w") as f:
        yaml.safe_dump({"classes": CLASSES[:3], "train": split, "validation": split}, f)
    return path


def rate(pipeline, batches):
    """Samples/s drawing `batches` batches after two warm-up ones."""
    import tensorflow as tf

    it = iter(pipeline.repeat())
    for _ in range(2):
        next(it)
    t = time.perf_counter()
    n = 0
    for _ in range(batches):
        b = next(it)
        n += int(tf.nest.flatten(b)[0].shape[0])
    elapsed = time.perf_counter() - t
    # A live iterator keeps filling its buffers and would steal the cores
    # from the next variant.
    del it, b
    gc.collect()
    return n / elapsed


def medians(configs, rounds):
    """Alternating rounds: each round measures every variant once, in turn.
    A variant is a function returning samples/s; the median of each."""
    runs = {name: [] for name in configs}
    for _ in range(rounds):
        for name, measure in configs.items():
            runs[name].append(measure())
    return {name: statistics.median(v) for name, v in runs.items()}


def _process_cpu():
    return time.process_time()


def cpu_and_rate(pipeline, batches):
    """(ms of process CPU per sample, samples/s) drawing ``batches`` batches
    after two warm-up ones. The CPU time counts every thread of this process
    (tf.data's included) and not other processes, so on a shared machine it
    holds where the wall-clock rate swings."""
    import tensorflow as tf

    it = iter(pipeline.repeat())
    for _ in range(2):
        next(it)
    t, c = time.perf_counter(), _process_cpu()
    n = 0
    for _ in range(batches):
        b = next(it)
        n += int(tf.nest.flatten(b)[0].shape[0])
    elapsed, cpu = time.perf_counter() - t, _process_cpu() - c
    del it, b
    gc.collect()
    return 1e3 * cpu / n, n / elapsed
