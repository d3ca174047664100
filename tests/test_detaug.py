"""The detection augmentation engine: aug_cfg validation, boxes that follow
the pixels, box rules, keys, and the two front ends and vector paths giving
the same bytes."""

import colorsys
import math
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from quorvane.trellisk.datasets import _detaug
from quorvane.trellisk.datasets._detaug import DetectionAugmentConfig, augment_group

H, W = 96, 128
RECIPE = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}
FULL = {"mosaic": 0.7, "mixup": 0.5, "affine": 1.0, "hsv": 1.0, "hflip": 0.5, "vflip": 0.5, "degrees": 30,
        "shear": 10}


def group(k=4, h=H, w=W, seed=0, boxes=3):
    rng = np.random.default_rng(seed)
    images = rng.integers(0, 256, (k, h, w, 3), dtype=np.uint8)
    rows = np.zeros((k, boxes, 5), np.float32)
    for j in range(k):
        for i in range(boxes):
            x1, y1 = rng.uniform(0, w * 0.7), rng.uniform(0, h * 0.7)
            rows[j, i] = [x1, y1, x1 + rng.uniform(1, 4 + w * 0.3), y1 + rng.uniform(1, 4 + h * 0.3), j * 10 + i]
    counts = rng.integers(0, boxes + 1, k).astype(np.int32)
    return images, rows, counts


@pytest.mark.parametrize("aug_cfg, key", [
    ({"mosiac": 1.0}, "mosiac"),
    ({"mosaic": 1.5}, "mosaic"),
    ({"hflip": -0.1}, "hflip"),
    ({"hsv": float("nan")}, "hsv"),
    ({"degrees": float("inf")}, "degrees"),
    ({"affine": "often"}, "affine"),
    ({"vflip": True}, "vflip"),
    ({"scale": [1.5, 0.5]}, "scale"),
    ({"scale": [0.5, 1.0, 1.5]}, "scale"),
    ({"scale": [0.0, 1.0]}, "scale"),
    ({"mixup_alpha": 0}, "mixup_alpha"),
    ({"max_aspect_ratio": 0.5}, "max_aspect_ratio"),
    ({"mosaic_stop_pass": 2.5}, "mosaic_stop_pass"),
    ({"mosaic_stop_pass": -1}, "mosaic_stop_pass"),
    ({"translate": None}, "translate"),
    ({3: 1.0}, "3"),
])
def test_a_bad_setting_names_its_key_and_lists_the_valid_ones(aug_cfg, key):
    with pytest.raises(ValueError) as err:
        DetectionAugmentConfig(aug_cfg, H, W)
    message = str(err.value)
    assert key in message
    assert "valid keys: " + ", ".join(DetectionAugmentConfig.valid_keys()) in message


@pytest.mark.parametrize("aug_cfg", [[("mosaic", 1.0)], "mosaic", 1.0])
def test_aug_cfg_must_be_a_mapping(aug_cfg):
    with pytest.raises(ValueError, match="mapping.*valid keys"):
        DetectionAugmentConfig(aug_cfg, H, W)


@pytest.mark.parametrize("aug_cfg, enabled, group_size", [
    (None, False, 1), ({}, False, 1), ({"scale": 0.25}, False, 1), ({"hflip": 0.0}, False, 1),
    ({"hflip": 0.5}, True, 1), ({"mosaic": 1}, True, 4), ({"mixup": 0.1, "hsv": 1}, True, 4),
])
def test_enabled_and_group_size(aug_cfg, enabled, group_size):
    config = DetectionAugmentConfig(aug_cfg, H, W)
    assert (config.enabled, config.group_size) == (enabled, group_size)


