"""The readers (the dataset classes), check and pack agree on every dataset.

Small datasets with the awkward values users write are generated at random
(seeded): classes written as 2, 2.0, "2", -1 or true; COCO category ids of
0, with gaps, repeated or as strings; sections that are empty or missing;
sample counts that disagree with the records. On each one:

- the reader refuses the description exactly when check finds the
  description (or the file as a whole) unusable, and then pack refuses too;
- a sample is sound for the reader (it reads without an error, keeps every
  part it was given, and every class names one of its labels) exactly when
  check finds no problem in it, and with the same classes;
- pack writes exactly the samples check found sound, with those classes.
"""

import io
import json
import os
import random
import warnings

import numpy as np
import pytest
import tensorflow as tf
import yaml
from PIL import Image

from quorvane.trellisk import packing, sampledata, validate
from quorvane.trellisk.errors import DatasetError
from quorvane.trellisk.sources import ProblemKind, open_source

SIDE = 8
NAMES = ["a", "b", "c"]
# Class values of a JSON part: the reader takes an integer (2.0 is 2) from 0
# up; a bool, a string, a fraction or a negative number it refuses.
CLASS_VALUES = [0, 1, 2, 2.0, "2", -1, True, 2.5, 3, None]
TRIANGLE = [[0.1, 0.1], [0.9, 0.2], [0.5, 0.9]]


def png():
    buf = io.BytesIO()
    Image.new("RGB", (SIDE, SIDE), (120, 60, 30)).save(buf, "PNG")
    return buf.getvalue()


PNG = png()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    mode = "wb" if isinstance(data, bytes) else "w"
    with open(path, mode) as f:
        f.write(data)


# -- generated datasets ------------------------------------------------------------

def json_split(rng, root, split, count):
    """A folder pair of ``count`` samples; {picture name: parts per object}."""
    parts = {}
    for k in range(count):
        name = "{}{}.png".format(split, k)
        if rng.random() > 0.05:  # now and then a picture is missing
            write(os.path.join(root, split, "images", name), PNG)
        objects = []
        for _ in range(rng.randint(0, 3)):
            polygon = TRIANGLE if rng.random() > 0.1 else TRIANGLE[:2]  # too few vertices
            value = rng.choice(CLASS_VALUES) if rng.random() < 0.15 else rng.randint(0, 2)
            objects.append([{"polygon": polygon, "class": value}])
        doc = {"image": name, "segment": objects}
        write(os.path.join(root, split, "json", name[:-4] + ".json"), json.dumps(doc))
        parts[name] = sum(len(o) for o in objects)
    return parts


def segmentation_yaml(rng, root):
    """A segmentation YAML description with its folders; (path, parts)."""
    parts = {}
    doc = {"classes": rng.choice([NAMES] * 16 + [[], None, "abc", ["x"]])}
    for split in ("train", "validation"):
        count = rng.choice([0, 1, 2, 3, 3]) if split == "validation" else rng.randint(1, 4)
        parts.update(json_split(rng, root, split, count))
        os.makedirs(os.path.join(root, split, "images"), exist_ok=True)
        os.makedirs(os.path.join(root, split, "json"), exist_ok=True)
        section = {"images": os.path.join(root, split, "images"),
                   "annotations": os.path.join(root, split, "json")}
        fault = rng.random()
        if fault < 0.03:
            continue  # the section is missing
        if fault < 0.06:
            section = {}  # an empty section
        elif fault < 0.09:
            section.pop(rng.choice(["images", "annotations"]))
        doc[split] = section
    if doc["classes"] is None:
        doc.pop("classes")
    path = os.path.join(root, "segmentation.yaml")
    write(path, yaml.safe_dump(doc))
    return path, parts


def coco_file(rng, root):
    """A COCO file with awkward category ids; (path, images folder, parts)."""
    ids = rng.choice([[1, 2, 3], [0, 1, 2], [1, 3, 7], [1, 1, 2], ["1", "2", "3"], [2, 0, 5],
                      [1, 2.0, 3]])
    categories = [{"id": i, "name": "n{}".format(k)} for k, i in enumerate(ids)]
    if rng.random() < 0.05:
        categories.append("not an object")
    images, annotations, parts = [], [], {}
    refs = [1, 2, 3, 7, 0, "1", "2", 5, 2.0]
    for k in range(rng.randint(1, 6)):
        name = "c{}.png".format(k)
        if rng.random() > 0.05:
            write(os.path.join(root, "images", name), PNG)
        images.append({"id": k + 1, "file_name": name, "width": SIDE, "height": SIDE})
        parts[name] = 0
        for _ in range(rng.randint(0, 3)):
            flat = [1, 1, 6, 2, 4, 6]
            annotations.append({"id": len(annotations) + 1, "image_id": k + 1,
                                "category_id": rng.choice(refs if rng.random() < 0.3 else ids),
                                "segmentation": [flat],
                                "bbox": [1, 1, 5, 5], "iscrowd": 0})
            parts[name] += 1
    os.makedirs(os.path.join(root, "images"), exist_ok=True)
    path = os.path.join(root, "train.json")
    write(path, json.dumps({"images": images, "annotations": annotations,
                            "categories": categories}))
    return path, os.path.join(root, "images"), parts


