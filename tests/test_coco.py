"""SegmentationDatasetJsonCOCO: the index built from a COCO file, sample
reading, images without annotations, class numbering, RLE regions,
degenerate outlines, string image ids, bad input and the training pipeline."""

import json
import os
import warnings

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from quorvane.trellisk.datasets import segmentation as seg
from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO

FILE_MSG = "Annotation file for training was not found in the given location: {}"
IMAGES_MSG = "No training images were found in this dataset"
ANNS_MSG = "No training annotations were found in this dataset"

# Colours tell the image files apart once read.
COLOURS = [(200, 10, 10), (10, 200, 10), (10, 10, 200), (90, 90, 90), (250, 250, 0)]


def write_images(folder, names, size=(40, 30)):
    folder.mkdir(exist_ok=True)
    for i, name in enumerate(names):
        Image.new("RGB", size, COLOURS[i % len(COLOURS)]).save(folder / name)


def write_coco(path, content):
    path.write_text(json.dumps(content), encoding="utf-8")
    return str(path)


def standard(tmp_path):
    """Five 40x30 images: id 1 twice (a.png, then e.png), id 3 without
    annotation, an annotation with two polygons, an RLE crowd region, a
    polygon of the excluded category 0 and one of an unknown category."""
    names = ["a.png", "b.png", "c.png", "d.png", "e.png"]
    write_images(tmp_path / "images", names)
    content = {
        "images": [
            {"file_name": "a.png", "id": 1},
            {"file_name": "b.png", "id": 2},
            {"file_name": "c.png", "id": 3},
            {"file_name": "d.png", "id": 4},
            {"file_name": "e.png", "id": 1},
        ],
        "categories": [
            {"id": 0, "name": "shapes"},
            {"id": 7, "name": "cat"},
            {"id": 3, "name": "dog"},
            {"name": "no id"},
        ],
        "annotations": [
            {"id": 10, "image_id": 1, "category_id": 7,
             "segmentation": [[0, 0, 20, 0, 20, 15, 0, 15], [20, 15, 40, 15, 40, 30, 20, 30]]},
            {"id": 11, "image_id": 2, "category_id": 3,
             "segmentation": [[0, 0, 40, 0, 40, 30, 0, 30]]},
            {"id": 12, "image_id": 2, "category_id": 7, "iscrowd": 1,
             "segmentation": {"counts": [0, 600, 600], "size": [30, 40]}},
            {"id": 13, "image_id": 4, "category_id": 0,
             "segmentation": [[0, 0, 10, 0, 10, 10]]},
            {"id": 14, "image_id": 4, "category_id": 99,
             "segmentation": [[0, 0, 10, 0, 10, 10]]},
            {"id": 15, "image_id": 4, "category_id": 3,
             "segmentation": [[5.5, 5.5, 30.5, 5.5, 30.5, 25.5]]},
        ],
    }
    return write_coco(tmp_path / "train.json", content), str(tmp_path / "images")


def make(json_file, images, shape=(32, 32, 3), **kw):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return SegmentationDatasetJsonCOCO(
            train_json_file=json_file, train_images=images, shape=list(shape), **kw)


@pytest.fixture
def ds(tmp_path):
    return make(*standard(tmp_path))


def gt_mask(ds, masks, classes):
    return ds._build_gt_mask(tf.constant(masks, tf.float32), tf.constant(classes, tf.int32))


def test_module_and_class():
    assert SegmentationDatasetJsonCOCO.__bases__ == (object,)
    assert not issubclass(SegmentationDatasetJsonCOCO, seg.SegmentationDataset)
    assert SegmentationDatasetJsonCOCO.__module__ == "quorvane.trellisk.datasets.segmentation"
    assert list(vars(seg)).index("SegmentationDatasetJsonCOCO") > list(vars(seg)).index(
        "SegmentationDatasetYaml")
    # tqdm is needed only while a COCO file is indexed.
    assert "tqdm" not in vars(seg)
    doc = SegmentationDatasetJsonCOCO.__doc__
    assert "RLE" in doc and "category" in doc