def test_settings_resolve_with_defaults_and_round_trip():
    config = DetectionAugmentConfig({"mosaic": 1, "scale": 0.25, "mosaic_stop_pass": 10, "degrees": 5}, H, W)
    settings = config.as_dict()
    assert list(settings) == list(DetectionAugmentConfig.valid_keys())
    assert settings["scale"] == [0.75, 1.25] and settings["mosaic_stop_pass"] == 10
    assert settings["hsv_h"] == 0.015 and settings["min_visibility"] == 0.1 and settings["hflip"] == 0
    again = DetectionAugmentConfig.from_serialized(config.serialized)
    assert again == config and again.as_dict() == settings and (again.height, again.width) == (H, W)
    assert DetectionAugmentConfig(None, H, W).as_dict()["mosaic_stop_pass"] is None
    with pytest.raises(ValueError):
        DetectionAugmentConfig.from_serialized("mosaic=1")


# Each member's rectangle has its own colour; the box rules are relaxed so
# that every visible piece keeps its box.
COLOURS = np.array([(250, 10, 10), (10, 250, 10), (10, 10, 250), (250, 250, 10)], np.uint8)
KEEP_ALL = {"min_box_size": 0, "min_visibility": 0, "max_aspect_ratio": 1e9}


def rectangles():
    images = np.zeros((4, H, W, 3), np.uint8)
    boxes = np.zeros((4, 1, 5), np.float32)
    for j, (x1, y1, x2, y2) in enumerate([(20, 30, 60, 70), (70, 12, 110, 40), (15, 14, 40, 82), (40, 40, 100, 60)]):
        images[j, y1:y2, x1:x2] = COLOURS[j]
        boxes[j, 0] = [x1, y1, x2, y2, j]
    return images, boxes, np.ones(4, np.int32)


@pytest.mark.parametrize("aug_cfg, expected", [
    ({"hflip": 1}, lambda im: im[:, ::-1]), ({"vflip": 1}, lambda im: im[::-1]),
    ({"hflip": 1, "vflip": 1}, lambda im: im[::-1, ::-1]),
    ({"affine": 1, "scale": [1, 1], "translate": 0}, lambda im: im),
])
@pytest.mark.parametrize("h, w", [(1, 1), (3, 2), (7, 9), (13, 37), (48, 64)])
@pytest.mark.parametrize("baseline", [False, True])
def test_flips_and_the_identity_give_the_pixels_exactly(aug_cfg, expected, h, w, baseline):
    # Mirrored rows are read backwards in steps of several pixels: any
    # slip at a step or at either end of a row shows here.
    images = np.random.default_rng(h * w).integers(0, 256, (1, h, w, 3), dtype=np.uint8)
    config = DetectionAugmentConfig(aug_cfg, h, w)
    image, _ = augment_group(config, images, np.zeros((1, 1, 5), np.float32), np.zeros(1, np.int32),
                             0, 1, 0, 0, baseline=baseline)
    np.testing.assert_array_equal(image, expected(images[0]))


@pytest.mark.parametrize("aug_cfg", [
    {"hflip": 1}, {"vflip": 1}, {"hflip": 1, "vflip": 1},
    {"affine": 1}, {"affine": 1, "scale": [0.3, 0.6]}, {"affine": 1, "translate": 0.5},
    {"affine": 1, "degrees": 40}, {"affine": 1, "shear": 25, "scale": [0.6, 1.4]},
    {"mosaic": 1}, {"mosaic": 1, "affine": 1, "degrees": 180, "shear": 15, "hflip": 0.5, "vflip": 0.5},
])
def test_boxes_enclose_their_rectangle_tightly(aug_cfg):
    images, boxes, counts = rectangles()
    config = DetectionAugmentConfig(dict(aug_cfg, **KEEP_ALL), H, W)
    tol = 2.0  # bilinear edges (sharp corners of a sheared rectangle lose most)
    seen = 0
    for index in range(24):
        image, out = augment_group(config, images, boxes, counts, index % 4, 11, 0, index)
        for label, colour in enumerate(COLOURS):
            lit = (np.abs(image.astype(int) - colour).max(axis=2) < 100)
            cover = np.zeros_like(lit)
            for x1, y1, x2, y2, lab in out:
                if lab != label or x2 <= x1:
                    continue
                a, b = int(np.floor(y1 - tol)), int(np.ceil(y2 + tol))
                c, d = int(np.floor(x1 - tol)), int(np.ceil(x2 + tol))
                cover[max(a, 0):b, max(c, 0):d] = True
                if x2 - x1 < 3 or y2 - y1 < 3:
                    continue
                inside = lit[int(y1):int(np.ceil(y2)), int(x1):int(np.ceil(x2))]
                ys, xs = np.nonzero(inside)
                assert len(xs), (index, label, out)
                edges = (xs.min() + int(x1), xs.max() + 1 + int(x1), ys.min() + int(y1), ys.max() + 1 + int(y1))
                assert np.allclose(edges, (x1, x2, y1, y2), atol=tol), (index, label, edges, (x1, x2, y1, y2))
                seen += 1
            assert not (lit & ~cover).any(), (index, label, out)
    assert seen >= 12


