"""SegmentationDataset: module surface, construction and its messages, the
annotation reader (resampling against SciPy, degenerate outlines, bad
files), the ground-truth mask and the augmentation pipeline."""

import glob as globmod
import json
import os
import os.path
import sys
import threading
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
import scipy.interpolate
import tensorflow as tf
from PIL import Image, UnidentifiedImageError

from quorvane.trellisk.datasets import segmentation as seg
from quorvane.trellisk.datasets import utils
from quorvane.trellisk.datasets.segmentation import SegmentationDataset

SQUARE = [[0.25, 0.25], [0.75, 0.25], [0.75, 0.75], [0.25, 0.75]]


# ------------------------------------------------------------------ helpers

def picture(h, w, value=None, seed=0):
    if value is not None:
        return np.full((h, w, 3), value, np.uint8)
    return np.random.default_rng(seed).integers(0, 256, (h, w, 3), dtype=np.uint8)


def ann(image, *objects, **extra):
    """An annotation: objects given as lists of (polygon, class) parts."""
    d = {"image": image}
    if objects:
        d["segment"] = [[{"polygon": p, "class": c} for p, c in obj] for obj in objects]
    d.update(extra)
    return d


def make_split(root, name, samples):
    """samples: list of (image array or None, annotation dict or raw str).
    Image i is saved as <i>.png; annotation i as <i>.json."""
    images = root / name / "images"
    anns = root / name / "annotations"
    images.mkdir(parents=True)
    anns.mkdir(parents=True)
    for i, (img, a) in enumerate(samples):
        if img is not None:
            Image.fromarray(img).save(images / "{}.png".format(i))
        text = a if isinstance(a, str) else json.dumps(a, ensure_ascii=False)
        (anns / "{:03d}.json".format(i)).write_text(text, encoding="utf-8")
    return str(images), str(anns)


def make_dataset(tmp_path, train, val=(), shape=(32, 32, 3), labels=("a", "b", "c"),
                 tasks=("segment",), **kw):
    ti, ta = make_split(tmp_path, "train", train)
    vi, va = make_split(tmp_path, "val", val)
    return SegmentationDataset(list(shape), ti, vi, ta, va, list(labels), list(tasks), **kw)


def simple(n, h=32, w=32):
    """n samples of uniform value 8 * i with the square of class i % 3."""
    return [(picture(h, w, 8 * i), ann("{}.png".format(i), [(SQUARE, i % 3)])) for i in range(n)]


def read(ds, i=0, train=True):
    return ds._read_data(tf.constant(ds.train_storage[i] if train else ds.val_storage[i]), train)


def reference(points, num_points):
    """The resampling the kernel must reproduce, done with SciPy."""
    d = np.cumsum(np.sqrt(np.sum(np.diff(points, axis=0) ** 2, axis=1)))
    d = np.insert(d, 0, 0) / d[-1]
    f = scipy.interpolate.interp1d(d, points, kind="slinear", axis=0)
    return f(np.linspace(0, 1, num_points)).astype(np.float32)


# ------------------------------------------------------------ module surface

def test_module_names_are_the_libraries():
    import albumentations
    import cv2
    assert {"SegmentationDataset", "SegmentationDatasetYaml", "SegmentationDatasetJsonCOCO",
            "SegmentationDatasetTFRecord"} <= set(vars(seg))
    assert seg.exists is os.path.exists and seg.join is os.path.join
    assert seg.basename is os.path.basename and seg.glob is globmod.glob
    assert seg.interp1d is scipy.interpolate.interp1d
    assert seg.letterbox is utils.letterbox and seg.mask_padding is utils.mask_padding
    assert seg.A is albumentations and seg.tf is tf and seg.np is np and seg.cv2 is cv2
    assert seg.Image is Image and seg.json is json


def _yaml_of(tmp_path, ti, ta):
    path = tmp_path / "d.yaml"
    path.write_text(json.dumps({"classes": ["a"], "train": {"images": ti, "annotations": ta},
                                "validation": {"images": ti, "annotations": ta}}))
    return str(path)


