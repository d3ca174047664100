"""TFRecord datasets end to end: YAML and dict descriptions, the base
pipelines, counting passes and bad record files."""

import numpy as np
import pytest
import tensorflow as tf
import yaml

from quorvane.trellisk.datasets.tfrecord import TFRecordDataset, TFRecordDatasetYaml
from test_tfrecord import TYPE_KEY_MSG, example, picture, write_records

BOX = [0.5, 0.5, 0.5, 0.5]


def make_splits(tmp_path, n_train=10, n_val=3, val_sizes=None):
    """Train records 40 x 60 with one box of class 1; validation records of
    the given (h, w) sizes with class 0."""
    write_records(tmp_path / "train" / "a.tfrecord",
                  [example(picture(40, 60, i), [1], BOX, name=b"t%d" % i)
                   for i in range(n_train)])
    sizes = val_sizes or [(40, 60)] * n_val
    write_records(tmp_path / "val" / "v.tfrecord",
                  [example(picture(h, w), [0], BOX, name=b"v%d" % i)
                   for i, (h, w) in enumerate(sizes)])
    return {"classes": ["a", "b"], "train": {"path": str(tmp_path / "train")},
            "validation": {"path": str(tmp_path / "val")}}


def test_yaml_dataset(tmp_path):
    description = make_splits(tmp_path)
    description["type"] = "tfrecord"
    description["train"]["samples"] = 10
    info = tmp_path / "data.yaml"
    info.write_text(yaml.safe_dump(description))
    ds = TFRecordDatasetYaml(str(info), [20, 30, 3], aug_cfg={"hflip": 0.5})
    assert (ds.shape, ds.letter_box, ds.class_offset, ds.aug_cfg) == ([20, 30, 3], True, 1,
                                                                      {"hflip": 0.5})
    assert ds.classes == ["background", "a", "b"]
    assert ds.num_train_samples == 10 and ds.num_val_samples == 0  # missing count -> 0
    assert ds.train_storage == [str(tmp_path / "train" / "a.tfrecord")]
    assert [ds.path_train_images, ds.path_train_annotations, ds.path_val_images,
            ds.path_val_annotations, ds.train_images, ds.val_images,
            ds.train_annotations, ds.val_annotations] == [None] * 7 + [[]]
    images, targets = next(iter(ds.build_train_iterator(batch_size=4)))
    assert images.shape == (4, 20, 30, 3) and images.dtype == tf.uint8
    # 60 x 40 into 30 x 20: scale 0.5, no padding.
    np.testing.assert_allclose(targets[0].numpy(), np.tile([7.5, 5, 22.5, 15, 2], (4, 1, 1)),
                               atol=1e-4)
    assert ds.num_val_samples == 0  # the YAML variant does not count


@pytest.mark.parametrize("content,exc", [
    ("- just\n- a list\n", ValueError),
    (None, FileNotFoundError),
])
def test_yaml_file_errors(tmp_path, content, exc):
    info = tmp_path / "d.yaml"
    if content is not None:
        info.write_text(content)
    with pytest.raises(exc):
        TFRecordDatasetYaml(str(info), [20, 20, 3])


@pytest.mark.parametrize("given_type", [None, "coco", "tfrecord"])
def test_dict_type_is_overwritten(tmp_path, given_type):
    description = make_splits(tmp_path)
    if given_type is not None:
        description["type"] = given_type
    ds = TFRecordDataset(description, [20, 30, 3])
    assert ds.info_dataset is description and description["type"] == "tfrecord"
    assert ds.classes == ["background", "a", "b"]
    assert ds.validate_info_file("anything") is description
    assert ds.validate_info_file(None) is description
    with pytest.raises(TypeError):
        ds.validate_info_file()


def test_dict_refusals(tmp_path):
    with pytest.raises(AttributeError, match="update"):
        TFRecordDataset()
    description = make_splits(tmp_path)
    old = {"classes": ["a"], "train": {"images": description["train"]["path"]},
           "validation": {"images": description["validation"]["path"]}}
    with pytest.raises(ValueError) as e:
        TFRecordDataset(old)
    assert str(e.value) == TYPE_KEY_MSG and old["type"] == "tfrecord"