ZOOM = {"affine": 1, "scale": [2, 2], "translate": 0}  # x -> 2x - 64, y -> 2y - 48


@pytest.mark.parametrize("box, settings, expected", [
    ([40, 30, 50, 40, 3], {}, [16, 12, 36, 32, 3]),
    ([32.5, 24.5, 33.5, 40, 4], {}, None),                      # 2 x 31 pixels: kept
    ([32.5, 24.5, 33.4, 40, 4], {}, "dropped"),                # 1.8 pixels wide
    ([27, 30, 33, 40, 5], {}, [0, 12, 2, 32, 5]),              # 2 of 12 pixels wide visible
    ([2, 30, 33, 40, 5], {}, "dropped"),                       # 2 of 62 visible: under 0.1
    ([40, 30, 50, 40, 6], {"min_visibility": 1.0}, [16, 12, 36, 32, 6]),
    ([10, 30, 34, 40, 6], {"min_visibility": 0.5}, "dropped"),
    ([40, 40, 84, 41, 7], {}, "dropped"),                      # 88 x 2: aspect 44
    ([40, 40, 84, 41, 7], {"max_aspect_ratio": 50}, [16, 32, 104, 34, 7]),
    ([0, 0, 0, 0, 0], {}, "dropped"),                          # the no-object row is no box
    ([0, 0, 20, 20, 8], {}, "dropped"),                        # outside after the zoom
])
def test_box_rules(box, settings, expected):
    images = np.zeros((1, H, W, 3), np.uint8)
    boxes = np.array([[box]], np.float32)
    config = DetectionAugmentConfig(dict(ZOOM, **settings), H, W)
    _, out = augment_group(config, images, boxes, np.ones(1, np.int32), 0, 0, 0, 0)
    if expected is None:
        assert len(out) == 1 and out[0, 4] == box[4] and out[0, 2] - out[0, 0] == pytest.approx(2)
    elif expected == "dropped":
        assert out.tolist() == [[0, 0, 0, 0, 0]]
    else:
        assert out.dtype == np.float32 and np.allclose(out, [expected], atol=1e-4)


def test_many_draws_stay_finite_inside_and_keep_labels():
    images, boxes, counts = group(seed=3, boxes=6)
    boxes[0, 0] = [-1e30, -5, 1e30, 3e38, 42]  # absurd but finite
    counts[:] = 6
    config = DetectionAugmentConfig(dict(FULL, degrees=180, shear=40), H, W)
    labels = set(boxes[:, :, 4].ravel().tolist()) | {0.0}
    for index in range(40):
        _, out = augment_group(config, images, boxes, counts, index % 4, 5, index, index)
        assert np.isfinite(out).all() and out.shape[1] == 5 and len(out) >= 1
        assert (out[:, 0] >= 0).all() and (out[:, 2] <= W).all() and (out[:, 1] >= 0).all() and (out[:, 3] <= H).all()
        assert set(out[:, 4].tolist()) <= labels


def test_a_sample_without_boxes_gets_the_no_object_row():
    images, boxes, _ = group(k=2)
    boxes[1, 0] = 0  # an explicit no-object row
    config = DetectionAugmentConfig({"affine": 1, "translate": 0.3, "hflip": 0.5}, H, W)
    for counts in ([0, 0], [0, 1]):
        for index in range(5):
            _, out = augment_group(config, images, boxes, np.array(counts, np.int32), 1, 0, 0, index)
            assert out.tolist() == [[0, 0, 0, 0, 0]]


