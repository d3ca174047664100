"""COCO RLE regions: the decoder against the COCO reference API, broken
input, painting into the output frame on both pipelines, drawing order with
polygons, the crowd policies, and augmentation of the ignore value."""

import json

import cv2
import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from quorvane.trellisk.datasets import _rle, graph
from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO

mask_api = pytest.importorskip("pycocotools.mask")


def reference_rle(mask):
    """The reference API's compressed RLE of a binary mask, as a JSON file holds it."""
    rle = mask_api.encode(np.asfortranarray(mask.astype(np.uint8)))
    return {"size": [int(v) for v in rle["size"]], "counts": rle["counts"].decode("ascii")}


def random_masks():
    rng = np.random.default_rng(7)
    out = [np.zeros((1, 1)), np.ones((1, 1)), np.zeros((5, 3)), np.ones((4, 6)),
           np.eye(9, 4), np.zeros((0, 0))]
    for h, w, density in [(30, 40, 0.5), (17, 3, 0.05), (64, 64, 0.97), (2, 300, 0.5)]:
        out.append(rng.random((h, w)) < density)
    # Long runs: the text form needs several groups per run and negative deltas.
    big = np.zeros((400, 500), bool)
    big[37:390, 11:480] = True
    big[100:120, 200:260] = False
    out.append(big)
    return out


@pytest.mark.parametrize("mask", random_masks(), ids=lambda m: "x".join(map(str, m.shape)))
def test_decoder_agrees_with_the_reference_api(mask):
    mask = np.asarray(mask, np.uint8)
    text = reference_rle(mask) if mask.size else {"size": [0, 0], "counts": ""}
    np.testing.assert_array_equal(_rle.decode(text), mask)
    # The list form of the same runs, and our text form read by the reference.
    runs = _rle.runs(text)
    assert runs.sum() == mask.size
    np.testing.assert_array_equal(_rle.decode({"size": text["size"], "counts": runs.tolist()}), mask)
    if mask.size:
        assert _rle.encode(mask)["counts"] == text["counts"]
        uncompressed = _rle.encode(mask, compressed=False)
        again = mask_api.frPyObjects(uncompressed, *mask.shape)
        np.testing.assert_array_equal(mask_api.decode(again), mask)
        ref = mask_api.encode(np.asfortranarray(mask))
        assert _rle.area(text) == int(mask_api.area(ref))
        box = _rle.extent(text)
        if mask.any():
            ys, xs = np.nonzero(mask)
            assert box == (xs.min(), ys.min(), xs.max() - xs.min() + 1, ys.max() - ys.min() + 1)
            assert list(box) == [int(v) for v in mask_api.toBbox(ref)]
        else:
            assert box is None


@pytest.mark.parametrize("rle, expected, message", [
    ({"size": [3, 4], "counts": [2, 5, 4]}, None, "add up to 11, not height x width = 3 x 4 = 12"),
    ({"size": [3, 4], "counts": [2, 5, 6]}, None, "add up to more than height x width"),
    ({"size": [3, 4], "counts": [2, -5, 15]}, None, "run 1 is negative"),
    ({"size": [3, 4], "counts": [2, 5.5, 4.5]}, None, "item 1 is not a whole number"),
    ({"size": [3, 4], "counts": "2 5"}, None, "holds ' ' at position 1"),
    ({"size": [3, 4], "counts": "0k"}, None, "ends inside a run"),
    ({"size": [3, 4], "counts": "o" * 13 + "0"}, None, "too long to be a number"),
    ({"size": [3, 4], "counts": "\u00e9"}, None, "byte 0xc3"),
    ({"size": [3, 4], "counts": 12}, None, "\"counts\" must be a string or a list"),
    ({"size": [3], "counts": [12]}, None, "\"size\" must be [height, width]"),
    ({"counts": [12]}, None, "has no \"size\""),
    ({"size": [3, 4], "counts": [12]}, (4, 3), "size [3, 4] differs from the image's height and width [4, 3]"),
    ({"size": [-3, 4], "counts": []}, None, "is not a height and width"),
    ([1, 2], None, "must be an object"),
])
def test_broken_rle_is_a_value_error_saying_why(rle, expected, message):
    with pytest.raises(ValueError, match="^RLE .*" + __import__("re").escape(message)):
        _rle.decode(rle, *(expected or (None, None)))