@pytest.mark.parametrize("name, stand_in, effect", [
    # A caller (or a test) that rebinds a module name changes what the readers do.
    ("exists", lambda path: False, "folder missing"),
    ("glob", lambda pattern: [], "no files"),
    ("letterbox", "counted", "called per sample"),
    ("mask_padding", "counted", "called per sample"),
])
def test_the_readers_call_the_names_the_module_binds(tmp_path, monkeypatch, name, stand_in, effect):
    ti, ta = make_split(tmp_path, "train", simple(2))
    calls = []
    if stand_in == "counted":
        real = getattr(seg, name)

        def stand_in(*args, **kwargs):
            calls.append(1)
            return real(*args, **kwargs)
    monkeypatch.setattr(seg, name, stand_in)
    if effect == "folder missing":
        with pytest.raises(FileNotFoundError, match="does not exist"):
            seg.SegmentationDatasetYaml(_yaml_of(tmp_path, ti, ta), shape=[32, 32, 3], tasks=["segment"])
    elif effect == "no files":
        with pytest.raises(ValueError, match="0 annotation files"):
            SegmentationDataset([32, 32, 3], ti, ti, ta, ta, ["a"], ["segment"])
    else:
        ds = SegmentationDataset([32, 32, 3], ti, ti, ta, ta, ["a", "b", "c"], ["segment"])
        image, polygons, classes = read(ds)
        ds._build_gt_mask(polygons, classes)
        assert calls


@pytest.mark.parametrize("name", ["letterbox", "mask_padding"])
def test_import_fails_without_a_utils_function(name):
    import subprocess
    code = ("import quorvane.trellisk.datasets.utils as u; del u.{}\n"
            "try:\n    import quorvane.trellisk.datasets.segmentation\n"
            "except ImportError as e:\n    print(e)\n".format(name))
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert r.stdout.startswith("cannot import name '{}' from 'quorvane.trellisk.datasets.utils'"
                               .format(name)), r.stdout + r.stderr[-2000:]


def test_classes_methods_and_signatures():
    assert issubclass(seg.SegmentationDatasetYaml, SegmentationDataset)
    assert seg.SegmentationDatasetJsonCOCO.__bases__ == (object,)
    for cls in (SegmentationDataset, seg.SegmentationDatasetYaml):
        assert cls.__module__ == "quorvane.trellisk.datasets.segmentation"
        assert cls.__qualname__ == cls.__name__ and cls.__doc__
    # Every method help() shows has a docstring that says what it does.
    for name, method in vars(SegmentationDataset).items():
        if callable(method) and not name.startswith("__"):
            assert (getattr(method, "python_function", method).__doc__ or "").strip(), name
    assert [n for n in vars(seg.SegmentationDatasetYaml) if not n.startswith("__")] == []
    import inspect

    def sig(f):
        f = getattr(f, "python_function", f)
        return [(p.name, p.default) for p in inspect.signature(f).parameters.values()][1:]

    E = inspect.Parameter.empty
    assert sig(SegmentationDataset.__init__) == [
        ("shape", None), ("train_images", None), ("val_images", None),
        ("train_annotations", None), ("val_annotations", None), ("labels", None),
        ("tasks", None), ("num_points", 300), ("letter_box", True), ("add_bkg_class", True)]
    assert sig(seg.SegmentationDatasetYaml.__init__) == [
        ("info_file", None), ("shape", None), ("letter_box", True), ("num_points", 300),
        ("add_bkg_class", True), ("tasks", None)]
    # New parameters come after the documented ones, by keyword only.
    assert sig(SegmentationDataset.build_train_iterator) == [
        ("batch_size", 10), ("prefetch", 10), ("repeat_threshold", None), ("start", None),
        ("augment", True)]
    assert sig(SegmentationDataset.build_val_iterator) == [("prefetch", 10)]
    assert sig(SegmentationDataset.read_data) == [("annotation_file", E), ("train", True)]
    assert sig(SegmentationDataset._build_gt_mask) == [("masks", E), ("classes", E), ("regions", None),
                                                       ("frame", None)]
    for f, names in ((SegmentationDataset.build_train_iterator, ["repeat_threshold", "start", "augment"]),
                     (SegmentationDataset._build_gt_mask, ["regions", "frame"])):
        params = inspect.signature(f).parameters.values()
        assert [p.name for p in params if p.kind is p.KEYWORD_ONLY] == names
    for name in ("read_data", "build_gt_mask", "tf_apply_augmentation"):
        assert hasattr(vars(SegmentationDataset)[name], "get_concrete_function"), name
    for name in ("_read_data", "_build_gt_mask", "apply_augmentation"):
        assert not hasattr(vars(SegmentationDataset)[name], "get_concrete_function"), name


# ---------------------------------------------------------------- construction