def test_colour_off_and_identity_geometry_keep_the_pixels():
    images, boxes, counts = group(k=1)
    neutral = {"hsv": 1, "hsv_h": 0, "hsv_s": 0, "hsv_v": 0, "affine": 1, "scale": [1, 1], "translate": 0}
    image, out = augment_group(DetectionAugmentConfig(neutral, H, W), images, boxes, counts, 0, 0, 0, 0)
    assert image.tobytes() == images[0].tobytes()
    kept = boxes[0, :counts[0]]
    assert np.allclose(out, kept if len(kept) else [[0] * 5], atol=1e-4)


@pytest.mark.parametrize("setting, expect", [("hsv_v", "brightness"), ("hsv_s", "saturation"), ("hsv_h", "hue")])
def test_each_hsv_gain_changes_what_it_names(setting, expect):
    rng = np.random.default_rng(1)
    images = rng.integers(30, 200, (1, H, W, 3), dtype=np.uint8)
    images[0, :8] = 77  # grey rows: no saturation, no hue
    aug = {"hsv": 1, "hsv_h": 0, "hsv_s": 0, "hsv_v": 0, setting: 0.5 if setting != "hsv_h" else 0.3}
    config = DetectionAugmentConfig(aug, H, W)
    src = images[0].astype(int)
    changed = 0
    for index in range(6):
        out = augment_group(config, images, np.zeros((1, 0, 5), np.float32), np.zeros(1, np.int32), 0, 9, 0,
                            index)[0].astype(int)
        grey = out[:8]
        assert (grey == grey[..., :1]).all()  # grey stays grey
        if expect != "brightness":
            assert (grey == 77).all() and np.abs(out.max(2) - src.max(2)).max() <= 1  # value kept
        if expect == "hue":
            spread = lambda a: a.max(2) - a.min(2)  # noqa: E731
            assert np.abs(spread(out) - spread(src)).max() <= 2  # saturation kept
        changed += int(np.abs(out - src).mean() > 1)
    assert changed >= 4


@pytest.mark.parametrize("gains", [{"hsv_h": 0.015, "hsv_s": 0.7, "hsv_v": 0.4}, {"hsv_h": 0.5, "hsv_s": 0.9, "hsv_v": 0.9}])
@pytest.mark.parametrize("baseline", [False, True])
def test_hsv_follows_the_drawn_gains_pixel_by_pixel(gains, baseline):
    images = np.random.default_rng(3).integers(0, 256, (1, 24, 24, 3), dtype=np.uint8)
    config = DetectionAugmentConfig({"hsv": 1, **gains}, 24, 24)
    for index in range(4):
        hue, sat, val = _detaug.draw_plan(config, 1, 0, 0, 0, index)["hsv"]
        out = augment_group(config, images, np.zeros((1, 0, 5), np.float32), np.zeros(1, np.int32), 0, 0, 0, index,
                            baseline=baseline)[0]
        expected = []
        for r, g, b in images[0].reshape(-1, 3) / 255.0:
            h, s, v = colorsys.rgb_to_hsv(r, g, b)
            expected.append(colorsys.hsv_to_rgb((h + hue) % 1.0, min(1.0, s * sat), min(1.0, v * val)))
        assert np.abs(out.reshape(-1, 3) - np.array(expected) * 255).max() < 1.6


def test_mixup_keeps_both_sets_of_boxes():
    images, boxes, counts = group(k=2)
    counts[:] = 3
    config = DetectionAugmentConfig({"mixup": 1, **KEEP_ALL}, H, W)
    image, out = augment_group(config, images, boxes, counts, 0, 0, 0, 0)
    assert sorted(out[:, 4].tolist()) == sorted(boxes[:, :, 4].ravel().tolist())
    plan = _detaug.draw_plan(config, 2, 0, 0, 0, 0)
    ratio = plan["mixup"][1]
    assert 0 < ratio < 1
    expected = np.round(images[0] * ratio + images[1] * (1 - ratio))
    assert np.abs(image.astype(int) - expected).max() <= 1


