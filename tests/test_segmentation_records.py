"""SegmentationDatasetTFRecord: the segmentation samples of record shards
with outlines equal those of the folder layout they were made from, on the
default and the graph pipeline; records without outlines are refused
naming the record."""

import json

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from quorvane.trellisk.datasets import formats, graph, records
from quorvane.trellisk.datasets.augment import use_native_augmentation
from quorvane.trellisk.datasets.segmentation import (SegmentationDataset, SegmentationDatasetTFRecord,
                                                     SegmentationDatasetYaml)
from test_graph import pictures
from test_tfrecord import write_records

SHAPE = [48, 64, 3]
LABELS = ["a", "b", "c"]


def polygon(rng):
    return [[float(x), float(y)] for x, y in rng.random((int(rng.integers(3, 9)), 2))]


def source(tmp_path, n=6):
    """A folder layout of JPEG pictures, and the same samples as records
    (the JPEG bytes of the files, the outlines of the annotation files)."""
    rng = np.random.default_rng(5)
    desc = {"type": "tfrecord", "classes": LABELS}
    folders = {"classes": LABELS}
    for split, key in (("train", "train"), ("val", "validation")):
        (tmp_path / split / "images").mkdir(parents=True)
        (tmp_path / split / "anns").mkdir(parents=True)
        recs = []
        for i, img in enumerate(pictures(n, seed=len(split))):
            name = "{}.jpg".format(i)
            Image.fromarray(img).save(tmp_path / split / "images" / name, quality=90)
            # Objects of one or two parts; a two-vertex part, which both drop.
            segment = []
            for k in range(i % 4):
                cls = int(rng.integers(0, 3))
                parts = [{"polygon": polygon(rng), "class": cls} for _ in range(1 + k % 2)]
                if k == 2:
                    parts.append({"polygon": polygon(rng)[:2], "class": cls})
                segment.append(parts)
            (tmp_path / split / "anns" / "{}.json".format(i)).write_text(
                json.dumps({"image": name, "segment": segment}))
            data = (tmp_path / split / "images" / name).read_bytes()
            outlines = [(obj[0]["class"], [p["polygon"] for p in obj]) for obj in segment]
            boxes = [v for cls, polys in outlines for v in box_of(polys)]
            recs.append(records.encode_example(data, name, img.shape[1], img.shape[0],
                                               [cls for cls, _ in outlines], boxes, outlines=outlines))
        write_records(tmp_path / "packed" / key / "0.tfrecord", recs[::2])
        write_records(tmp_path / "packed" / key / "1.tfrecord", recs[1::2])
        desc[key] = {"path": str(tmp_path / "packed" / key), "samples": n}
        folders[key] = {"images": str(tmp_path / split / "images"), "annotations": str(tmp_path / split / "anns")}
    (tmp_path / "packed" / "tfrecord.yaml").write_text(yaml.safe_dump(desc))
    (tmp_path / "folders.yaml").write_text(yaml.safe_dump(folders))
    return str(tmp_path / "folders.yaml"), str(tmp_path / "packed" / "tfrecord.yaml")


def box_of(polygons):
    pts = np.concatenate([np.asarray(p) for p in polygons])
    lo, hi = pts.min(0), pts.max(0)
    return [*(lo + hi) / 2, *(hi - lo)]


def pair(tmp_path, **kw):
    folders, packed = source(tmp_path)
    kw = dict(kw, num_points=40, tasks=kw.get("tasks", ["segment"]))
    return SegmentationDatasetYaml(folders, list(SHAPE), **kw), SegmentationDatasetTFRecord(packed, list(SHAPE), **kw)


def by_name(samples):
    return {str(name.numpy().decode() if hasattr(name, "numpy") else name).rsplit("/", 1)[-1]: (i.numpy(), m.numpy())
            for i, m, name in samples}


