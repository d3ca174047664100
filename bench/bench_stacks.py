"""The current stack against the legacy one, side by side on the same files
on this machine: the default segmentation pipeline (library augmentation),
the graph pipeline with and without native augmentation, and the native
engine per sample. Each stack runs in a worker subprocess under its own venv
with the package installed there (`make install` and
`make install STACK=legacy` make .venv and .venv-legacy); the rounds alternate
the stacks and each figure is the median over rounds.

    .venv/bin/python bench/bench_stacks.py [--quick] [--current PY] [--legacy PY]
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
MEASURES = ["default pipeline", "graph, native augmentation", "graph, no augmentation",
            "engine per sample"]


def worker(root, quick):
    """One round on the running stack: {measure: samples/s} and the versions."""
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    sys.path.insert(0, str(HERE))
    import cv2
    import numpy as np
    import tensorflow as tf
    from bench_graph import BATCH, SHAPE, rate, write_segmentation

    from quorvane.trellisk.datasets import graph
    from quorvane.trellisk.datasets.augment import AugmentationEngine
    from quorvane.trellisk.datasets.segmentation import SegmentationDataset

    marker = os.path.join(root, "seg", "written")
    if not os.path.exists(marker):
        write_segmentation(os.path.join(root, "seg"))
        open(marker, "w").close()
    seg_dir = os.path.join(root, "seg")

    def dataset():
        return SegmentationDataset(list(SHAPE), os.path.join(seg_dir, "images"), os.path.join(seg_dir, "images"),
                                   os.path.join(seg_dir, "anns"), os.path.join(seg_dir, "anns"),
                                   ["a", "b", "c"], ["segment"])

    out = {}
    ds = dataset()
    # Each iterator is dropped (rate() holds the only reference) before the next is timed.
    out["default pipeline"] = rate(ds.build_train_iterator(BATCH), 2 if quick else 4)
    out["graph, native augmentation"] = rate(graph.train_pipeline(ds, BATCH), 8 if quick else 24)
    out["graph, no augmentation"] = rate(graph.train_pipeline(ds, BATCH, augment=False), 8 if quick else 24)

    h, w = SHAPE[:2]
    rng = np.random.default_rng(0)
    image = rng.integers(0, 256, (h, w, 3), dtype=np.uint8)
    mask = rng.integers(0, 4, (h, w), dtype=np.int32)
    engine = AugmentationEngine(h, w, seed=0)
    n = 200 if quick else 1000
    engine(image=image, mask=mask)
    t = time.thread_time()
    for _ in range(n):
        engine(image=image, mask=mask)
    out["engine per sample"] = n / (time.thread_time() - t)

    try:
        from importlib import metadata
        albumentations = metadata.version("albumentations")
    except Exception:
        albumentations = "none"
    versions = {"python": "{}.{}.{}".format(*sys.version_info[:3]), "tensorflow": tf.__version__,
                "numpy": np.__version__, "opencv": cv2.__version__, "albumentations": albumentations}
    return {"rates": out, "versions": versions}


def run_worker(python, root, quick):
    cmd = [python, str(pathlib.Path(__file__).resolve()), "--worker", root] + (["--quick"] if quick else [])
    # Run outside the source tree so the venv's installed package is the one imported.
    r = subprocess.run(cmd, capture_output=True, text=True, cwd=root, timeout=1800)
    if r.returncode != 0:
        sys.exit("worker {} failed:\n{}".format(python, r.stderr[-3000:]))
    return json.loads(r.stdout.strip().splitlines()[-1])


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="fewer rounds and batches")
    p.add_argument("--current", default=str(ROOT / ".venv" / "bin" / "python"))
    p.add_argument("--legacy", default=str(ROOT / ".venv-legacy" / "bin" / "python"))
    p.add_argument("--worker", help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.worker:
        print(json.dumps(worker(args.worker, args.quick)))
        return
    for name in ("current", "legacy"):
        if not os.path.exists(getattr(args, name)):
            sys.exit("no {} stack at {}: run make install{} first".format(
                name, getattr(args, name), "" if name == "current" else " STACK=legacy"))
    rounds = 2 if args.quick else 5
    stacks = {"current": args.current, "legacy": args.legacy}
    runs = {name: [] for name in stacks}
    versions = {}
    loads = []
    with tempfile.TemporaryDirectory(prefix="trellisk-bench-stacks-") as root:
        for k in range(rounds):
            order = list(stacks) if k % 2 == 0 else list(stacks)[::-1]
            for name in order:
                loads.append(os.getloadavg()[0])
                result = run_worker(stacks[name], root, args.quick)
                runs[name].append(result["rates"])
                versions[name] = result["versions"]
    med = {name: {m: statistics.median(r[m] for r in runs[name]) for m in MEASURES} for name in stacks}

    sys.path.insert(0, str(HERE))
    from _report import publish, stamp

    lines = [stamp(__file__, "Load average {:.1f}-{:.1f} during the rounds{}.".format(
        min(loads), max(loads), " (--quick)" if args.quick else "")), ""]
    lines.append("| stack | Python | TensorFlow | NumPy | OpenCV | albumentations |")
    lines.append("|---|---|---|---|---|---|")
    for name in stacks:
        v = versions[name]
        lines.append("| {} | {} | {} | {} | {} | {} |".format(
            name, v["python"], v["tensorflow"], v["numpy"], v["opencv"], v["albumentations"]))
    lines += ["", "Samples/s, medians of {} alternating rounds (engine per sample: calls per CPU second "
              "of one thread).".format(rounds), "",
              "| measure | current | legacy | current / legacy |", "|---|---|---|---|"]
    for m in MEASURES:
        c, l = med["current"][m], med["legacy"][m]
        lines.append("| {} | {:.1f} | {:.1f} | {:.2f} |".format(m, c, l, c / l))
    publish(__file__, "\n".join(lines))


if __name__ == "__main__":
    main()