@pytest.mark.parametrize("k", [1, 2, 3])
def test_partners_come_from_the_group_and_small_groups_work(k):
    images, boxes, counts = group(k=k)
    config = DetectionAugmentConfig({"mosaic": 1, "mixup": 1}, H, W)
    for main in range(k):
        for index in range(8):
            plan = _detaug.draw_plan(config, k, main, 1, 0, index)
            members = plan["first"]["members"] + plan["mixup"][0]["members"]
            assert main in plan["first"]["members"] and set(members) <= set(range(k))
            if k > 1:
                assert members.count(main) == 1 or plan["mixup"][0]["members"].count(main) > 0
            image, out = augment_group(config, images, boxes, counts, main, 1, 0, index)
            assert image.shape == (H, W, 3) and np.isfinite(out).all()


def test_mosaic_stops_from_the_given_pass():
    config = DetectionAugmentConfig({"mosaic": 1, "mosaic_stop_pass": 3}, H, W)
    mosaics = [[_detaug.draw_plan(config, 4, 0, 0, p, i)["first"]["mosaic"] for i in range(5)] for p in range(5)]
    assert mosaics == [[True] * 5] * 3 + [[False] * 5] * 2


def test_same_key_same_bytes_other_keys_differ():
    images, boxes, counts = group()
    config = DetectionAugmentConfig(FULL, H, W)
    ref = augment_group(config, images, boxes, counts, 1, 5, 2, 9)
    with ThreadPoolExecutor(2) as pool:
        again = list(pool.map(lambda _: augment_group(config, images, boxes, counts, 1, 5, 2, 9), range(6)))
    for image, out in again:
        assert image.tobytes() == ref[0].tobytes() and out.tobytes() == ref[1].tobytes()
    others = [(1, 6, 2, 9), (1, 5, 3, 9), (1, 5, 2, 10)]
    assert all(augment_group(config, images, boxes, counts, *k)[0].tobytes() != ref[0].tobytes() for k in others)
    assert augment_group(config, images, boxes, counts, 1, 5 + 2 ** 64, 2, 9)[0].tobytes() == ref[0].tobytes()


@pytest.mark.skipif(not _detaug.avx2, reason="this CPU has no AVX2: only the baseline runs")
@pytest.mark.parametrize("aug_cfg", [RECIPE, FULL, {"hsv": 1.0, "hsv_h": 0.5, "hsv_s": 0.9, "hsv_v": 0.9}],
                         ids=["axis-aligned", "rotated-mixup", "strong-hsv"])
