"""Cost of each step of the graph segmentation reader, one op at a time.

Each op runs in a `tf.while_loop` inside one `tf.function`, alternating
between two inputs (640x480 JPEGs with 3 outlines of 40 vertices, output
320x320), with TensorFlow held to one thread; the steps outside TensorFlow
(PIL, OpenCV) run in a Python loop, OpenCV held to one thread too. Every
step is measured once per round, the rounds alternate, and each figure is
the median over the rounds. Writes its table into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_ops.py [--quick]
"""

import os
import statistics
import sys
import tempfile
import time

import tensorflow as tf

# One thread for every op, set before TensorFlow starts its pools.
tf.config.threading.set_intra_op_parallelism_threads(1)
tf.config.threading.set_inter_op_parallelism_threads(1)
tf.get_logger().setLevel("ERROR")  # one tf.function per step is meant

import cv2  # noqa: E402
import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

import bench_graph as bg  # noqa: E402
from _report import finish, parser, stamp  # noqa: E402
from quorvane.trellisk import ops  # noqa: E402
from quorvane.trellisk.datasets import graph  # noqa: E402
from quorvane.trellisk.datasets.augment import grid_diagonals  # noqa: E402

SHAPE = bg.SHAPE


def _token(out):
    """A scalar that depends on the op's first output, so the loop keeps the op."""
    first = tf.nest.flatten(out)[0]
    if first.dtype == tf.string:
        return tf.cast(tf.strings.length(tf.reshape(first, [-1])[0]), tf.int64)
    return tf.cast(tf.reduce_sum(tf.reshape(first, [-1])[:1]), tf.int64)


def graph_step(step, a, b, iterations):
    """ms per call of step(*x, i), x alternating between the argument tuples a and b."""

    @tf.function
    def run(n):
        def body(i, acc):
            t = tf.cond(i % 2 == 0, lambda: _token(step(*a, i)), lambda: _token(step(*b, i)))
            return i + 1, acc + t

        return tf.while_loop(lambda i, acc: i < n, body, (tf.constant(0, tf.int64), tf.constant(0, tf.int64)))

    run(tf.constant(2, tf.int64))  # tracing is not part of the cost

    def measure():
        t = time.perf_counter()
        run(tf.constant(iterations, tf.int64))
        return (time.perf_counter() - t) / iterations * 1e3

    return measure


def python_step(step, a, b, iterations):
    def measure():
        t = time.perf_counter()
        for i in range(iterations):
            step(a if i % 2 == 0 else b)
        return (time.perf_counter() - t) / iterations * 1e3

    return measure


def main(argv=None):
    args = parser(__doc__).parse_args(argv)
    iterations, rounds = (40, 2) if args.quick else (300, 5)

    root = tempfile.mkdtemp(prefix="trellisk-bench-ops-")
    bg.FILES = 2
    ds = bg.write_segmentation(os.path.join(root, "seg"))
    anns = sorted(os.path.join(ds.train_annotations, f) for f in os.listdir(ds.train_annotations))
    jpegs = [os.path.join(ds.train_images, "{}.jpg".format(i)) for i in range(2)]
    data = [tf.io.read_file(p) for p in jpegs]
    images = [graph.decode_image(p) for p in jpegs]
    read = [ops.read_annotation(p, ds.train_images) for p in anns]
    frames = [ops.letterbox(im, SHAPE)[1] for im in images]
    outlines = [ops.resample_outlines(v, s, c, f, ds.num_points) for (_, v, s, c), f in zip(read, frames)]
    boxed = [ops.letterbox(im, SHAPE)[0] for im in images]
    masks = [ops.paint_mask(p, c, SHAPE) for p, c in outlines]
    reader = graph._folder_reader(ds, True, SHAPE)
    diagonals = grid_diagonals(SHAPE[0], SHAPE[1])
    pil_images = [p for p in jpegs]
    arrays = [im.numpy() for im in images]

    def pil_decode(path):
        with Image.open(path) as im:
            return np.asarray(im.convert("RGB"), dtype=np.uint8)

    def cv2_resize(img):
        return cv2.resize(img, (320, 240))

    steps = {
        "`tf.io.read_file`": graph_step(lambda p, i: tf.io.read_file(p), (jpegs[0],), (jpegs[1],), iterations),
        "JPEG decode (`decode_jpeg`, accurate integer transform)": graph_step(
            lambda d, i: tf.io.decode_jpeg(d, channels=3, dct_method="INTEGER_ACCURATE"),
            (data[0],), (data[1],), iterations),
        "letterbox op": graph_step(lambda im, i: ops.letterbox(im, SHAPE), (images[0],), (images[1],), iterations),
        "annotation reading (JSON, one file)": graph_step(
            lambda p, i: ops.read_annotation(p, ds.train_images)[1], (anns[0],), (anns[1],), iterations),
        "outline resampling (3 outlines)": graph_step(
            lambda v, s, c, f, i: ops.resample_outlines(v, s, c, f, ds.num_points),
            tuple(read[0][1:]) + (frames[0],), tuple(read[1][1:]) + (frames[1],), iterations),
        "mask painting (3 outlines)": graph_step(
            lambda p, c, i: ops.paint_mask(p, c, SHAPE), outlines[0], outlines[1], iterations),
        "the whole reader (read, decode, letterbox, annotation, resampling, painting)": graph_step(
            lambda p, i: reader(p)[1], (anns[0],), (anns[1],), iterations),
        "native augmentation": graph_step(
            lambda im, m, i: ops.augment(im, m, i, i, 0, SHAPE, True, diagonals),
            (boxed[0], masks[0]), (boxed[1], masks[1]), iterations),
        "for comparison: `tf.image.resize` to 320x240 and cast": graph_step(
            lambda im, i: tf.cast(tf.image.resize(im, [240, 320]), tf.uint8), (images[0],), (images[1],),
            iterations),
        "for comparison: PIL open + decode to an array": python_step(pil_decode, pil_images[0], pil_images[1],
                                                                     iterations),
        "for comparison: `cv2.resize` to 320x240, one thread": python_step(cv2_resize, arrays[0], arrays[1],
                                                                           iterations),
    }
    header = stamp(__file__, "{} calls per step per round, median of {} alternating rounds.".format(
        iterations, rounds))
    pool = cv2.getNumThreads()
    cv2.setNumThreads(1)
    try:
        runs = {name: [] for name in steps}
        for _ in range(rounds):
            for name, measure in steps.items():
                runs[name].append(measure())
    finally:
        cv2.setNumThreads(pool)
    rows = ["| step | ms per sample |", "|---|---|"]
    rows += ["| {} | {:.3f} |".format(name, statistics.median(v)) for name, v in runs.items()]
    finish(__file__, "\n".join([header, "", *rows]), args.quick)


if __name__ == "__main__":
    sys.exit(main())
