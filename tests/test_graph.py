"""Graph-only pipelines and the op library: pixels, masks and boxes equal to
the default readers, no Python callbacks in the graph, clear errors."""

import json
import os
import subprocess
import sys
import warnings

import cv2
import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from quorvane.trellisk import ops
from quorvane.trellisk.cli import build_parser, sources
from quorvane.trellisk.cli import check as checkmod
from quorvane.trellisk.datasets import graph, utils
from quorvane.trellisk.datasets import _rle
from quorvane.trellisk.datasets.segmentation import (SegmentationDataset, SegmentationDatasetJsonCOCO,
                                                     SegmentationDatasetYaml)
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
from test_tfrecord import example, write_records

SHAPE = [40, 48, 3]


# ------------------------------------------------------------------ kernels

@pytest.mark.parametrize("src, dst, channels", [
    ((30, 40), (40, 48), 3), ((100, 60), (40, 48), 3), ((64, 96), (32, 48), 3),  # exact halving
    ((1, 1), (40, 48), 1), ((7, 300), (40, 48), 4), ((255, 191), (153, 81), 1),
    ((40, 48), (40, 48), 3), ((3, 2), (1, 1), 3)])
@pytest.mark.parametrize("letter_box", [True, False])
def test_letterbox_matches_the_package_and_opencv(src, dst, channels, letter_box):
    img = np.random.default_rng(sum(src)).integers(0, 256, src + (channels,), dtype=np.uint8)
    out, frame = ops.letterbox(img, dst, letter_box)
    if letter_box:
        ref, ratio, pad = utils.letterbox(img, list(dst), auto=False)
        ref_frame = [ratio[0] * src[1], ratio[1] * src[0], pad[0], pad[1]]
    else:
        ref = cv2.resize(img, dst[::-1]).reshape(dst + (channels,))
        ref_frame = [dst[1], dst[0], 0, 0]
    np.testing.assert_array_equal(out.numpy(), ref)
    assert frame.numpy().tolist() == ref_frame


def test_letterbox_random_sizes_bit_exact():
    rng = np.random.default_rng(7)
    for _ in range(60):
        sh, sw, th, tw = (int(v) for v in rng.integers(1, 200, 4))
        img = rng.integers(0, 256, (sh, sw, 3), dtype=np.uint8)
        np.testing.assert_array_equal(ops.letterbox(img, [th, tw], False)[0].numpy(),
                                      cv2.resize(img, (tw, th)), err_msg=str((sh, sw, th, tw)))


@pytest.mark.parametrize("spread", [1.0, 1.6, 4.0])  # inside, straddling, mostly outside
def test_paint_matches_fillpoly(spread):
    rng = np.random.default_rng(int(spread * 10))
    for _ in range(150):
        h, w = (int(v) for v in rng.integers(1, 60, 2))
        m, p = int(rng.integers(1, 4)), int(rng.integers(1, 12))
        polys = ((rng.random((m, p, 2)) * spread - (spread - 1) / 2) * [w, h]).astype(np.float32)
        classes = rng.integers(0, 4, m).astype(np.int32)
        ref = np.zeros((h, w), np.int32)
        for poly, c in zip(polys, classes):
            cv2.fillPoly(ref, [poly.astype(np.int32)], color=int(c) + 1)
        np.testing.assert_array_equal(ops.paint_mask(polys, classes, [h, w]).numpy(), ref)


@pytest.mark.parametrize("text, message", [
    ("{", "invalid JSON"), ("[1]", "must be a JSON object"), ('{"segment": []}', 'no "image" key'),
    ('{"image": "a.png", "segment": null}', '"segment" is null'),
    ('{"image": "a.png", "segment": [[{"polygon": [[0, 0], [1, 0], [1, 1]]}]]}', 'no "class"'),
    ('{"image": "a.png", "segment": [[{"polygon": [[0, 0], [1], [1, 1]], "class": 0}]]}',
     "[x, y] vertices"),
    ('{"image": "a.png", "segment": [[{"polygon": [[0, 0], [1, 0], [1, 1]], "class": "x"}]]}',
     "not a class id"),
    ('{"image": "a.png", "segment": [[{"polygon": [[0, 0]], "class": 2.5}]]}', "not a class id")])
