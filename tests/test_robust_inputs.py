"""Broken inputs found by mutating datasets: each case is the input that
once crashed, hung or silently corrupted, and must now give a clear error."""

import os
import struct
import time

import cv2
import numpy as np
import pytest
import tensorflow as tf

from quorvane.trellisk.cli import check as checkmod
from quorvane.trellisk.cli import sources
from quorvane.trellisk.datasets import tfrecord
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset, TFRecordDatasetYaml
from test_tfrecord import bare, example, picture, write_records

BOX = [0.5, 0.5, 0.5, 0.5]

# 12 lines of YAML that expand to 9**9 (387 million) strings.
ALIAS_BOMB = "\n".join(
    ["a0: &a0 [x, x, x, x, x, x, x, x, x]"]
    + ["a{0}: &a{0} [{1}]".format(i, ", ".join(["*a%d" % (i - 1)] * 9)) for i in range(1, 9)]
    + ["type: *a8", "classes: [a]", "train: {path: /nonexistent}"]) + "\n"


def crc32c(data):
    crc = 0xFFFFFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x82F63B78 if crc & 1 else crc >> 1
    return crc ^ 0xFFFFFFFF


def frame_header(length):
    """A record header whose length checksum is valid."""
    head = struct.pack("<Q", length)
    crc = crc32c(head)
    return head + struct.pack("<I", (((crc >> 15) | (crc << 17)) + 0xA282EAD8) & 0xFFFFFFFF)


# ------------------------------------------------------- bounded messages

def test_alias_bomb_in_type_gives_a_short_message(tmp_path):
    info = tmp_path / "bomb.yaml"
    info.write_text(ALIAS_BOMB + "validation: {path: /nonexistent}\n")
    start = time.process_time()
    with pytest.raises(ValueError, match=r"^\[ERROR\]: Incompatible dataset type was found: "
                                         r"\[\[\[\[\[\[\[\[\['x', 'x'.*\.\.\. is different") as e:
        TFRecordDatasetYaml(str(info), [32, 32, 3])
    assert len(str(e.value)) < 300
    # The CLI's check reports the same description without expanding it.
    report = checkmod.run(sources.resolve([str(info)]), out=open(os.devnull, "w"))
    assert [k for _, k, _ in report.problems] == ["description"]
    assert all(len(detail) < 300 for _, _, detail in report.problems)
    assert time.process_time() - start < 60  # a hang, not a timing: expanding takes hours


@pytest.mark.parametrize("value, text", [
    ("TFRecord", "TFRecord"),
    (["a", ("b",), {"k": None}], "['a', ('b',), {'k': None}]"),
    ("y" * 1000, "y" * 200 + "..."),
    (b"z" * 1000, "b'" + "z" * 198 + "..."),
])
def test_bad_type_value_shown_exactly_or_cut(value, text):
    obj = bare()
    desc = {"type": value, "classes": ["a"], "train": {}, "validation": {}}
    with pytest.raises(ValueError) as e:
        obj.validate_info_file_content(desc)
    assert str(e.value) == ("[ERROR]: Incompatible dataset type was found: {} is different than "
                            "``tfrecord``".format(text))


def test_self_containing_value_is_cut():
    loop = ["x"]
    loop.append(loop)
    with pytest.raises(ValueError, match=r"\['x', \['x', .*\.\.\.\]") as e:
        bare().validate_info_file_content({"type": loop, "classes": ["a"], "train": {},
                                           "validation": {}})
    assert len(str(e.value)) < 300


# ------------------------------------------------------- record framing

def damaged(kind, records):
    """Bytes of a record file with `records` sound frames and then damage."""
    head = b"".join(records)
    return head + {
        "huge length": frame_header(1 << 40) + b"abcd",  # valid length checksum
        "long length": frame_header(100) + b"x" * 20,
        "length checksum": frame_header(4)[:8] + b"\0\0\0\0" + b"data" + b"\0\0\0\0",
        "data checksum": frame_header(4) + b"data" + b"\0\0\0\0",
        "cut header": frame_header(4)[:7],
    }[kind]