def test_construction_attributes_and_counts(tmp_path):
    ti, ta = make_split(tmp_path, "train", simple(3))
    vi, va = make_split(tmp_path, "val", simple(2))
    shape, labels, tasks = [32, 32, 3], ["x", "y", "z"], ["segment", "boxes"]
    ds = SegmentationDataset(shape, ti, vi, ta, va, labels, tasks, num_points=7, letter_box=False,
                             add_bkg_class=True)
    assert ds.shape is shape and ds.labels is labels and ds.tasks is tasks
    assert (ds.train_images, ds.val_images, ds.train_annotations, ds.val_annotations) == (ti, vi, ta, va)
    assert (ds.num_points, ds.letter_box, ds.class_offset) == (7, False, 1)
    assert sorted(ds.train_storage) == sorted(globmod.glob(os.path.join(ta, "*.json")))
    assert ds.num_training_samples == ds.get_num_train_samples() == 3
    assert ds.num_validation_samples == 2
    assert ds.get_num_segmentation_classes() == 4
    assert not hasattr(ds, "add_bkg_class")
    # Validators on an instance: paths may be files; tasks are checked
    # against the caller's list now.
    assert ds.validate_path(ds.train_storage[0]) == ds.train_storage[0]
    with pytest.raises(ValueError, match="^``boxes`` is not a valid task$"):
        make_dataset(tmp_path / "b", simple(1), tasks=["segment"]).validate_tasks(["boxes"])


@pytest.mark.parametrize("add_bkg_class, offset", [(True, 1), (False, 0), (0, 0), (None, 0), ("x", 1)])
def test_class_offset_and_class_count(tmp_path, add_bkg_class, offset):
    ds = make_dataset(tmp_path, simple(1), add_bkg_class=add_bkg_class)
    assert ds.class_offset == offset
    assert ds.get_num_segmentation_classes() == 4


def test_construction_failures(tmp_path):
    ti, ta = make_split(tmp_path, "train", simple(1))
    vi, va = make_split(tmp_path, "val", [])
    missing = str(tmp_path / "nope")
    with pytest.raises(FileNotFoundError, match="^Provided path does not exist at: None$"):
        SegmentationDataset()
    # Folders are checked in order: train_images, val_images, train_ann, val_ann.
    for args in ([ti, missing, missing, va], [ti, vi, ta, missing]):
        with pytest.raises(FileNotFoundError) as e:
            SegmentationDataset([32, 32, 3], *args, ["a"], ["segment"])
        assert str(e.value) == "Provided path does not exist at: " + missing
    with pytest.raises(ValueError, match="^tasks should be a list of strings: None is not allowed$"):
        SegmentationDataset([32, 32, 3], ti, vi, ta, va, ["a"])
    with pytest.raises(ValueError, match="^``mask`` is not a valid task$"):
        SegmentationDataset([32, 32, 3], ti, vi, ta, va, ["a"], ["segment", "mask"])
    # Duplicates and an empty list are fine; an empty validation folder too.
    for tasks in (["segment", "segment"], []):
        ds = SegmentationDataset([32, 32, 3], ti, vi, ta, va, ["a"], tasks)
        assert ds.num_validation_samples == 0 and ds.val_storage == []
    with pytest.raises(ValueError) as e:
        SegmentationDataset([32, 32, 3], ti, vi, va, va, ["a"], ["segment"])
    assert str(e.value) == "Current dataset has 0 annotation files in the provided folder: " + va
    with pytest.raises(TypeError):  # shape None: the pipeline reads shape[0]
        SegmentationDataset(None, ti, vi, ta, va, ["a"], ["segment"])


@pytest.mark.parametrize("index, value, name, expected", [
    (0, (32, 32, 3), "shape", "list"),
    (1, None, "train_images", "str"),  # replaced below by a path object
    (5, ("a",), "labels", "list"),
    (6, ("segment",), "tasks", "list"),
])
def test_argument_types_are_checked_before_the_folders(tmp_path, index, value, name, expected):
    import pathlib
    args = [[32, 32, 3], "/nope", "/nope", "/nope", "/nope", ["a"], ["segment"]]
    args[index] = pathlib.Path("/nope") if value is None else value
    with pytest.raises(TypeError) as e:
        SegmentationDataset(*args)
    got = type(args[index]).__name__
    assert str(e.value) == "Argument '{}' has incorrect type (expected {}, got {})".format(
        name, expected, got)


def test_annotation_listing(tmp_path):
    ti, ta = make_split(tmp_path, "train", [])
    vi, va = make_split(tmp_path, "val", [])
    for name in ("A.JSON", "b.Json", ".hidden.json", "c.txt", "d.jsonx"):
        open(os.path.join(ta, name), "w").close()
    os.mkdir(os.path.join(ta, "sub"))
    open(os.path.join(ta, "sub", "e.json"), "w").close()
    ds = SegmentationDataset([32, 32, 3], ti, vi, ta, va, ["a"], ["segment"])
    assert sorted(os.path.basename(p) for p in ds.train_storage) == ["A.JSON", "b.Json"]
    assert all(os.path.dirname(p) == ta for p in ds.train_storage)