def nearest(region, out_shape, frame):
    """The region placed by nearest neighbour, pixel by pixel: an output pixel
    whose centre lies on the picture takes the source pixel nearest to it,
    source pixel (i, j) standing at (i * w / width + padw, j * h / height + padh)."""
    w, h, padw, padh = frame
    height, width = region.shape
    ys, xs = np.indices(out_shape, dtype=np.float64)
    inside = (ys + 0.5 >= padh) & (ys + 0.5 < padh + h) & (xs + 0.5 >= padw) & (xs + 0.5 < padw + w)
    sy = np.clip(np.floor((ys - padh) * height / h + 0.5), 0, height - 1).astype(int)
    sx = np.clip(np.floor((xs - padw) * width / w + 0.5), 0, width - 1).astype(int)
    return inside & (region[sy, sx] > 0)


@pytest.mark.parametrize("out_shape, frame", [
    ((30, 40), (40, 30, 0, 0)),          # the same size
    ((64, 64), (64, 48, 0, 8)),          # letterboxed, enlarged
    ((13, 17), (17, 13, 0, 0)),          # stretched, shrunk
    ((50, 50), (33.3, 25.7, 8.35, 12.15)),  # fractional placement
    ((20, 20), (60, 45, -20, -12)),      # larger than the canvas: clipped
    ((20, 20), (40, 30, 25, 0)),         # off the canvas: nothing
])
def test_painting_places_each_pixel_by_nearest_neighbour(out_shape, frame):
    rng = np.random.default_rng(5)
    region = (rng.random((30, 40)) < 0.4) | (np.add.outer(np.arange(30), np.arange(40)) % 7 < 2)
    runs = _rle.runs(_rle.encode(region.astype(np.uint8)))
    packed = np.concatenate([[30, 40, 9, 0, len(runs)], runs]).astype(np.int64)
    painter = SegmentationDatasetJsonCOCO.__new__(SegmentationDatasetJsonCOCO)
    painter.shape = list(out_shape) + [3]
    mask = painter._build_gt_mask(np.zeros((0, 1, 2), np.float32), np.zeros(0, np.int32), regions=packed,
                                  frame=np.array(frame, np.float64))
    np.testing.assert_array_equal(mask, np.where(nearest(region, out_shape, frame), 9, 0))


# ---------------------------------------------------------------- datasets

SHAPE = [48, 64, 3]


def write_dataset(tmp_path, annotations, size=(50, 40), categories=("a", "b", "c"), picture=None,
                  entry_size=True):
    """One image of `size` (width, height) with the given annotations."""
    (tmp_path / "images").mkdir(parents=True, exist_ok=True)
    w, h = size
    if picture is None:
        picture = np.random.default_rng(1).integers(0, 255, (h, w, 3), dtype=np.uint8)
    Image.fromarray(picture).save(tmp_path / "images" / "p.png")
    entry = {"file_name": "p.png", "id": 1}
    if entry_size:
        entry.update(height=h, width=w)
    content = {"images": [entry],
               "categories": [{"id": k + 1, "name": n} for k, n in enumerate(categories)],
               "annotations": [dict(a, image_id=1, id=a.get("id", 100 + k)) for k, a in enumerate(annotations)]}
    (tmp_path / "c.json").write_text(json.dumps(content))
    return str(tmp_path / "c.json"), str(tmp_path / "images")