def raw_frames(path):
    with open(path, "rb") as f:
        data = f.read()
    frames, pos = [], 0
    while pos < len(data):
        (length,) = struct.unpack_from("<Q", data, pos)
        frames.append(data[pos:pos + 16 + length])
        pos += 16 + length
    return frames


KINDS = ["huge length", "long length", "length checksum", "data checksum", "cut header"]


@pytest.fixture
def splits(tmp_path):
    write_records(tmp_path / "train" / "a.tfrecord",
                  [example(picture(20, 30, i), [0], BOX) for i in range(3)])
    write_records(tmp_path / "val" / "v.tfrecord", [example(picture(20, 30), [0], BOX)])
    return {"classes": ["a"], "train": {"path": str(tmp_path / "train")},
            "validation": {"path": str(tmp_path / "val")}}


def draw_all(stream):
    """(records drawn, the error that ended the stream or None)."""
    got = []
    try:
        for record in stream:
            got.append(record.numpy())
    except tf.errors.OpError as e:
        return got, e
    return got, None


@pytest.mark.parametrize("kind", KINDS)
def test_damaged_frame_fails_where_it_is_with_file_and_offset(tmp_path, splits, kind):
    frames = raw_frames(tmp_path / "train" / "a.tfrecord")
    bad = tmp_path / "train" / "b.tfrecord"
    bad.write_bytes(damaged(kind, frames[:2]))
    offset = len(frames[0]) + len(frames[1])
    records, at, problem = tfrecord.scan_record_file(str(bad))
    assert (records, at) == (2, offset) and problem
    assert tfrecord.scan_record_file(tmp_path / "train" / "a.tfrecord") == (3, None, None)
    # The constructor reads no record; the stream fails on reaching the damage.
    ds = TFRecordDataset(dict(splits), [20, 30, 3])
    got, error = draw_all(ds.build_and_load_base_iterator([str(bad)], False))
    assert len(got) == 2 and isinstance(error, tf.errors.DataLossError)
    assert "Damaged TFRecord file {} at byte {}: {}".format(bad, offset, problem) in error.message
    # The object stays usable, and a damaged file does not hide the others.
    sound = str(tmp_path / "train" / "a.tfrecord")
    assert len(draw_all(ds.build_and_load_base_iterator([sound], True))[0]) == 3
    stream = ds.build_and_load_base_iterator([str(bad), sound], False).ignore_errors()
    assert len(draw_all(stream)[0]) == 5


@pytest.mark.parametrize("kind", ["huge length", "data checksum"])
def test_damaged_file_never_reaches_the_reader(tmp_path, splits, kind):
    ds = TFRecordDataset(dict(splits), [20, 30, 3])
    sound = ds.train_storage[0]
    frames = raw_frames(sound)
    assert len(draw_all(ds.build_and_load_base_iterator([sound], False))[0]) == 3
    # A file read sound before is checked again on every read once it changed.
    with open(sound, "ab") as f:
        f.write(damaged(kind, []))
    got, error = draw_all(ds.build_and_load_base_iterator([sound], False))
    assert len(got) == 3 and isinstance(error, tf.errors.DataLossError)
    assert "a.tfrecord at byte {}".format(sum(map(len, frames))) in error.message


def test_check_reports_huge_length_frame(tmp_path, splits):
    import yaml

    frames = raw_frames(tmp_path / "train" / "a.tfrecord")
    (tmp_path / "train" / "b.tfrecord").write_bytes(damaged("huge length", frames[:2]))
    info = tmp_path / "d.yaml"
    info.write_text(yaml.safe_dump(dict(splits, type="tfrecord")))
    report = checkmod.run(sources.resolve([str(info)]), out=open(os.devnull, "w"))
    where = "{} record 2".format(tmp_path / "train" / "b.tfrecord")
    assert [(w, k) for w, k, _ in report.problems] == [(where, "record-parse")]
    assert "byte {}".format(len(frames[0]) + len(frames[1])) in report.problems[0][2]
    assert report.counted["records"] == 6


