"""Detection training with augmentation: aug_cfg checked by the constructors,
both pipelines augmenting the same way for a seed, passes that keep their
length and are counted, validation left alone, boxes always sound."""

import math
import re
import pathlib
import warnings

import numpy as np
import pytest
import tensorflow as tf
import yaml

from quorvane.trellisk.datasets import graph
from quorvane.trellisk.datasets._detaug import DetectionAugmentConfig
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset, TFRecordDatasetYaml
from test_tfrecord import example, write_records

SHAPE = [48, 64, 3]
RECIPE = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5, "degrees": 10.0, "shear": 5.0}
N_TRAIN = 10


def pictures(n, seed=0):
    rng = np.random.default_rng(seed)
    out = []
    for _ in range(n):
        h, w = int(rng.integers(24, 80)), int(rng.integers(24, 80))
        base = rng.integers(0, 256, (h // 4 + 1, w // 4 + 1, 3), dtype=np.uint8)
        out.append(np.asarray(tf.image.resize(base, (h, w), "bilinear")).astype(np.uint8))
    return out


def description(tmp_path, n_train=N_TRAIN, files=2):
    """Train records split over `files` files, 0 to 3 boxes each (none every
    fourth record), and three validation records."""
    rng = np.random.default_rng(1)
    records = []
    for i, img in enumerate(pictures(n_train)):
        n = 0 if i % 4 == 3 else 1 + i % 3
        boxes = np.concatenate([rng.random((n, 2)) * 0.6 + 0.2, rng.random((n, 2)) * 0.4 + 0.1], 1)
        records.append(example(img, list(range(n)), boxes.ravel().tolist(), name=b"%d.jpg" % i))
    for k in range(files):
        write_records(tmp_path / "train" / "{}.tfrecord".format(k), records[k::files])
    write_records(tmp_path / "val" / "v.tfrecord",
                  [example(img, [0], [0.5, 0.5, 0.4, 0.4]) for img in pictures(3, seed=9)])
    return {"classes": ["a", "b", "c"], "train": {"path": str(tmp_path / "train")},
            "validation": {"path": str(tmp_path / "val")}}


def dataset(tmp_path, aug_cfg=RECIPE, shape=SHAPE, **kwargs):
    return TFRecordDataset(description(tmp_path, **kwargs), shape=list(shape) if shape else None,
                           aug_cfg=None if aug_cfg is None else dict(aug_cfg))


def yaml_dataset(tmp_path, aug_cfg, shape=SHAPE):
    info = tmp_path / "d.yaml"
    doc = description(tmp_path)
    doc["type"] = "tfrecord"
    info.write_text(yaml.safe_dump(doc))
    return TFRecordDatasetYaml(str(info), list(shape) if shape else None, aug_cfg=aug_cfg)


def samples(batches):
    """(image, boxes without padding rows) of every sample of `batches`."""
    out = []
    for images, targets in batches:
        for image, bx in zip(images.numpy(), targets[0].numpy()):
            keep = np.any(bx != 0, axis=1)
            out.append((image, bx[keep] if keep.any() else bx[:1]))
    return out


# ------------------------------------------------------------ construction

@pytest.mark.parametrize("make", [dataset, yaml_dataset], ids=["dict", "yaml"])
@pytest.mark.parametrize("aug_cfg, key", [
    ({"mosiac": 1.0}, "mosiac"), ({"hflip": 1.5}, "hflip"), ({"hsv": -0.1}, "hsv"),
    ({"mosaic": float("nan")}, "mosaic"), ({"affine": "often"}, "affine"),
    ({"scale": [1.5, 0.5]}, "scale"), ({"mixup": float("inf")}, "mixup")])
def test_bad_aug_cfg_is_a_value_error_naming_the_key(tmp_path, make, aug_cfg, key):
    with pytest.raises(ValueError) as e:
        make(tmp_path, aug_cfg)
    text = str(e.value)
    assert key in text and "hflip" in text and "mosaic_stop_pass" in text  # lists the valid keys


@pytest.mark.parametrize("make", [dataset, yaml_dataset], ids=["dict", "yaml"])
@pytest.mark.parametrize("aug_cfg", [None, {}, {"hflip": 0.5}, RECIPE])
def test_good_aug_cfg_is_kept_without_warning(tmp_path, make, aug_cfg):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ds = make(tmp_path, aug_cfg)
    assert ds.aug_cfg == aug_cfg
    described = ds.describe().augmentation
    if aug_cfg:
        assert described == DetectionAugmentConfig(aug_cfg, SHAPE[0], SHAPE[1])
    else:
        assert described is None


@pytest.mark.parametrize("aug_cfg", [None, {}])
def test_no_shape_is_fine_without_augmentation(tmp_path, aug_cfg):
    ds = dataset(tmp_path, aug_cfg, shape=None)
    assert len(samples(ds.build_val_iterator(batch_size=2))) == 3
    with pytest.raises(ValueError, match="shape"):
        ds.build_train_iterator(batch_size=2)


def test_augmentation_without_shape_is_refused_by_the_constructor(tmp_path):
    with pytest.raises(ValueError, match="shape"):
        dataset(tmp_path, {"hflip": 0.5}, shape=None)


# ------------------------------------------------------------- pipelines

def graph_passes(ds, passes, seed, **kwargs):
    """`passes` passes of the graph pipeline in one iteration (repeat=True)."""
    # Batches never span two passes: each pass ends with a smaller batch.
    return samples(graph.train_pipeline(ds, batch_size=4, seed=seed, repeat=True, **kwargs)
                   .take(passes * math.ceil(N_TRAIN / 4)))


def default_passes(ds, passes, seed):
    return samples(ds.build_train_iterator(batch_size=4, seed=seed).repeat(passes))


def same(a, b):
    return len(a) == len(b) and all(
        np.array_equal(x[0], y[0]) and np.array_equal(x[1], y[1]) for x, y in zip(a, b))


def test_default_and_graph_pipelines_give_the_same_batches_for_a_seed(tmp_path):
    ds = dataset(tmp_path)
    default = default_passes(ds, 2, seed=11)
    assert same(default, graph_passes(ds, 2, seed=11))
    assert same(default, default_passes(ds, 2, seed=11))
    assert not same(default, default_passes(ds, 2, seed=12))
    assert not same(default[:N_TRAIN], default[N_TRAIN:])  # a new draw every pass


def test_a_pass_keeps_its_length_and_is_counted(tmp_path):
    ds = dataset(tmp_path)
    assert ds.num_train_samples == 0
    it = ds.build_train_iterator(batch_size=3, seed=2)
    assert ds.num_train_samples == N_TRAIN
    # Re-iterating the pipeline (what Keras fit does every epoch) starts the
    # next pass; the counting pass above does not count as one.
    first, second = samples(it), samples(it)
    assert len(first) == len(second) == N_TRAIN
    assert same(first, default_passes(ds, 1, seed=2))
    assert not same(first, second)
    assert len(samples(graph.train_pipeline(ds, batch_size=3, seed=2))) == N_TRAIN


def plain_images(tmp_path):
    ds = dataset(tmp_path / "plain", aug_cfg=None)
    return sorted(s[0].tobytes() for s in samples(ds.build_train_iterator(batch_size=5)))


@pytest.mark.parametrize("path", ["default, iterated again", "default, repeated", "graph"])
def test_mosaic_stops_at_the_configured_pass(tmp_path, path):
    ds = dataset(tmp_path, {"mosaic": 1.0, "mosaic_stop_pass": 2})
    if path == "graph":
        got = graph_passes(ds, 3, seed=4)
    elif path == "default, repeated":
        got = default_passes(ds, 3, seed=4)
    else:
        it = ds.build_train_iterator(batch_size=4, seed=4)
        got = samples(it) + samples(it) + samples(it)
    assert len(got) == 3 * N_TRAIN
    plain = plain_images(tmp_path)
    by_pass = [sorted(s[0].tobytes() for s in got[k * N_TRAIN:(k + 1) * N_TRAIN]) for k in range(3)]
    assert by_pass[0] != plain and by_pass[1] != plain and by_pass[2] == plain


def test_graph_pipeline_iterated_again_draws_anew(tmp_path):
    ds = dataset(tmp_path)
    pipeline = graph.train_pipeline(ds, batch_size=4, seed=7)
    first, second = samples(pipeline), samples(pipeline)
    assert same(first, default_passes(ds, 1, seed=7))
    assert len(second) == N_TRAIN and not same(first, second)
    # first_pass numbers the passes from there, as a run resumed at that pass.
    resumed = samples(graph.train_pipeline(ds, batch_size=4, seed=7, first_pass=1))
    assert same(resumed, default_passes(ds, 2, seed=7)[N_TRAIN:])


@pytest.mark.parametrize("augment", [True, False])
def test_graph_pipeline_has_no_python(tmp_path, augment):
    ds = dataset(tmp_path)
    pipeline = graph.train_pipeline(ds, batch_size=4, seed=1, augment=augment)
    graph_def = tf.compat.v1.GraphDef.FromString(pipeline._as_serialized_graph().numpy())
    names = {n.op for n in graph_def.node}
    for f in graph_def.library.function:
        names |= {n.op for n in f.node_def}
    assert not {n for n in names if "PyFunc" in n}
    assert ("TrelliskDetectionAugment" in names) == augment
    if not augment:
        plain = dataset(tmp_path / "plain", aug_cfg=None)
        got = samples(pipeline)
        assert sorted(s[0].tobytes() for s in got) == plain_images(tmp_path)
        assert same(got, samples(graph.train_pipeline(plain, batch_size=4, seed=1)))


def test_validation_is_never_augmented(tmp_path):
    ds, plain = dataset(tmp_path / "a"), dataset(tmp_path / "b", aug_cfg=None)
    for make in (lambda d: d.build_val_iterator(batch_size=2), lambda d: graph.val_pipeline(d, 2)):
        for a, b in zip(make(ds), make(plain)):
            for x, y in zip(tf.nest.flatten(a), tf.nest.flatten(b)):
                np.testing.assert_array_equal(x.numpy(), y.numpy())


@pytest.mark.parametrize("aug_cfg", [RECIPE, dict(RECIPE, mixup=0.5, vflip=0.5, scale=[0.2, 3.0]),
                                     {"affine": 1.0, "degrees": 45.0, "translate": 0.5}])
def test_boxes_are_finite_and_inside_the_picture_in_every_batch(tmp_path, aug_cfg):
    ds = dataset(tmp_path, aug_cfg)
    h, w = SHAPE[:2]
    batches = list(ds.build_train_iterator(batch_size=4, seed=3).repeat(2))
    batches += list(graph.train_pipeline(ds, batch_size=4, seed=3))
    for images, (boxes,) in batches:
        assert images.dtype == tf.uint8 and images.shape[1:] == (h, w, 3)
        b = boxes.numpy()
        assert b.dtype == np.float32 and np.isfinite(b).all()
        real = b[np.any(b != 0, axis=2)]
        assert ((real[:, 0] >= 0) & (real[:, 1] >= 0) & (real[:, 2] <= w) & (real[:, 3] <= h)).all()
        assert ((real[:, 2] > real[:, 0]) & (real[:, 3] > real[:, 1])).all()
        assert set(real[:, 4].tolist()) <= {1.0, 2.0, 3.0}


# ------------------------------------------------------------------ README

def test_readme_table_lists_every_key_with_its_default():
    readme = (pathlib.Path(__file__).resolve().parents[1] / "README.md").read_text()
    section = readme.split("<!-- aug_cfg keys -->")[1].split("<!-- end aug_cfg keys -->")[0]
    rows = re.findall(r"^\| `([a-z_]+)` \| .+ \| `(.+)` \|$", section, re.M)
    defaults = DetectionAugmentConfig({}, 640, 640).as_dict()
    assert [k for k, _ in rows] == list(DetectionAugmentConfig.valid_keys())
    assert {k: None if v == "None" else yaml.safe_load(v) for k, v in rows} == {
        k: list(v) if isinstance(v, tuple) else v for k, v in defaults.items()}
