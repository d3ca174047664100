"""TFRecord datasets: module surface, description checks, record files and
the decoding of one record."""

import os
import subprocess
import sys
import types
from os.path import join

import numpy as np
import pytest
import tensorflow as tf

from quorvane.trellisk.datasets import tfrecord
from quorvane.trellisk.datasets.core import BaseDetectionDataset
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset, TFRecordDatasetYaml

TRELLISK_MSG = ("[ERROR]: Trellisk trainer does not support empty samples in either train or "
                "validation sets")
NO_CLASSES_MSG = "[ERROR]: Invalid dataset with no annotation classes was found"
TYPE_MSG = "[ERROR]: Incompatible dataset type was found: {} is different than ``tfrecord``"
TYPE_KEY_MSG = ("[ERROR]: This dataset does not contain the ``type`` key and it is not "
                "compatible with older TFRecord format neither")
EMPTY_MSG = "[ERROR]: Empty train or validation samples are not allowed."

# Record of the worked examples: 200 x 100 JPEG, two objects.
OBJECTS = [0, 2]
BBOXES = [0.5, 0.5, 0.2, 0.4, 0.1, 0.1, 0.4, 0.4]


def example(img, objects=(), bboxes=(), name=b"img.jpg", width=None, height=None, drop=(),
            image_bytes=None):
    """One serialized tf.train.Example in the record layout."""
    img = np.asarray(img, dtype=np.uint8)
    feature = {
        "image": tf.train.Feature(bytes_list=tf.train.BytesList(
            value=[image_bytes if image_bytes is not None else tf.io.encode_jpeg(img).numpy()])),
        "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[name])),
        "width": tf.train.Feature(int64_list=tf.train.Int64List(
            value=[img.shape[1] if width is None else width])),
        "height": tf.train.Feature(int64_list=tf.train.Int64List(
            value=[img.shape[0] if height is None else height])),
        "objects": tf.train.Feature(int64_list=tf.train.Int64List(value=list(objects))),
        "bboxes": tf.train.Feature(float_list=tf.train.FloatList(value=list(bboxes))),
    }
    for key in drop:
        del feature[key]
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def write_records(path, records):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with tf.io.TFRecordWriter(str(path)) as w:
        for r in records:
            w.write(r)
    return str(path)


def bare(class_offset=1, shape=None, letter_box=True):
    """An instance with only the base's attributes, to call the hooks on."""
    obj = TFRecordDatasetYaml.__new__(TFRecordDatasetYaml)
    obj.shape, obj.letter_box, obj.class_offset = shape, letter_box, class_offset
    return obj


# ------------------------------------------------------------ module surface

def test_module_names_and_classes():
    import cv2
    import glob
    import os.path
    from quorvane.trellisk.datasets import utils
    assert {"TFRecordDatasetYaml", "TFRecordDataset", "scan_record_file"} <= set(vars(tfrecord))
    assert tfrecord.letterbox is utils.letterbox and tfrecord.xywhn2xyxy is utils.xywhn2xyxy
    assert tfrecord.join is os.path.join and tfrecord.exists is os.path.exists
    assert (tfrecord.np, tfrecord.glob, tfrecord.cv2, tfrecord.tf) == (np, glob, cv2, tf)
    assert TFRecordDatasetYaml.__bases__ == (BaseDetectionDataset,)
    assert TFRecordDataset.__bases__ == (TFRecordDatasetYaml,)
    for cls in (TFRecordDatasetYaml, TFRecordDataset):
        assert cls.__module__ == "quorvane.trellisk.datasets.tfrecord"
        assert "shape (list)" in cls.__doc__ and "add_bkg_class" in cls.__doc__
        # Every method help() shows says what it does.
        for name, method in vars(cls).items():
            if callable(method) and not name.startswith("__"):
                assert (method.__doc__ or "").strip(), name


@pytest.mark.parametrize("listed", [[], ["elsewhere.tfrecord"]])
def test_storage_is_listed_through_the_glob_the_module_binds(tmp_path, monkeypatch, listed):
    for split in ("train", "val"):
        write_records(str(tmp_path / split / "a.tfrecord"), [example(picture(8, 8))])
    ds = {"classes": ["a"], "train": {"path": str(tmp_path / "train")},
          "validation": {"path": str(tmp_path / "val")}}
    monkeypatch.setattr(tfrecord, "glob", types.SimpleNamespace(glob=lambda pattern: list(listed)))
    if not listed:
        with pytest.raises(ValueError, match="Empty train or validation samples"):
            TFRecordDataset(ds, shape=[8, 8, 3])
    else:
        assert TFRecordDataset(ds, shape=[8, 8, 3]).train_storage == listed


