"""Outlines in records: the features written beside the detection ones, the
checked reading of them, and detection boxes that stay tight through the
augmentation when objects come with their outlines."""

import math

import numpy as np
import pytest
import tensorflow as tf

from quorvane.trellisk import ops
from quorvane.trellisk.datasets import formats, graph, records
from quorvane.trellisk.datasets._detaug import DetectionAugmentConfig, augment_group, draw_plan
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
from test_tfrecord import write_records

JPEG = tf.io.encode_jpeg(np.full((30, 40, 3), 90, np.uint8)).numpy()
TRIANGLE = [(0.1, 0.1), (0.9, 0.2), (0.5, 0.8)]
# Two objects: a triangle of class 2, and class 0 in two parts.
OUTLINES = [(2, [TRIANGLE]), (0, [[(0.2, 0.5), (0.3, 0.5), (0.3, 0.6)], [(0.6, 0.6), (0.7, 0.9), (0.6, 0.9), (0.5, 0.7)]])]
BOXES = [0.5, 0.45, 0.8, 0.7, 0.45, 0.7, 0.5, 0.4]


def encode(objects=(2, 0), bboxes=BOXES, outlines=OUTLINES, name="r.jpg"):
    return records.encode_example(JPEG, name, 40, 30, list(objects), list(bboxes), outlines=outlines)


def parse(record):
    return tf.io.parse_single_example(record, formats.record_features(tf, outlines=True))


def read(record, max_class=5, match=True, shape=None, letter_box=True):
    sample = parse(record)
    return ops.record_outlines(sample, max_class, tf.constant([30, 40]), shape, letter_box,
                               match_objects=match, source=sample["image_name"])


# ------------------------------------------------------------------ records

def test_outlines_round_trip_and_leave_the_detection_features_alone():
    plain = records.encode_example(JPEG, "r.jpg", 40, 30, [2, 0], BOXES)
    assert encode(outlines=None) == plain
    record = encode()
    assert record == encode()  # the same values give the same bytes
    ours, theirs = parse(record), parse(plain)
    for name, _, _ in formats.RECORD_FEATURES:
        a, b = ours[name], theirs[name]
        a, b = (tf.sparse.to_dense(a), tf.sparse.to_dense(b)) if isinstance(a, tf.SparseTensor) else (a, b)
        assert np.array_equal(a.numpy(), b.numpy()), name
    points, parts, classes = (t.numpy() for t in read(record))
    assert classes.tolist() == [2, 0]
    assert parts.tolist() == [[0, 0, 3], [1, 3, 3], [1, 6, 4]]
    flat = [p for _, polygons in OUTLINES for polygon in polygons for p in polygon]
    assert np.array_equal(points, np.asarray(flat, np.float32))


def test_old_records_read_with_no_outlines():
    points, parts, classes = read(records.encode_example(JPEG, "r.jpg", 40, 30, [1], BOXES[:4]))
    assert points.shape == (0, 2) and parts.shape == (0, 3) and classes.shape == (0,)


@pytest.mark.parametrize("shape, letter_box, frame", [
    ([60, 80], True, (80, 60, 0, 0)),
    ([60, 120], True, (80, 60, 20, 0)),      # letterboxed: scaled by 2, centred
    ([60, 120], False, (120, 60, 0, 0)),     # stretched
])
def test_points_in_pixels_follow_the_letterbox_frame(shape, letter_box, frame):
    points = read(encode(), shape=shape, letter_box=letter_box)[0].numpy()
    w, h, padw, padh = frame
    expect = np.asarray([p for _, polygons in OUTLINES for polygon in polygons for p in polygon], np.float32)
    assert np.allclose(points, expect * [w, h] + [padw, padh], atol=1e-4)


