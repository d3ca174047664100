"""Graph-only pipelines (quorvane.trellisk.datasets.graph) against the default
pipelines and against the decoding floor, on the same files in one process.

Floor: one thread opening, decoding and letterboxing the files with PIL and
the package's letterbox, times the number of cores. Rates are medians of
alternating runs. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_graph.py
"""

import os
import statistics
import tempfile
import time

import numpy as np
import tensorflow as tf
from PIL import Image

from quorvane.trellisk.datasets import graph, utils
from quorvane.trellisk.datasets.formats import record_features
from quorvane.trellisk.datasets.segmentation import SegmentationDataset
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset

SHAPE = [320, 320, 3]
SOURCE = (480, 640)
FILES = 120
BATCH = 10
ROUNDS = 5


def photo(rng):
    """A smooth picture (photographs compress and decode like this, noise does not)."""
    base = rng.integers(0, 256, (SOURCE[0] // 16, SOURCE[1] // 16, 3), dtype=np.uint8)
    return np.asarray(Image.fromarray(base).resize(SOURCE[::-1], Image.BICUBIC))


def write_segmentation(root):
    import json

    rng = np.random.default_rng(0)
    images, anns = os.path.join(root, "images"), os.path.join(root, "anns")
    os.makedirs(images)
    os.makedirs(anns)
    for i in range(FILES):
        Image.fromarray(photo(rng)).save(os.path.join(images, "{}.jpg".format(i)), quality=90)
        segment = []
        for k in range(3):
            t = np.sort(rng.random(40)) * 2 * np.pi
            c, r = rng.random(2) * 0.6 + 0.2, rng.random() * 0.15 + 0.05
            poly = np.stack([c[0] + r * np.cos(t), c[1] + r * np.sin(t)], 1)
            segment.append([{"polygon": poly.round(5).tolist(), "class": k}])
        with open(os.path.join(anns, "{}.json".format(i)), "w") as f:
            json.dump({"image": "{}.jpg".format(i), "segment": segment}, f)
    return SegmentationDataset(list(SHAPE), images, images, anns, anns, ["a", "b", "c"],
                               ["segment"])


def write_tfrecord(root):
    rng = np.random.default_rng(1)
    for split in ("train", "val"):
        os.makedirs(os.path.join(root, split))
        with tf.io.TFRecordWriter(os.path.join(root, split, "a.tfrecord")) as w:
            for i in range(FILES if split == "train" else 2):
                n = int(rng.integers(1, 6))
                boxes = np.concatenate([rng.random((n, 2)), rng.random((n, 2)) * 0.3], 1)
                f = tf.train.Feature
                w.write(tf.train.Example(features=tf.train.Features(feature={
                    "image": f(bytes_list=tf.train.BytesList(value=[tf.io.encode_jpeg(photo(rng)).numpy()])),
                    "image_name": f(bytes_list=tf.train.BytesList(value=[b"%d.jpg" % i])),
                    "width": f(int64_list=tf.train.Int64List(value=[SOURCE[1]])),
                    "height": f(int64_list=tf.train.Int64List(value=[SOURCE[0]])),
                    "objects": f(int64_list=tf.train.Int64List(value=list(range(n)))),
                    "bboxes": f(float_list=tf.train.FloatList(value=boxes.ravel().tolist())),
                })).SerializeToString())
    return TFRecordDataset({"classes": ["a", "b", "c", "d", "e"], "train": {"path": os.path.join(root, "train")},
                            "validation": {"path": os.path.join(root, "val")}}, shape=list(SHAPE))


def floor_rate(ds):
    """Samples/s of one thread decoding and letterboxing with PIL, times the cores."""
    import cv2

    paths = [os.path.join(ds.train_images, "{}.jpg".format(i)) for i in range(FILES)]
    # One thread: OpenCV would otherwise spread each resize over its own pool.
    pool = cv2.getNumThreads()
    cv2.setNumThreads(1)
    try:
        t = time.perf_counter()
        for p in paths:
            with Image.open(p) as im:
                img = np.array(im.convert("RGB"), dtype=np.uint8)
            utils.letterbox(img, SHAPE[:2], auto=False)
        return len(paths) / (time.perf_counter() - t) * os.cpu_count()
    finally:
        cv2.setNumThreads(pool)


def rate(pipeline, batches=24):
    """Samples/s drawing `batches` batches after two warm-up ones."""
    it = iter(pipeline.repeat())
    for _ in range(2):
        next(it)
    t = time.perf_counter()
    n = 0
    for _ in range(batches):
        b = next(it)
        n += int(tf.nest.flatten(b)[0].shape[0])
    return n / (time.perf_counter() - t)


def threads(pipeline, k):
    opts = tf.data.Options()
    opts.threading.private_threadpool_size = k
    return pipeline.with_options(opts)


def hand_written(ds):
    """What a user would write in plain tf.data for the TFRecord training data:
    parse, JPEG decode, letterbox, box transform, padded batch."""
    h, w = SHAPE[:2]
    features = record_features(tf)

    def decode(record):
        s = tf.io.parse_single_example(record, features)
        img = tf.io.decode_jpeg(s["image"], channels=3)
        sh = tf.cast(tf.shape(img)[:2], tf.float32)
        r = tf.minimum(h / sh[0], w / sh[1])
        nh, nw = tf.cast(tf.round(sh[0] * r), tf.int32), tf.cast(tf.round(sh[1] * r), tf.int32)
        top, left = (h - nh) // 2, (w - nw) // 2
        img = tf.cast(tf.image.resize(img, [nh, nw]), tf.uint8)
        img = tf.pad(img - 114, [[top, h - nh - top], [left, w - nw - left], [0, 0]]) + 114
        b = tf.reshape(tf.sparse.to_dense(s["bboxes"]), [-1, 4])
        scale = tf.stack([tf.cast(nw, tf.float32), tf.cast(nh, tf.float32)] * 2)
        xy = tf.concat([b[:, :2] - b[:, 2:] / 2, b[:, :2] + b[:, 2:] / 2], 1) * scale
        xy = xy + tf.cast(tf.stack([left, top, left, top]), tf.float32)
        xy = tf.clip_by_value(xy, 0.0, tf.constant([w, h, w, h], tf.float32))
        labels = tf.cast(tf.sparse.to_dense(s["objects"]) + ds.class_offset, tf.float32)
        return img, (tf.concat([xy, labels[:, None]], 1),)

    records = tf.data.TFRecordDataset(ds.train_storage, num_parallel_reads=tf.data.AUTOTUNE)
    records = records.shuffle(200).map(decode, num_parallel_calls=tf.data.AUTOTUNE, deterministic=False)
    return records.padded_batch(BATCH, padded_shapes=((h, w, 3), ((None, 5),))).prefetch(10)


def medians(configs):
    """Alternating rounds of every configuration; the median rate of each.
    A configuration is a pipeline factory, or (factory, batches) for slow ones."""
    runs = {name: [] for name in configs}
    for _ in range(ROUNDS):
        for name, make in configs.items():
            make, batches = make if isinstance(make, tuple) else (make, 24)
            runs[name].append(rate(make(), batches))
    return {name: statistics.median(v) for name, v in runs.items()}


def main():
    root = tempfile.mkdtemp(prefix="trellisk-bench-graph-")
    seg = write_segmentation(os.path.join(root, "seg"))
    det = write_tfrecord(os.path.join(root, "det"))
    floor = statistics.median(floor_rate(seg) for _ in range(ROUNDS))

    def identity_default():
        seg._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
        return seg.build_train_iterator(BATCH)

    kept = []  # datasets outlive their pipelines' in-flight calls

    def library_default():
        fresh = SegmentationDataset(list(SHAPE), seg.train_images, seg.train_images, seg.train_annotations,
                                    seg.train_annotations, ["a", "b", "c"], ["segment"])
        kept.append(fresh)
        return fresh.build_train_iterator(BATCH)

    r = medians({
        "default, library augmentation": (library_default, 3),
        "graph, native augmentation": lambda: graph.train_pipeline(seg, BATCH),
        "default, identity augmentation": identity_default,
        "graph, no augmentation": lambda: graph.train_pipeline(seg, BATCH, augment=False),
        "graph, no augmentation, 1 thread": lambda: threads(graph.train_pipeline(seg, BATCH, augment=False), 1),
        "graph, no augmentation, 2 threads": lambda: threads(graph.train_pipeline(seg, BATCH, augment=False), 2),
        "tfrecord default": lambda: det.build_train_iterator(batch_size=BATCH),
        "tfrecord hand-written tf.data": lambda: hand_written(det),
        "tfrecord graph": lambda: graph.train_pipeline(det, BATCH, augment=False),
    })
    print("{} files {}x{} JPEG -> {}x{}, batch {}, {} cores, medians of {} alternating rounds".format(
        FILES, SOURCE[1], SOURCE[0], SHAPE[1], SHAPE[0], BATCH, os.cpu_count(), ROUNDS))
    print("{:<40} {:>9.1f} samples/s".format("floor (PIL decode + letterbox x cores)", floor))
    for name, v in r.items():
        print("{:<40} {:>9.1f} samples/s".format(name, v))
    a = r["graph, native augmentation"]
    print("graph augmented / floor {:.2f}; graph augmented / default augmented {:.1f}".format(
        a / floor, a / r["default, library augmentation"]))
    g = r["graph, no augmentation"]
    print("graph / floor {:.2f}; graph / default-identity {:.2f}; 2 threads / 1 thread {:.2f}; "
          "tfrecord graph / hand-written {:.2f}; tfrecord graph / default {:.2f}".format(
              g / floor, g / r["default, identity augmentation"],
              r["graph, no augmentation, 2 threads"] / r["graph, no augmentation, 1 thread"],
              r["tfrecord graph"] / r["tfrecord hand-written tf.data"],
              r["tfrecord graph"] / r["tfrecord default"]))


if __name__ == "__main__":
    main()
