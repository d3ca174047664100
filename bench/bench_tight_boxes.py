"""Tight detection boxes from outlines: how well the delivered boxes fit
their objects under rotation and shear, and what reading the outlines costs
the graph training pipeline, side by side in one run.

Run: PYTHONPATH=python .venv/bin/python bench/bench_tight_boxes.py [--quick]

Data: 640x480 JPEG pictures of elongated ellipses (aspect 4 to 7, any
orientation), each record with its box (the ellipse's extent) and, for the
outlined set, the ellipse's outline (64 vertices). Augmentation: affine
always, rotation up to 35 degrees, shear up to 10, flips; output 640x480.

Fit: for every delivered box of an object shown alone in its output (no
mosaic, no mix-up, so each object is seen whole), the IoU with the extent of
that object's pixels (each object has its own colour), median over all, on
the default and the graph pipeline, with and without outlines.

Speed: samples per second of the graph training pipeline over the same
records, unaugmented, augmented by corners, augmented with outlines, each
once a round in alternating rounds, medians; the ratios are against the
unaugmented pipeline of the same run.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _report  # noqa: E402
from _pipelines import medians, rate  # noqa: E402

H, W = 480, 640
AUG = {"affine": 1.0, "degrees": 35.0, "shear": 10.0, "scale": [0.7, 1.0], "translate": 0.05,
       "hflip": 0.5, "vflip": 0.5, "min_box_size": 0, "min_visibility": 0, "max_aspect_ratio": 1e6}
COLOURS = [(255, 40, 40), (40, 255, 40), (40, 40, 255)]


def make_records(folder, n, outlined, seed=0):
    import cv2
    import tensorflow as tf

    from quorvane.trellisk.datasets import records

    rng = np.random.default_rng(seed)
    recs = []
    for k in range(n):
        image = np.zeros((H, W, 3), np.uint8)
        objects, boxes, outlines = [], [], []
        for i, colour in enumerate(COLOURS):
            cx, cy = rng.uniform(180, W - 180), rng.uniform(150, H - 150)
            a = rng.uniform(70, 110)
            b = a / rng.uniform(4, 7)
            t = np.linspace(0, 2 * np.pi, 64, endpoint=False)
            angle = rng.uniform(0, np.pi)
            c, s = np.cos(angle), np.sin(angle)
            x, y = a * np.cos(t), b * np.sin(t)
            pts = np.stack([cx + c * x - s * y, cy + s * x + c * y], 1)
            cv2.fillPoly(image, [np.round(pts * 16).astype(np.int32)], colour, cv2.LINE_8, 4)
            lo, hi = pts.min(0) / [W, H], pts.max(0) / [W, H]
            objects.append(i)
            boxes += [*(lo + hi) / 2, *(hi - lo)]
            outlines.append((i, [(pts / [W, H]).clip(0, 1).tolist()]))
        jpeg = tf.io.encode_jpeg(image, quality=95).numpy()
        recs.append(records.encode_example(jpeg, "%d.jpg" % k, W, H, objects, boxes,
                                           outlines=outlines if outlined else None))
    os.makedirs(folder, exist_ok=True)
    for split in ("train", "val"):
        os.makedirs(os.path.join(folder, split), exist_ok=True)
        with tf.io.TFRecordWriter(os.path.join(folder, split, "r.tfrecord")) as w:
            for r in recs:
                w.write(r)
    return {"classes": ["a", "b", "c"], "train": {"path": os.path.join(folder, "train")},
            "validation": {"path": os.path.join(folder, "val")}}


def ious(batches):
    out = []
    for images, (boxes,) in batches:
        for image, rows in zip(images.numpy(), boxes.numpy()):
            for label, colour in enumerate(COLOURS):
                lit = np.abs(image.astype(int) - colour).max(axis=2) < 90
                ys, xs = np.nonzero(lit)
                row = rows[(rows[:, 4] == label + 1) & (rows[:, 2] > rows[:, 0])]
                if len(row) != 1 or len(xs) < 50:
                    continue
                a, b = row[0], (xs.min(), ys.min(), xs.max() + 1, ys.max() + 1)
                w = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
                h = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
                inter = w * h
                out.append(inter / ((a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter))
    return out


def main():
    args = _report.parser(__doc__).parse_args()
    import tempfile

    from quorvane.trellisk.datasets import graph
    from quorvane.trellisk.datasets.tfrecord import TFRecordDataset

    n = 12 if args.quick else 48
    stamp = _report.stamp(__file__, "--quick." if args.quick else "")
    with tempfile.TemporaryDirectory() as tmp:
        made = {o: make_records(os.path.join(tmp, str(o)), n, o) for o in (False, True)}

        def dataset(outlined, aug=AUG):
            return TFRecordDataset(dict(made[outlined]), shape=[H, W, 3], aug_cfg=aug)

        fit = [stamp, "", "| boxes | default pipeline | graph pipeline |", "|---|---|---|"]
        for outlined in (False, True):
            ds = dataset(outlined)
            default = np.median(ious(ds.build_train_iterator(batch_size=4, seed=1)))
            served = np.median(ious(graph.train_pipeline(ds, batch_size=4, seed=1)))
            fit.append("| {} | {:.3f} | {:.3f} |".format(
                "from outlines" if outlined else "four corners", default, served))
        fit += ["", "Median IoU of each delivered box with its object's pixels ({} records x 3 "
                "objects, rotation up to 35, shear up to 10).".format(n), ""]

        batches, rounds = (6, 2) if args.quick else (120, 5)

        def measure(outlined, aug):
            return lambda: rate(graph.train_pipeline(dataset(outlined, aug), batch_size=8, seed=1,
                                                     repeat=True), batches)

        runs = {"unaugmented": measure(False, None), "augmented, four corners": measure(False, AUG),
                "augmented, tight boxes": measure(True, AUG)}
        rates = medians(runs, rounds)
        base = rates["unaugmented"]
        speed = ["| graph training pipeline, 640x480, batch 8, {} batches after two, median of {} "
                 "alternating rounds | samples/s | vs unaugmented |".format(batches, rounds), "|---|---|---|"]
        speed += ["| {} | {:.1f} | {:.2f}x |".format(name, r, r / base) for name, r in rates.items()]
    _report.finish(__file__, "\n".join(fit + speed), args.quick)


if __name__ == "__main__":
    main()
