"""TFRecord decoding: the native load_instance against a plain-Python
reference of the same steps, and training pipeline throughput.

The native and reference passes alternate over the rounds; each figure is
the median. Writes its table into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_tfrecord.py [--quick]
"""

import os
import statistics
import sys
import tempfile
import time

import cv2
import numpy as np
import tensorflow as tf

from _report import finish, parser, stamp
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
from quorvane.trellisk.datasets.utils import letterbox, xywhn2xyxy

F = tf.train.Feature


def reference_load_instance(self, data, training=True):
    """The decoding steps written out in Python, for comparison."""
    sample = tf.io.parse_single_example(data, {
        "image": tf.io.FixedLenFeature([], tf.string),
        "image_name": tf.io.FixedLenFeature([], tf.string),
        "width": tf.io.FixedLenFeature([], tf.int64),
        "height": tf.io.FixedLenFeature([], tf.int64),
        "objects": tf.io.VarLenFeature(tf.int64),
        "bboxes": tf.io.VarLenFeature(tf.float32),
    })
    img = tf.io.decode_jpeg(sample["image"]).numpy()
    oH, oW, _ = img.shape
    if training:
        if self.letter_box:
            img, ratio, pad = letterbox(img, self.shape[:2], auto=False)
            w, h, padw, padh = ratio[0] * oW, ratio[1] * oH, pad[0], pad[1]
        else:
            img = cv2.resize(img, (self.shape[1], self.shape[0]))
            w, h, padw, padh = self.shape[1], self.shape[0], 0, 0
    labels = tf.sparse.to_dense(sample["objects"]).numpy().astype(np.int32) + self.class_offset
    if labels.size == 0:
        empty = np.array([[0, 0, 0, 0, 0]], dtype=np.float32)
        return (img, empty) if training else (img, empty, sample.get("image_name"))
    bboxes = tf.sparse.to_dense(sample["bboxes"]).numpy().reshape(-1, 4)
    if training:
        bboxes = xywhn2xyxy(bboxes, w, h, padw=padw, padh=padh)
        for col, bound in ((0, self.shape[1]), (1, self.shape[0]), (2, self.shape[1]), (3, self.shape[0])):
            bboxes[:, col] = np.clip(bboxes[:, col], 0, bound)
    else:
        bboxes = xywhn2xyxy(bboxes, oW, oH, padw=0, padh=0)
        for col, size in ((0, oW), (1, oH), (2, oW), (3, oH)):
            bboxes[:, col] = np.clip(bboxes[:, col] / size, 0, 1)
    bboxes = np.concatenate([bboxes, np.expand_dims(labels, axis=1)], axis=1).astype(np.float32)
    return (img, bboxes) if training else (img, bboxes, sample.get("image_name"))


def write(root, split, n, size, rng):
    folder = os.path.join(root, split)
    os.makedirs(folder)
    with tf.io.TFRecordWriter(os.path.join(folder, "part-0.tfrecord")) as w:
        for i in range(n):
            image = rng.integers(0, 256, (size[0], size[1], 3), dtype=np.uint8)
            k = int(rng.integers(1, 8))
            boxes = np.concatenate([rng.random((k, 2)) * 0.6 + 0.2, rng.random((k, 2)) * 0.3], 1)
            w.write(tf.train.Example(features=tf.train.Features(feature={
                "image": F(bytes_list=tf.train.BytesList(value=[tf.io.encode_jpeg(image).numpy()])),
                "image_name": F(bytes_list=tf.train.BytesList(value=[b"%d.jpg" % i])),
                "width": F(int64_list=tf.train.Int64List(value=[size[1]])),
                "height": F(int64_list=tf.train.Int64List(value=[size[0]])),
                "objects": F(int64_list=tf.train.Int64List(value=rng.integers(0, 3, k).tolist())),
                "bboxes": F(float_list=tf.train.FloatList(value=boxes.ravel().tolist())),
            })).SerializeToString())
    return folder


def per_record(fn, records, training):
    t = time.perf_counter()
    for r in records:
        fn(r, training)
    return (time.perf_counter() - t) / len(records) * 1000


def main(argv=None):
    args = parser(__doc__).parse_args(argv)
    rounds = 2 if args.quick else 5
    header = stamp(__file__, "Median of {} alternating passes over 64 records.".format(rounds))
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as root:
        train = write(root, "train", 256, (480, 640), rng)
        val = write(root, "val", 16, (480, 640), rng)
        ds = TFRecordDataset({"classes": ["a", "b", "c"], "train": {"path": train, "samples": 256},
                              "validation": {"path": val, "samples": 16}}, shape=[320, 320, 3])
        records = list(tf.data.TFRecordDataset(ds.train_storage).take(64))
        for training in (True, False):
            got, want = ds.load_instance(records[0], training), reference_load_instance(ds, records[0], training)
            assert np.array_equal(got[0], want[0]) and np.allclose(got[1], want[1])
        rows = []
        for training in (True, False):
            native, python = [], []
            for _ in range(rounds):
                native.append(per_record(ds.load_instance, records, training))
                python.append(per_record(lambda r, t: reference_load_instance(ds, r, t), records, training))
            n, p = statistics.median(native), statistics.median(python)
            rows.append("| {} | {:.2f} | {:.2f} | {:.2f}x |".format(
                "training" if training else "validation", n, p, p / n))
        n, t = 0, time.perf_counter()
        for images, _ in ds.build_train_iterator(8):
            n += int(images.shape[0])
        throughput = n / (time.perf_counter() - t)
    md = "\n".join([
        header, "",
        "One record, 640x480 JPEG -> 320x320, ms per record:", "",
        "| | native `load_instance` | Python reference of the same steps | ratio |", "|---|---|---|---|",
        *rows, "",
        "Default training pipeline, 256 records, batch 8, one pass: {:.1f} samples/s.".format(throughput),
    ])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