def dataset(tmp_path, annotations, shape=SHAPE, **kw):
    files = write_dataset(tmp_path, annotations, **{k: kw.pop(k) for k in ("size", "entry_size") if k in kw})
    return SegmentationDatasetJsonCOCO(files[0], train_images=files[1], shape=list(shape), **kw)


def default_mask(ds):
    """The one sample's mask as the default training pipeline gives it."""
    (_, masks), = list(ds.build_train_iterator(1, augment=False))
    return masks.numpy()[0]


def graph_mask(ds):
    (_, masks), = list(graph.train_pipeline(ds, 1, seed=1, augment=False))
    return masks.numpy()[0]


def raster(polygon, size):
    w, h = size
    mask = np.zeros((h, w), np.uint8)
    cv2.fillPoly(mask, [np.round(np.reshape(polygon, (-1, 2))).astype(np.int32)], 1)
    return mask


POLYGON = [6, 4, 44, 9, 38, 35, 12, 30, 20, 18]


@pytest.mark.parametrize("size, shape, letter_box", [
    ((50, 40), [48, 64, 3], True), ((50, 40), [48, 64, 3], False),
    ((50, 40), [160, 200, 3], True), ((200, 120), [40, 30, 3], True), ((200, 120), [40, 30, 3], False)])
def test_an_object_stored_both_ways_paints_the_same_pixels(tmp_path, size, shape, letter_box):
    polygon = (np.array(POLYGON, float).reshape(-1, 2) * np.array(size) / (50, 40)).ravel()
    rle = reference_rle(raster(polygon, size))
    kinds = {"polygon": [polygon.tolist()], "rle": rle}
    masks = {}
    for kind, segmentation in kinds.items():
        ds = dataset(tmp_path / kind, [{"category_id": 2, "segmentation": segmentation}], size=size,
                     shape=shape, letter_box=letter_box)
        masks[kind] = default_mask(ds)
        np.testing.assert_array_equal(graph_mask(ds), masks[kind])
    assert set(np.unique(masks["rle"])) == {0, 2}  # nearest neighbour: no new value
    differ = masks["polygon"] != masks["rle"]
    # Only along the border: within one pixel of it, a source pixel when the
    # picture is enlarged (the RLE is a rasterisation at the source size).
    inside = (masks["polygon"] > 0).astype(np.uint8)
    distance = np.maximum(cv2.distanceTransform(inside, cv2.DIST_L2, 5),
                          cv2.distanceTransform(1 - inside, cv2.DIST_L2, 5))
    scale = max(1.0, shape[0] / size[1], shape[1] / size[0])
    assert distance[differ].max(initial=0) <= scale + 0.5
    assert (masks["rle"] > 0).sum() > 0.5 * inside.sum()


def square(x0, y0, x1, y1, size=(50, 40)):
    w, h = size
    m = np.zeros((h, w), np.uint8)
    m[y0:y1, x0:x1] = 1
    return m


def layered(list_form=False):
    """Three overlapping objects in file order: polygon (class a), RLE region
    (class b, crowd), polygon (class c, crowd), and a non-crowd RLE (class a)."""
    rle = reference_rle(square(10, 5, 40, 30))
    if list_form:
        rle = {"size": rle["size"], "counts": _rle.runs(rle).tolist()}
    return [
        {"category_id": 1, "segmentation": [[0, 0, 30, 0, 30, 20, 0, 20]]},
        {"category_id": 2, "segmentation": rle, "iscrowd": 1},
        {"category_id": 3, "segmentation": [[25, 15, 50, 15, 50, 40, 25, 40]], "iscrowd": 1},
        {"category_id": 1, "segmentation": reference_rle(square(44, 0, 50, 6))},
    ]


def expected_mask(tmp_path, objects, policy, ignore_value=255):
    """Each object painted alone (as an ordinary object of class 1), then
    layered in file order with the value the policy gives it."""
    out = np.zeros((40, 50), np.int32)
    for k, ann in enumerate(objects):
        alone = dataset(tmp_path / "alone{}".format(k), [dict(ann, category_id=1, iscrowd=0)],
                        shape=[40, 50, 3])
        covered = default_mask(alone) > 0
        value = ann["category_id"]
        if ann.get("iscrowd"):
            value = {"object": value, "ignore": ignore_value, "skip": None}[policy]
        if value is not None:
            out[covered] = value
    return out


