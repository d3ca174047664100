"""Native augmentation engine: cost per 320x320 sample against an earlier
build of the engine and against the augmentation library's Compose, per
entry and for the whole pass at the entries' real probabilities; then the
segmentation training pipeline (batch 8) with the library pipeline, the
native engine and no augmentation, measured side by side.

Run: PYTHONPATH=python .venv/bin/python bench/bench_augment.py [--quick]
     [--before DIR]    (--quick: fewer calls and rounds, no pipelines, tables
     printed and not written)

--before REV: the engine of an earlier commit (default b2a546d, the engine
before its vector paths), built by this script into build/bench-before/REV
(a git worktree and an in-place cmake build of the `_augment` module only);
--before none skips it. Each build is measured
in its own subprocess, the builds taking turns round after round, and the
median of the rounds is reported. Costs are CPU time of the calling thread,
so that other load on the machine counts as little as it can; the load
average is in the stamp line.
"""

import argparse
import copy
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

H = W = 320
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
DEFAULT_BEFORE = "b2a546d"
# Plan keys of the entries, in pipeline order, and the library's class names.
ENTRIES = [("flip", "HorizontalFlip"), ("shift_scale_rotate", "ShiftScaleRotate"),
           ("channel_dropout", "ChannelDropout"), ("channel_shuffle", "ChannelShuffle"),
           ("defocus", "Defocus"), ("elastic", "ElasticTransform"), ("piecewise_affine", "PiecewiseAffine"),
           ("crop", "RandomSizedCrop")]