def test_index(ds, tmp_path):
    assert {"train_ann_file", "val_ann_file", "train_images", "val_images", "shape", "letterbox",
            "num_points", "add_bkg_class", "tasks", "crowd", "ignore_value", "train_storage_images",
            "train_images_id", "train_storage_ann", "labels", "train_storage"} <= set(vars(ds))
    assert ds.letterbox is True and ds.num_points == 300 and ds.tasks is None
    assert ds.labels == ["cat", "dog"]
    assert ds.get_num_segmentation_classes() == 3
    assert ds.train_storage_images == ["a.png", "b.png", "c.png", "d.png", "e.png"]
    assert ds.train_images_id == [1, 2, 3, 4, 1]
    assert ds.get_num_train_samples() == 5
    assert ds.train_storage == []
    # Image 3 has no annotation, so no key; the RLE region is kept apart,
    # as written, after the one polygon record of image 2.
    assert sorted(ds.train_storage_ann) == [1, 2, 4]
    assert list(ds._regions) == [2]
    (region,) = ds._regions[2]
    assert region[:4] == (1, 7, True, 12) and region[4]["counts"] == [0, 600, 600]
    two = ds.train_storage_ann[1]
    assert [list(r) for r in two] == [["class", "polygon", "crowd"]] * 2
    assert [r["class"] for r in two] == [7, 7]
    np.testing.assert_array_equal(two[0]["polygon"], [[0, 0], [20, 0], [20, 15], [0, 15]])
    np.testing.assert_array_equal(two[1]["polygon"], [[20, 15], [40, 15], [40, 30], [20, 30]])
    assert [r["class"] for r in ds.train_storage_ann[2]] == [3]
    # Records keep the file's category ids, excluded and unknown ones too.
    assert [r["class"] for r in ds.train_storage_ann[4]] == [0, 99, 3]
    assert ds.train_storage_ann[4][2]["polygon"].dtype == np.float64
    # COCO pictures keep their channels: none is dropped (set to 0) or moved,
    # however often the augmentation runs; the geometric entries and the
    # blur keep a constant picture's channel order.
    image = np.zeros((40, 40, 3), np.uint8) + np.uint8([150, 50, 100])
    mask = np.zeros((40, 40), np.int32)
    for _ in range(40):
        out, _ = ds.apply_augmentation(image, mask)
        mean = out.reshape(-1, 3).astype(np.float64).mean(0)
        if mean.max() - mean.min() > 5:  # not all fill (the warps may move the picture out)
            assert list(np.argsort(mean)) == [1, 2, 0] and mean.min() > 0.2 * mean.max(), mean


@pytest.mark.parametrize("extra_rle", [0, 1])
def test_rle_crowd_regions_are_indexed_without_a_warning(tmp_path, extra_rle):
    json_file, images = standard(tmp_path)
    content = json.loads((tmp_path / "train.json").read_text())
    content["annotations"] += [dict(content["annotations"][2], id=16)] * extra_rle
    write_coco(tmp_path / "train.json", content)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ds = SegmentationDatasetJsonCOCO(json_file, None, images, None, [32, 32, 3])
    assert not [w for w in caught if "RLE" in str(w.message)]
    assert [r["class"] for r in ds.train_storage_ann[2]] == [3]
    assert [r[3] for r in ds._regions[2]] == [12, 16][:1 + extra_rle]


@pytest.mark.parametrize("crowd_flags, columns", [
    ([1, 0], {"object": (1, 1, 2), "ignore": (1, 255, 2), "skip": (1, 2, 2)}),
    ([0, None], {"object": (1, 1, 2), "ignore": (1, 1, 2), "skip": (1, 1, 2)}),
])
def test_rle_objects_are_painted_and_crowd_regions_follow_the_policy(tmp_path, crowd_flags, columns):
    # Image 2 (40 x 30): a dog polygon over the whole picture, then an RLE
    # region of class cat over columns 0-19 and one over columns 0-9 (runs
    # go down the columns, 30 pixels each), crowd or not as given.
    json_file, images = standard(tmp_path)
    content = json.loads((tmp_path / "train.json").read_text())
    rle = content["annotations"][2]
    content["annotations"][2:3] = [dict(rle, id=20 + k, iscrowd=flag) for k, flag in enumerate(crowd_flags)]
    for a in content["annotations"][2:4]:
        if a["iscrowd"] is None:
            del a["iscrowd"]
    content["annotations"][3]["segmentation"] = {"counts": [0, 300, 900], "size": [30, 40]}
    write_coco(tmp_path / "train.json", content)
    for policy, (first, second, rest) in columns.items():
        ds = SegmentationDatasetJsonCOCO(json_file, None, images, None, [30, 40, 3], crowd=policy)
        (_, masks), = list(ds.build_train_iterator(1, augment=False).filter(
            lambda image, mask: tf.reduce_all(image[0, 0] == COLOURS[1])))
        mask = masks.numpy()[0]
        assert (mask[:, :10] == first).all() and (mask[:, 10:20] == second).all(), policy
        assert (mask[:, 20:] == rest).all(), policy