def spoil(**change):
    values = {"classes": [2, 0], "parts": [1, 2], "vertices": [3, 3, 4],
              "xy": [v for _, polygons in OUTLINES for polygon in polygons for p in polygon for v in p]}
    values.update(change)
    feature = {
        formats.OUTLINE_CLASSES: tf.train.Feature(int64_list=tf.train.Int64List(value=values["classes"])),
        formats.OUTLINE_PARTS: tf.train.Feature(int64_list=tf.train.Int64List(value=values["parts"])),
        formats.OUTLINE_VERTICES: tf.train.Feature(int64_list=tf.train.Int64List(value=values["vertices"])),
        formats.OUTLINE_XY: tf.train.Feature(float_list=tf.train.FloatList(value=values["xy"])),
    }
    example = tf.train.Example.FromString(encode(outlines=None))
    for key, value in feature.items():
        example.features.feature[key].CopyFrom(value)
    return example.SerializeToString()


XY = [v for _, polygons in OUTLINES for polygon in polygons for p in polygon for v in p]


@pytest.mark.parametrize("change, words", [
    ({"parts": [1]}, "outline_parts has 1 entries for 2 objects"),
    ({"parts": [1, 3]}, "exceeds"),
    ({"parts": [1, 1]}, "adds up to 2 parts but outline_vertices lists 3"),
    ({"parts": [-1, 4]}, "outline_parts"),
    ({"vertices": [3, 3, 5]}, "runs past"),
    ({"vertices": [3, 3, 3]}, "adds up to 9 vertices but outline_xy holds 10"),
    ({"vertices": [0, 6, 4]}, "at least one vertex"),
    ({"xy": XY[:-1]}, "not \\(x, y\\) pairs"),
    ({"xy": [math.nan] + XY[1:]}, "outline_xy\\[0\\]"),
    ({"xy": XY[:5] + [1.5] + XY[6:]}, "outline_xy\\[5\\]"),
    ({"xy": XY[:2] + [-0.01] + XY[3:]}, "outline_xy\\[2\\]"),
    ({"classes": [2, 6]}, "outline_classes\\[1\\] = 6 is not a class index"),
    ({"classes": [2, 1]}, "object 1 is class 0 in \"objects\" but 1"),
    ({"classes": [2, 0, 0], "parts": [1, 2, 0]}, "3 objects but \"objects\" has 2"),
])
def test_a_damaged_record_is_refused_naming_it(change, words):
    with pytest.raises(tf.errors.InvalidArgumentError, match="record r.jpg: .*" + words):
        read(spoil(**change))


def test_without_matching_objects_classes_and_counts_stand_alone():
    # A segmentation reader pairs no boxes: only the outline features count.
    record = spoil(classes=[4, 1])
    assert read(record, match=False)[2].numpy().tolist() == [4, 1]
    with pytest.raises(tf.errors.InvalidArgumentError, match="not a class index"):
        read(record, max_class=3, match=False)


# ------------------------------------------------------------ tight boxes

H, W = 96, 128
TILTED = {"affine": 1, "degrees": 35, "shear": 10, "scale": [0.5, 0.8], "translate": 0.05,
          "hflip": 0.5, "vflip": 0.5, "min_box_size": 0, "min_visibility": 0, "max_aspect_ratio": 1e6}


def ellipse(cx, cy, a, b, angle, n=48):
    t = np.linspace(0, 2 * np.pi, n, endpoint=False)
    x, y = a * np.cos(t), b * np.sin(t)
    c, s = np.cos(angle), np.sin(angle)
    return np.stack([cx + c * x - s * y, cy + s * x + c * y], 1).astype(np.float32)


def elongated(k, seed, n=2):
    """k pictures with n elongated ellipses each (value 255 on black), their
    boxes (the outline's extent) and outlines in the engine's layout."""
    rng = np.random.default_rng(seed)
    images = np.zeros((k, H, W, 3), np.uint8)
    boxes = np.zeros((k, n, 5), np.float32)
    xy = np.zeros((k, n * 48, 2), np.float32)
    parts = np.zeros((k, n, 3), np.int32)
    yy, xx = np.mgrid[0:H, 0:W] + 0.5
    for j in range(k):
        for i in range(n):
            cx, cy = rng.uniform(40, W - 40), rng.uniform(35, H - 35)
            pts = ellipse(cx, cy, rng.uniform(14, 24), rng.uniform(2.5, 4.5), rng.uniform(0, np.pi))
            xy[j, i * 48:(i + 1) * 48] = pts
            parts[j, i] = (i, i * 48, 48)
            boxes[j, i] = [*pts.min(0), *pts.max(0), i + 1]
            inside = np.zeros((H, W), bool)
            path = pts[:, 0] + 1j * pts[:, 1]
            # Pixels by their centres: inside the polygon by the winding of a ray.
            for a, b in zip(path, np.roll(path, -1)):
                crosses = (a.imag <= yy) != (b.imag <= yy)
                x_at = a.real + (yy - a.imag) * (b.real - a.real) / (b.imag - a.imag + 1e-12)
                inside ^= crosses & (xx < x_at)
            images[j][inside] = [255, 255, 255] if i == 0 else [255, 0, 0]
    return images, boxes, np.full(k, n, np.int32), xy, parts


