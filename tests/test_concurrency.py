"""One dataset object shared by 8 threads, their calls overlapped by a
barrier: every output equals what one thread computes alone."""

import hashlib
import threading

import numpy as np
import pytest
import tensorflow as tf

from test_segmentation import make_dataset, simple
from test_tfrecord import bare, example, picture

THREADS = 8


def stand_in(image, mask):
    """Deterministic augmentation: depends on the sample only."""
    k = int(image[0, 0, 0]) % 4
    return {"image": np.rot90(image, k).copy(), "mask": np.rot90(mask, k).copy()}


def digest(*arrays):
    h = hashlib.sha256()
    for a in arrays:
        a = np.asarray(a)
        h.update(str((a.dtype.str, a.shape)).encode())
        h.update(np.ascontiguousarray(a).tobytes())
    return h.hexdigest()


def run_threads(work, rounds):
    """work(thread, round) on THREADS threads, each round started together."""
    barrier = threading.Barrier(THREADS)
    errors, out = [], [[None] * rounds for _ in range(THREADS)]

    def body(t):
        try:
            for r in range(rounds):
                barrier.wait()
                out[t][r] = work(t, r)
        except BaseException as e:  # reported below, with the thread's result missing
            errors.append(e)
            barrier.abort()

    threads = [threading.Thread(target=body, args=(t,)) for t in range(THREADS)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors, errors[0]
    return out


@pytest.fixture(scope="module")
def seg(tmp_path_factory):
    ds = make_dataset(tmp_path_factory.mktemp("seg"), simple(8, 40, 48), shape=(32, 32, 3))
    ds._augmentation_pipeline = stand_in
    return ds


def sample(ds, i):
    image, polygons, classes = ds._read_data(ds.train_storage[i], True)
    mask = ds._build_gt_mask(polygons, classes)
    aug = ds.apply_augmentation(image, mask)
    return digest(image, polygons, classes, mask, *aug)


def test_segmentation_per_sample_methods(seg):
    alone = [sample(seg, i) for i in range(8)]
    # Every thread walks the samples from a different start, so different
    # samples overlap in each round.
    out = run_threads(lambda t, r: sample(seg, (t + r) % 8), rounds=8)
    for t in range(THREADS):
        assert out[t] == [alone[(t + r) % 8] for r in range(8)]


def test_tfrecord_load_instance():
    obj = bare(shape=[32, 32, 3])
    records = [tf.constant(example(picture(20 + 4 * i, 30, i), [i % 3], [0.5, 0.5, 0.2, 0.3]))
               for i in range(8)]

    def decode(i, training):
        return digest(*obj.load_instance(records[i], training)[:2])

    alone = [[decode(i, tr) for i in range(8)] for tr in (True, False)]
    out = run_threads(lambda t, r: decode((t + r) % 8, bool(t % 2)), rounds=8)
    for t in range(THREADS):
        assert out[t] == [alone[0 if t % 2 else 1][(t + r) % 8] for r in range(8)]


def test_native_augmentation_engine(seg):
    augment = pytest.importorskip("quorvane.trellisk.datasets.augment")
    image = np.asarray(seg._read_data(seg.train_storage[3], True)[0])
    mask = np.zeros(image.shape[:2], np.int32)
    mask[4:20, 6:30] = 3
    calls = 4

    # Call n of a seeded engine depends on (seed, n) only: the results of
    # 8 x 4 overlapping calls are the results of 32 calls on one thread.
    augment.use_native_augmentation(seg, seed=11)
    alone = sorted(digest(*seg.apply_augmentation(image, mask)) for _ in range(THREADS * calls))
    augment.use_native_augmentation(seg, seed=11)
    out = run_threads(lambda t, r: digest(*seg.apply_augmentation(image, mask)), rounds=calls)
    seg._augmentation_pipeline = stand_in
    assert sorted(d for row in out for d in row) == alone
