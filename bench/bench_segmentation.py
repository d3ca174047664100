"""Segmentation datasets: the native resampling kernel against SciPy's
interp1d, the cost of reading one sample, and training pipeline throughput.

The variants of each comparison alternate over the rounds; each figure is
the median. Writes its tables into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_segmentation.py [--quick]
"""

import json
import os
import statistics
import sys
import tempfile
import time

import numpy as np
import scipy.interpolate
from PIL import Image

from _report import finish, parser, stamp
from quorvane.trellisk.datasets import segmentation as seg


def alternated(variants, rounds, number=1):
    """ms per call of each variant: every round times each once, in turn; medians."""
    runs = {name: [] for name in variants}
    for _ in range(rounds):
        for name, fn in variants.items():
            t = time.perf_counter()
            for _ in range(number):
                fn()
            runs[name].append((time.perf_counter() - t) / number * 1e3)
    return {name: statistics.median(v) for name, v in runs.items()}


def scipy_resample(points, num_points):
    d = np.cumsum(np.sqrt(np.sum(np.diff(points, axis=0) ** 2, axis=1)))
    d = np.insert(d, 0, 0) / d[-1]
    return scipy.interpolate.interp1d(d, points, kind="slinear", axis=0)(np.linspace(0, 1, num_points))


def make(root, name, image_size, n_files, n_parts, n_vertices, seed=0):
    rng = np.random.default_rng(seed)
    images, anns = os.path.join(root, name, "images"), os.path.join(root, name, "annotations")
    os.makedirs(images)
    os.makedirs(anns)
    h, w = image_size
    for i in range(n_files):
        Image.fromarray(rng.integers(0, 256, (h, w, 3), dtype=np.uint8)).save(
            os.path.join(images, "{}.jpg".format(i)), quality=90)
        segment = []
        for k in range(n_parts):
            t = np.sort(rng.random(n_vertices)) * 2 * np.pi
            c, r = rng.random(2) * 0.6 + 0.2, rng.random() * 0.15 + 0.05
            poly = np.stack([c[0] + r * np.cos(t), c[1] + r * np.sin(t)], 1)
            segment.append([{"polygon": poly.round(5).tolist(), "class": k % 5}])
        with open(os.path.join(anns, "{}.json".format(i)), "w") as f:
            json.dump({"image": "{}.jpg".format(i), "segment": segment}, f)
    return images, anns


def dataset(root, image_size, n_files, n_parts, n_vertices, shape, num_points):
    ti, ta = make(root, "train", image_size, n_files, n_parts, n_vertices)
    return seg.SegmentationDataset(list(shape), ti, ti, ta, ta, ["c{}".format(i) for i in range(5)],
                                   ["segment"], num_points=num_points)


def main(argv=None):
    args = parser(__doc__).parse_args(argv)
    rounds = 2 if args.quick else 7
    import tensorflow as tf

    header = stamp(__file__, "Median of {} alternating rounds.".format(rounds))
    with tempfile.TemporaryDirectory() as root:
        # 1. Resampling: many outlines, tiny image, so resampling dominates.
        ds = dataset(os.path.join(root, "a"), (32, 32), 1, 200, 100, (32, 32, 3), 300)
        path = tf.constant(ds.train_storage[0])
        original = seg.interp1d
        wrapped = lambda *a, **k: original(*a, **k)  # noqa: E731 -- a rebound interp1d

        def read_with(interp1d):
            def read():
                seg.interp1d = interp1d
                try:
                    ds._read_data(path)
                finally:
                    seg.interp1d = original
            return read

        pts = [np.random.default_rng(i).random((100, 2)) * 640 for i in range(200)]
        resample = alternated({
            "`_read_data`, native kernel": read_with(original),
            "`_read_data`, `interp1d` rebound (SciPy per outline)": read_with(wrapped),
            "NumPy/SciPy alone (the resampling only, no reading)": lambda: [scipy_resample(p, 300) for p in pts],
        }, rounds)

        # 2. One typical sample: 640 x 480 JPEG, 10 parts x 80 vertices.
        ds = dataset(os.path.join(root, "b"), (480, 640), 32, 10, 80, (320, 320, 3), 300)
        path = tf.constant(ds.train_storage[0])
        image, masks, classes = ds._read_data(path)
        tm, tc = tf.constant(masks), tf.constant(classes)
        gt = ds._build_gt_mask(tm, tc)
        sample = alternated({
            "`_read_data`": lambda: ds._read_data(path),
            "`_build_gt_mask`": lambda: ds._build_gt_mask(tm, tc),
            "`apply_augmentation` (the library's `Compose`)": lambda: ds.apply_augmentation(image, gt),
        }, rounds, number=5)

        # 3. Training pipeline throughput.
        pipeline = ds.build_train_iterator(8, 4)
        for _ in pipeline:  # warm up (tracing)
            break
        t = time.perf_counter()
        n = 0
        for _ in range(1 if args.quick else 2):
            for images, _m in pipeline:
                n += int(images.shape[0])
        throughput = n / (time.perf_counter() - t)

    md = "\n".join([
        header, "",
        "Resampling 200 outlines of 100 vertices to 300 points each (32x32 image, so resampling dominates):",
        "", "| | ms |", "|---|---|",
        *["| {} | {:.2f} |".format(k, v) for k, v in resample.items()], "",
        "One sample, 640x480 JPEG -> 320x320, 10 outlines of 80 vertices:",
        "", "| step | ms |", "|---|---|",
        *["| {} | {:.2f} |".format(k, v) for k, v in sample.items()], "",
        "Default training pipeline (library augmentation), 32 files, batch 8: {:.1f} samples/s "
        "({} samples).".format(throughput, n),
    ])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