def test_read_annotation_errors_name_the_file(tmp_path, text, message):
    path = tmp_path / "bad.json"
    path.write_text(text)
    with pytest.raises(tf.errors.InvalidArgumentError) as e:
        ops.read_annotation(str(path), "imgs")
    assert str(path) in str(e.value) and message in str(e.value)


def test_read_annotation_rules(tmp_path):
    path = tmp_path / "a.json"
    path.write_text(json.dumps({"image": "some/dir/x.png", "segment": [
        [{"polygon": [[0, 0], [1, 0]], "class": 5},            # two vertices: dropped
         {"polygon": [[0, 0], [1, 0], [1, 1]], "class": 2.0}],  # a whole number
        [{"polygon": [[0.5, 0.5]] * 4, "class": 1}]]}))
    image_path, vertices, splits, classes = ops.read_annotation(str(path), "imgs/")
    assert image_path.numpy() == b"imgs/x.png"
    assert splits.numpy().tolist() == [0, 3, 7] and classes.numpy().tolist() == [2, 1]
    # The zero-length outline goes with its class; a NaN is an error.
    polygons, kept = ops.resample_outlines(vertices, splits, classes, [10.0, 10.0, 0.0, 0.0], 5)
    assert polygons.shape == (1, 5, 2) and kept.numpy().tolist() == [2]
    with pytest.raises(tf.errors.InvalidArgumentError, match="not finite"):
        ops.resample_outlines(vertices, splits, classes, [float("nan"), 1.0, 0.0, 0.0], 5)
    assert ops.read_annotation(str(path), "imgs", segments=False)[3].shape == (0,)


@pytest.mark.parametrize("training, frame, size", [
    (True, [0.0, 10.0, 0.0, 0.0], [10, 10]), (True, [10.0, float("inf"), 0.0, 0.0], [10, 10]),
    (True, [10.0, 10.0, float("nan"), 0.0], [10, 10]), (False, [0.0] * 4, [0, 10])])
def test_detection_boxes_refuse_a_scale_that_gives_nan(training, frame, size):
    with pytest.raises(tf.errors.InvalidArgumentError, match="rec.tfrecord"):
        ops.detection_boxes(np.zeros(1, np.int64), np.zeros(4, np.float32), np.array(frame),
                            np.array(size, np.int32), [8, 8], 1, training=training, source="rec.tfrecord")


# ------------------------------------------------------------ datasets

