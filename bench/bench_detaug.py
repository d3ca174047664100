"""Detection augmentation engine: CPU cost per 640x640 output sample against
an earlier build of the engine and against the augmentation library doing
the nearest equivalent (HorizontalFlip, ShiftScaleRotate, HueSaturationValue
with boxes), side by side in one run.

Run: PYTHONPATH=python .venv/bin/python bench/bench_detaug.py [--quick]
     [--before REV]   (--quick: fewer calls and rounds, tables printed and
     not written)

Every figure is one output sample: one augment_group call on a group of 4
members (each call builds the output of its main member, so a group gives 4
outputs in 4 calls), the engine's own call as a caller makes it: draw,
checks, output arrays, pixels and boxes. The engine runs on the calling
thread; the library's OpenCV is held to one thread. Costs are CPU time of
the calling thread.

--before REV: the engine of an earlier commit (default df5636b, the engine
before its vector paths), built by this script into build/bench-before/REV
(see bench_augment.build_before); --before none skips it. Every build and
the library run in their own subprocess, taking turns round after round;
the median of the rounds is reported.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

H = W = 640
GROUP = 4
DEFAULT_BEFORE = "df5636b"
# The recipe the goal is set for, then the engine's other paths.
RECIPES = [
    ("mosaic, affine, HSV, flip", {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}),
    ("the same with rotation and shear", {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5,
                                          "degrees": 10, "shear": 5}),
    ("the same with mix-up 0.5", {"mosaic": 1.0, "mixup": 0.5, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}),
    ("flip only (one member)", {"hflip": 0.5}),
]


def group(seed=0, boxes=12):
    """Four smooth pictures with noise and `boxes` boxes each."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:H, :W]
    images = np.empty((GROUP, H, W, 3), np.uint8)
    rows = np.zeros((GROUP, boxes, 5), np.float32)
    for j in range(GROUP):
        pic = np.stack([xx * (0.3 + 0.1 * j), yy * 0.35, (xx + yy) * 0.2], -1) + rng.integers(0, 40, (H, W, 3))
        images[j] = (pic % 256).astype(np.uint8)
        for i in range(boxes):
            x1, y1 = rng.uniform(0, W * 0.8), rng.uniform(0, H * 0.8)
            rows[j, i] = [x1, y1, min(W, x1 + rng.uniform(10, W * 0.2)), min(H, y1 + rng.uniform(10, H * 0.2)), i]
    return images, rows, np.full(GROUP, boxes, np.int32)


def cpu_per_call(fn, n):
    """Mean CPU milliseconds of this thread per call over n calls."""
    fn(0)  # warm up
    c = time.thread_time()
    for i in range(n):
        fn(i)
    return (time.thread_time() - c) / n * 1e3


def engine_worker(n, baseline):
    from quorvane.trellisk.datasets._detaug import DetectionAugmentConfig, augment_group

    images, rows, counts = group()
    kwargs = {"baseline": True} if baseline else {}
    out = {}
    for name, aug_cfg in RECIPES:
        cfg = DetectionAugmentConfig(aug_cfg, H, W)
        k = cfg.group_size
        out[name] = cpu_per_call(
            lambda i: augment_group(cfg, images[:k], rows[:k], counts[:k], i % k, 0, 0, i, **kwargs), n)
    return out


def library_worker(n):
    import albumentations as A
    import cv2

    cv2.setNumThreads(1)
    images, rows, counts = group()
    compose = A.Compose([A.HorizontalFlip(p=0.5), A.ShiftScaleRotate(p=1.0), A.HueSaturationValue(p=1.0)],
                        bbox_params=A.BboxParams(format="pascal_voc", min_visibility=0.1, label_fields=["labels"]))
    boxes = [[list(map(float, r[:4])) for r in rows[j]] for j in range(GROUP)]
    labels = [[int(r[4]) for r in rows[j]] for j in range(GROUP)]
    # The library's own image and box work per output; no mosaic.
    return {"library": cpu_per_call(
        lambda i: compose(image=images[i % GROUP], bboxes=boxes[i % GROUP], labels=labels[i % GROUP]), n)}


def measure(tree, mode, n):
    env = dict(os.environ, OMP_NUM_THREADS="1")
    if tree:
        env["PYTHONPATH"] = tree
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", mode, str(n)]
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def main():
    from _report import parser as command_line

    parser = command_line(__doc__)
    parser.add_argument("--before", default=DEFAULT_BEFORE, help="commit whose engine to compare against, or none")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        mode, n = args.worker[0], int(args.worker[1])
        out = library_worker(n) if mode == "library" else engine_worker(n, mode == "baseline")
        print(json.dumps(out))
        return

    from _report import finish, stamp
    from bench_augment import build_before

    rounds, n_engine, n_library = (2, 30, 20) if args.quick else (5, 150, 80)
    before_tree = build_before(args.before, "_detaug") if args.before != "none" else None
    if before_tree is None and args.before != "none":
        print("no earlier build (--before {}): measuring this tree only".format(args.before), file=sys.stderr)
    variants = {"before": (before_tree, "engine", n_engine)} if before_tree else {}
    variants.update({"now": (None, "engine", n_engine), "baseline": (None, "baseline", n_engine),
                     "library": (None, "library", n_library)})
    runs = {name: [] for name in variants}
    for r in range(rounds):  # alternated, so that load drifts hit all alike
        for name, (tree, mode, n) in variants.items():
            runs[name].append(measure(tree, mode, n))
        print("round {} of {} done".format(r + 1, rounds), file=sys.stderr, flush=True)
    med = {name: {k: statistics.median(x[k] for x in rs) for k in rs[0]} for name, rs in runs.items()}
    lib = med["library"]["library"]

    before = "before" in med
    lines = [stamp(__file__, "Median of {} rounds; in each round every build and the library run in their own "
                             "subprocess, in turn. \"before\": {}.".format(
                                 rounds, args.before if before else "not measured")),
             "",
             "ms CPU per 640x640 output sample (one augment_group call on a group of 4, one thread; the library: "
             "HorizontalFlip p=0.5, ShiftScaleRotate and HueSaturationValue at their defaults, boxes in "
             "pascal_voc with min_visibility 0.1, no mosaic):", "",
             "| recipe | before | this build (AVX2) | baseline instructions | before / this | library | "
             "library / this |", "|---|---|---|---|---|---|---|"]
    for name, _cfg in RECIPES:
        b = med["before"][name] if before else float("nan")
        now, base = med["now"][name], med["baseline"][name]
        lines.append("| {} | {:.2f} | {:.3f} | {:.3f} | {:.1f}x | {:.2f} | {:.1f}x |".format(
            name, b, now, base, b / now, lib, lib / now))
    finish(__file__, "\n".join(lines), args.quick)


if __name__ == "__main__":
    main()