# ------------------------------------------------------ non-finite boxes

@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize("training", [True, False])
def test_non_finite_box_values_name_the_record(value, training):
    obj = bare(shape=[32, 32, 3])
    record = example(picture(20, 30), [0, 1], [0.5, 0.5, 0.2, 0.2, 0.5, value, 0.2, 0.2],
                     name=b"frame-0042.jpg")
    with pytest.raises(ValueError, match="record frame-0042.jpg: box 1 has non-finite box values"):
        obj.load_instance(tf.constant(record), training)


# ------------------------------------------------- class ids in segmentation

def seg_dataset(tmp_path):
    from test_segmentation import make_dataset, simple

    return make_dataset(tmp_path, simple(1))


def class_mask(dtype, values):
    mask = np.zeros((32, 32), np.int64)
    for k, v in enumerate(values):
        mask[:, 8 * (k + 1):8 * (k + 2)] = v
    return mask.astype(dtype)


@pytest.mark.parametrize("index", range(8))
@pytest.mark.parametrize("dtype, values", [
    (np.int64, [2, 7]),               # NumPy's default integer
    (">i4", [2, 300]),                # big-endian
    (np.int32, [2, 70000]),           # one id past 65535
    (np.int32, [-5, 2 ** 31 - 1]),
    (np.uint64, [1, 2 ** 31 - 1]),
    (np.bool_, [True, True]),
])
def test_augmentation_keeps_every_integer_mask(tmp_path, index, dtype, values):
    import albumentations as A
    from test_segmentation_pipeline import pipeline_entries

    ds = seg_dataset(tmp_path)
    entry = list(pipeline_entries(ds._augmentation_pipeline))[index]
    entry.p, entry.always_apply = 1.0, True
    ds._augmentation_pipeline = A.Compose([entry])
    mask = class_mask(dtype, values)
    allowed = {0} | {int(v) for v in values}
    for _ in range(3):
        _, out = ds.apply_augmentation(np.full((32, 32, 3), 90, np.uint8), mask)
        assert out.dtype == np.int32 and set(np.unique(out)) <= allowed, type(entry).__name__
    # Without resampling the values come back exactly.
    ds._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
    np.testing.assert_array_equal(ds.apply_augmentation(np.zeros((32, 32, 3), np.uint8), mask)[1],
                                  mask.astype(np.int64))


@pytest.mark.parametrize("mask, exc, message", [
    (np.full((8, 8), 1.0), TypeError, "integer class ids.*float64"),
    (np.full((8, 8), 2 ** 40), ValueError, "1099511627776 does not fit"),
])
def test_augmentation_refuses_masks_it_cannot_keep(tmp_path, mask, exc, message):
    ds = seg_dataset(tmp_path)
    with pytest.raises(exc, match=message):
        ds.apply_augmentation(np.zeros((8, 8, 3), np.uint8), mask)


SQUARE_POLY = np.array([[[2, 2], [20, 2], [20, 20], [2, 20]]], np.float32)


@pytest.mark.parametrize("cls, message", [
    (2 ** 31 - 1, "2147483647 is outside"),   # painted as -2**31 by k + 1 overflow
    (-1, "-1 is outside"),                    # painted as background
    (2 ** 63 - 1, "9223372036854775807 is outside"),
    (1.5, "whole numbers"),
])
def test_paint_checks_class_ids_first(tmp_path, cls, message):
    ds = seg_dataset(tmp_path)
    classes = np.array([0, cls])
    with pytest.raises(ValueError, match=message):
        ds._build_gt_mask(np.concatenate([SQUARE_POLY, SQUARE_POLY]), classes)