@pytest.mark.parametrize("setup,error", [
    ("sys.modules['cv2'] = None", "ModuleNotFoundError"),
    ("import quorvane.trellisk.datasets.utils as u; del u.xywhn2xyxy",
     "ImportError: cannot import name 'xywhn2xyxy' from 'quorvane.trellisk.datasets.utils'"),
])
def test_import_fails_when_a_binding_fails(setup, error):
    code = "import sys; {}\nimport quorvane.trellisk.datasets.tfrecord".format(setup)
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert run.returncode == 1 and error in run.stderr


def test_constructor_type_rule_runs_first():
    with pytest.raises(TypeError, match=r"Argument 'shape' has incorrect type \(expected list, "
                                        r"got tuple\)"):
        TFRecordDatasetYaml("missing.yaml", (10, 10, 3))


# ----------------------------------------------------- description checks

def desc(**over):
    d = {"type": "tfrecord", "classes": ["car", "person"],
         "train": {"path": "A"}, "validation": {"path": "B"}}
    d.update(over)
    return d


@pytest.mark.parametrize("description,offset,error,attrs", [
    (desc(), 1, None, {"classes": ["background", "car", "person"], "num_train_samples": None,
                       "num_val_samples": None, "train_storage": "A", "val_storage": "B"}),
    ({"classes": ["car"], "train": {"images": "A"}, "validation": {"images": "B"}}, 0, None,
     {"classes": ["car"], "train_storage": "A", "val_storage": "B"}),
    ({"classes": ["car"], "train": {"path": "A"}, "validation": {"path": "B"}}, 1,
     TYPE_KEY_MSG, {"classes": ["background", "car"]}),
    (desc(validation={"path": "B", "samples": 0}), 1, TRELLISK_MSG,
     {"classes": ["background", "car", "person"], "num_val_samples": 0}),
    (desc(train={"path": "A", "samples": 12}, validation={"path": "B", "samples": 12}), 1, None,
     {"num_train_samples": 12, "num_val_samples": 12}),
    (desc(type="TFRecord"), 1, TYPE_MSG.format("TFRecord"), {"num_train_samples": None}),
    # A zero count is reported before a wrong type; False and 0.0 are zero.
    (desc(type="x", train={"path": "A", "samples": 0.0}), 1, TRELLISK_MSG, {}),
    (desc(train={"path": "A", "samples": False}), 1, TRELLISK_MSG, {}),
    (desc(classes=[]), 1, None, {"classes": ["background"]}),
    (desc(classes=[], type="x"), 0, NO_CLASSES_MSG, {"classes": []}),
    (desc(validation={"images": "B"}), 1, TYPE_KEY_MSG, {"train_storage": "A",
                                                         "val_storage": None}),
    (desc(type=None, train={"path": "A"}), 1, TYPE_KEY_MSG, {"train_storage": None}),
])
def test_validate_info_file_content(description, offset, error, attrs):
    obj = bare(class_offset=offset)
    if error is None:
        assert obj.validate_info_file_content(description) is None
    else:
        with pytest.raises(ValueError) as e:
            obj.validate_info_file_content(description)
        assert str(e.value) == error
    for name, value in attrs.items():
        assert getattr(obj, name) == value


@pytest.mark.parametrize("description,exc,text", [
    (None, AttributeError, "'NoneType' object has no attribute 'get'"),
    ({"classes": ["a"], "validation": {"path": "B"}}, AttributeError, "get"),
    ({"train": {"path": "A"}, "validation": {"path": "B"}}, TypeError, "list"),
])
def test_validate_info_file_content_library_errors(description, exc, text):
    obj = bare()
    with pytest.raises(exc, match=text):
        obj.validate_info_file_content(description)
    if description is None:
        assert not hasattr(obj, "classes")


def test_classes_list_identity():
    classes = ["car"]
    with_bkg, without = bare(1), bare(0)
    with_bkg.validate_info_file_content(desc(classes=classes))
    without.validate_info_file_content(desc(classes=classes))
    assert classes == ["car"] and with_bkg.classes == ["background", "car"]
    assert without.classes is classes


# ------------------------------------------------------------ record files