def sample(seed=0):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:H, :W]
    image = np.stack([xx * 0.8, yy * 0.7, (xx + yy) * 0.4], -1) + rng.integers(0, 30, (H, W, 3))
    mask = ((xx // 37 + yy // 29) % 6).astype(np.int32)
    return (image % 256).astype(np.uint8), mask


def cpu_per_call(fn, n):
    """Mean CPU seconds of this thread per call over n calls."""
    c = time.thread_time()
    for i in range(n):
        fn(i)
    return (time.thread_time() - c) / n


def entry_params(plan, key):
    """The plan with only `key`'s entry on."""
    params = {key: plan[key]}
    if key == "crop":
        params["out_shape"] = plan["out_shape"]
    return params


def worker(baseline, n_whole, n_entry):
    """One build in this process: whole-pass and per-entry costs (ms CPU)."""
    from quorvane.trellisk.datasets import _augment

    kwargs = {"baseline": True} if baseline else {}
    image, mask = sample()
    engine = _augment.Engine(H, W, seed=0)
    plans = [engine.plan(H, W, i) for i in range(20000)]
    engine(image, mask)  # warm up the tables
    out = {"whole": cpu_per_call(lambda i: engine(image, mask), n_whole) * 1e3}
    if baseline:
        # The engine's own call has no baseline switch: the same draws,
        # rendered through render_plan.
        out["whole"] = cpu_per_call(lambda i: _augment.render_plan(image, mask, plans[i], **kwargs), n_whole) * 1e3
    out["empty"] = cpu_per_call(lambda i: _augment.render_plan(image, mask, {}, **kwargs), n_entry) * 1e3
    for key, _name in ENTRIES:
        firing = [entry_params(p, key) for p in plans if p[key] is not None and p[key] is not False]
        out["p " + key] = len(firing) / len(plans)
        # A fresh draw on every call, as the library does.
        cost = cpu_per_call(lambda i: _augment.render_plan(image, mask, firing[i % len(firing)], **kwargs), n_entry)
        out[key] = cost * 1e3 - out["empty"]
    print(json.dumps(out))


def build_before(rev, target="_augment"):
    """python/ tree of an in-place build of ``rev``'s ``target`` module, made
    once in build/bench-before/<rev>; None when it cannot be made."""
    src = os.path.join(ROOT, "build", "bench-before", rev)
    tree = os.path.join(src, "python")
    try:
        if not os.path.isdir(src):
            subprocess.run(["git", "-C", ROOT, "worktree", "add", "--detach", src, rev], check=True,
                           capture_output=True)
        subprocess.run(["cmake", "-S", src, "-B", os.path.join(src, "build"), "-DTRELLISK_INPLACE=ON",
                        "-DPython_EXECUTABLE=" + sys.executable], check=True, capture_output=True)
        subprocess.run(["cmake", "--build", os.path.join(src, "build"), "-j2", "--target", target],
                       check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print("no earlier build of {}: {}".format(rev, getattr(e, "stderr", e)), file=sys.stderr)
        return None
    return tree


def measure(tree, baseline, n_whole, n_entry):
    # tree None: the package this interpreter imports (installed, or the
    # caller's PYTHONPATH).
    env = dict(os.environ, OMP_NUM_THREADS="1")
    if tree:
        env["PYTHONPATH"] = tree
    cmd = [sys.executable, os.path.abspath(__file__), "--worker", str(n_whole), str(n_entry)]
    if baseline:
        cmd.append("--baseline")
    out = subprocess.run(cmd, env=env, capture_output=True, text=True, check=True)
    return json.loads(out.stdout.strip().splitlines()[-1])


def library_entries(n):
    """Each library entry forced on, its parameters drawn on every call."""
    import albumentations as A
    from bench_segmentation import dataset

    with tempfile.TemporaryDirectory() as root:
        ds = dataset(os.path.join(root, "a"), (H, W), 1, 1, 10, (H, W, 3), 30)
        compose = ds._augmentation_pipeline
    image, mask = sample()
    mask = mask.astype(np.uint8)  # the library warps int32 masks poorly
    costs = {}
    for t in compose.transforms:
        for e in (t.transforms if isinstance(t, A.OneOf) else [t]):
            e = copy.deepcopy(e)
            e.p, e.always_apply = 1.0, True
            one = A.Compose([e])
            slow = type(e).__name__ in ("ElasticTransform", "PiecewiseAffine")
            costs[type(e).__name__] = cpu_per_call(lambda i: one(image=image, mask=mask),
                                                   max(3, n // 10) if slow else n) * 1e3
    whole = cpu_per_call(lambda i: compose(image=image, mask=mask), max(5, n // 2)) * 1e3
    return costs, whole


def rate(ds, passes=2):
    pipeline = ds.build_train_iterator(8, 4)
    for _ in pipeline:  # warm up (tracing)
        break
    t = time.perf_counter()
    n = 0
    for _ in range(passes):
        for images, _m in pipeline:
            n += int(images.shape[0])
    del pipeline
    return n / (time.perf_counter() - t)


def pipelines(root, rounds, files):
    from bench_segmentation import dataset
    from quorvane.trellisk.datasets.augment import AugmentationEngine

    ds = dataset(os.path.join(root, "b"), (480, 640), files, 10, 80, (H, W, 3), 300)
    modes = {"library `Compose` (default)": ds._augmentation_pipeline, "native engine": AugmentationEngine(H, W),
             "identity (no augmentation)": lambda image, mask: {"image": image, "mask": mask}}
    rates = {name: [] for name in modes}
    for _ in range(rounds):  # alternated, so that load drifts hit all alike
        for name, pipe in modes.items():
            ds._augmentation_pipeline = pipe
            rates[name].append(rate(ds))
    return {name: statistics.median(r) for name, r in rates.items()}


def main():
    from _report import parser as command_line

    parser = command_line(__doc__)
    parser.add_argument("--before", default=DEFAULT_BEFORE,
                        help="commit whose engine to compare against, or none")
    parser.add_argument("--worker", nargs=2, type=int, help=argparse.SUPPRESS)
    parser.add_argument("--baseline", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(args.baseline, *args.worker)

    import tensorflow as tf  # noqa: F401  (imported before timing)
    from _report import finish, stamp

    rounds, n_whole, n_entry = (3, 400, 100) if args.quick else (7, 2000, 400)
    before_tree = build_before(args.before) if args.before != "none" else None
    before = before_tree is not None
    if not before:
        print("no earlier build (--before {}): measuring this tree only".format(args.before),
              file=sys.stderr)
    variants = {"before": (before_tree, False)} if before else {}
    variants.update({"now": (None, False), "now, baseline": (None, True)})
    runs = {name: [] for name in variants}
    for _ in range(rounds):
        for name, (tree, baseline) in variants.items():
            runs[name].append(measure(tree, baseline, n_whole, n_entry))
    med = {name: {k: statistics.median(r[k] for r in rs) for k in rs[0]} for name, rs in runs.items()}
    lib, lib_whole = library_entries(20 if args.quick else 100)

    now = med["now"]
    lines = [stamp(__file__, "Median of {} rounds; in each round every build runs in its own subprocess, "
                             "in turn. \"before\": {}.".format(rounds, args.before if before else "not measured")),
             "",
             "Whole pass per 320x320 sample, entries at their own probabilities (ms CPU per sample, the "
             "engine's own call: draw, checks, output arrays and pixels):", "",
             "| | ms CPU / sample | before / this |", "|---|---|---|"]
    if before:
        lines.append("| before | {:.3f} | 1.00x |".format(med["before"]["whole"]))
    for name in ("now", "now, baseline"):
        ratio = "{:.2f}x".format(med["before"]["whole"] / med[name]["whole"]) if before else ""
        label = {"now": "this build (AVX2 where the CPU has it)",
                 "now, baseline": "this build, baseline instructions only"}[name]
        lines.append("| {} | {:.3f} | {} |".format(label, med[name]["whole"], ratio))
    lines.append("| library `Compose` | {:.2f} | |".format(lib_whole))
    lines += ["", "Each entry alone, parameters drawn afresh on every call on both sides (ms CPU per call; the "
              "native figures exclude the {:.3f} ms of an empty call); \"share\" is the cost times how often the "
              "entry fires, i.e. its part of the whole pass:".format(now["empty"]), "",
              "| entry | fires | library | before | before share | now | now share | before / now |",
              "|---|---|---|---|---|---|---|---|"]
    for key, name in ENTRIES:
        p = now["p " + key]
        b = med["before"][key] if before else float("nan")
        lines.append("| {} | {:.2f} | {:.2f} | {:.3f} | {:.3f} | {:.3f} | {:.3f} | {:.1f}x |".format(
            name, p, lib[name], b, b * p, now[key], now[key] * p, b / now[key] if now[key] > 0 else float("nan")))
    if not args.quick:
        with tempfile.TemporaryDirectory() as root:
            rates = pipelines(root, 3, 48)
        lines += ["", "Segmentation training pipeline, 48 JPEGs of 640x480 -> 320x320, batch 8, samples/s "
                  "(median of 3 alternated rounds of two passes):", "", "| augmentation | samples/s |", "|---|---|"]
        lines += ["| {} | {:.1f} |".format(name, r) for name, r in rates.items()]
    finish(__file__, "\n".join(lines), args.quick)


if __name__ == "__main__":
    main()