@pytest.mark.parametrize("cls", [0, 2 ** 31 - 2])
def test_paint_extreme_valid_ids(tmp_path, cls):
    mask = seg_dataset(tmp_path)._build_gt_mask(SQUARE_POLY, np.array([cls], np.int64))
    assert mask.dtype == np.int32 and mask[10, 10] == cls + 1 and mask[30, 30] == 0


# ------------------------------------------------- far vertices in mask painting

def paint_dataset(tmp_path, family):
    if family == "coco":
        from test_graph import coco_dataset

        return coco_dataset(tmp_path, n=2)
    return seg_dataset(tmp_path)


def fill_reference(shape, polys, classes):
    ref = np.zeros(shape, np.int32)
    for poly, c in zip(polys, classes):
        cv2.fillPoly(ref, [poly.astype(np.int32)], color=int(c) + 1)
    return ref


@pytest.mark.parametrize("family", ["json", "coco"])
def test_far_vertex_paints_the_same_pixels(tmp_path, family):
    # Each part reaches 1e8 canvases above the picture: a row-by-row fill
    # spends seconds per part on it. Their edges are vertical, so the same
    # parts cut off just above the canvas paint exactly the same pixels.
    ds = paint_dataset(tmp_path, family)
    h, w = ds.shape[:2]
    far = -1e8 * h
    parts = [[[2 + 3 * k, far], [4 + 3 * k, far], [4 + 3 * k, 5 + k], [2 + 3 * k, 5 + k]]
             for k in range(12)]
    parts.append([[1, 20], [30, 22], [12, 31], [1, 20]])   # an ordinary part on top
    polys = np.array(parts, np.float32)
    classes = np.arange(len(parts)) % 3
    near = polys.copy()
    near[..., 1] = np.maximum(near[..., 1], -1)
    mask = ds._build_gt_mask(polys, classes)
    np.testing.assert_array_equal(mask, fill_reference((h, w), near, classes))
    assert mask[0, 2] == 1 and mask[0, 5] == 2


@pytest.mark.parametrize("spread", [1, 3, 200, 20000])
def test_paint_equals_fillpoly(tmp_path, spread):
    # Polygons inside the canvas, straddling its edges and far outside it.
    ds = seg_dataset(tmp_path)
    h, w = ds.shape[:2]
    rng = np.random.default_rng(spread)
    for _ in range(60):
        m, p = int(rng.integers(1, 4)), int(rng.integers(1, 10))
        polys = ((rng.random((m, p, 2)) * spread - (spread - 1) / 2) * [w, h]).astype(np.float32)
        classes = rng.integers(0, 4, m)
        np.testing.assert_array_equal(ds._build_gt_mask(polys, classes),
                                      fill_reference((h, w), polys, classes))


def test_rebound_fillpoly_is_used(tmp_path, monkeypatch):
    from quorvane.trellisk.datasets import segmentation

    calls = []
    monkeypatch.setattr(segmentation.cv2, "fillPoly",
                        lambda img, pts, color: calls.append(color) or img.fill(color))
    mask = seg_dataset(tmp_path)._build_gt_mask(SQUARE_POLY, np.array([4]))
    assert calls == [5] and (mask == 5).all()


@pytest.mark.parametrize("family", ["json", "coco"])
def test_dataset_with_iterators_is_freed(tmp_path, family):
    # Traced graphs keep what their py_function / numpy_function call; a
    # bound method there would keep the dataset alive for good.
    import gc
    import weakref

    if family == "coco":
        ds = paint_dataset(tmp_path, family)
        iterators = [ds.build_train_iterator(1, 1)]
    else:
        from test_segmentation import make_dataset, simple

        ds = make_dataset(tmp_path, simple(1), simple(1))
        iterators = [ds.build_train_iterator(1, 1), ds.build_val_iterator(1)]
    for it in iterators:
        next(iter(it))
    gone = weakref.ref(ds)
    del ds, it, iterators
    gc.collect()
    assert gone() is None