# --------------------------------------------------------------------- reader

@pytest.mark.parametrize("letter_box, expected", [
    # 64 x 32 picture into 32 x 32: stretched, the square is (8..24, 8..24);
    # letterboxed, scale 0.5, 8 rows of padding on top: y = 16 * y + 8.
    (False, [[8, 8], [20, 8], [24, 16], [20, 24], [8, 24]]),
    (True, [[8, 12], [18, 12], [24, 16], [18, 20], [8, 20]]),
])
def test_square_resampled_to_five_points(tmp_path, letter_box, expected):
    ds = make_dataset(tmp_path, [(picture(32, 64), ann("0.png", [(SQUARE, 2)]))],
                      num_points=5, letter_box=letter_box)
    image, masks, classes = read(ds)
    assert image.dtype == np.uint8 and image.shape == (32, 32, 3)
    assert masks.dtype == np.float32 and classes.dtype == np.int32
    np.testing.assert_allclose(masks, [expected], atol=1e-5)
    assert classes.tolist() == [2]
    if letter_box:
        assert (image[:8] == 114).all() and (image[24:] == 114).all()


def test_letterbox_is_looked_up_at_call_time(tmp_path, monkeypatch):
    ds = make_dataset(tmp_path, [(picture(20, 40), ann("0.png", [(SQUARE, 0)]))], num_points=4)
    calls = []

    def spy(img, new_shape, auto=True):
        calls.append((img.shape, new_shape, auto))
        out = np.zeros((32, 32, 3), np.uint8)
        return out, (0.5, 1.0), (3, 4)

    monkeypatch.setattr(seg, "letterbox", spy)
    image, masks, _ = read(ds)
    assert calls == [((20, 40, 3), [32, 32], False)]
    assert (image == 0).all()
    # w = 0.5 * 40, h = 1.0 * 20, offsets (3, 4): first vertex 0.25 -> (8, 9).
    np.testing.assert_allclose(masks[0, 0], [0.25 * 20 + 3, 0.25 * 20 + 4])
    monkeypatch.setattr(seg, "letterbox", lambda img, s, auto: (img, (1, 1)))
    with pytest.raises(ValueError, match=r"not enough values to unpack \(expected 3, got 2\)"):
        read(ds)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("num_points", [2, 17, 300])
def test_kernel_matches_scipy_on_random_polygons(tmp_path, seed, num_points):
    rng = np.random.default_rng(seed)
    polys = [rng.random((int(rng.integers(3, 40)), 2)).tolist() for _ in range(5)]
    # Integer vertices, and vertices spanning a wide range of magnitudes.
    grid = [[x, y] for x in range(4) for y in range(4)]
    polys.append([grid[k] for k in rng.permutation(16)[:10]])
    polys.append((rng.random((9, 2)) * np.array([[1e-6], [1.0], [1e3]] * 3)).tolist())
    ds = make_dataset(tmp_path, [(picture(48, 64), ann("0.png", [(p, 1) for p in polys]))],
                      num_points=num_points, letter_box=False)
    _, masks, classes = read(ds)
    expected = [reference(utils.mask_padding(np.array(p), 32, 32, 0, 0), num_points) for p in polys]
    assert masks.shape == (len(polys), num_points, 2) and classes.tolist() == [1] * len(polys)
    np.testing.assert_array_max_ulp(masks, np.array(expected), maxulp=1)


def test_rebound_interp1d_is_called_with_the_reference_arguments(tmp_path, monkeypatch):
    polys = [SQUARE, [[0.1, 0.1], [0.4, 0.1], [0.4, 0.1], [0.4, 0.6]]]
    ds = make_dataset(tmp_path, [(picture(32, 32), ann("0.png", [(p, 0) for p in polys]))],
                      num_points=9, letter_box=False)
    native = read(ds)[1]
    calls = []

    def spy(x, y, kind=None, axis=None):
        calls.append((np.array(x), np.array(y), kind, axis))
        return scipy.interpolate.interp1d(x, y, kind=kind, axis=axis)

    monkeypatch.setattr(seg, "interp1d", spy)
    rebound = read(ds)[1]
    assert [(c[2], c[3]) for c in calls] == [("slinear", 0), ("slinear", 0)]
    np.testing.assert_allclose(calls[0][0], [0, 1 / 3, 2 / 3, 1])
    np.testing.assert_allclose(calls[0][1], utils.mask_padding(np.array(SQUARE), 32, 32, 0, 0))
    # The repeated vertex is not handed on: the abscissae stay distinct.
    assert len(calls[1][0]) == 3 and np.all(np.diff(calls[1][0]) > 0)
    np.testing.assert_array_max_ulp(native, rebound, maxulp=1)