@pytest.mark.parametrize("letter_box", [True, False])
@pytest.mark.parametrize("pipeline", ["default", "graph"])
def test_validation_samples_equal_the_folder_layouts(tmp_path, letter_box, pipeline):
    folders, packed = pair(tmp_path, letter_box=letter_box)
    if pipeline == "default":
        want, got = by_name(folders.build_val_iterator()), by_name(packed.build_val_iterator())
    else:
        want, got = by_name(graph.val_pipeline(folders)), by_name(graph.val_pipeline(packed))
    assert sorted(got) == sorted(want) and len(got) == 6
    agree = total = 0
    for name, (image, mask) in got.items():
        assert image.tobytes() == want[name][0].tobytes(), name
        # The records hold the vertices in float32, the files in float64: a
        # boundary pixel may change sides, nothing more.
        agree += int((mask == want[name][1]).sum())
        total += mask.size
    assert agree >= 0.999 * total
    assert any(m.any() for _, m in got.values())  # outlines were painted


@pytest.mark.parametrize("pipeline", ["default", "graph"])
def test_unaugmented_training_gives_the_folder_layouts_samples(tmp_path, pipeline):
    folders, packed = pair(tmp_path)
    # The training pictures, read as the folder layout reads them.
    refs = []
    for path in folders.train_storage:
        image, masks, classes = folders._read_data(tf.constant(path), True)
        refs.append((image, folders._build_gt_mask(tf.constant(masks, tf.float32), tf.constant(classes))))
    batches = (packed.build_train_iterator(2, augment=False) if pipeline == "default"
               else graph.train_pipeline(packed, batch_size=2, seed=1, augment=False))
    seen = 0
    for images, masks in batches:
        assert images.shape == (2, *SHAPE) and masks.dtype == tf.int32
        for image, mask in zip(images.numpy(), masks.numpy()):
            match = [m for i, m in refs if np.array_equal(i, image)]
            assert match and (mask == np.asarray(match[0])).mean() >= 0.999
            seen += 1
    assert seen == 6


def test_augmented_training_batches(tmp_path):
    _, packed = pair(tmp_path)
    for batches in (packed.build_train_iterator(3, 2), graph.train_pipeline(packed, batch_size=3, seed=2)):
        masks = np.concatenate([m.numpy() for _, m in batches])
        assert masks.shape == (6, *SHAPE[:2])
        assert set(np.unique(masks)) <= set(range(packed.get_num_segmentation_classes()))


def test_graph_pipeline_has_no_python(tmp_path):
    _, packed = pair(tmp_path)
    for pipeline in (graph.train_pipeline(packed, batch_size=2, seed=1), graph.val_pipeline(packed)):
        graph_def = tf.compat.v1.GraphDef.FromString(pipeline._as_serialized_graph().numpy())
        names = {n.op for n in graph_def.node} | {n.op for f in graph_def.library.function for n in f.node_def}
        assert not {n for n in names if "PyFunc" in n} and "TrelliskRecordOutlines" in names


def test_records_without_outlines_are_refused_naming_the_record(tmp_path):
    _, packed = pair(tmp_path)
    jpeg = tf.io.encode_jpeg(np.zeros((8, 8, 3), np.uint8)).numpy()
    # An empty picture with neither objects nor outlines is fine; boxes alone are not.
    write_records(tmp_path / "packed" / "validation" / "0.tfrecord", [
        records.encode_example(jpeg, "empty.jpg", 8, 8, [], [], outlines=[]),
        records.encode_example(jpeg, "boxes-only.jpg", 8, 8, [1], [0.5, 0.5, 0.2, 0.2])])
    write_records(tmp_path / "packed" / "validation" / "1.tfrecord", [])
    bad = str(tmp_path / "packed" / "validation" / "0.tfrecord") + " record 1"
    for pipeline in (packed.build_val_iterator(), graph.val_pipeline(packed)):
        it = iter(pipeline)
        assert not next(it)[1].numpy().any()
        with pytest.raises(tf.errors.InvalidArgumentError) as e:
            next(it)
        assert bad in str(e.value) and "record boxes-only.jpg: no outlines" in str(e.value)