@pytest.mark.parametrize("ids", [["139", "img-140"], ["139", 140], [139, "139"]])
def test_string_image_ids_train_end_to_end(tmp_path, ids):
    write_images(tmp_path / "images", ["a.png", "b.png"])
    content = {
        "images": [{"file_name": "a.png", "id": ids[0]}, {"file_name": "b.png", "id": ids[1]}],
        "categories": [{"id": 1, "name": "thing"}],
        "annotations": [{"id": 1, "image_id": i, "category_id": 1,
                         "segmentation": [[0, 0, 40, 0, 40, 30, 0, 30]]} for i in ids],
    }
    ds = make(write_coco(tmp_path / "train.json", content), str(tmp_path / "images"), letter_box=False)
    assert ds._read_data(ids[1])[2].tolist() == [0]
    ds._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
    (image, mask), = list(ds.build_train_iterator(batch_size=2))
    assert image.shape == (2, 32, 32, 3)
    # Every sample found its polygon (ids used to become b'139' on the way).
    assert (mask.numpy() == 1).all()


def test_progress_bars(tmp_path, monkeypatch):
    import tqdm

    seen = []
    real = tqdm.tqdm

    def recording(iterable, *args, **kwargs):
        seen.append((kwargs.get("desc"), len(iterable)))
        return real(iterable, *args, **kwargs)

    monkeypatch.setattr(tqdm, "tqdm", recording)
    make(*standard(tmp_path))
    assert seen == [("Reading images", 5), ("Parsing annotations", 6)]


@pytest.mark.parametrize("image_id,colour", [(1, COLOURS[0]), (np.int32(1), COLOURS[0]),
                                             (np.int64(2), COLOURS[1])])
def test_repeated_ids_read_the_first_entry(ds, image_id, colour):
    image, masks, classes = ds._read_data(image_id)
    assert image.dtype == np.uint8 and image.shape == (32, 32, 3)
    # Letterboxed 40x30 -> 32x24 at rows 4..27, grey above and below.
    np.testing.assert_array_equal(image[16, 16], colour)
    np.testing.assert_array_equal(image[0, 0], (114, 114, 114))


def test_image_without_annotation_is_all_background(ds):
    image, masks, classes = ds._read_data(3)
    assert image.shape == (32, 32, 3)
    assert masks.dtype == np.float32 and masks.shape == (0,)
    assert classes.dtype == np.int32 and classes.shape == (0,)
    _, mask = ds.build_gt_mask([tf.constant(image), tf.constant(masks), tf.constant(classes)])
    mask = mask.numpy()
    assert mask.shape == (32, 32) and mask.dtype == np.int32 and not mask.any()


def test_classes_are_positions_in_labels(ds):
    # Category 7 is labels[0] ("cat"), category 3 labels[1] ("dog").
    _, masks, classes = ds._read_data(1)
    assert masks.shape == (2, 300, 2) and classes.tolist() == [0, 0]
    _, _, classes = ds._read_data(2)
    assert classes.tolist() == [1]
    # Category 0 and the unknown category 99 are skipped with their polygons.
    _, masks, classes = ds._read_data(4)
    assert masks.shape == (1, 300, 2) and classes.tolist() == [1]
    mask = gt_mask(ds, masks, classes)
    assert set(np.unique(mask)) == {0, 2}
    assert mask.max() < ds.get_num_segmentation_classes()


def test_mask_lines_up_with_letterboxed_image(ds):
    # The whole 40x30 picture as one polygon: letterboxed to 32x24 at rows 4..28.
    image, masks, classes = ds._read_data(2)
    mask = gt_mask(ds, masks, classes)
    assert (mask[4:29] == 2).all()
    assert not mask[:4].any() and not mask[29:].any()
    grey = (image == 114).all(axis=2)
    assert grey[:4].all() and not grey[4:28].any()


def worked_example(tmp_path):
    """A 100 x 200 image with the polygon [10, 20, 30, 20, 30, 40]."""
    write_images(tmp_path / "images", ["big.png"], size=(100, 200))
    return write_coco(tmp_path / "t.json", {
        "images": [{"file_name": "big.png", "id": 5}], "categories": [{"id": 1, "name": "x"}],
        "annotations": [{"image_id": 5, "category_id": 1,
                         "segmentation": [[10, 20, 30, 20, 30, 40]]}]}), str(tmp_path / "images")