def test_a_tight_box_is_the_warped_outlines_extent():
    images, boxes, counts, xy, parts = elongated(1, seed=3)
    config = DetectionAugmentConfig(TILTED, H, W)
    looser = 0
    for index in range(20):
        _, out = augment_group(config, images, boxes, counts, 0, 5, 0, index, outline_xy=xy, outline_parts=parts)
        _, corners = augment_group(config, images, boxes, counts, 0, 5, 0, index)
        m = np.asarray(draw_plan(config, 1, 0, 5, 0, index)["first"]["matrix"]).reshape(2, 3)
        for i in range(2):
            pts = xy[0, i * 48:(i + 1) * 48] @ m[:, :2].T + m[:, 2]
            pts = np.clip(pts, 0, [W, H])  # (these objects stay inside the picture)
            row = out[out[:, 4] == i + 1]
            assert row.shape == (1, 5) and np.allclose(row[0, :4], [*pts.min(0), *pts.max(0)], atol=1e-3)
            wide = corners[corners[:, 4] == i + 1][0]
            assert (wide[:2] <= row[0, :2] + 1e-3).all() and (wide[2:4] >= row[0, 2:4] - 1e-3).all()
            looser += (wide[2] - wide[0]) * (wide[3] - wide[1]) > 1.2 * (row[0, 2] - row[0, 0]) * (row[0, 3] - row[0, 1])
    assert looser >= 10  # rotation and shear loosen the corner boxes, not the outlined ones


def iou(a, b):
    w = max(0.0, min(a[2], b[2]) - max(a[0], b[0]))
    h = max(0.0, min(a[3], b[3]) - max(a[1], b[1]))
    inter = w * h
    return inter / ((a[2] - a[0]) * (a[3] - a[1]) + (b[2] - b[0]) * (b[3] - b[1]) - inter)


def pixel_ious(aug_cfg, outlined, calls=40):
    """IoU of every delivered box with the extent of its object's pixels."""
    images, boxes, counts, xy, parts = elongated(4, seed=7)
    config = DetectionAugmentConfig(aug_cfg, H, W)
    extra = {"outline_xy": xy, "outline_parts": parts} if outlined else {}
    out = []
    for index in range(calls):
        image, got = augment_group(config, images, boxes, counts, index % 4, 9, 0, index, **extra)
        white = (image[..., 0] > 200) & (image[..., 1] > 200)
        red = (image[..., 0] > 200) & (image[..., 1] < 60)
        for label, lit in ((1, white), (2, red)):
            rows = got[got[:, 4] == label]
            ys, xs = np.nonzero(lit)
            # Mosaic may bring several objects of a label: judge single ones.
            if len(rows) == 1 and len(xs) > 20:
                out.append(iou(rows[0], (xs.min(), ys.min(), xs.max() + 1, ys.max() + 1)))
    return out


@pytest.mark.parametrize("aug_cfg", [
    TILTED,
    dict(TILTED, mosaic=1.0, scale=[0.8, 1.2], translate=0.1),
    dict(TILTED, mosaic=0.5, mixup=0.5, scale=[0.8, 1.2]),
], ids=["affine", "mosaic", "mixup"])
def test_outlined_boxes_hug_their_objects_under_rotation_and_shear(aug_cfg):
    tight, loose = np.median(pixel_ious(aug_cfg, True)), np.median(pixel_ious(aug_cfg, False))
    assert tight >= 0.85 and tight > loose + 0.1, (tight, loose)