@pytest.mark.parametrize("h, w", [(96, 128), (37, 53), (9, 7), (1, 1)])
def test_avx2_and_baseline_give_the_same_bytes(aug_cfg, h, w):
    images, boxes, counts = group(h=h, w=w, seed=h + w)
    images[0, : h // 2] = 77  # grey and black pixels take their own turns in HSV
    images[1, :, : w // 3] = 0
    config = DetectionAugmentConfig(aug_cfg, h, w)
    for index in range(12):
        fast = augment_group(config, images, boxes, counts, index % 4, 3, 0, index)
        base = augment_group(config, images, boxes, counts, index % 4, 3, 0, index, baseline=True)
        assert fast[0].tobytes() == base[0].tobytes() and fast[1].tobytes() == base[1].tobytes()


BAD_INPUTS = [
    ("images", lambda i, b, c: (i[..., :2], b, c), "images"),
    ("images", lambda i, b, c: (i.astype(np.float32), b, c), "uint8"),
    ("images", lambda i, b, c: (i[:, :-1], b, c), "images"),
    ("boxes", lambda i, b, c: (i, b[:, :, :4], c), "boxes"),
    ("boxes", lambda i, b, c: (i, b[:2], c), "boxes"),
    ("boxes", lambda i, b, c: (i, np.where(b == b[0, 0, 0], np.nan, b).astype(np.float32), c + 3), "non-finite"),
    ("counts", lambda i, b, c: (i, b, c + 4), "counts"),
    ("counts", lambda i, b, c: (i, b, (c - 5).astype(np.int64)), "counts"),
    ("counts", lambda i, b, c: (i, b, c[:2]), "counts"),
]


@pytest.mark.parametrize("what, spoil, word", BAD_INPUTS)
def test_bad_arrays_are_value_errors(what, spoil, word):
    images, boxes, counts = group()
    counts[:] = 0
    with pytest.raises(ValueError, match=word):
        augment_group(DetectionAugmentConfig(RECIPE, H, W), *spoil(images, boxes, counts), 0, 0, 0, 0)


@pytest.mark.parametrize("main, pass_number", [(4, 0), (-1, 0), (0, -1), (True, 0), (0, "1")])
def test_bad_scalars_are_value_errors(main, pass_number):
    images, boxes, counts = group()
    with pytest.raises(ValueError):
        augment_group(DetectionAugmentConfig(RECIPE, H, W), images, boxes, counts, main, 0, pass_number, 0)


@pytest.fixture(scope="module")
def ops():
    try:
        from quorvane.trellisk import ops as trellisk_ops

        trellisk_ops.load()
    except ImportError as e:
        pytest.skip(str(e))
    return trellisk_ops


@pytest.mark.parametrize("aug_cfg, k", [(RECIPE, 4), (FULL, 4), (FULL, 3), ({"hflip": 0.5, "hsv": 1}, 1)])
def test_the_op_gives_the_bindings_bytes(ops, aug_cfg, k):
    images, boxes, counts = group(k=k, seed=k)
    config = DetectionAugmentConfig(aug_cfg, H, W)
    for index, seed in [(0, 0), (7, -3), (2 ** 63 + 1, 2 ** 64 - 1)]:
        main = index % k
        image, out = ops.detection_augment(images, boxes, counts, main, seed, 4, index,
                                           config if index % 2 else config.serialized)
        ref = augment_group(config, images, boxes, counts, main, seed, 4, index)
        assert image.numpy().tobytes() == ref[0].tobytes() and out.numpy().tobytes() == ref[1].tobytes()


@pytest.mark.parametrize("change", ["config", "size", "counts", "main", "nan"])
def test_the_op_reports_bad_input_as_invalid_argument(ops, change):
    import tensorflow as tf

    images, boxes, counts = group()
    serialized = DetectionAugmentConfig(RECIPE, H, W).serialized
    main = 0
    if change == "config":
        serialized = serialized.replace("mosaic=1", "mosaic=3")
    elif change == "size":
        images = images[:, :50]
    elif change == "counts":
        counts = counts + 9
    elif change == "main":
        main = 4
    else:
        boxes[:] = math.nan
        counts[:] = 1
    with pytest.raises(tf.errors.InvalidArgumentError):
        ops.detection_augment(images, boxes, counts, main, 0, 0, 0, serialized)


# Refused by the binding, so refused by the op: never cast into range.
REFUSED = [
    ("main", 2 ** 64 + 1), ("main", True), ("main", 1.0), ("main", np.int64(-1)),
    ("pass_number", 2 ** 64 + 1), ("pass_number", 2 ** 63), ("pass_number", np.True_),
    ("pass_number", 2.5), ("seed", False), ("seed", 3.0), ("index", True), ("index", "1"),
    ("counts", lambda c: c.astype(np.int64) + 2 ** 32), ("counts", lambda c: c + 0.5),
    ("counts", lambda c: c.astype(np.float32)), ("counts", lambda c: c.astype(bool)),
    ("counts", lambda c: c.astype(np.uint64) + 2 ** 63),
    ("images", lambda i: i.astype(np.int16) + 43), ("images", lambda i: i.astype(np.float32)),
    ("images", lambda i: i.astype(bool)),
]


@pytest.mark.parametrize("tensors", [False, True], ids=["arrays", "tensors"])
@pytest.mark.parametrize("name, value", REFUSED)
def test_the_op_refuses_what_the_binding_refuses(ops, name, value, tensors):
    import tensorflow as tf

    images, boxes, counts = group()
    args = dict(images=images, boxes=boxes, counts=counts, main=1, seed=5, pass_number=2, index=3)
    args[name] = value(args[name]) if callable(value) else value
    config = DetectionAugmentConfig(RECIPE, H, W)
    with pytest.raises((ValueError, TypeError), match=name):
        augment_group(config, *args.values())
    if tensors:
        if isinstance(args[name], str) or (isinstance(args[name], int) and abs(args[name]) >= 2 ** 63):
            pytest.skip("no tensor holds this value")
        args[name] = tf.constant(args[name])
    with pytest.raises(tf.errors.InvalidArgumentError, match=name):
        ops.detection_augment(config=config, **args)


@pytest.mark.parametrize("name, value", [("counts", lambda c: c.astype(np.int64)),
                                         ("counts", lambda c: c.astype(np.uint8)),
                                         ("main", np.int16(1)), ("seed", 2 ** 64 + 5),
                                         ("index", -7), ("boxes", lambda b: b.astype(np.float64))])
def test_the_op_takes_what_the_binding_takes(ops, name, value):
    images, boxes, counts = group()
    args = dict(images=images, boxes=boxes, counts=counts, main=1, seed=5, pass_number=2, index=3)
    args[name] = value(args[name]) if callable(value) else value
    config = DetectionAugmentConfig(RECIPE, H, W)
    ref = augment_group(config, *args.values())
    image, out = ops.detection_augment(config=config, **args)
    assert image.numpy().tobytes() == ref[0].tobytes() and out.numpy().tobytes() == ref[1].tobytes()


GUARDED = r'''
import ctypes, mmap, sys
import numpy as np
from quorvane.trellisk.datasets._detaug import DetectionAugmentConfig, augment_group

libc = ctypes.CDLL(None, use_errno=True)
libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
PAGE = mmap.PAGESIZE
keep = []


def guarded(k, h, w, at_end):
    """Pictures whose bytes touch an unreadable page: after their last byte
    (at_end) or before their first."""
    n = k * h * w * 3
    pages = -(-n // PAGE)
    m = mmap.mmap(-1, (pages + 2) * PAGE)
    base = ctypes.addressof(ctypes.c_char.from_buffer(m))
    keep.append(m)
    start = PAGE + (pages * PAGE - n if at_end else 0)
    images = np.frombuffer(m, np.uint8, n, start).reshape(k, h, w, 3)
    images[...] = np.random.default_rng(n).integers(0, 256, images.shape, dtype=np.uint8)
    for page in (base, base + (pages + 1) * PAGE):
        assert libc.mprotect(page, PAGE, 0) == 0, ctypes.get_errno()
    return images


configs = [{"affine": 1, "degrees": 0.5, "scale": [1, 1], "translate": 0},
           {"affine": 1, "degrees": 40, "scale": [1, 4], "translate": 0.9, "hflip": 0.5, "vflip": 0.5},
           {"hflip": 0.5, "vflip": 0.5}, {"mosaic": 1, "affine": 1, "degrees": 30, "scale": [1, 3]}]
for h, w in [(1, 2), (2, 3), (5, 8), (7, 9), (3, 17), (11, 33)]:
    for k in (1, 4):
        for at_end in (True, False):
            images = guarded(k, h, w, at_end)
            boxes, counts = np.zeros((k, 1, 5), np.float32), np.zeros(k, np.int32)
            for aug in configs:
                config = DetectionAugmentConfig(aug, h, w)
                for index in range(40):
                    for baseline in (False, True):
                        augment_group(config, images, boxes, counts, index % k, 7, 0, index, baseline=baseline)
print("ok")
'''


def test_the_engine_reads_only_the_pictures_bytes():
    # Vector reads run several bytes past a pixel; pictures that end (or
    # start) at an unreadable page turn a read outside them into a crash,
    # which the subprocess reports.
    import subprocess
    import sys

    run = subprocess.run([sys.executable, "-c", GUARDED], capture_output=True, text=True, timeout=300)
    assert run.returncode == 0 and run.stdout.strip() == "ok", (run.returncode, run.stderr[-2000:])