@pytest.mark.parametrize("list_form", [False, True])
@pytest.mark.parametrize("policy, ignore_value", [("object", 255), ("ignore", 255), ("ignore", 4), ("skip", 255)])
def test_policies_and_drawing_order_on_both_pipelines(tmp_path, policy, ignore_value, list_form):
    ds = dataset(tmp_path, layered(list_form), shape=[40, 50, 3], crowd=policy, ignore_value=ignore_value)
    about = ds.describe()
    assert (about.crowd, about.ignore_value) == (policy, ignore_value)
    want = expected_mask(tmp_path, layered(list_form), policy, ignore_value)
    # Every object painted shows somewhere, so order and values are all tested.
    values = {"object": {0, 1, 2, 3}, "ignore": {0, 1, ignore_value}, "skip": {0, 1}}[policy]
    assert set(np.unique(want)) == values
    np.testing.assert_array_equal(default_mask(ds), want)
    np.testing.assert_array_equal(graph_mask(ds), want)
    # The polygon outputs of the reader stay polygon-only.
    _, polygons, classes = ds._read_data(1)
    assert len(polygons) == len(classes) == (1 if policy == "skip" else 2)


def test_default_policy_paints_crowd_regions_with_their_class(tmp_path):
    ds = dataset(tmp_path, layered(), shape=[40, 50, 3])
    assert (ds.crowd, ds.ignore_value) == ("object", 255)
    want = expected_mask(tmp_path, layered(), "object")
    assert set(np.unique(want)) == {0, 1, 2, 3}
    np.testing.assert_array_equal(default_mask(ds), want)


@pytest.mark.parametrize("kw, message", [
    ({"crowd": "ignored"}, "crowd must be 'object', 'ignore' or 'skip'"),
    ({"crowd": None}, "crowd must be"),
    ({"crowd": "ignore", "ignore_value": 3}, "ignore_value 3 is a class value"),
    ({"crowd": "ignore", "ignore_value": 0}, "ignore_value must be a whole number from 1"),
    ({"ignore_value": 2.5}, "ignore_value must be a whole number"),
    ({"ignore_value": True}, "ignore_value must be a whole number"),
    ({"ignore_value": 2 ** 31}, "ignore_value must be a whole number"),
])
def test_bad_policy_is_a_value_error_at_construction(tmp_path, kw, message):
    with pytest.raises(ValueError, match=__import__("re").escape(message)):
        dataset(tmp_path, layered(), **kw)


def test_policy_parameters_are_keyword_only(tmp_path):
    files = write_dataset(tmp_path, layered())
    with pytest.raises(TypeError, match=r"takes at most 10 positional arguments \(12 given\)"):
        SegmentationDatasetJsonCOCO(files[0], None, files[1], None, SHAPE, True, 300, True, None, "skip", 255)
    import inspect
    params = inspect.signature(SegmentationDatasetJsonCOCO.__init__).parameters
    assert [p.name for p in params.values() if p.kind is p.KEYWORD_ONLY] == ["crowd", "ignore_value"]


@pytest.mark.parametrize("rle, message", [
    ({"size": [40, 50], "counts": [5, 5]}, "add up to 10, not height x width = 40 x 50"),
    ({"size": [40, 50], "counts": "0k"}, "ends inside a run"),
    ({"size": [50, 40], "counts": [2000]}, "size [50, 40] differs from the image's height and width [40, 50]"),
])
def test_broken_rle_names_the_annotation_on_both_pipelines(tmp_path, rle, message):
    ds = dataset(tmp_path, [{"category_id": 1, "segmentation": rle, "id": 4242}])
    with pytest.raises(ValueError, match=r"annotation 4242: RLE .*" + __import__("re").escape(message)):
        ds._read_sample(1)
    with pytest.raises(tf.errors.InvalidArgumentError, match=r"annotation 4242: RLE"):
        default_mask(ds)
    with pytest.raises(tf.errors.InvalidArgumentError,
                       match=r"p\.png: annotation 4242: RLE .*" + __import__("re").escape(message)):
        graph_mask(ds)