def test_load_storage_globbing(tmp_path):
    train, val = tmp_path / "train", tmp_path / "val[1]"
    for name in ["a.tfrecord", "b.tfrecord", "C.TFRECORD", ".hidden.tfrecord", "x.tfrecord.bak",
                 "sub/d.tfrecord"]:
        write_records(train / name, [])
    write_records(val / "v.tfrecord", [])
    write_records(tmp_path / "val1" / "other.tfrecord", [])  # would match the pattern val[1]
    obj = bare()
    obj.train_storage, obj.val_storage = str(train), str(val)
    obj.load_storage()
    assert sorted(obj.train_storage) == [join(str(train), "a.tfrecord"),
                                         join(str(train), "b.tfrecord")]
    assert obj.val_storage == [join(str(val), "v.tfrecord")]


def test_load_storage_empty_and_missing(tmp_path):
    folder = tmp_path / "only_bak"
    write_records(folder / "a.tfrecord.bak", [])
    write_records(folder / "sub" / "b.tfrecord", [])
    good = write_records(tmp_path / "good" / "a.tfrecord", [])
    obj = bare()
    obj.train_storage, obj.val_storage = str(tmp_path / "good"), str(folder)
    with pytest.raises(ValueError) as e:
        obj.load_storage()
    assert str(e.value) == EMPTY_MSG and obj.train_storage == [good]

    missing = str(tmp_path / "nowhere")
    obj.train_storage, obj.val_storage = str(tmp_path / "good"), missing
    assert obj.load_storage() is None
    assert obj.val_storage == missing  # left as given, refused when used as a file list
    with pytest.raises(TypeError, match="Argument 'storage' has incorrect type "
                                        r"\(expected list, got str\)"):
        obj.build_and_load_base_iterator(obj.val_storage)

    obj.train_storage = ["a"]
    with pytest.raises(TypeError):
        obj.load_storage()


def test_base_iterator_order_and_shuffle(tmp_path):
    records = [str(i).encode() * 3 for i in range(30)]
    path = write_records(tmp_path / "r" / "a.tfrecord", records)
    obj = bare()
    assert [r.numpy() for r in obj.build_and_load_base_iterator([path], False)] == records
    shuffled = [r.numpy() for r in obj.build_and_load_base_iterator([path])]
    assert sorted(shuffled) == sorted(records)
    with pytest.raises(TypeError, match=r"expected list, got tuple"):
        obj.build_and_load_base_iterator((path,))


# ----------------------------------------------------------------- decoding

def picture(h=100, w=200, value=128, channels=3):
    return np.full((h, w, channels), value, np.uint8)


def test_training_without_letterbox():
    obj = bare(shape=[100, 200, 3], letter_box=False)
    out = obj.load_instance(tf.constant(example(picture(), OBJECTS, BBOXES)))
    assert len(out) == 2
    img, boxes = out
    assert img.dtype == np.uint8 and img.shape == (100, 200, 3)
    assert boxes.dtype == np.float32
    np.testing.assert_allclose(boxes, [[80, 30, 120, 70, 1], [0, 0, 60, 30, 3]], atol=1e-4)


def test_validation_keeps_stored_size_and_name():
    obj = bare(shape=[32, 32, 3])
    img, boxes, name = obj.load_instance(tf.constant(example(picture(), OBJECTS, BBOXES,
                                                             name=b"a/b.jpg")), False)
    assert img.shape == (100, 200, 3)
    np.testing.assert_allclose(boxes, [[0.4, 0.3, 0.6, 0.7, 1], [0, 0, 0.3, 0.3, 3]], atol=1e-6)
    assert isinstance(name, tf.Tensor) and name.numpy() == b"a/b.jpg"
    other = obj.load_instance(tf.constant(example(picture(40, 30), OBJECTS, BBOXES)), False)
    assert other[0].shape == (40, 30, 3)


def test_training_letterbox_maps_boxes_into_padded_image():
    # 200 x 100 into 100 x 100: scale 0.5, picture 100 x 50 placed 25 rows down.
    img = picture()
    img[:, :100] = 40
    obj = bare(class_offset=0, shape=[100, 100, 3], letter_box=True)
    out_img, boxes = obj.load_instance(tf.constant(example(img, OBJECTS, BBOXES)), True)
    assert out_img.shape == (100, 100, 3)
    assert (out_img[:24] == 114).all() and (out_img[76:] == 114).all()
    assert abs(int(out_img[50, 20, 0]) - 40) < 6 and abs(int(out_img[50, 80, 0]) - 128) < 6
    np.testing.assert_allclose(boxes, [[40, 40, 60, 60, 0], [0, 20, 30, 40, 2]], atol=1e-4)