def test_degenerate_outlines(tmp_path):
    point = [[0.5, 0.5]] * 4
    repeated = [[0.25, 0.25], [0.25, 0.25], [0.75, 0.25], [0.75, 0.25], [0.75, 0.75], [0.75, 0.75]]
    clean = [[0.25, 0.25], [0.75, 0.25], [0.75, 0.75]]
    two = [[0.1, 0.1], [0.9, 0.9]]
    ds = make_dataset(tmp_path, [(picture(32, 32), ann(
        "0.png", [(point, 0), (repeated, 1)], [(two, 2)], [(clean, 2)]))], num_points=6,
        letter_box=False)
    _, masks, classes = read(ds)
    # The single point and the two-vertex part go with their classes; the
    # repeated vertices leave the outline as it was.
    assert classes.tolist() == [1, 2]
    assert np.isfinite(masks).all()
    np.testing.assert_array_max_ulp(masks[0], masks[1], maxulp=1)
    # Nothing left at all: empty arrays, the image still comes.
    ds2 = make_dataset(tmp_path / "2", [(picture(32, 32), ann("0.png", [(point, 0)]))])
    image, masks, classes = read(ds2)
    assert image.shape == (32, 32, 3) and masks.shape == (0,) and classes.shape == (0,)


@pytest.mark.parametrize("annotation, tasks", [
    (ann("0.png"), ["segment"]),
    (ann("0.png", segment=[]), ["segment"]),
    (ann("0.png", [(SQUARE, 0)]), ["boxes"]),
    (ann("0.png", [(SQUARE, 0)]), []),
])
def test_no_polygons(tmp_path, annotation, tasks):
    ds = make_dataset(tmp_path, [(picture(32, 32), annotation)], tasks=tasks)
    image, masks, classes = read(ds)
    assert image.shape == (32, 32, 3)
    assert (masks.shape, masks.dtype, classes.shape, classes.dtype) == ((0,), np.float32, (0,), np.int32)


def test_parts_classes_and_paths(tmp_path):
    a = ann("some/dir/0.png", [(SQUARE, 5), ([[0, 0], [1, 1]], 1)], [([[0, 0], [1, 0], [1, 1]], 0)],
            dimension=[32, 32], boxes=[[0, 0, 1, 1]])
    ds = make_dataset(tmp_path, [(picture(32, 32), a)], val=[(picture(32, 32), a)], num_points=3)
    train = read(ds)
    val = read(ds, train=False)
    assert len(train) == 3 and len(val) == 4
    assert train[2].tolist() == [5, 0]  # file order, no offset; class 1 had two vertices
    assert val[3] == os.path.join(ds.val_images, "0.png")
    np.testing.assert_array_equal(train[1], val[1])
    # str and bytes paths are read as well as string tensors.
    for path in (ds.train_storage[0], ds.train_storage[0].encode()):
        np.testing.assert_array_equal(ds._read_data(path)[1], train[1])


def test_utf8_files_whatever_the_locale(tmp_path):
    """Under an ASCII locale, text-mode reading in the locale's encoding would
    fail on the first non-ASCII byte."""
    import subprocess
    import sys
    ti, ta = make_split(tmp_path, "train", [(picture(32, 32), ann("0.png", [(SQUARE, 0)],
                                                                   note="Größe 5 €"))])
    info = tmp_path / "info.yaml"
    info.write_text("classes: [Größe, €]\ntrain: {{images: {0}, annotations: {1}}}\n"
                    "validation: {{images: {0}, annotations: {1}}}\n".format(ti, ta), encoding="utf-8")
    code = ("import sys, locale; from quorvane.trellisk.datasets.segmentation import *\n"
            "assert locale.getpreferredencoding(False).lower() != 'utf-8'\n"
            "ds = SegmentationDatasetYaml(sys.argv[1], [32, 32, 3], tasks=['segment'])\n"
            "print(ascii(ds.labels), ds._read_data(ds.train_storage[0])[2].tolist())\n")
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONUTF8="0", PYTHONCOERCECLOCALE="0")
    r = subprocess.run([sys.executable, "-c", code, str(info)], env=env, capture_output=True,
                       text=True, timeout=300)
    assert r.returncode == 0, r.stderr[-3000:]
    assert r.stdout.strip().splitlines()[-1] == "['Gr\\xf6\\xdfe', '\\u20ac'] [0]"