def test_normalised_points_and_resize(tmp_path, monkeypatch):
    calls = []
    real = seg.mask_padding

    def spy(polygon, w, h, padw, padh):
        calls.append((np.array(polygon), w, h, padw, padh))
        return real(polygon, w, h, padw, padh)

    monkeypatch.setattr(seg, "mask_padding", spy)
    ds = make(*worked_example(tmp_path), shape=(320, 320, 3), letter_box=False)
    image, masks, classes = ds._read_data(5)
    assert image.shape == (320, 320, 3)
    (polygon, w, h, padw, padh), = calls
    np.testing.assert_allclose(polygon, [[0.1, 0.1], [0.3, 0.1], [0.3, 0.2]], rtol=1e-6)
    assert (w, h, padw, padh) == (320, 320, 0, 0)
    assert masks.shape == (1, 300, 2)


@pytest.mark.parametrize("num_points,expected", [
    (3, [[10, 20], [30, 20], [30, 40]]),
    (5, [[10, 20], [20, 20], [30, 20], [30, 30], [30, 40]]),
])
def test_resampling_worked_examples(tmp_path, num_points, expected):
    # Not letterboxed, at the image's own size: pixels map to themselves.
    ds = make(*worked_example(tmp_path), shape=(200, 100, 3), letter_box=False,
              num_points=num_points)
    _, masks, classes = ds._read_data(5)
    assert masks.dtype == np.float32 and classes.tolist() == [0]
    np.testing.assert_allclose(masks[0], expected, atol=1e-4)


def degenerate_file(tmp_path):
    tmp_path.mkdir(exist_ok=True)
    write_images(tmp_path / "images", ["a.png"])
    return write_coco(tmp_path / "t.json", {
        "images": [{"file_name": "a.png", "id": 1}], "categories": [{"id": 1, "name": "x"}],
        "annotations": [
            {"image_id": 1, "category_id": 1, "segmentation": [
                [5, 5, 5, 5, 5, 5],                      # total length 0: dropped
                [7, 7],                                   # one point: dropped
                [0, 0, 0, 0, 20, 0, 20, 0, 20, 20],       # repeated vertices: kept
            ]}]}), str(tmp_path / "images")


def test_degenerate_outlines(tmp_path):
    ds = make(*degenerate_file(tmp_path), num_points=9)
    _, masks, classes = ds._read_data(1)
    assert masks.shape == (1, 9, 2) and classes.tolist() == [0]
    assert np.isfinite(masks).all()
    # Letterboxed 40x30 -> scale 0.8, rows offset by 4.
    np.testing.assert_allclose(masks[0][[0, -1]], [[0, 4], [16, 20]], atol=1e-4)


def test_rebound_interp1d_is_called(tmp_path, monkeypatch):
    real = seg.interp1d
    calls = []

    def spy(x, y, **kwargs):
        calls.append(kwargs)
        return real(x, y, **kwargs)

    monkeypatch.setattr(seg, "interp1d", spy)
    ds = make(*standard(tmp_path), num_points=5)
    _, masks, _ = ds._read_data(1)
    assert calls == [{"kind": "slinear", "axis": 0}] * 2
    assert masks.shape == (2, 5, 2)


def test_build_val_iterator_is_none(ds):
    assert ds.build_val_iterator() is None
    assert ds.build_val_iterator(3, 4) is None
    assert ds.build_val_iterator(batch_size=1, prefetch=1) is None


def test_training_pipeline(ds):
    pipeline = ds.build_train_iterator(batch_size=2, prefetch=2)
    classes = ds.get_num_segmentation_classes()
    for _ in range(2):  # two passes: not repeated, remainder dropped
        batches = list(pipeline)
        assert len(batches) == 2
        for image, mask in batches:
            assert image.dtype == tf.uint8 and image.shape == (2, 32, 32, 3)
            assert mask.dtype == tf.int32 and mask.shape == (2, 32, 32)
            assert 0 <= int(tf.reduce_min(mask)) and int(tf.reduce_max(mask)) < classes


def test_augmentation_keeps_channels_and_types(ds):
    image = np.zeros((32, 32, 3), np.uint8)
    image[..., 0] = 255
    mask = np.ones((32, 32), np.int64)
    for _ in range(20):
        out_image, out_mask = ds.apply_augmentation(image=image, mask=mask)
        assert out_image.dtype == np.uint8 and out_image.shape == (32, 32, 3)
        assert out_mask.dtype == np.int32 and out_mask.shape == (32, 32)
        # Never a dropped or shuffled channel: red stays red where not filled.
        assert not (out_image[..., 1:] == 255).any()
    image_t, mask_t = ds.tf_apply_augmentation(tf.constant(image), tf.constant(mask, tf.int32))
    assert image_t.dtype == tf.uint8 and mask_t.dtype == tf.int32


