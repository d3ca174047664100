"""SegmentationDatasetTFRecord: the segmentation samples of record shards
with outlines equal those of the folder layout they were made from, on the
default and the graph pipeline; records without outlines are refused
naming the record."""

import glob
import io
import json
import re
import os

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
    same_samples(got, want)
    assert any(m.any() for _, m in got.values())  # outlines were painted


def same_samples(got, want):
    """The same image bytes, and masks that agree on 0.999 of the pixels:
    the records hold the vertices in float32, the sources in float64, so a
    boundary pixel may change sides, nothing more."""
    agree = total = 0
    for name, (image, mask) in got.items():
        assert image.tobytes() == want[name][0].tobytes(), name
        agree += int((np.asarray(mask) == want[name][1]).sum())
        total += mask.size
    assert agree >= 0.999 * total
    return total


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
        assert bad in str(e.value) and re.search(r"boxes-only\.jpg\)?: no outlines", str(e.value))


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
        with pytest.raises(tf.errors.OpError, match=r"record 0\b.*far\.jpg\)?: outline_classes\[0\] = 3"):
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


# -------------------------------------------------------- COCO RLE regions

def coco_file(folder, n=6):
    """A COCO file of JPEG pictures whose objects are polygons, RLE regions
    (text and run lists) and crowd regions, in several orders, overlapping
    so that the drawing order shows in the mask."""
    from quorvane.trellisk.datasets import _rle

    rng = np.random.default_rng(11)
    (folder / "images").mkdir(parents=True)
    images, anns = [], []
    orders = [["poly", "text", "poly"], ["text", "poly", "crowd"], ["list", "text"], ["poly", "list"],
              ["text"], ["crowd", "poly", "list", "poly"]]
    for i, img in enumerate(pictures(n, seed=3)):
        h, w = img.shape[:2]
        name = "p{}.jpg".format(i)
        Image.fromarray(img).save(folder / "images" / name, quality=90)
        images.append({"id": 10 + i, "file_name": name, "height": h, "width": w})
        for k, kind in enumerate(orders[i % len(orders)]):
            ann = {"id": len(anns) + 1, "image_id": 10 + i, "category_id": 1 + (i + k) % 3,
                   "iscrowd": int(kind == "crowd")}
            if kind == "poly":
                ann["segmentation"] = [[float(v) for xy in rng.random((int(rng.integers(3, 8)), 2)) * [w, h]
                                        for v in xy] for _ in range(1 + k % 2)]
            else:
                region = (rng.random((h, w)) < 0.1).astype(np.uint8)
                y0, x0 = int(rng.integers(0, h // 2)), int(rng.integers(0, w // 2))
                region[y0:y0 + h // 2, x0:x0 + w // 2] = 1
                ann["segmentation"] = _rle.encode(region, compressed=kind != "list")
            anns.append(ann)
    path = folder / "train.json"
    path.write_text(json.dumps({"images": images, "annotations": anns, "categories": [
        {"id": c, "name": name} for c, name in enumerate(LABELS, 1)]}))
    return str(path), str(folder / "images")


@pytest.fixture(scope="module")
def coco_packed(tmp_path_factory):
    """(COCO file, images folder, packed description) of coco_file, half
    of it in validation."""
    from quorvane.trellisk.packing import pack

    folder = tmp_path_factory.mktemp("coco")
    path, images = coco_file(folder)
    pack(path, str(folder / "packed"), images=images, val_fraction=0.5, workers=1, log=io.StringIO())
    return path, images, str(folder / "packed" / "tfrecord.yaml")


def coco_masks(path, images, letter_box):
    """{file name: (image, mask)} of every picture as the COCO dataset reads
    it, crowd regions left out as pack leaves them out."""
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO

    coco = SegmentationDatasetJsonCOCO(path, None, images, None, list(SHAPE), letter_box, 40, crowd="skip")
    out = {}
    for image_id, name in zip(coco.train_images_id, coco.train_storage_images):
        image, polygons, classes, regions, frame = coco._read_sample(image_id)
        out[name] = (image, coco._build_gt_mask(polygons, classes, regions=regions, frame=frame))
    return out


def region_records(info):
    return [r.numpy() for f in glob.glob(os.path.join(os.path.dirname(info), "*", "*.tfrecord"))
            for r in tf.data.TFRecordDataset(f)]


@pytest.mark.parametrize("letter_box", [True, False])
@pytest.mark.parametrize("pipeline", ["default", "graph"])
def test_packed_coco_regions_paint_as_the_coco_dataset(coco_packed, letter_box, pipeline):
    path, images, info = coco_packed
    want = coco_masks(path, images, letter_box)
    packed = SegmentationDatasetTFRecord(info, list(SHAPE), letter_box=letter_box, num_points=40, tasks=["segment"])
    got = by_name(packed.build_val_iterator() if pipeline == "default" else graph.val_pipeline(packed))
    assert 2 <= len(got) < len(want)
    total = same_samples(got, want)
    # The regions matter: painting the outlines alone would differ.
    alone = {}
    for record in region_records(info):
        image, polygons, classes, *_, name = packed._read_data(tf.constant(record), False)
        alone[name.numpy().decode() if hasattr(name, "numpy") else name] = packed._build_gt_mask(polygons, classes)
    assert sum(int((alone[n] != got[n][1]).sum()) for n in got) > 0.01 * total


@pytest.mark.parametrize("build", [
    lambda ds: ds.build_train_iterator(2, augment=False),
    lambda ds: ds.build_train_iterator(2, augment=False, start=(0, 0)),
    lambda ds: graph.train_pipeline(ds, 2, seed=1, augment=False),
    lambda ds: graph.train_pipeline(ds, 2, augment=False, repeat_threshold=1.0),
], ids=["default", "default keyed", "graph", "graph keyed"])
def test_unaugmented_training_gives_the_coco_masks(coco_packed, build):
    path, images, info = coco_packed
    want = list(coco_masks(path, images, True).values())
    packed = SegmentationDatasetTFRecord(info, list(SHAPE), num_points=40, tasks=["segment"])
    use_native_augmentation(packed, seed=1)
    seen = 0
    for batch_images, masks in build(packed):
        for image, mask in zip(batch_images.numpy(), masks.numpy()):
            match = [m for i, m in want if np.array_equal(i, image)]
            assert match and (mask == match[0]).mean() >= 0.999
            seen += 1
    assert seen >= 2


def test_augmented_training_runs_with_regions(coco_packed):
    packed = SegmentationDatasetTFRecord(coco_packed[2], list(SHAPE), num_points=40, tasks=["segment"])
    for batches in (packed.build_train_iterator(1, 2), graph.train_pipeline(packed, batch_size=1, seed=2)):
        masks = np.concatenate([m.numpy() for _, m in batches])
        assert len(masks) >= 2 and masks.any()
        assert set(np.unique(masks)) <= set(range(packed.get_num_segmentation_classes()))


def test_region_features_are_written_only_with_regions(coco_packed):
    from quorvane.trellisk.packing import record_regions
    from quorvane.trellisk.sources.base import Object

    jpeg = tf.io.encode_jpeg(np.zeros((8, 8, 3), np.uint8)).numpy()
    args = (jpeg, "a.jpg", 8, 8, [1], [0.5, 0.5, 0.2, 0.2])
    plain = records.encode_example(*args, outlines=[(1, [[(0, 0), (1, 0), (1, 1)]])])
    assert records.encode_example(*args, outlines=[(1, [[(0, 0), (1, 0), (1, 1)]])], regions=[]) == plain
    assert b"region_" not in plain
    # Crowd objects are left out of records: the positions skip them.
    objects = [Object(0, (0, 0, 1, 1), region="ab", crowd=True), Object(1, (0, 0, 1, 1), ((0, 0),)),
               Object(2, (0, 0, 1, 1), region="cd")]
    assert record_regions(objects) == [(1, "cd")]
    every = region_records(coco_packed[2])
    assert sum(b"region_counts" in r for r in every) >= 4


@pytest.mark.parametrize("size, counts", [((4, 6), "text"), ((4, 6), "list"), ((2, 3), "text"), ((3, 5), "list"),
                                          ((7, 9), "text")])
def test_region_text_is_what_the_readers_paint_at_the_pictures_size(size, counts):
    from quorvane.trellisk.datasets import _rle
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO
    from quorvane.trellisk.sources.coco import region_text

    mask = (np.add.outer(np.arange(size[0]), 2 * np.arange(size[1])) % 3 == 0).astype(np.uint8)
    rle = _rle.encode(mask, compressed=counts == "text")
    text = region_text(rle, 6, 4)
    if size == (4, 6) and counts == "text":
        assert text is rle["counts"]  # as written
    # The region painted at its own size onto the 4 x 6 picture.
    painter = SegmentationDatasetJsonCOCO.__new__(SegmentationDatasetJsonCOCO)
    painter.shape = [4, 6, 3]
    runs = _rle.runs(rle)
    packed = np.concatenate([[size[0], size[1], 1, 0, len(runs)], runs]).astype(np.int64)
    want = painter._build_gt_mask(np.zeros((0, 1, 2), np.float32), np.zeros(0, np.int32), regions=packed,
                                  frame=np.array([6, 4, 0, 0], np.float64))
    np.testing.assert_array_equal(_rle.decode({"size": [4, 6], "counts": text}), want)


def corrupt(example, change):
    bad = tf.train.Example.FromString(example)
    feature = bad.features.feature
    change(feature)
    return bad.SerializeToString()


def first_with_regions(info):
    return next(r for r in region_records(info) if b"region_counts" in r)


CORRUPTIONS = [
    ("out of range", lambda f: f["region_objects"].int64_list.value.__setitem__(0, 99),
     "region_objects[0] = 99 is not an outline object"),
    ("bad text", lambda f: f["region_counts"].bytes_list.value.__setitem__(0, b"~~"),
     "region_counts[0] (object"),
    ("wrong size", lambda f: f["region_counts"].bytes_list.value.__setitem__(0, b"12"),
     "does not decode at the record's"),
    ("count", lambda f: f["region_counts"].bytes_list.value.append(b"0"),
     "region_objects has 1 entries but region_counts has 2"),
]


@pytest.mark.parametrize("what, change, words", CORRUPTIONS, ids=[c[0] for c in CORRUPTIONS])
def test_broken_regions_are_refused_naming_the_record(coco_packed, tmp_path, what, change, words):
    info = coco_packed[2]
    record = first_with_regions(info)
    if what == "count":  # a record with one region
        record = next(r for r in region_records(info)
                      if len(tf.train.Example.FromString(r).features.feature["region_objects"].int64_list.value) == 1)
    desc = yaml.safe_load(open(info))
    desc["validation"].update(path=str(tmp_path / "val"), samples=1)
    write_records(tmp_path / "val" / "0.tfrecord", [corrupt(record, change)])
    (tmp_path / "bad.yaml").write_text(yaml.safe_dump(desc))
    packed = SegmentationDatasetTFRecord(str(tmp_path / "bad.yaml"), list(SHAPE), num_points=40, tasks=["segment"])
    for pipeline in (packed.build_val_iterator(), graph.val_pipeline(packed)):
        with pytest.raises(tf.errors.InvalidArgumentError) as e:
            next(iter(pipeline))
        assert str(tmp_path / "val" / "0.tfrecord") + " record 0" in str(e.value) and words in str(e.value)


def test_regions_must_follow_object_order():
    from quorvane.trellisk import ops
    from quorvane.trellisk.datasets import _rle

    jpeg = tf.io.encode_jpeg(np.zeros((4, 6, 3), np.uint8)).numpy()
    full = _rle.encode(np.ones((4, 6), np.uint8))["counts"]
    example = records.encode_example(jpeg, "a.jpg", 6, 4, [0, 1], [0.5] * 8, outlines=[(0, []), (1, [])],
                                     regions=[(1, full), (0, full)])
    sample = tf.io.parse_single_example(example, formats.record_features(tf, outlines=True))
    _, _, classes = ops.record_outlines(sample, 2)
    with pytest.raises(tf.errors.InvalidArgumentError, match=r"region_objects\[1\] = 0 does not come after"):
        ops.record_regions(sample, classes, source="a.jpg")


def test_check_passes_and_repacking_keeps_the_regions(coco_packed, tmp_path):
    import io as _io

    from quorvane.trellisk.cli import check as checkmod
    from quorvane.trellisk.cli import sources
    from quorvane.trellisk.packing import pack
    from quorvane.trellisk.sources.base import ProblemKind

    info = coco_packed[2]
    report = checkmod.run(sources.resolve([info]), out=_io.StringIO())
    assert not report.problems
    pack(info, str(tmp_path / "again"), workers=1, log=_io.StringIO())
    assert sorted(region_records(str(tmp_path / "again" / "tfrecord.yaml"))) == sorted(region_records(info))
    # A broken region is an outline problem of its record.
    desc = yaml.safe_load(open(info))
    desc["validation"].update(path=str(tmp_path / "val"), samples=1)
    write_records(tmp_path / "val" / "0.tfrecord", [corrupt(first_with_regions(info), CORRUPTIONS[0][1])])
    (tmp_path / "bad.yaml").write_text(yaml.safe_dump(desc))
    report = checkmod.run(sources.resolve([str(tmp_path / "bad.yaml")]), out=_io.StringIO())
    assert [p.kind for p in report.problems] == [ProblemKind.OUTLINE_MISMATCH]
    assert "region_objects[0] = 99" in report.problems[0].text


def test_detection_reads_the_packed_coco_file(coco_packed):
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    path, _, info = coco_packed
    doc = json.loads(open(path).read())
    objects = {im["file_name"]: sum(1 for a in doc["annotations"] if a["image_id"] == im["id"] and not a["iscrowd"])
               for im in doc["images"]}
    det = TFRecordDatasetYaml(info, shape=[64, 64, 3], add_bkg_class=False)
    seen = {}
    for batch in graph.val_pipeline(det, batch_size=1):
        images, (boxes, names, sizes) = batch
        seen[names.numpy()[0].decode()] = int((boxes.numpy()[0][:, 2:4] > 0).any(axis=1).sum())
    for record in det.train_storage:
        for r in tf.data.TFRecordDataset(record):
            name = tf.train.Example.FromString(r.numpy()).features.feature["image_name"].bytes_list.value[0]
            seen[name.decode()] = len(tf.train.Example.FromString(r.numpy()).features.feature["objects"].int64_list.value)
    assert seen == objects