# Bad files: the exception of the failing step, unchanged, with a note that
# names the annotation file.
BAD = {
    "corrupt json": ('{"image": "0.png", ', json.JSONDecodeError),
    "missing image": (ann("missing.png"), FileNotFoundError),
    "unreadable image": (ann("text.png"), UnidentifiedImageError),
    "no image key": ({"segment": []}, KeyError),
    "segment null": ({"image": "0.png", "segment": None}, TypeError),
    "part without polygon": ({"image": "0.png", "segment": [[{"class": 0}]]}, KeyError),
    "part without class": ({"image": "0.png", "segment": [[{"polygon": SQUARE}]]}, KeyError),
    "class not a number": (ann("0.png", [(SQUARE, "cat")]), ValueError),
    "nan coordinate": ('{"image": "0.png", "segment": [[{"class": 0, "polygon": '
                       '[[0, 0], [NaN, 1], [1, 1]]}]]}', ValueError),
    "vertex with three numbers": (ann("0.png", [([[0, 0, 0], [1, 0, 0], [1, 1, 0]], 0)]), ValueError),
}


def bad_dataset(tmp_path, kind):
    a, _ = BAD[kind]
    ds = make_dataset(tmp_path, [(picture(32, 32), a)], val=[(picture(32, 32), a)])
    for folder in (ds.train_images, ds.val_images):
        with open(os.path.join(folder, "text.png"), "w") as f:
            f.write("not an image")
    return ds


@pytest.mark.parametrize("kind", sorted(BAD))
def test_bad_annotation_raises_with_the_file_named(tmp_path, kind):
    ds = bad_dataset(tmp_path, kind)
    with pytest.raises(BAD[kind][1]) as e:
        read(ds)
    assert "annotation file" not in str(e.value)
    assert e.value.__notes__ == ["while reading annotation file: " + ds.train_storage[0]]


@pytest.mark.parametrize("num_points, exc, message", [
    (0, ValueError, r"^num_points must be at least 1, got 0(\n|$)"),
    (-3, ValueError, r"^num_points must be at least 1, got -3(\n|$)"),
    (2.5, TypeError, "cannot be interpreted as an integer"),
])
def test_bad_num_points(tmp_path, num_points, exc, message):
    ds = make_dataset(tmp_path, simple(1), num_points=num_points)
    with pytest.raises(exc, match=message):
        read(ds)
    ds.tasks = []  # nothing to resample, nothing to complain about
    assert read(ds)[1].shape == (0,)


def test_missing_annotation_file(tmp_path):
    ds = make_dataset(tmp_path, simple(1))
    os.remove(ds.train_storage[0])
    with pytest.raises(FileNotFoundError) as e:
        read(ds)
    assert e.value.filename == ds.train_storage[0].encode()
    with pytest.raises(ValueError, match="embedded null byte"):
        ds._read_data(ds.train_images + "\0x.json")


def test_reader_is_safe_from_several_threads(tmp_path):
    rng = np.random.default_rng(1)
    samples = [(picture(24 + i, 40, seed=i), ann("{}.png".format(i), *[
        [(rng.random((20, 2)).tolist(), k)] for k in range(4)])) for i in range(8)]
    ds = make_dataset(tmp_path, samples, num_points=50)
    expected = [read(ds, i) for i in range(8)]
    barrier = threading.Barrier(4)

    def work(i):
        if i < 4:
            barrier.wait()
        return read(ds, i % 8)

    with ThreadPoolExecutor(4) as pool:
        results = list(pool.map(work, range(32)))
    for i, r in enumerate(results):
        for a, b in zip(r, expected[i % 8]):
            np.testing.assert_array_equal(a, b)


# ------------------------------------------------------------------ mask

def mask_of(ds, polygons, classes):
    return ds._build_gt_mask(tf.constant(np.asarray(polygons, np.float32)),
                             tf.constant(np.asarray(classes, np.int32)))


def test_mask_painting(tmp_path):
    ds = make_dataset(tmp_path, simple(1), shape=(16, 20, 3))
    empty = mask_of(ds, np.zeros(0), [])
    assert empty.dtype == np.int32 and empty.shape == (16, 20) and not empty.any()
    a = [[0, 0], [9.9, -0.5], [9.9, 3.9], [0, 3.9]]        # cols 0..9, rows 0..3
    b = [[5, 2], [14, 2], [14, 6], [5, 6]]                 # overlaps a
    out = [[30, 30], [40, 30], [40, 40], [30, 40]]          # wholly outside
    m = mask_of(ds, [a, b, out], [0, 2, 1])
    expected = np.zeros((16, 20), np.int32)
    expected[0:4, 0:10] = 1
    expected[2:7, 5:15] = 3                                 # later polygon wins
    np.testing.assert_array_equal(m, expected)
    m = mask_of(ds, [b, a, out], [2, 0, 1])
    expected[0:4, 0:10] = 1
    np.testing.assert_array_equal(m, expected)
    # Clipped at the borders, and coordinates far beyond int32 are pinned,
    # not wrapped: the huge square still covers the canvas.
    huge = [[-1e12, -1e12], [1e12, -1e12], [1e12, 1e12], [-1e12, 1e12]]
    assert (mask_of(ds, [huge], [4]) == 5).all()
    part = mask_of(ds, [[[-5, -5], [5, -5], [5, 5], [-5, 5]]], [0])
    assert part.sum() == 36 and (part[:6, :6] == 1).all()
    with pytest.raises(ValueError, match="finite"):
        mask_of(ds, [[[0, 0], [np.nan, 1], [1, 1]]], [0])