ZOOM = {"affine": 1, "scale": [2, 2], "translate": 0}  # x -> 2x - 64, y -> 2y - 48


@pytest.mark.parametrize("box, outline, settings, corners_kept", [
    # A triangle pointing out of the picture: 2 of its 12 box pixels wide are
    # visible, but under 3% of its area.
    ([27, 30, 33, 40], [(27, 30), (27, 40), (33, 35)], {}, True),
    # A sliver along the top of its box: 1 pixel high after the zoom.
    ([40, 30, 50, 40], [(40, 30), (50, 30), (50, 30.5), (40, 30.5)], {}, True),
    # The same sliver is too elongated for the aspect rule.
    ([40, 30, 50, 40], [(40, 30), (50, 30), (50, 30.5), (40, 30.5)], {"min_box_size": 0.5, "max_aspect_ratio": 10}, True),
])
def test_the_box_rules_judge_the_tight_box(box, outline, settings, corners_kept):
    images = np.zeros((1, H, W, 3), np.uint8)
    boxes = np.array([[box + [4]]], np.float32)
    xy = np.array([outline], np.float32)
    parts = np.array([[[0, 0, len(outline)]]], np.int32)
    config = DetectionAugmentConfig(dict(ZOOM, **settings), H, W)
    _, corners = augment_group(config, images, boxes, np.ones(1, np.int32), 0, 0, 0, 0)
    _, out = augment_group(config, images, boxes, np.ones(1, np.int32), 0, 0, 0, 0, outline_xy=xy, outline_parts=parts)
    assert (corners[0, 4] == 4) == corners_kept
    assert out.tolist() == [[0, 0, 0, 0, 0]]


@pytest.mark.parametrize("case", ["no parts", "padding only", "degenerate outline"])
def test_without_usable_outlines_the_bytes_are_the_corners_ones(case):
    images, boxes, counts, xy, parts = elongated(4, seed=1)
    if case == "no parts":
        parts = parts[:, :0]
    elif case == "padding only":
        parts[...] = 0
    else:
        xy[:] = 10  # every vertex one point: no area, the corners say more
    config = DetectionAugmentConfig(dict(TILTED, mosaic=1.0, mixup=0.5), H, W)
    for index in range(8):
        plain = augment_group(config, images, boxes, counts, index % 4, 2, 0, index)
        got = augment_group(config, images, boxes, counts, index % 4, 2, 0, index, outline_xy=xy, outline_parts=parts)
        assert all(a.tobytes() == b.tobytes() for a, b in zip(plain, got))


@pytest.mark.parametrize("spoil, words", [
    (lambda xy, parts: (xy, parts.astype(np.int64)), "outline_parts must be an int32"),
    (lambda xy, parts: (xy[:2], parts), "outline_xy must be"),
    (lambda xy, parts: (xy, parts[..., :2]), "outline_parts must be"),
    (lambda xy, parts: (xy, np.where(parts == 1, 7, parts).astype(np.int32)), "names box row 7"),
    (lambda xy, parts: (xy, np.where(parts == 48, 90, parts).astype(np.int32)), "outside the 96 given"),
    (lambda xy, parts: (np.full_like(xy, np.inf), parts), "non-finite vertex"),
    (lambda xy, parts: (None, parts), "go together"),
])
def test_bad_outlines_are_value_errors(spoil, words):
    images, boxes, counts, xy, parts = elongated(4, seed=1)
    xy, parts = spoil(xy, parts)
    with pytest.raises(ValueError, match=words):
        augment_group(DetectionAugmentConfig(TILTED, H, W), images, boxes, counts, 0, 0, 0, 0,
                      outline_xy=xy, outline_parts=parts)