JPEG = None


def tfrecord_yaml(rng, root):
    """A TFRecord description whose counts may disagree; the path."""
    global JPEG
    JPEG = JPEG or sampledata.jpeg_bytes(np.zeros((SIDE, SIDE, 3), np.uint8))
    doc = {"type": "tfrecord", "classes": NAMES}
    for split in ("train", "validation"):
        records = []
        for k in range(rng.randint(1, 3)):
            labels = [rng.choice([0, 1, 2, 2, 1, 3, -1]) for _ in range(rng.randint(0, 2))]
            records.append(sampledata.example_of("{}{}.jpg".format(split, k), JPEG, SIDE, SIDE,
                                                 labels, [0.5, 0.5, 0.2, 0.2] * len(labels)))
        folder = os.path.join(root, split)
        os.makedirs(folder)
        sampledata.write_tfrecord(os.path.join(folder, "part.tfrecord"), records)
        section = {"path": folder}
        samples = rng.choice([len(records)] * 10 + [len(records) + 1, 0, -1, "2", True, None])
        if samples is not None:
            section["samples"] = samples
        doc[split] = section
    path = os.path.join(root, "tfrecord.yaml")
    write(path, yaml.safe_dump(doc))
    return path


# -- what each side says -------------------------------------------------------------

def reader_verdict(ds, read, parts, nlabels):
    """{picture name: classes} of the samples the reader reads soundly."""
    sound = {}
    for name, key in read:
        try:
            classes = [int(c) for c in ds._read_data(*key)[2]]
        except Exception:  # noqa: BLE001 -- any refusal makes the sample unsound
            continue
        if len(classes) == parts[name] and all(0 <= c < nlabels for c in classes):
            sound[name] = tuple(classes)
    return sound


def check_verdict(report):
    merged = {}
    for split in report.sound.values():
        merged.update(split)
    return merged


def unusable(report, source):
    return (any(p.kind is ProblemKind.DESCRIPTION for p in report.problems)
            or not any(source.splits().values()))


def packed(source, out):
    """{picture name: labels} of pack's records, or the message with which
    pack refuses."""
    try:
        packing.pack(source, out, workers=1, log=io.StringIO())
    except DatasetError as e:
        return str(e)
    found = {}
    for split in ("train", "validation"):
        folder = os.path.join(out, split)
        for name in sorted(os.listdir(folder)):
            for data in tf.data.TFRecordDataset(os.path.join(folder, name)):
                example = tf.train.Example.FromString(data.numpy())
                f = example.features.feature
                found[f["image_name"].bytes_list.value[0].decode()] = tuple(
                    f["objects"].int64_list.value)
    return found


def agree_with_pack(source, report, out):
    got = packed(source, out)
    if isinstance(got, str):
        # Pack needs a sound sample on each side; a side without one is the
        # one refusal left once the description is sound. When the layout
        # has that split of its own, check found no sound sample in it.
        assert "split has no sample left to pack" in got
        split = got.split()[1]
        assert not report.sound.get(split, {}) or len(report.sound) == 1
    else:
        assert got == check_verdict(report)


# -- the comparison --------------------------------------------------------------------

def run_segmentation_yaml(rng, root):
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml

    path, parts = segmentation_yaml(rng, root)
    try:
        ds = SegmentationDatasetYaml(path, shape=[SIDE, SIDE, 3], tasks=["segment"])
    except (ValueError, FileNotFoundError):
        ds = None
    source = open_source([path])
    report = validate.check(source)
    assert (ds is None) == unusable(report, source), report.problems
    if ds is None:
        assert "cannot be" in packed(source, os.path.join(root, "out"))
        return
    # Each split's files read as that split (its pictures are in its own folder).
    read = [(os.path.basename(json.load(open(p))["image"]), (tf.constant(p), train))
            for storage, train in ((ds.train_storage, True), (ds.val_storage, False))
            for p in storage]
    sound = check_verdict(report)
    assert reader_verdict(ds, read, parts, len(ds.labels)) == sound
    agree_with_pack(source, report, os.path.join(root, "out"))