def test_build_gt_mask_passes_the_image_through(tmp_path):
    ds = make_dataset(tmp_path, simple(1), num_points=5)
    image, polygons, classes = ds.read_data(tf.constant(ds.train_storage[0]), True)
    out_image, mask = ds.build_gt_mask([image, polygons, classes])
    assert out_image is image or np.array_equal(out_image.numpy(), image.numpy())
    assert mask.dtype == tf.int32
    np.testing.assert_array_equal(mask.numpy(), ds._build_gt_mask(polygons, classes))
    assert set(np.unique(mask.numpy())) == {0, 1}
    with pytest.raises(ValueError, match="too many values to unpack"):
        ds.build_gt_mask([image, polygons, classes, classes])


# ---------------------------------------------------------------- augmentation

@pytest.mark.parametrize("entry, drawn, bounds", [
    ("Defocus", lambda plan: plan["defocus"] and plan["defocus"][0], lambda e: e.radius),
    ("Defocus", lambda plan: plan["defocus"] and plan["defocus"][1], lambda e: e.alias_blur),
    ("RandomSizedCrop", lambda plan: plan["crop"] and plan["crop"][0], lambda e: e.min_max_height),
    ("ChannelDropout", lambda plan: plan["channel_dropout"], lambda e: (0, 2)),  # which channel
], ids=["defocus radius", "defocus alias blur", "crop height", "dropped channel"])
def test_library_entries_and_native_engine_draw_from_the_same_ranges(tmp_path, entry, drawn, bounds):
    """The library pipeline a dataset builds and the native engine read one
    recipe: every value the engine draws lies in the library entry's range,
    and the draws reach both ends of it."""
    from quorvane.trellisk.datasets import _augment

    if seg.A is None:
        pytest.skip("the augmentation library is not installed")
    ds = make_dataset(tmp_path, simple(1, 40, 48), shape=(40, 48, 3))
    entries = {}
    for t in ds._augmentation_pipeline.transforms:
        for e in getattr(t, "transforms", [t]):
            entries[type(e).__name__] = e
    lo, hi = bounds(entries[entry])
    engine = _augment.Engine(40, 48, True, seed=1)
    values = [drawn(engine.plan(40, 48, i)) for i in range(4000)]
    values = [v for v in values if v is not None and v is not False]
    assert values and all(lo <= v <= hi for v in values), (lo, hi, min(values), max(values))
    span = hi - lo
    assert min(values) <= lo + 0.1 * span and max(values) >= hi - 0.1 * span, (lo, hi)


def test_apply_augmentation_invariants(tmp_path):
    import random
    ds = make_dataset(tmp_path, simple(1), shape=(40, 48, 3))
    image = picture(40, 48)
    mask = np.zeros((40, 48), np.int32)
    mask[10:30, 5:40] = 2
    mask[0:5, 0:5] = 1
    for k in range(12):
        out_image, out_mask = ds.apply_augmentation(image, mask)
        assert out_image.dtype == np.uint8 and out_mask.dtype == np.int32
        assert out_image.shape == (40, 48, 3) and out_mask.shape == (40, 48)
        assert set(np.unique(out_mask)) <= {0, 1, 2}
        assert not np.shares_memory(out_image, image) and not np.shares_memory(out_mask, mask)
    random.seed(3)
    np.random.seed(3)
    a = ds.apply_augmentation(image, mask)
    random.seed(3)
    np.random.seed(3)
    b = ds.apply_augmentation(mask=mask, image=image)
    np.testing.assert_array_equal(a[0], b[0])
    np.testing.assert_array_equal(a[1], b[1])


