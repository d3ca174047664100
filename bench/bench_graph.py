"""Graph-only pipelines (quorvane.trellisk.datasets.graph) against the default
pipelines and against the decoding floor, on the same files in one process.

Floor: one thread opening, decoding and letterboxing the files with PIL and
the package's letterbox, times the number of cores. Every variant, the floor
included, is measured once per round, the rounds alternate, and each figure
is the median over the rounds. Writes its table into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_graph.py [--quick]
"""

import os
import sys
import tempfile
import time

import numpy as np
import tensorflow as tf
from PIL import Image

from _pipelines import SOURCE, medians, rate, write_detection_records, write_segmentation_folders
from _report import finish, parser, stamp
from quorvane.trellisk import ops
from quorvane.trellisk.datasets import graph, utils
from quorvane.trellisk.datasets.formats import record_features
from quorvane.trellisk.datasets.segmentation import SegmentationDataset
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset

SHAPE = [320, 320, 3]
FILES = 120
BATCH = 10
ROUNDS = 5


def write_segmentation(root):
    write_segmentation_folders(root, FILES)
    images, anns = os.path.join(root, "images"), os.path.join(root, "anns")
    return SegmentationDataset(list(SHAPE), images, images, anns, anns, ["a", "b", "c"], ["segment"])


def write_tfrecord(root):
    about = write_detection_records(root, FILES)
    del about["train"]["samples"], about["validation"]["samples"]  # counted by the dataset
    return TFRecordDataset(about, shape=list(SHAPE))


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


def threads(pipeline, k):
    opts = tf.data.Options()
    opts.threading.private_threadpool_size = k
    return pipeline.with_options(opts)


def hand_written(ds, own_letterbox=False):
    """What a user would write in plain tf.data for the TFRecord training data:
    parse, JPEG decode, letterbox (same ratio, size, centring and grey as the
    package's), box transform, padded batch. TensorFlow has no 8-bit bilinear
    resize, so the plain version resizes in float and casts back (pixels
    within 1 of ours); with ``own_letterbox`` it calls our letterbox op
    instead, so both sides do exactly the same work."""
    h, w = SHAPE[:2]
    features = record_features(tf)

    def decode(record):
        s = tf.io.parse_single_example(record, features)
        img = tf.io.decode_jpeg(s["image"], channels=3)
        sh = tf.cast(tf.shape(img)[:2], tf.float64)
        r = tf.minimum(h / sh[0], w / sh[1])
        nh = tf.maximum(1, tf.cast(tf.round(sh[0] * r), tf.int32))
        nw = tf.maximum(1, tf.cast(tf.round(sh[1] * r), tf.int32))
        top, left = (h - nh) // 2, (w - nw) // 2
        if own_letterbox:
            img, _ = ops.letterbox(img, SHAPE, True)
        else:
            img = tf.cast(tf.round(tf.image.resize(img, [nh, nw])), tf.uint8)
            img = tf.pad(img, [[top, h - nh - top], [left, w - nw - left], [0, 0]], constant_values=114)
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