def test_the_op_gives_the_bindings_bytes_with_outlines():
    images, boxes, counts, xy, parts = elongated(4, seed=2)
    config = DetectionAugmentConfig(dict(TILTED, mosaic=1.0, mixup=0.5), H, W)
    for index in range(6):
        ref = augment_group(config, images, boxes, counts, index % 4, 3, 1, index, outline_xy=xy, outline_parts=parts)
        got = ops.detection_augment(images, boxes, counts, index % 4, 3, 1, index, config,
                                    outline_xy=xy, outline_parts=parts)
        assert all(a.numpy().tobytes() == b.tobytes() for a, b in zip(got, ref))
    with pytest.raises(tf.errors.InvalidArgumentError, match="names box row"):
        ops.detection_augment(images, boxes, counts * 0, 0, 3, 1, 0, config, outline_xy=xy, outline_parts=parts)


# ------------------------------------------------------------ pipelines

SHAPE = [64, 96, 3]


def outlined_dataset(tmp_path, with_outlines=True):
    """Training records of elongated objects, with their outlines or not."""
    images, boxes, counts, xy, parts = elongated(6, seed=4)
    recs = []
    for j in range(6):
        jpeg = tf.io.encode_jpeg(images[j], quality=100).numpy()
        b = boxes[j, :, :4] / [W, H, W, H]
        xywh = np.concatenate([(b[:, :2] + b[:, 2:]) / 2, b[:, 2:] - b[:, :2]], 1)
        outlines = [(i, [(xy[j, i * 48:(i + 1) * 48] / [W, H]).clip(0, 1).tolist()]) for i in range(2)]
        recs.append(records.encode_example(jpeg, "%d.jpg" % j, W, H, [0, 1], xywh.ravel().tolist(),
                                           outlines=outlines if with_outlines else None))
    write_records(tmp_path / "train" / "t.tfrecord", recs)
    write_records(tmp_path / "val" / "v.tfrecord", recs[:1])
    description = {"classes": ["a", "b"], "train": {"path": str(tmp_path / "train")},
                   "validation": {"path": str(tmp_path / "val")}}
    return TFRecordDataset(description, shape=SHAPE, aug_cfg=dict(TILTED, mosaic=0.5, mixup=0.3))


def batches(ds):
    return [(i.numpy(), b[0].numpy()) for i, b in ds]


def test_both_pipelines_give_the_same_tight_boxes_for_a_seed(tmp_path):
    ds = outlined_dataset(tmp_path)
    default = batches(ds.build_train_iterator(batch_size=3, seed=5))
    served = batches(graph.train_pipeline(ds, batch_size=3, seed=5))
    assert len(default) == 2
    for (a, x), (b, y) in zip(default, served):
        assert np.array_equal(a, b) and np.array_equal(x, y)
    corners = batches(outlined_dataset(tmp_path / "plain", with_outlines=False)
                      .build_train_iterator(batch_size=3, seed=5))
    # The same pictures; the boxes of outlined objects are never larger.
    area = [float(np.sum((b[..., 2] - b[..., 0]) * (b[..., 3] - b[..., 1]))) for _, b in default]
    plain_area = [float(np.sum((b[..., 2] - b[..., 0]) * (b[..., 3] - b[..., 1]))) for _, b in corners]
    assert all(np.array_equal(a[0], b[0]) for a, b in zip(default, corners))
    assert sum(area) < 0.9 * sum(plain_area)


def test_a_damaged_outline_stops_the_pipeline_naming_the_record(tmp_path):
    ds = outlined_dataset(tmp_path)
    bad = tf.train.Example.FromString(records.encode_example(
        JPEG, "bad.jpg", 40, 30, [1], BOXES[:4], outlines=[(1, [TRIANGLE])]))
    bad.features.feature[formats.OUTLINE_XY].float_list.value[0] = 2.0
    write_records(tmp_path / "train" / "t.tfrecord", [bad.SerializeToString()])
    # (The dictionary-described dataset counts its records when it first builds a pipeline.)
    for build in (lambda: ds.build_train_iterator(batch_size=1, seed=1),
                  lambda: graph.train_pipeline(ds, batch_size=1, seed=1)):
        with pytest.raises(tf.errors.InvalidArgumentError, match="record bad.jpg: outline_xy\\[0\\]"):
            batches(build())
