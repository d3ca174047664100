"""Native augmentation engine against the augmentation library's Compose:
cost per sample at 320x320 (whole pipeline and each entry forced on), and
the segmentation training pipeline (batch 8) with the library pipeline, the
native engine and no augmentation at all, measured side by side.

Run: PYTHONPATH=python .venv/bin/python bench/bench_augment.py
Costs are CPU time of the calling thread (both run on it), so that other
load on the machine does not count; wall time is shown beside.
"""

import copy
import os
import platform
import random
import sys
import tempfile
import time

import albumentations as A
import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench_segmentation import dataset  # noqa: E402

from quorvane.trellisk.datasets import _augment  # noqa: E402
from quorvane.trellisk.datasets.augment import AugmentationEngine, use_native_augmentation  # noqa: E402

H = W = 320


def sample(seed=0):
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[:H, :W]
    image = np.stack([xx * 0.8, yy * 0.7, (xx + yy) * 0.4], -1) + rng.integers(0, 30, (H, W, 3))
    mask = ((xx // 37 + yy // 29) % 6).astype(np.uint8)
    return (image % 256).astype(np.uint8), mask


def cost(fn, n):
    """Mean CPU (this thread) and wall seconds per call over n calls."""
    c, t = time.thread_time(), time.perf_counter()
    for i in range(n):
        fn(i)
    return (time.thread_time() - c) / n, (time.perf_counter() - t) / n


def entries(pipeline):
    for t in pipeline.transforms:
        yield from (t.transforms if isinstance(t, A.OneOf) else [t])


def per_sample(ds):
    compose = ds._augmentation_pipeline
    engine = AugmentationEngine(H, W, seed=0)
    image, mask = sample()
    mask32 = mask.astype(np.int32)
    random.seed(0)
    np.random.seed(0)
    n_lib, n_nat = 200, 2000
    lib = cost(lambda i: compose(image=image, mask=mask), n_lib)
    nat = cost(lambda i: engine(image=image, mask=mask32), n_nat)
    print("whole pipeline, mean per sample at {}x{} ({} library / {} native samples):".format(
        H, W, n_lib, n_nat))
    print("  library Compose {:8.2f} ms cpu {:8.2f} ms wall".format(lib[0] * 1e3, lib[1] * 1e3))
    print("  native engine   {:8.2f} ms cpu {:8.2f} ms wall".format(nat[0] * 1e3, nat[1] * 1e3))
    print("  native is {:.1f}x cheaper (cpu), {:.1f}x (wall)".format(lib[0] / nat[0], lib[1] / nat[1]))

    # Each entry forced on, library parameters drawn once per call.
    plans = {"HorizontalFlip": {"flip": True},
             "ShiftScaleRotate": {"shift_scale_rotate": (10.0, 1.3, 0.1, -0.1)},
             "ChannelDropout": {"channel_dropout": 1}, "ChannelShuffle": {"channel_shuffle": (2, 0, 1)},
             "Defocus": {"defocus": (7, 0.3)},
             "ElasticTransform": {"elastic": (1.02, 0.05, -4.0, -0.03, 0.98, 6.0)},
             "PiecewiseAffine": {"piecewise_affine": (
                 [(x + 3, y - 2) for y in np.linspace(2, H - 3, 4) for x in np.linspace(0, W - 4, 4)], 0)},
             "RandomSizedCrop": {"crop": (100, 100, 0.3, 0.6), "out_shape": (H, W)}}
    print("each entry forced on (ms cpu per sample):")
    print("  {:<18} {:>9} {:>9} {:>7}".format("entry", "library", "native", "ratio"))
    for e in entries(compose):
        e = copy.deepcopy(e)
        e.p, e.always_apply = 1.0, True
        one = A.Compose([e])
        n = 20 if type(e).__name__ in ("ElasticTransform", "PiecewiseAffine") else 100
        t_lib = cost(lambda i: one(image=image, mask=mask), n)[0]
        params = plans[type(e).__name__]
        t_nat = cost(lambda i: _augment.render_plan(image, mask32, params), 200)[0]
        print("  {:<18} {:9.2f} {:9.3f} {:7.0f}".format(type(e).__name__, t_lib * 1e3, t_nat * 1e3,
                                                       t_lib / t_nat))


def rate(ds, passes=2):
    pipeline = ds.build_train_iterator(8, 4)
    for _ in pipeline:  # warm up (tracing)
        break
    t = time.perf_counter()
    n = 0
    for _ in range(passes):
        for images, _m in pipeline:
            n += int(images.shape[0])
    return n / (time.perf_counter() - t)


def pipelines(root):
    ds = dataset(os.path.join(root, "b"), (480, 640), 48, 10, 80, (H, W, 3), 300)
    library = ds._augmentation_pipeline
    engine = AugmentationEngine(H, W)
    modes = {"library": library, "native": engine,
             "identity": lambda image, mask: {"image": image, "mask": mask}}
    best = {}
    for _ in range(3):  # interleaved, best of three, so load drifts hit all alike
        for name, pipe in modes.items():
            ds._augmentation_pipeline = pipe
            best[name] = max(best.get(name, 0), rate(ds))
    print("training pipeline, 640x480 JPEGs -> {}x{}, batch 8 (samples/s):".format(H, W))
    for name, r in best.items():
        print("  {:<9} {:7.1f}".format(name, r))
    print("  native / library {:.1f}x, native / identity {:.2f}x".format(
        best["native"] / best["library"], best["native"] / best["identity"]))
    use_native_augmentation(ds)  # the switch itself works on this dataset
    return ds


def main():
    import tensorflow as tf  # noqa: F401  (imported before timing)

    print("machine: {} CPUs, {}, Python {}".format(os.cpu_count(), platform.processor() or platform.machine(),
                                                 platform.python_version()))
    with tempfile.TemporaryDirectory() as root:
        ds = dataset(os.path.join(root, "a"), (H, W), 1, 1, 10, (H, W, 3), 30)
        per_sample(ds)
        pipelines(root)


if __name__ == "__main__":
    main()