def run_coco(rng, root):
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO

    path, images, parts = coco_file(rng, root)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ds = SegmentationDatasetJsonCOCO(train_json_file=path, train_images=images,
                                             shape=[SIDE, SIDE, 3], tasks=["segment"])
    except (ValueError, TypeError):
        ds = None
    source = open_source([path], images=images)
    report = validate.check(source)
    assert (ds is None) == unusable(report, source), report.problems
    if ds is None:
        assert "cannot be" in packed(source, os.path.join(root, "out"))
        return
    assert list(source.classes) == [str(n) for n in ds.labels]
    read = [(name, (image_id,)) for image_id, name in zip(ds.train_images_id, ds.train_storage_images)]
    sound = check_verdict(report)
    assert reader_verdict(ds, read, parts, len(ds.labels)) == sound
    agree_with_pack(source, report, os.path.join(root, "out"))


def run_tfrecord(rng, root):
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    path = tfrecord_yaml(rng, root)
    try:
        TFRecordDatasetYaml(path, shape=[SIDE, SIDE, 3], add_bkg_class=False)
        refused = False
    except ValueError:
        refused = True
    source = open_source([path])
    report = validate.check(source)
    # A stated count the records do not match is reported, but it refuses
    # nothing: the readers and pack count the records themselves.
    description = [p for p in report.problems if p.kind is ProblemKind.DESCRIPTION
                   and "but the files hold" not in p.text]
    assert refused == bool(description), report.problems
    if refused:
        assert "cannot be" in packed(source, os.path.join(root, "out"))
        return
    sound = check_verdict(report)
    for split, names in report.sound.items():
        for name, classes in names.items():
            assert all(0 <= c < len(NAMES) for c in classes)
    agree_with_pack(source, report, os.path.join(root, "out"))


@pytest.mark.parametrize("layout, run, count", [
    ("segmentation-yaml", run_segmentation_yaml, 110),
    ("coco", run_coco, 110),
    ("tfrecord", run_tfrecord, 40),
])
def test_readers_check_and_pack_agree(tmp_path, layout, run, count):
    rng = random.Random(layout)
    for k in range(count):
        root = str(tmp_path / str(k))
        try:
            run(rng, root)
        except AssertionError as e:
            raise AssertionError("dataset {} ({}): {}".format(k, root, e)) from e


def seg_description(root, edit):
    doc = {"classes": list(NAMES)}
    for split in ("train", "validation"):
        for what in ("images", "json"):
            os.makedirs(os.path.join(root, split, what), exist_ok=True)
        write(os.path.join(root, split, "images", "x.png"), PNG)
        write(os.path.join(root, split, "json", "x.json"), json.dumps({"image": "x.png", "segment": []}))
        doc[split] = {"images": os.path.join(root, split, "images"),
                      "annotations": os.path.join(root, split, "json")}
    edit(doc)
    path = os.path.join(root, "d.yaml")
    write(path, yaml.safe_dump(doc))
    return path


@pytest.mark.parametrize("edit, error, message", [
    (lambda d: d.pop("validation"), ValueError,
     "``validation`` section is missing on the configuration file"),
    (lambda d: d["train"].pop("annotations"), ValueError,
     "``annotations`` section is missing on the ``train`` section"),
    (lambda d: d["validation"].pop("images"), ValueError,
     "``images`` section is missing on the ``validation`` section"),
    (lambda d: d["validation"].update(annotations="/no/such"), FileNotFoundError,
     "Annotations folder provided in ``validation`` section does not exist in the current "
     "location: /no/such"),
    (lambda d: d.update(classes="abc"), ValueError,
     "('Incorrect values for class was detected: ', 'abc')"),
])
def test_segmentation_description_refusals_keep_their_messages(tmp_path, edit, error, message):
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml

    path = seg_description(str(tmp_path), edit)
    with pytest.raises(error) as e:
        SegmentationDatasetYaml(path, shape=[SIDE, SIDE, 3], tasks=["segment"])
    assert str(e.value) == message
    assert [p.kind for p in validate.check(open_source([path])).problems] == [ProblemKind.DESCRIPTION]


@pytest.mark.parametrize("samples, message", [
    (0, "[ERROR]: Trellisk trainer does not support empty samples in either train or validation sets"),
    (-1, "[ERROR]: ``samples`` of the ``train`` section must be a positive integer, got -1"),
    ("2", "[ERROR]: ``samples`` of the ``train`` section must be a positive integer, got '2'"),
    (True, "[ERROR]: ``samples`` of the ``train`` section must be a positive integer, got True"),
])
def test_record_counts_that_are_not_counts_are_refused(tmp_path, samples, message):
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    path = tfrecord_yaml(random.Random(0), str(tmp_path))
    with open(path) as f:
        doc = yaml.safe_load(f)
    doc["train"]["samples"] = samples
    write(path, yaml.safe_dump(doc))
    with pytest.raises(ValueError) as e:
        TFRecordDatasetYaml(path, shape=[SIDE, SIDE, 3])
    assert str(e.value) == message
    assert ProblemKind.DESCRIPTION in [p.kind for p in validate.check(open_source([path])).problems]