def test_counting_passes(tmp_path):
    ds = TFRecordDataset(make_splits(tmp_path, n_val=3), [20, 30, 3], letter_box=False,
                         add_bkg_class=False)
    assert (ds.num_train_samples, ds.num_val_samples) == (0, 0)
    it = ds.build_train_iterator(4)
    assert ds.num_train_samples == 10
    assert [int(t[0].shape[0]) for _, t in it] == [4, 4, 2]
    ds.build_train_iterator(batch_size=4)
    assert ds.num_train_samples == 10  # known counts are not counted again
    ds.build_val_iterator()
    assert ds.num_val_samples == 3
    ds.num_train_samples = None
    ds.build_train_iterator(4, 2)
    assert ds.num_train_samples is None


def test_training_batches_cover_the_split(tmp_path):
    ds = TFRecordDataset(make_splits(tmp_path), [40, 60, 3], letter_box=False)
    values = []
    for images, (boxes,) in ds.build_train_iterator(3):
        values += [int(v) for v in images[:, 0, 0, 0].numpy()]
        np.testing.assert_allclose(boxes.numpy()[:, 0], [[15, 10, 45, 30, 2]] * len(boxes),
                                   atol=1e-4)
    assert sorted(values) == list(range(10))


def test_validation_batches_pad_and_report_sizes(tmp_path):
    ds = TFRecordDataset(make_splits(tmp_path, val_sizes=[(40, 60), (20, 80), (30, 30)]),
                         [16, 16, 3])
    batches = list(ds.build_val_iterator(batch_size=2))
    assert ds.num_val_samples == 3
    images, (boxes, names, sizes) = batches[0]
    assert images.shape == (2, 40, 80, 3)
    assert names.numpy().tolist() == [b"v0", b"v1"]
    assert sizes.numpy().tolist() == [[40, 60], [20, 80]]
    assert (images.numpy()[1, 20:] == 0).all()  # padding below the shorter image
    np.testing.assert_allclose(boxes.numpy()[:, 0], [[0.25, 0.25, 0.75, 0.75, 1]] * 2, atol=1e-6)
    assert batches[1][0].shape == (1, 30, 30, 3)


def test_greyscale_record_joins_colour_batch(tmp_path):
    description = make_splits(tmp_path, n_train=1)
    write_records(tmp_path / "train" / "g.tfrecord",
                  [example(picture(40, 60, 200, channels=1), [0], BOX)])
    ds = TFRecordDataset(description, [40, 60, 3], letter_box=False)
    images, _ = next(iter(ds.build_train_iterator(2)))
    assert images.shape == (2, 40, 60, 3)


@pytest.mark.parametrize("bad", ["truncated", "garbage", "bad_record"])
def test_bad_record_files_fail_when_drawn(tmp_path, bad):
    description = make_splits(tmp_path, n_train=6)
    # Damaged after construction, and read by a plain reader: the count below
    # must see the failure of the pass.
    ds = TFRecordDataset(description, [40, 60, 3])
    path = tmp_path / "train" / "z.tfrecord"
    if bad == "bad_record":
        write_records(path, [example(picture(40, 60), [0, 1], BOX)])
    else:
        write_records(path, [example(picture(40, 60), [0], BOX)] * 3)
        data = path.read_bytes()
        path.write_bytes(data[: len(data) - 50] if bad == "truncated" else b"\x00junk" * 40)
    # Good records first, so that the counting pass has counted some when it fails.
    good = str(tmp_path / "train" / "a.tfrecord")
    ds.train_storage = [good, str(path)]
    ds.build_and_load_base_iterator = lambda storage, shuffle: tf.data.TFRecordDataset(storage)
    with pytest.raises(tf.errors.OpError):
        ds.build_train_iterator(1)
    # A cut-short count is not kept as if it were the split's size.
    assert ds.num_train_samples == 0
    with pytest.raises(tf.errors.OpError):
        for _ in ds.build_train_iterator(2):
            pass
    # The rest of the object still works.
    assert len(list(ds.build_val_iterator())) == 3 and ds.num_val_samples == 3
    ds.train_storage = [good]
    ds.build_train_iterator(2)
    assert ds.num_train_samples == 6