def test_letterbox_rebinding_is_used(monkeypatch):
    calls = []

    def fake(img, new_shape, auto=True):
        calls.append((img.shape, new_shape, auto))
        return np.zeros((10, 10, 3), np.uint8), (0.1, 0.1), (0, 0)

    monkeypatch.setattr(tfrecord, "letterbox", fake)
    obj = bare(shape=[10, 10, 3])
    _, boxes = obj.load_instance(tf.constant(example(picture(), OBJECTS, BBOXES)))
    assert calls == [((100, 200, 3), [10, 10], False)]
    np.testing.assert_allclose(boxes[0], [8, 3, 10, 7, 1], atol=1e-4)


@pytest.mark.parametrize("training", [True, False])
@pytest.mark.parametrize("bboxes", [[], BBOXES])
def test_no_object_row(training, bboxes):
    obj = bare(class_offset=1, shape=[50, 60, 3], letter_box=False)
    out = obj.load_instance(tf.constant(example(picture(), [], bboxes)), training)
    assert out[1].dtype == np.float32
    np.testing.assert_array_equal(out[1], [[0, 0, 0, 0, 0]])
    assert out[0].shape == ((50, 60, 3) if training else (100, 200, 3))
    assert len(out) == (2 if training else 3)


def test_jpeg_size_wins_and_outside_boxes_are_kept():
    # Letterboxed, so a wrong source size would move the boxes.
    obj = bare(class_offset=0, shape=[100, 200, 3], letter_box=True)
    rec = example(picture(50, 100), [1, 0], [1.5, 1.5, 0.2, 0.2, 0.5, 0.5, 1.0, 1.0],
                  width=999, height=7)
    img, boxes = obj.load_instance(tf.constant(rec))
    assert img.shape == (100, 200, 3)
    np.testing.assert_allclose(boxes, [[200, 100, 200, 100, 1], [0, 0, 200, 100, 0]], atol=1e-4)
    _, vboxes, _ = obj.load_instance(tf.constant(rec), False)
    np.testing.assert_allclose(vboxes, [[1, 1, 1, 1, 1], [0, 0, 1, 1, 0]], atol=1e-6)


@pytest.mark.parametrize("letter_box", [True, False])
def test_greyscale_jpeg_keeps_channel_axis(letter_box):
    obj = bare(shape=[20, 30, 3], letter_box=letter_box)
    img, _ = obj.load_instance(tf.constant(example(picture(10, 10, channels=1), [0],
                                                   [0.5, 0.5, 1, 1])))
    assert img.shape == (20, 30, 1)


@pytest.mark.parametrize("record,exc,text", [
    (example(picture(), drop=["image_name"]), tf.errors.InvalidArgumentError, "image_name"),
    (example(picture(), drop=["height"]), tf.errors.InvalidArgumentError, "height"),
    (b"not an example", tf.errors.InvalidArgumentError, "parse"),
    (example(picture(), image_bytes=b"not an image"), tf.errors.InvalidArgumentError, "image"),
    (example(picture(), [0, 1], [0.5] * 6), ValueError, "6 values, not a multiple of 4"),
    (example(picture(), [0, 1], [0.5] * 4), ValueError, '2 "objects" but 1 boxes'),
    (example(picture(), [0], [0.5] * 8), ValueError, '1 "objects" but 2 boxes'),
])
@pytest.mark.parametrize("training", [True, False])
def test_bad_records_raise(record, exc, text, training):
    obj = bare(shape=[20, 20, 3])
    with pytest.raises(exc, match=text):
        obj.load_instance(tf.constant(record), training)
    # The object is untouched and still decodes good records.
    assert obj.load_instance(tf.constant(example(picture(), OBJECTS, BBOXES)), training)[1].shape \
        == (2, 5)


def test_training_without_shape_is_type_error():
    with pytest.raises(TypeError):
        bare(shape=None).load_instance(tf.constant(example(picture(), OBJECTS, BBOXES)))


@pytest.mark.parametrize("offset, label, ok", [
    (1, 2 ** 31 - 2, True), (0, 2 ** 31 - 1, True),
    (1, 2 ** 31 - 1, False), (0, 2 ** 32, False), (1, -1, False),
])
def test_labels_that_would_wrap_are_refused_naming_the_record(offset, label, ok):
    obj = bare(class_offset=offset, shape=[100, 200, 3])
    record = tf.constant(example(picture(), [0, label], BBOXES, name=b"caf\xe9.jpg"))
    if ok:
        assert obj.load_instance(record)[1][1, 4] == np.float32(label + offset)
        return
    with pytest.raises(ValueError, match=r"^record caf\\xe9\.jpg: label {} of object 1 is not a "
                                         r"class index".format(label)):
        obj.load_instance(record)