# ------------------------------------------------------------------ bad input

@pytest.mark.parametrize("kwargs,name", [
    ({"train_json_file": b"x.json"}, "train_json_file"),
    ({"val_json_file": 1}, "val_json_file"),
    ({"train_images": object()}, "train_images"),
    ({"shape": (32, 32, 3)}, "shape"),
    ({"tasks": ("segment",)}, "tasks"),
])
def test_argument_types_first(kwargs, name):
    with pytest.raises(TypeError, match=f"Argument '{name}' has incorrect type"):
        SegmentationDatasetJsonCOCO(**kwargs)


@pytest.mark.parametrize("path", [None, "", "missing.json", os.fsdecode(b"caf\xe9.json")])
def test_missing_file(tmp_path, path):
    with pytest.raises(FileNotFoundError) as info:
        SegmentationDatasetJsonCOCO(path, shape=[32, 32, 3])
    assert str(info.value) == FILE_MSG.format(path)


def test_shape_fails_before_file_check():
    with pytest.raises(TypeError):
        SegmentationDatasetJsonCOCO("missing.json")


@pytest.mark.parametrize("content,error,message", [
    ({"annotations": [{"image_id": 1, "segmentation": [[0, 0, 1, 0, 1, 1]]}]},
     ValueError, IMAGES_MSG),
    ({"images": [], "annotations": "ignored"}, ValueError, IMAGES_MSG),
    ({"images": [{"file_name": "a.png", "id": 1}]}, ValueError, ANNS_MSG),
    ({"images": [{"file_name": "a.png", "id": 1}], "annotations": []}, ValueError, ANNS_MSG),
])
def test_empty_sections(tmp_path, content, error, message):
    json_file = write_coco(tmp_path / "t.json", content)
    with pytest.raises(error) as info:
        make(json_file, str(tmp_path))
    assert str(info.value) == message


def test_not_json(tmp_path):
    (tmp_path / "t.json").write_text("{not json")
    with pytest.raises(json.JSONDecodeError):
        make(str(tmp_path / "t.json"), str(tmp_path))


@pytest.mark.parametrize("annotation,error", [
    ({"id": 42, "image_id": 1, "segmentation": [[0, 0, 1, 0, 1]]}, ValueError),
    ({"id": 42, "image_id": 1}, TypeError),
])
def test_bad_annotation_names_it(tmp_path, annotation, error):
    json_file = write_coco(tmp_path / "t.json", {
        "images": [{"file_name": "a.png", "id": 1}],
        "annotations": [{"image_id": 1, "segmentation": [[0, 0, 1, 0, 1, 1]]}, annotation]})
    with pytest.raises(error) as info:
        make(json_file, str(tmp_path))
    note = " ".join(info.value.__notes__)
    assert "42" in note and "t.json" in note


def test_unknown_id_and_missing_image(ds, tmp_path):
    with pytest.raises(ValueError, match="not in list"):
        ds._read_data(77)
    (tmp_path / "images" / "b.png").unlink()
    with pytest.raises(FileNotFoundError) as info:
        ds._read_data(2)
    assert "b.png" in " ".join(info.value.__notes__)
    # Inside the pipeline the error surfaces when the batch is drawn.
    pipeline = ds.build_train_iterator(batch_size=5)
    with pytest.raises(tf.errors.OpError, match="b.png") as info:
        list(pipeline)
    assert "while reading image id 2" in info.value.message


@pytest.mark.parametrize("given", ["plain", "tensor"])
@pytest.mark.parametrize("ids", [["img-1", "img-2"], ["139", 140]])
def test_read_data_takes_the_readers_own_string_id(tmp_path, ids, given):
    write_images(tmp_path / "images", ["a.png", "b.png"])
    content = {
        "images": [{"file_name": "a.png", "id": ids[0]}, {"file_name": "b.png", "id": ids[1]}],
        "categories": [{"id": 1, "name": "thing"}],
        "annotations": [{"id": 1, "image_id": ids[0], "category_id": 1,
                         "segmentation": [[0, 0, 40, 0, 40, 30, 0, 30]]}],
    }
    ds = make(write_coco(tmp_path / "train.json", content), str(tmp_path / "images"))
    image_id = ds.train_images_id[0]
    image, polygons, classes = ds.read_data(tf.constant(image_id) if given == "tensor" else image_id)
    expected = ds._read_data(image_id)
    np.testing.assert_array_equal(image.numpy(), expected[0])
    assert classes.numpy().tolist() == expected[2].tolist() == [0]
    with pytest.raises(ValueError, match="img-9"):
        ds.read_data("img-9")
