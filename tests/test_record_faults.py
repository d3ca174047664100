"""Bad records reach no training batch: inverted or non-finite boxes are
refused, and every error raised while a record is decoded names the file
and the record's position, with one error class (InvalidArgumentError) on
both detection pipelines, with and without augmentation."""

import re

import numpy as np
import pytest
import tensorflow as tf

from quorvane.trellisk.datasets import graph
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
from test_tfrecord import bare, example, picture, write_records

SHAPE = [32, 48, 3]
RECIPE = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0}
GOOD = example(picture(40, 60, 90), [0, 1], [0.5, 0.5, 0.4, 0.4, 0.3, 0.3, 0.2, 0.2])
BAD_POSITION = 2

# The faulty record, and what the error must say about it.
FAULTS = {
    "inverted width": (dict(objects=[0], bboxes=[0.5, 0.5, -0.2, 0.3]), "negative box width or height"),
    "inverted height": (dict(objects=[0, 1], bboxes=[0.5, 0.5, 0.2, 0.2, 0.5, 0.5, 0.2, -1e-6]),
                        "box 1 has a negative box width or height"),
    "nan": (dict(objects=[0], bboxes=[0.5, np.nan, 0.2, 0.2]), "non-finite"),
    "infinity": (dict(objects=[0], bboxes=[0.5, 0.5, np.inf, 0.2]), "non-finite"),
    "undecodable jpeg": (dict(objects=[0], bboxes=[0.5, 0.5, 0.2, 0.2],
                              image_bytes=b"\xff\xd8\xff\xe0 not a picture"), "jpeg|JPEG"),
    "count mismatch": (dict(objects=[0, 1], bboxes=[0.5, 0.5, 0.2, 0.2]),
                       '2 "objects" but 1 boxes'),
    "partial box": (dict(objects=[0], bboxes=[0.5, 0.5, 0.2]), "not a multiple of 4"),
}


def bad_record(fault):
    kwargs, _ = FAULTS[fault]
    return example(picture(40, 60, 90), kwargs["objects"], kwargs["bboxes"], name=b"bad.jpg",
                   image_bytes=kwargs.get("image_bytes"))


def dataset(tmp_path, fault, aug_cfg=None):
    records = [GOOD] * BAD_POSITION + [bad_record(fault)] + [GOOD]
    for split in ("train", "val"):
        write_records(tmp_path / split / "part.tfrecord", records)
    info = {"classes": ["a", "b"], "train": {"path": str(tmp_path / "train"), "samples": 4},
            "validation": {"path": str(tmp_path / "val"), "samples": 4}}
    return TFRecordDataset(info, shape=list(SHAPE), aug_cfg=aug_cfg)


PIPELINES = {
    "default train": lambda ds: ds.build_train_iterator(2, seed=3),
    "graph train": lambda ds: graph.train_pipeline(ds, batch_size=2, seed=3),
    "default validation": lambda ds: ds.build_val_iterator(2),
    "graph validation": lambda ds: graph.val_pipeline(ds, batch_size=2),
}


@pytest.mark.parametrize("pipeline", list(PIPELINES))
@pytest.mark.parametrize("fault", list(FAULTS))
@pytest.mark.parametrize("aug_cfg", [None, RECIPE], ids=["plain", "augmented"])
def test_bad_record_fails_naming_file_and_position(tmp_path, pipeline, fault, aug_cfg):
    if aug_cfg and "validation" in pipeline:
        pytest.skip("validation is never augmented")
    ds = dataset(tmp_path, fault, aug_cfg)
    split = "val" if "validation" in pipeline else "train"
    where = "{} record {}".format(tmp_path / split / "part.tfrecord", BAD_POSITION)
    with pytest.raises(tf.errors.InvalidArgumentError) as info:
        for _ in PIPELINES[pipeline](ds):
            pass
    message = info.value.message
    assert where in message
    assert re.search(FAULTS[fault][1], message), message


@pytest.mark.parametrize("fault", ["inverted width", "inverted height", "nan", "infinity"])
def test_check_reports_the_records_training_refuses(tmp_path, fault):
    import os

    import yaml

    from quorvane.trellisk.cli import check, sources

    dataset(tmp_path, fault)
    info = tmp_path / "d.yaml"
    info.write_text(yaml.safe_dump({"type": "tfrecord", "classes": ["a", "b"],
                                    "train": {"path": str(tmp_path / "train")},
                                    "validation": {"path": str(tmp_path / "val")}}))
    report = check.run(sources.resolve([str(info)]), out=open(os.devnull, "w"))
    flagged = {where for where, _, _ in report.problems}
    assert flagged == {"{} record {}".format(tmp_path / split / "part.tfrecord", BAD_POSITION)
                       for split in ("train", "val")}


@pytest.mark.parametrize("pipeline", ["default train", "graph train"])
def test_sound_records_still_train(tmp_path, pipeline):
    # A zero-size box (one clipped to a border) is sound and stays.
    records = [GOOD, example(picture(40, 60), [1], [0.0, 0.5, 0.0, 0.0])] * 2
    write_records(tmp_path / "train" / "part.tfrecord", records)
    write_records(tmp_path / "val" / "part.tfrecord", records)
    info = {"classes": ["a", "b"], "train": {"path": str(tmp_path / "train"), "samples": 4},
            "validation": {"path": str(tmp_path / "val"), "samples": 4}}
    ds = TFRecordDataset(info, shape=list(SHAPE))
    boxes = np.concatenate([b[0].numpy().reshape(-1, 5) for _, b in PIPELINES[pipeline](ds)])
    real = boxes[boxes.any(axis=1)]
    assert len(real) == 6 and (real[:, 2] >= real[:, 0]).all() and (real[:, 3] >= real[:, 1]).all()


@pytest.mark.parametrize("training", [True, False])
@pytest.mark.parametrize("fault", ["inverted width", "count mismatch", "partial box"])
def test_load_instance_names_the_image(fault, training):
    obj = bare(shape=SHAPE)
    with pytest.raises(ValueError, match=r"record bad\.jpg: .*" + FAULTS[fault][1].replace("(", r"\(")):
        obj.load_instance(tf.constant(bad_record(fault)), training)


# ------------------------------------------- segmentation samples name the file

def broken_sample_dataset(tmp_path, kind):
    """A dataset whose second training image has a PNG header but no picture,
    and the path of that image."""
    from test_coco import make, standard
    from test_segmentation import make_dataset, simple

    if kind == "coco":
        ds = make(*standard(tmp_path))
        broken = tmp_path / "images" / "b.png"
    else:
        ds = make_dataset(tmp_path, simple(3))
        broken = tmp_path / "train" / "images" / "1.png"
    broken.write_bytes(b"\x89PNG\r\n\x1a\n broken")
    ds._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
    return ds, str(broken)


@pytest.mark.parametrize("path", ["default", "graph"])
@pytest.mark.parametrize("kind", ["coco", "folder"])
def test_unreadable_image_is_named(tmp_path, kind, path):
    ds, broken = broken_sample_dataset(tmp_path, kind)
    build = (lambda: ds.build_train_iterator(batch_size=3)) if path == "default" else (
        lambda: graph.train_pipeline(ds, batch_size=3, augment=False))
    with pytest.raises(tf.errors.OpError) as info:
        for _ in build():
            pass
    assert broken in info.value.message
    if path == "graph":
        assert isinstance(info.value, tf.errors.InvalidArgumentError)
    if kind == "coco" and path == "default":
        assert "image id 2" in info.value.message