def pictures(n, seed=0):
    """n pictures of different sizes, smooth enough that JPEG is a fair test."""
    rng = np.random.default_rng(seed)
    out = []
    for i in range(n):
        h, w = int(rng.integers(20, 90)), int(rng.integers(20, 90))
        base = rng.integers(0, 256, (h // 4 + 1, w // 4 + 1, 3), dtype=np.uint8)
        out.append(cv2.resize(base, (w, h)))
    return out


def polygon(rng):
    return [[float(x), float(y)] for x, y in rng.random((int(rng.integers(3, 9)), 2)) * 1.2 - 0.1]


def folder_dataset(tmp_path, n=6, fmt="png", yaml_file=False, **kw):
    rng = np.random.default_rng(1)
    for split in ("train", "val"):
        (tmp_path / split / "images").mkdir(parents=True)
        (tmp_path / split / "anns").mkdir(parents=True)
        for i, img in enumerate(pictures(n)):
            name = "{}.{}".format(i, fmt)
            Image.fromarray(img).save(tmp_path / split / "images" / name)
            segment = [[{"polygon": polygon(rng), "class": int(rng.integers(0, 3))}
                        for _ in range(int(rng.integers(1, 3)))] for _ in range(i % 3)]
            (tmp_path / split / "anns" / "{}.json".format(i)).write_text(
                json.dumps({"image": "x/" + name, "segment": segment}))
    folders = {k: str(tmp_path / s / d) for k, s, d in [
        ("train_images", "train", "images"), ("train_annotations", "train", "anns"),
        ("val_images", "val", "images"), ("val_annotations", "val", "anns")]}
    if yaml_file:
        desc = {"classes": ["a", "b", "c"],
                "train": {"images": folders["train_images"], "annotations": folders["train_annotations"]},
                "validation": {"images": folders["val_images"], "annotations": folders["val_annotations"]}}
        (tmp_path / "d.yaml").write_text(yaml.safe_dump(desc))
        return SegmentationDatasetYaml(str(tmp_path / "d.yaml"), list(SHAPE), tasks=["segment"],
                                       num_points=50, **kw)
    return SegmentationDataset(list(SHAPE), labels=["a", "b", "c"], tasks=["segment"],
                               num_points=50, **folders, **kw)


def coco_dataset(tmp_path, n=6, rle=False, **kw):
    """COCO entries with random polygons; with ``rle``, also RLE regions
    (both forms, crowd or not) between and after them, and a polygon that
    vanishes when resampled (so the regions' places in the drawing order
    must skip it)."""
    rng = np.random.default_rng(2)
    (tmp_path / "images").mkdir()
    images, annotations = [], []
    for i, img in enumerate(pictures(n, seed=3)):
        Image.fromarray(img).save(tmp_path / "images" / "{}.png".format(i))
        h, w = img.shape[:2]
        images.append({"file_name": "{}.png".format(i), "id": i + 1, "height": h, "width": w})
        for k in range(i % 3):
            pts = rng.random((int(rng.integers(3, 8)), 2)) * [w, h]
            annotations.append({"id": len(annotations), "image_id": i + 1, "category_id": k + 1,
                                "segmentation": [pts.round(1).ravel().tolist()]})
            if rle and (i + k) % 2:
                region = (rng.random((h, w)) < 0.3) | (np.add.outer(np.arange(h), np.arange(w)) % 9 < 4)
                encoded = _rle.encode(region.astype(np.uint8), compressed=bool(k % 2))
                annotations.append({"id": len(annotations), "image_id": i + 1, "category_id": 2 - k % 2,
                                    "iscrowd": i % 2, "segmentation": encoded})
        if rle and i % 2:
            annotations.append({"id": len(annotations), "image_id": i + 1, "category_id": 1,
                                "segmentation": [[3, 3, 3, 3, 3, 3]]})  # no length: dropped
            annotations.append({"id": len(annotations), "image_id": i + 1, "category_id": 2, "iscrowd": 1,
                                "segmentation": _rle.encode(np.eye(h, w, dtype=np.uint8))})
    content = {"images": images, "annotations": annotations,
               "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]}
    (tmp_path / "c.json").write_text(json.dumps(content))
    return SegmentationDatasetJsonCOCO(str(tmp_path / "c.json"), train_images=str(tmp_path / "images"),
                                       shape=list(SHAPE), num_points=50, **kw)


MAKERS = {
    "folders": folder_dataset,
    "folders-jpeg": lambda p, **kw: folder_dataset(p, fmt="jpg", **kw),
    "yaml": lambda p, **kw: folder_dataset(p, yaml_file=True, **kw),
    "coco": coco_dataset,
    "coco-rle": lambda p, **kw: coco_dataset(p, rle=True, **kw),
    "coco-rle-ignore": lambda p, **kw: coco_dataset(p, rle=True, crowd="ignore", **kw),
    "coco-rle-skip": lambda p, **kw: coco_dataset(p, rle=True, crowd="skip", **kw),
}


@pytest.mark.parametrize("letter_box", [True, False])
@pytest.mark.parametrize("kind", list(MAKERS))
def test_training_samples_equal_the_default_reader(tmp_path, kind, letter_box):
    ds = MAKERS[kind](tmp_path, letter_box=letter_box)
    keys = ds.train_images_id if kind.startswith("coco") else ds.train_storage
    # The default training pipeline without its augmentation: every sample once.
    refs = [(i, m) for images, masks in ds.build_train_iterator(1, augment=False)
            for i, m in zip(images.numpy(), masks.numpy())]
    assert len(refs) == len(keys)
    if kind.startswith("coco-rle"):
        values = set(np.unique([m for _, m in refs]))
        assert values == {"coco-rle": {0, 1, 2}, "coco-rle-ignore": {0, 1, 2, 255},
                          "coco-rle-skip": {0, 1, 2}}[kind]
    pipeline = graph.train_pipeline(ds, batch_size=2, seed=1, augment=False)
    assert pipeline.element_spec == ds.build_train_iterator(2).element_spec
    seen = 0
    for images, masks in pipeline:
        for image, mask in zip(images.numpy(), masks.numpy()):
            # The pictures differ, so the image tells which sample this is.
            match = [m for i, m in refs if np.array_equal(i, image)]
            assert match, "no sample of the default reader has this image"
            np.testing.assert_array_equal(mask, match[0])
            seen += 1
    assert seen == len(keys) // 2 * 2


@pytest.mark.parametrize("kind", ["folders", "yaml"])
def test_validation_elements_equal_the_default_pipeline(tmp_path, kind):
    ds = MAKERS[kind](tmp_path)
    got = list(graph.val_pipeline(ds, prefetch=2))
    want = list(ds.build_val_iterator())
    assert len(got) == len(want) == len(ds.val_storage)
    for (gi, gm, gp), (wi, wm, wp) in zip(got, want):
        np.testing.assert_array_equal(gi.numpy(), wi.numpy())
        np.testing.assert_array_equal(gm.numpy(), wm.numpy())
        assert gp.numpy() == wp.numpy()


FAR = [[-1e8, 0.5], [1e8, 0.2], [0.5, 1e8], [0.3, -3e9]]


@pytest.mark.parametrize("cls, polygon", [
    (-1, None), (0, None), (2 ** 31 - 2, None), (2 ** 31 - 1, None), (2 ** 31, None), (2.5, None),
    (2.0, None), (1, FAR), (1, [[0.1, 0.1], [float("nan"), 0.5], [0.9, 0.9]]),
    (1, [[0.1, 0.1], [1e39, 0.5], [0.9, 0.9]])])
def test_default_and_graph_paths_agree_at_the_boundaries(tmp_path, cls, polygon):
    ds = folder_dataset(tmp_path, n=1)
    ann = os.path.join(ds.val_annotations, os.listdir(ds.val_annotations)[0])
    doc = json.loads(open(ann).read())
    doc["segment"] = [[{"polygon": [[0.1, 0.1], [0.9, 0.2], [0.5, 0.9]], "class": 0},
                       {"polygon": polygon or [[0.2, 0.2], [0.8, 0.3], [0.4, 0.8]], "class": cls}]]
    with open(ann, "w") as f:
        f.write(json.dumps(doc))  # NaN as the literal both readers accept

    def outcome(pipeline):
        try:
            return [m.numpy() for _, m, _ in pipeline]
        except tf.errors.InvalidArgumentError:
            return "InvalidArgument"

    default, graphed = outcome(ds.build_val_iterator()), outcome(graph.val_pipeline(ds))
    # check asks the same rule: it calls the part malformed exactly when the readers refuse it.
    args = build_parser().parse_args(["check", ds.val_images, ds.val_annotations])
    report = checkmod.run(sources.resolve(args.description, images=args.images, classes=None),
                          out=open(os.devnull, "w"))
    malformed = [w for w, kind, _ in report.problems if kind == "annotation-malformed"]
    if polygon is None:  # (bad coordinates are check's "coord-range")
        assert bool(malformed) == isinstance(default, str), report.problems
    if isinstance(default, str) or isinstance(graphed, str):
        assert default == graphed
        return
    np.testing.assert_array_equal(graphed[0], default[0])
    assert default[0].max() == cls + 1


@pytest.mark.parametrize("kind", ["folders", "coco"])
def test_augmented_training_is_keyed_by_seed_and_pass(tmp_path, kind):
    ds = MAKERS[kind](tmp_path)

    def passes(pipeline, n):
        return [[(i.numpy(), m.numpy()) for i, m in pipeline] for _ in range(n)]

    first, second = passes(graph.train_pipeline(ds, 3, seed=5), 2)
    again = passes(graph.train_pipeline(ds, 3, seed=5), 1)[0]
    other = passes(graph.train_pipeline(ds, 3, seed=6), 1)[0]
    same = lambda a, b: all(np.array_equal(x[0], y[0]) and np.array_equal(x[1], y[1])
                            for x, y in zip(a, b))
    assert same(first, again) and not same(first, second) and not same(first, other)
    for images, masks in first:
        assert images.shape == (3, 40, 48, 3) and masks.shape == (3, 40, 48)
        assert set(np.unique(masks)) <= {0, 1, 2, 3}


def test_coco_has_no_validation_pipeline(tmp_path):
    assert graph.val_pipeline(coco_dataset(tmp_path)) is None


def tfrecord_dataset(tmp_path, letter_box=True, add_bkg_class=True, aug_cfg=None):
    rng = np.random.default_rng(4)
    records = []
    for i, img in enumerate(pictures(7, seed=5)):
        if i == 3:
            img = img[:, :, :1]  # greyscale JPEG
        n = i % 3
        boxes = np.concatenate([rng.random((n, 2)), rng.random((n, 2)) * 0.6], 1)
        records.append(example(img, objects=list(range(n)), bboxes=boxes.ravel().tolist(),
                               name="{}.jpg".format(i).encode()))
    for split in ("train", "val"):
        write_records(str(tmp_path / split / "a.tfrecord"), records)
    return TFRecordDataset({"classes": ["a", "b", "c"], "train": {"path": str(tmp_path / "train")},
                            "validation": {"path": str(tmp_path / "val")}},
                           shape=list(SHAPE), letter_box=letter_box, add_bkg_class=add_bkg_class,
                           aug_cfg=aug_cfg)


@pytest.mark.parametrize("aug_cfg", [None, {}])
def test_without_aug_cfg_both_paths_give_the_plain_pictures_without_warning(tmp_path, aug_cfg):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        ds = tfrecord_dataset(tmp_path, aug_cfg=aug_cfg)
        plain = next(iter(ds.build_train_iterator(batch_size=7)))[0].numpy()
        graphed = next(iter(graph.train_pipeline(ds, 7, seed=0)))[0].numpy()
    # Neither path augments: both give the same set of letterboxed pictures.
    assert sorted(i.tobytes() for i in plain) == sorted(i.tobytes() for i in graphed)


@pytest.mark.parametrize("letter_box, add_bkg_class", [(True, True), (False, False)])
def test_tfrecord_samples_equal_load_instance(tmp_path, letter_box, add_bkg_class):
    ds = tfrecord_dataset(tmp_path, letter_box, add_bkg_class)
    for record in tf.data.TFRecordDataset(ds.train_storage):
        for training in (True, False):
            got = graph.tfrecord_sample(ds, record, training)
            want = ds.load_instance(record, training)
            np.testing.assert_array_equal(got[0].numpy(), want[0])
            np.testing.assert_array_equal(got[1].numpy(), want[1])
            if not training:
                assert got[2].numpy() == want[2].numpy()


@pytest.mark.parametrize("objects, bboxes", [
    ([-1], [0.5] * 4), ([2 ** 31 - 1], [0.5] * 4),   # not a label; overflows with the offset
    ([0, 1], [0.5] * 4), ([0], [0.5] * 5),            # box counts that do not match
    ([0], [0.5, float("nan"), 0.1, 0.1])])
def test_bad_records_fail_in_both_decoders(tmp_path, objects, bboxes):
    ds = tfrecord_dataset(tmp_path)
    record = tf.constant(example(np.zeros((8, 8, 3), np.uint8), objects, bboxes, name=b"odd.jpg"))
    with pytest.raises((ValueError, tf.errors.OpError)):
        ds.load_instance(record, True)
    with pytest.raises(tf.errors.InvalidArgumentError, match="odd.jpg"):
        graph.tfrecord_sample(ds, record, True)


def test_tfrecord_pipelines_have_the_default_structure(tmp_path):
    ds = tfrecord_dataset(tmp_path)
    train = graph.train_pipeline(ds, batch_size=3, seed=0, augment=False)
    val = graph.val_pipeline(ds, batch_size=2)
    assert train.element_spec == ds.build_train_iterator(batch_size=3).element_spec
    assert val.element_spec == ds.build_val_iterator(batch_size=2).element_spec
    assert sum(int(b[0].shape[0]) for b in train) == 7
    got = list(val)
    want = list(ds.build_val_iterator(batch_size=2))
    for g, w in zip(got, want):
        for a, b in zip(tf.nest.flatten(g), tf.nest.flatten(w)):
            np.testing.assert_array_equal(a.numpy(), b.numpy())


# ------------------------------------------------------ graph and errors

CHILD = r"""
import sys, tensorflow as tf
tf.load_op_library(sys.argv[1])
variant = tf.raw_ops.DatasetFromGraph(graph_def=open(sys.argv[2], "rb").read())
spec = (tf.TensorSpec([2, 40, 48, 3], tf.uint8), tf.TensorSpec([2, 40, 48], tf.int32))
print(sum(int(tf.reduce_sum(m)) for _, m in tf.data.experimental.from_variant(variant, spec)))
"""


@pytest.mark.parametrize("augment", [False, True])
def test_graph_has_no_python_and_runs_with_only_the_op_library(tmp_path, augment):
    ds = folder_dataset(tmp_path / "d", n=4)
    pipeline = graph.train_pipeline(ds, batch_size=2, seed=3, augment=augment)
    serialized = pipeline._as_serialized_graph().numpy()
    graph_def = tf.compat.v1.GraphDef.FromString(serialized)
    names = {n.op for n in graph_def.node}
    for f in graph_def.library.function:
        names |= {n.op for n in f.node_def}
    assert not {n for n in names if "PyFunc" in n}
    assert "TrelliskPaintMask" in names and ("TrelliskAugment" in names) == augment
    (tmp_path / "g.pb").write_bytes(serialized)
    r = subprocess.run([sys.executable, "-c", CHILD, ops.LIBRARY_PATH, str(tmp_path / "g.pb")],
                       capture_output=True, text=True, timeout=300,
                       env=dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2"))
    assert r.returncode == 0, r.stderr[-2000:]
    expected = sum(int(tf.reduce_sum(m)) for _, m in pipeline)
    assert int(r.stdout.split()[-1]) == expected


@pytest.mark.parametrize("damage", ["broken json", "missing image", "not an image"])
def test_bad_sample_fails_with_its_file_name(tmp_path, damage):
    ds = folder_dataset(tmp_path, n=3)
    ann = ds.val_storage[0]  # the first element drawn
    img = os.path.join(ds.val_images, os.path.basename(ann)[:-5] + ".png")
    if damage == "broken json":
        with open(ann, "w") as f:
            f.write('{"image": "0.png", "segment": [')
    elif damage == "missing image":
        os.remove(img)
    else:
        with open(img, "wb") as f:
            f.write(b"plain text, not a picture")
    with pytest.raises(tf.errors.OpError) as e:
        next(iter(graph.val_pipeline(ds)))
    assert (ann if damage == "broken json" else img) in str(e.value)
    # Only that element fails; the dataset object stays usable.
    assert len(list(graph.val_pipeline(ds).ignore_errors())) == 2


def test_truncated_record_fails_with_the_file_name(tmp_path):
    ds = tfrecord_dataset(tmp_path)
    path = ds.val_storage[0]
    data = open(path, "rb").read()
    with open(path, "wb") as f:
        f.write(data[: len(data) - 40])
    with pytest.raises(tf.errors.OpError) as e:
        list(graph.val_pipeline(ds))
    assert path in str(e.value) and "truncated" in str(e.value)
    assert len(list(graph.train_pipeline(ds, batch_size=2, seed=0, augment=False))) == 4


@pytest.mark.parametrize("call, error", [
    (lambda ds: graph.train_pipeline(object()), TypeError),
    (lambda ds: graph.train_pipeline(ds, batch_size=0, augment=False), ValueError)])
def test_bad_arguments(tmp_path, call, error):
    with pytest.raises(error):
        call(folder_dataset(tmp_path, n=2))


@pytest.mark.parametrize("make, kind, letter_box", [
    (lambda p, lb: folder_dataset(p, letter_box=lb), "folders", False),
    (lambda p, lb: folder_dataset(p, yaml_file=True, letter_box=lb), "folders", True),
    (lambda p, lb: coco_dataset(p, letter_box=lb), "coco", False),
    (lambda p, lb: tfrecord_dataset(p, letter_box=lb), "tfrecord", False),
])
def test_describe_gives_what_the_pipelines_read(tmp_path, make, kind, letter_box):
    ds = make(tmp_path, letter_box)
    about = ds.describe()
    assert (about.kind, about.letterbox, about.shape) == (kind, letter_box, tuple(SHAPE))
    assert about.channels == 3 and about.class_offset == 1
    if kind == "tfrecord":
        assert about.train_files == tuple(ds.train_storage) and about.classes == tuple(ds.classes)
        assert about.augmentation is None
        return
    assert about.num_train_samples == ds.get_num_train_samples() == 6
    assert about.segments and about.num_points == 50
    if kind == "folders":
        assert sorted(about.train_files) == sorted(ds.train_storage)
        assert about.augmentation == {"channel_ops": True}
        return
    # COCO: each entry's outlines are what its reader resamples, with the class ids it returns.
    assert about.augmentation == {"channel_ops": False}
    assert len(about.train_files) == len(about.coco.image_ids) == 6
    for position, image_id in enumerate(about.coco.image_ids):
        _, polygons, classes = ds._read_data(np.int64(image_id))
        outlines = about.coco.outlines(position)
        assert [c for c, _ in outlines] == list(classes)
        assert all(p.shape[1] == 2 and p.dtype == np.float64 for _, p in outlines)