def test_apply_augmentation_converts_and_never_aliases(tmp_path):
    ds = make_dataset(tmp_path, simple(1))
    image, mask = picture(32, 32), np.ones((32, 32), np.int32)
    ds._augmentation_pipeline = lambda image, mask: {"image": image, "mask": mask}
    out_image, out_mask = ds.apply_augmentation(image, mask)
    np.testing.assert_array_equal(out_image, image)
    assert not np.shares_memory(out_image, image) and not np.shares_memory(out_mask, mask)
    ds._augmentation_pipeline = lambda image, mask: {"image": image.astype(np.float64),
                                                     "mask": mask.astype(np.uint8)}
    out_image, out_mask = ds.apply_augmentation(image, mask)
    assert out_image.dtype == np.uint8 and out_mask.dtype == np.int32
    t_image, t_mask = ds.tf_apply_augmentation(tf.constant(image), tf.constant(mask))
    assert (t_image.dtype, t_mask.dtype) == (tf.uint8, tf.int32)
    np.testing.assert_array_equal(t_mask.numpy(), mask)


# ------------------------------------------------------ class ids and names

@pytest.mark.parametrize("cls, ok", [
    (2, True), (2.0, True), (5, True),  # ids past the labels are kept (check reports them)
    (2 ** 32, False), (2.7, False), (-1, False), (True, False), (None, False), ([1], False),
])
def test_class_ids_are_integers_in_the_int32_range(tmp_path, cls, ok):
    ds = make_dataset(tmp_path, [(picture(32, 32), ann("0.png", [(SQUARE, 0)], [(SQUARE, cls)]))])
    if ok:
        assert read(ds)[2].tolist() == [0, int(cls)]
        return
    with pytest.raises(ValueError, match=r"^object 1 part 0: \"class\" .* is not a class id") as e:
        read(ds)
    assert e.value.__notes__ == ["while reading annotation file: " + ds.train_storage[0]]


@pytest.mark.parametrize("polygons, classes", [(1, 2), (2, 1), (0, 1)])
def test_mask_needs_one_class_per_polygon(tmp_path, polygons, classes):
    ds = make_dataset(tmp_path, [(picture(32, 32), ann("0.png"))])
    masks = np.zeros((polygons, 4, 2), np.float32) if polygons else np.zeros(0, np.float32)
    with pytest.raises(ValueError, match="{} polygons but classes holds {} class ids".format(
            polygons, classes)):
        ds._build_gt_mask(masks, np.zeros(classes, np.int32))


def test_file_names_that_are_not_utf8_are_read(tmp_path):
    ds = make_dataset(tmp_path, [(picture(32, 32), ann("0.png", [(SQUARE, 1)]))],
                      val=[(picture(32, 32), ann("0.png", [(SQUARE, 1)]))])
    folder = os.fsencode(ds.val_annotations)
    os.rename(os.path.join(folder, b"000.json"), os.path.join(folder, b"caf\xe9.json"))
    os.rename(os.path.join(os.fsencode(ds.train_annotations), b"000.json"),
              os.path.join(os.fsencode(ds.train_annotations), b"caf\xe9.json"))
    ds = SegmentationDataset(shape=[32, 32, 3], train_images=ds.train_images, val_images=ds.val_images,
                             train_annotations=ds.train_annotations, val_annotations=ds.val_annotations,
                             labels=["a", "b"], tasks=["segment"])
    _, mask, _ = next(iter(ds.build_val_iterator()))
    assert set(np.unique(mask.numpy())) == {0, 2}
    batch = next(iter(ds.build_train_iterator(batch_size=1)))
    assert batch[1].shape == (1, 32, 32)
    # A failure in such a file names it, escapes and all.
    with open(os.path.join(folder, b"caf\xe9.json"), "w") as f:
        f.write("{")
    with pytest.raises(json.JSONDecodeError) as e:
        ds._read_data(os.path.join(folder, b"caf\xe9.json"), False)
    assert e.value.__notes__ == ["while reading annotation file: {}/caf\\xe9.json".format(
        ds.val_annotations)]


def test_a_folder_name_with_wildcards_names_that_folder_only(tmp_path):
    ds = make_dataset(tmp_path, [(picture(32, 32), ann("0.png", [(SQUARE, 1)]))])
    literal = ds.train_annotations + "[1]"
    os.rename(ds.train_annotations, literal)
    os.mkdir(ds.train_annotations + "1")  # what the name matches as a pattern
    with open(os.path.join(ds.train_annotations + "1", "other.json"), "w") as f:
        f.write("{}")
    ds = SegmentationDataset(shape=[32, 32, 3], train_images=ds.train_images, val_images=ds.val_images,
                             train_annotations=literal, val_annotations=literal, labels=["a", "b"],
                             tasks=["segment"])
    assert ds.train_storage == [os.path.join(literal, "000.json")]