def test_rle_is_decoded_when_read_not_at_indexing(tmp_path):
    # A broken region constructs fine (check reports it) and fails when read.
    ds = dataset(tmp_path, [{"category_id": 1, "segmentation": {"size": [40, 50], "counts": "!"}}])
    assert ds._regions[1][0][4]["counts"] == "!"
    with pytest.raises(ValueError, match="annotation 100"):
        ds._read_sample(1)


def tool_export(tmp_path, n=4):
    """A file as annotation tools export it: every mask compressed RLE with
    "iscrowd" 1; image k holds a rectangle of class k % 2 + 1."""
    (tmp_path / "images").mkdir()
    images, annotations, expected = [], [], {}
    for k in range(n):
        picture = np.full((40, 50, 3), 30 * k, np.uint8)
        Image.fromarray(picture).save(tmp_path / "images" / "{}.png".format(k))
        images.append({"file_name": "{}.png".format(k), "id": k + 1, "height": 40, "width": 50})
        region = square(5 + k, 3, 30 + k, 25)
        annotations.append({"id": k, "image_id": k + 1, "category_id": k % 2 + 1, "iscrowd": 1,
                            "segmentation": reference_rle(region), "area": int(region.sum()),
                            "bbox": [5 + k, 3, 25, 22]})
        expected[30 * k] = region.astype(np.int32) * (k % 2 + 1)
    (tmp_path / "c.json").write_text(json.dumps({
        "images": images, "annotations": annotations,
        "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}]}))
    return str(tmp_path / "c.json"), str(tmp_path / "images"), expected


@pytest.mark.parametrize("letter_box", [True, False])
def test_a_tool_export_trains_with_the_right_masks_on_both_pipelines(tmp_path, letter_box):
    json_file, images, expected = tool_export(tmp_path)
    ds = SegmentationDatasetJsonCOCO(json_file, train_images=images, shape=[40, 50, 3], letter_box=letter_box)
    for pipeline in (ds.build_train_iterator(2, augment=False),
                     graph.train_pipeline(ds, 2, seed=3, augment=False)):
        seen = 0
        for pictures, masks in pipeline:
            for picture, mask in zip(pictures.numpy(), masks.numpy()):
                np.testing.assert_array_equal(mask, expected[int(picture[0, 0, 0])])
                seen += 1
        assert seen == 4
    # Augmented training keeps the classes and nothing else.
    for _, masks in ds.build_train_iterator(2):
        assert set(np.unique(masks.numpy())) <= {0, 1, 2}


@pytest.mark.parametrize("native", [False, True])
def test_augmentation_treats_the_ignore_value_as_a_label(tmp_path, native, monkeypatch):
    from quorvane.trellisk.datasets import augment

    ds = dataset(tmp_path, layered(), shape=[40, 50, 3], crowd="ignore", ignore_value=255)
    if native:
        augment.use_native_augmentation(ds, seed=4)
    image, polygons, classes, regions, frame = ds._read_sample(1)
    mask = ds._build_gt_mask(polygons, classes, regions=regions, frame=frame)
    assert set(np.unique(mask)) == {0, 1, 255}
    kept = 0
    for _ in range(40):
        _, out = ds.apply_augmentation(image, mask)
        values = set(np.unique(out))
        # Never blended into a value in between, never turned into a class.
        assert values <= {0, 1, 255}
        kept += 255 in values
    assert kept >= 30  # crops may cut the region out now and then, never always