def main(argv=None):
    global FILES
    options = parser(__doc__)
    options.add_argument("--rounds", type=int, default=None, help="alternating rounds (default 5, --quick 2)")
    args = options.parse_args(argv)
    rounds = args.rounds or (2 if args.quick else ROUNDS)
    batches = 6 if args.quick else 48
    if args.quick:
        FILES = 40

    root = tempfile.mkdtemp(prefix="trellisk-bench-graph-")
    seg = write_segmentation(os.path.join(root, "seg"))
    det = write_tfrecord(os.path.join(root, "det"))
    kept = []  # datasets outlive their pipelines' in-flight calls

    def identity_default():
        fresh = SegmentationDataset(list(SHAPE), seg.train_images, seg.train_images, seg.train_annotations,
                                    seg.train_annotations, ["a", "b", "c"], ["segment"])
        fresh._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
        kept.append(fresh)
        return fresh.build_train_iterator(BATCH)

    def library_default():
        fresh = SegmentationDataset(list(SHAPE), seg.train_images, seg.train_images, seg.train_annotations,
                                    seg.train_annotations, ["a", "b", "c"], ["segment"])
        kept.append(fresh)
        return fresh.build_train_iterator(BATCH)

    def pipeline(make, n=batches):
        return lambda: rate(make(), n)

    variants = {
        "floor (PIL decode + letterbox, x cores)": lambda: floor_rate(seg),
        "default, library augmentation": pipeline(library_default, max(1, batches // 16)),
        "graph, native augmentation": pipeline(lambda: graph.train_pipeline(seg, BATCH)),
        "default, augmentation replaced by identity": pipeline(identity_default),
        "graph, no augmentation": pipeline(lambda: graph.train_pipeline(seg, BATCH, augment=False)),
        "graph, no augmentation, private pool of 1 thread":
            pipeline(lambda: threads(graph.train_pipeline(seg, BATCH, augment=False), 1)),
        "graph, no augmentation, private pool of 2 threads":
            pipeline(lambda: threads(graph.train_pipeline(seg, BATCH, augment=False), 2)),
        "graph, native augmentation, private pool of 1 thread":
            pipeline(lambda: threads(graph.train_pipeline(seg, BATCH), 1)),
        "graph, native augmentation, private pool of 2 threads":
            pipeline(lambda: threads(graph.train_pipeline(seg, BATCH), 2)),
        "TFRecord default (`build_train_iterator`)": pipeline(lambda: det.build_train_iterator(batch_size=BATCH)),
        "TFRecord hand-written tf.data, `tf.image.resize`": pipeline(lambda: hand_written(det)),
        "TFRecord hand-written tf.data, our letterbox op": pipeline(lambda: hand_written(det, True)),
        "TFRecord graph": pipeline(lambda: graph.train_pipeline(det, BATCH, augment=False)),
    }
    header = stamp(__file__, "{} files of {}x{} JPEG -> {}x{}, batch {}; median of {} alternating rounds.".format(
        FILES, SOURCE[1], SOURCE[0], SHAPE[1], SHAPE[0], BATCH, rounds))
    r = medians(variants, rounds)
    names = list(variants)
    floor = r[names[0]]
    g, a = r["graph, no augmentation"], r["graph, native augmentation"]
    ratio = {
        names[0]: "1.00 of floor",
        "graph, native augmentation": "{:.2f} of floor, {:.1f}x the default, {:.2f} of no augmentation".format(
            a / floor, a / r["default, library augmentation"], a / g),
        "graph, no augmentation": "{:.2f} of floor, {:.2f}x default-identity".format(
            g / floor, g / r["default, augmentation replaced by identity"]),
        "graph, no augmentation, private pool of 2 threads": "{:.2f}x one thread".format(
            r["graph, no augmentation, private pool of 2 threads"]
            / r["graph, no augmentation, private pool of 1 thread"]),
        "graph, native augmentation, private pool of 2 threads": "{:.2f}x one thread, {:.2f} of no augmentation".format(
            r["graph, native augmentation, private pool of 2 threads"]
            / r["graph, native augmentation, private pool of 1 thread"],
            r["graph, native augmentation, private pool of 2 threads"]
            / r["graph, no augmentation, private pool of 2 threads"]),
        "TFRecord graph": "{:.2f}x hand-written (`tf.image.resize`), {:.2f}x hand-written (our op), "
                          "{:.2f}x default".format(
                              r["TFRecord graph"] / r["TFRecord hand-written tf.data, `tf.image.resize`"],
                              r["TFRecord graph"] / r["TFRecord hand-written tf.data, our letterbox op"],
                              r["TFRecord graph"] / r["TFRecord default (`build_train_iterator`)"]),
    }
    # One thread's CPU per sample, with and without the augmentation op: what
    # the op adds, and what it could add for the pipeline to keep 0.9 of its
    # rate (a ninth of the rest).
    one, one_aug = (1e3 / r["graph, {}, private pool of 1 thread".format(v)]
                    for v in ("no augmentation", "native augmentation"))
    budget = ("One tf.data thread spends {:.3f} ms per sample without augmentation and {:.3f} ms with it: "
              "the augmentation op adds {:.3f} ms; keeping 0.9 of the rate would allow {:.3f} ms.").format(
                  one, one_aug, one_aug - one, one / 9)
    rows = ["| pipeline | samples/s | ratio |", "|---|---|---|"]
    rows += ["| {} | {:.1f} | {} |".format(name, r[name], ratio.get(name, "")) for name in names]
    md = "\n".join([
        header,
        "",
        *rows,
        "",
        budget,
        "",
        "The hand-written pipelines do the same work as ours (parse, decode, letterbox to the same size, "
        "ratio and grey border, boxes, padded batch); the first resizes with TensorFlow's float "
        "`tf.image.resize` (TensorFlow has no 8-bit bilinear resize), the second calls our letterbox op.",
    ])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