@pytest.mark.parametrize("build", [
    lambda ds: ds.build_train_iterator(2, augment=False),
    lambda ds: ds.build_train_iterator(2, start=(0, 0)),
    lambda ds: graph.train_pipeline(ds, 2, augment=False),
    lambda ds: graph.train_pipeline(ds, 2, augment=graph.augmentation_available()),
    lambda ds: graph.train_pipeline(ds, 2, augment=False, repeat_threshold=1.0),
], ids=["default", "default keyed", "graph", "graph keyed", "graph repeat factors"])
def test_a_bad_training_record_is_named_by_file_and_position(tmp_path, build):
    _, packed = pair(tmp_path)
    use_native_augmentation(packed, seed=1)
    jpeg = tf.io.encode_jpeg(np.zeros((8, 8, 3), np.uint8)).numpy()
    bad = tmp_path / "packed" / "train" / "2.tfrecord"
    write_records(bad, [records.encode_example(jpeg, "boxes-only.jpg", 8, 8, [1], [0.5, 0.5, 0.2, 0.2],
                                               outlines=[(1, [[(0, 0), (1, 0), (1, 1)]])]),
                        records.encode_example(jpeg, "boxes-only.jpg", 8, 8, [1], [0.5, 0.5, 0.2, 0.2])])
    packed.train_storage = list(packed.train_storage) + [str(bad)]
    with pytest.raises(tf.errors.InvalidArgumentError) as e:
        for _ in build(packed):
            pass
    assert str(bad) + " record 1" in str(e.value) and "no outlines" in str(e.value)


def test_a_class_outside_the_labels_is_refused(tmp_path):
    _, packed = pair(tmp_path)
    jpeg = tf.io.encode_jpeg(np.zeros((8, 8, 3), np.uint8)).numpy()
    write_records(tmp_path / "packed" / "validation" / "0.tfrecord", [
        records.encode_example(jpeg, "far.jpg", 8, 8, [3], [0.5, 0.5, 0.2, 0.2], outlines=[(3, [[(0, 0), (1, 0), (1, 1)]])])])
    write_records(tmp_path / "packed" / "validation" / "1.tfrecord", [])
    for pipeline in (packed.build_val_iterator(), graph.val_pipeline(packed)):
        with pytest.raises(tf.errors.OpError, match="record far.jpg: outline_classes\\[0\\] = 3"):
            next(iter(pipeline))


def test_surface_counts_and_description(tmp_path):
    folders, packed = pair(tmp_path, add_bkg_class=False)
    assert isinstance(packed, SegmentationDataset)
    assert (packed.get_num_train_samples(), packed.get_num_val_samples()) == (6, 6)
    assert packed.get_num_segmentation_classes() == 4 and packed.labels == LABELS
    about = packed.describe()
    assert about.kind == formats.RECORD_SEGMENTATION and about.segmentation
    assert about.class_offset == 0 and about.classes == tuple(LABELS) and len(about.train_files) == 2
    with pytest.raises(TypeError, match="positional"):
        packed.build_train_iterator(2, 2, False)  # augment is keyword-only
    assert "augment=True" in str(__import__("inspect").signature(packed.build_train_iterator))


@pytest.mark.parametrize("change, error, words", [
    (lambda d: d.update(type="folders"), ValueError, "Incompatible dataset type"),
    (lambda d: d.pop("classes"), ValueError, "no annotation classes"),
    (lambda d: d.pop("validation"), ValueError, "``validation`` section"),
    (lambda d: d["train"].update(path="/no/such/folder"), FileNotFoundError, "does not exist"),
    (lambda d: d["train"].update(path=d["train"]["path"] + "/.."), ValueError, "Empty train or validation"),
])
def test_bad_descriptions(tmp_path, change, error, words):
    _, packed = source(tmp_path)
    desc = yaml.safe_load(open(packed))
    change(desc)
    (tmp_path / "bad.yaml").write_text(yaml.safe_dump(desc))
    with pytest.raises(error, match=words):
        SegmentationDatasetTFRecord(str(tmp_path / "bad.yaml"), list(SHAPE), tasks=["segment"])
