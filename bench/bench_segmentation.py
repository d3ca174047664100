"""Segmentation datasets: the native resampling kernel against SciPy's
interp1d, the cost of reading one sample, and training pipeline throughput.

Run: PYTHONPATH=python .venv/bin/python bench/bench_segmentation.py
"""

import json
import os
import tempfile
import time

import numpy as np
import scipy.interpolate
from PIL import Image

from quorvane.trellisk.datasets import segmentation as seg


def best(fn, repeat=5, number=1):
    times = []
    for _ in range(repeat):
        t = time.perf_counter()
        for _ in range(number):
            fn()
        times.append((time.perf_counter() - t) / number)
    return min(times)


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


def main():
    import tensorflow as tf

    with tempfile.TemporaryDirectory() as root:
        # 1. Resampling: many outlines, tiny image, so resampling dominates.
        ds = dataset(os.path.join(root, "a"), (32, 32), 1, 200, 100, (32, 32, 3), 300)
        path = tf.constant(ds.train_storage[0])
        native = best(lambda: ds._read_data(path))
        original = seg.interp1d
        seg.interp1d = lambda *a, **k: original(*a, **k)  # forces the rebound path
        try:
            rebound = best(lambda: ds._read_data(path))
        finally:
            seg.interp1d = original
        pts = [np.random.default_rng(i).random((100, 2)) * 640 for i in range(200)]
        pure = best(lambda: [scipy_resample(p, 300) for p in pts])
        print("resample 200 outlines x 100 vertices -> 300 points:")
        print("  read with native kernel      {:8.2f} ms".format(native * 1e3))
        print("  read with interp1d (rebound) {:8.2f} ms".format(rebound * 1e3))
        print("  NumPy/SciPy alone            {:8.2f} ms".format(pure * 1e3))

        # 2. One typical sample: 640 x 480 JPEG, 10 parts x 80 vertices.
        ds = dataset(os.path.join(root, "b"), (480, 640), 32, 10, 80, (320, 320, 3), 300)
        path = tf.constant(ds.train_storage[0])
        image, masks, classes = ds._read_data(path)
        t_read = best(lambda: ds._read_data(path), number=5)
        tm, tc = tf.constant(masks), tf.constant(classes)
        t_mask = best(lambda: ds._build_gt_mask(tm, tc), number=5)
        gt = ds._build_gt_mask(tm, tc)
        t_aug = best(lambda: ds.apply_augmentation(image, gt), number=5)
        print("one sample, 640x480 JPEG -> 320x320, 10 outlines:")
        print("  _read_data {:6.2f} ms   _build_gt_mask {:6.2f} ms   apply_augmentation {:6.2f} ms"
              .format(t_read * 1e3, t_mask * 1e3, t_aug * 1e3))

        # 3. Training pipeline throughput.
        pipeline = ds.build_train_iterator(8, 4)
        for _ in pipeline:  # warm up (tracing)
            break
        t = time.perf_counter()
        n = 0
        for _ in range(2):
            for images, _m in pipeline:
                n += int(images.shape[0])
        dt = time.perf_counter() - t
        print("training pipeline: {:.0f} samples/s ({} samples, batch 8)".format(n / dt, n))


if __name__ == "__main__":
    main()
