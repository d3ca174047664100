"""Segmentation pipelines end to end (training and validation), errors
surfacing through TensorFlow, and the YAML-described dataset."""

import copy
import os

import albumentations as A
import numpy as np
import pytest
import tensorflow as tf
import yaml

from quorvane.trellisk.datasets.segmentation import SegmentationDataset, SegmentationDatasetYaml
from test_segmentation import BAD, SQUARE, ann, bad_dataset, make_dataset, make_split, picture, simple


def identity(image, mask):
    return {"image": image, "mask": mask}


def sample_ids(images):
    """simple() paints sample i with the value 8 * i."""
    return [int(im[16, 16, 0]) // 8 for im in images]


def pass_ids(pipeline):
    """The sample ids of one pass, in order, each sample's mask checked: the
    square of sample i, class i % 3, painted i % 3 + 1."""
    ids = []
    for images, masks in pipeline:
        batch = sample_ids(images.numpy())
        for i, mask in zip(batch, masks.numpy()):
            assert mask[16, 16] == i % 3 + 1 and mask[0, 0] == 0
        ids += batch
    return ids


# -------------------------------------------------------------------- training

def test_training_batches(tmp_path):
    ds = make_dataset(tmp_path, simple(25))
    pipeline = ds.build_train_iterator()
    spec = pipeline.element_spec
    assert spec[0].shape.as_list() == [10, 32, 32, 3] and spec[0].dtype == tf.uint8
    assert spec[1].shape.as_list() == [10, 32, 32] and spec[1].dtype == tf.int32
    batches = list(pipeline)
    assert len(batches) == 2  # 25 files: two full batches, five dropped
    for images, masks in batches:
        assert images.shape == (10, 32, 32, 3) and masks.shape == (10, 32, 32)
        assert set(np.unique(masks.numpy())) <= {0, 1, 2, 3}
    assert list(ds.build_train_iterator(30, 2)) == []
    assert len(list(ds.build_train_iterator(batch_size=4, prefetch=1))) == 6


def test_training_order_and_pairing(tmp_path):
    ds = make_dataset(tmp_path, simple(25))
    ds._augmentation_pipeline = identity  # so that the batch shows what was read
    pipeline = ds.build_train_iterator(5, 3)
    orders = []
    for _ in range(3):
        ids = pass_ids(pipeline)
        assert sorted(ids) == list(range(25))
        orders.append(ids)
    # A new order on every pass.
    assert orders[0] != orders[1] or orders[1] != orders[2]


@pytest.mark.parametrize("kind", ["folders", "yaml"])
def test_training_without_augmentation_yields_the_samples_as_read(tmp_path, kind):
    ds = make_dataset(tmp_path, simple(12))
    if kind == "yaml":
        description = {"classes": list(ds.labels),
                       "train": {"images": ds.train_images, "annotations": ds.train_annotations},
                       "validation": {"images": ds.val_images, "annotations": ds.val_annotations}}
        ds = SegmentationDatasetYaml(write_yaml(tmp_path, description), [32, 32, 3], tasks=["segment"])
    calls = []
    ds._augmentation_pipeline = lambda image, mask: calls.append(1) or {"image": image, "mask": mask}
    pipeline = ds.build_train_iterator(5, 2, augment=False)
    assert pipeline.element_spec == ds.build_train_iterator(5, 2).element_spec
    ids = pass_ids(pipeline)
    # The training order and batching (remainder dropped), never augmented.
    assert len(ids) == 10 and len(set(ids)) == 10 and set(ids) <= set(range(12)) and not calls
    with pytest.raises(TypeError, match=r"takes at most 3 positional arguments \(4 given\)"):
        ds.build_train_iterator(5, 2, False)


def test_training_pipeline_pads_smaller_samples(tmp_path):
    ds = make_dataset(tmp_path, simple(4))
    ds._augmentation_pipeline = lambda image, mask: {"image": image[:20, :24], "mask": mask[:20, :24]}
    images, masks = next(iter(ds.build_train_iterator(4)))
    assert images.shape == (4, 32, 32, 3)
    assert not images.numpy()[:, 20:].any() and not masks.numpy()[:, :, 24:].any()


def test_augmented_training_samples_keep_mask_and_image_aligned(tmp_path):
    # Left half bright with class 0, right half dark: whatever the geometry
    # does, bright pixels carry the class and dark ones the background (the
    # grey border fill is neither); only resampling at the edge may differ.
    half = np.zeros((32, 32, 3), np.uint8)
    half[:, :16] = 250
    edge = 15.5 / 32  # column 15.5 truncates to 15, the last bright one
    left = [[0, 0], [edge, 0], [edge, 1], [0, 1]]
    ds = make_dataset(tmp_path, [(half, ann("{}.png".format(i), [(left, 0)])) for i in range(8)],
                      num_points=40)
    for _ in range(3):
        for images, masks in ds.build_train_iterator(8):
            # Channels may be dropped: look at the brightest one. Counted
            # over the batch: a strong zoom can widen the band where the
            # image's Lanczos and the mask's nearest resampling disagree.
            level = images.numpy().max(axis=-1)
            bright, dark = level > 200, level < 50
            assert (masks.numpy()[bright] == 1).mean() > 0.97
            assert (masks.numpy()[dark] == 0).mean() > 0.97


def pipeline_entries(pipeline):
    for t in pipeline.transforms:
        yield from (t.transforms if isinstance(t, A.OneOf) else [t])


@pytest.mark.parametrize("index", range(8))
@pytest.mark.parametrize("top", [7, 300])
def test_every_augmentation_entry_keeps_class_values(tmp_path, index, top):
    # Each entry forced on: class ids must come out as class ids, whatever
    # the entry resamples (a warp that rescales int32 masks made them all 1).
    ds = make_dataset(tmp_path, simple(1))
    entry = copy.deepcopy(list(pipeline_entries(ds._augmentation_pipeline))[index])
    entry.p, entry.always_apply = 1.0, True
    ds._augmentation_pipeline = A.Compose([entry])
    mask = np.zeros((32, 32), np.int32)
    mask[:, 8:16], mask[:, 16:] = 2, top
    image = np.full((32, 32, 3), 90, np.uint8)
    for _ in range(3):
        out_image, out_mask = ds.apply_augmentation(image, mask)
        assert out_image.dtype == np.uint8 and out_mask.dtype == np.int32
        assert set(np.unique(out_mask)) <= {0, 2, top}, type(entry).__name__


# ------------------------------------------------------------------ validation

def test_validation_elements(tmp_path):
    ds = make_dataset(tmp_path, simple(3), val=simple(4))
    pipeline = ds.build_val_iterator(4)
    assert len(pipeline.element_spec) == 3
    assert pipeline.element_spec[2].dtype == tf.string
    seen = list(pipeline)
    assert len(seen) == 4
    for path, (image, mask, image_path) in zip(ds.val_storage, seen):
        i = int(os.path.basename(path).split(".")[0])
        assert image.shape == (32, 32, 3) and image.dtype == tf.uint8
        assert mask.shape == (32, 32) and mask.dtype == tf.int32
        assert image_path.numpy().decode() == os.path.join(ds.val_images, "{}.png".format(i))
        assert int(image[16, 16, 0]) == 8 * i and int(mask[16, 16]) == i % 3 + 1
    # Always the order of val_storage.
    again = [p.numpy() for _, _, p in ds.build_val_iterator()]
    assert again == [p.numpy() for _, _, p in seen]


def test_empty_validation_split_yields_nothing(tmp_path):
    ds = make_dataset(tmp_path, simple(2))
    assert list(ds.build_val_iterator()) == []


@pytest.mark.parametrize("kind", ["corrupt json", "segment null", "unreadable image", "nan coordinate"])
def test_bad_sample_fails_when_drawn_and_names_the_file(tmp_path, kind):
    ds = bad_dataset(tmp_path, kind)
    pipeline = ds.build_val_iterator()  # building reads nothing
    with pytest.raises(tf.errors.OpError) as e:
        list(pipeline)
    assert BAD[kind][1].__name__ in str(e.value)
    assert "while reading annotation file: " + ds.val_storage[0] in str(e.value)
    with pytest.raises(tf.errors.OpError):
        list(ds.build_train_iterator(1))


# ------------------------------------------------------------------------ YAML

def write_yaml(tmp_path, content):
    path = tmp_path / "info.yaml"
    path.write_text(content if isinstance(content, str) else yaml.safe_dump(content), encoding="utf-8")
    return str(path)


def folders(tmp_path):
    ti, ta = make_split(tmp_path, "train", simple(3))
    vi, va = make_split(tmp_path, "val", simple(2))
    return {"classes": ["a", "b", "c"], "train": {"images": ti, "annotations": ta},
            "validation": {"images": vi, "annotations": va}}


def test_yaml_dataset_matches_the_direct_one(tmp_path):
    d = folders(tmp_path)
    d["extra"] = {"ignored": True}
    d["train"]["other"] = 1
    tasks, shape = ["segment"], [32, 32, 3]
    ds = SegmentationDatasetYaml(write_yaml(tmp_path, d), shape, False, 7, False, tasks)
    direct = SegmentationDataset(shape, d["train"]["images"], d["validation"]["images"],
                                 d["train"]["annotations"], d["validation"]["annotations"],
                                 d["classes"], tasks, 7, False, False)
    for name in ("tasks", "shape", "train_images", "val_images", "train_annotations",
                 "val_annotations", "labels", "num_points", "letter_box", "class_offset",
                 "num_training_samples", "num_validation_samples"):
        assert getattr(ds, name) == getattr(direct, name), name
    assert ds.tasks is tasks and ds.shape is shape
    assert sorted(ds.train_storage) == sorted(direct.train_storage)
    assert ds.get_num_segmentation_classes() == 4
    np.testing.assert_array_equal(ds._read_data(ds.train_storage[0])[1],
                                  direct._read_data(ds.train_storage[0])[1])
    assert len(list(ds.build_train_iterator(3))) == 1


def drop(d, *keys):
    node = d
    for k in keys[:-1]:
        node = node[k]
    del node[keys[-1]]
    return d


@pytest.mark.parametrize("edit, message", [
    (lambda d: drop(drop(d, "train"), "validation"), "``train`` section is missing on the configuration file"),
    (lambda d: drop(d, "validation"), "``validation`` section is missing on the configuration file"),
    (lambda d: drop(drop(d, "train", "images"), "train", "annotations"),
     "``images`` section is missing on the ``train`` section"),
    (lambda d: drop(d, "train", "annotations"), "``annotations`` section is missing on the ``train`` section"),
    (lambda d: drop(d, "validation", "images"), "``images`` section is missing on the ``validation`` section"),
    (lambda d: drop(d, "validation", "annotations"),
     "``annotations`` section is missing on the ``validation`` section"),
    (lambda d: "\n".join(["classes: [a]", "train: {images: x, annotations: y}", "validation:"]),
     "``validation`` section is missing on the configuration file"),
])
def test_yaml_missing_sections(tmp_path, edit, message):
    with pytest.raises(ValueError) as e:
        SegmentationDatasetYaml(write_yaml(tmp_path, edit(folders(tmp_path))), [32, 32, 3], tasks=["segment"])
    assert e.value.args == (message,)


@pytest.mark.parametrize("classes", [None, []])
def test_yaml_without_classes(tmp_path, classes):
    d = folders(tmp_path)
    d["classes"] = classes
    with pytest.raises(ValueError) as e:
        SegmentationDatasetYaml(write_yaml(tmp_path, d), [32, 32, 3], tasks=["segment"])
    assert e.value.args == ("Incorrect values for class was detected: ", classes)


def test_yaml_missing_folders_in_order(tmp_path):
    d = folders(tmp_path)
    missing = {k: str(tmp_path / ("missing-" + k)) for k in ("ti", "vi", "ta", "va")}
    d["train"] = {"images": missing["ti"], "annotations": missing["ta"]}
    d["validation"] = {"images": missing["vi"], "annotations": missing["va"]}
    info = write_yaml(tmp_path, d)
    steps = [("ti", "Images folder provided in ``train`` section"),
             ("vi", "Images folder provided in ``validation`` section"),
             ("ta", "Annotations folder provided in ``train`` section"),
             ("va", "Annotations folder provided in ``validation`` section")]
    for key, start in steps:
        with pytest.raises(FileNotFoundError) as e:
            SegmentationDatasetYaml(info, [32, 32, 3], tasks=["segment"])
        assert str(e.value) == start + " does not exist in the current location: " + missing[key]
        os.makedirs(missing[key])
    # All there now, but the annotation folder is empty.
    with pytest.raises(ValueError, match="0 annotation files"):
        SegmentationDatasetYaml(info, [32, 32, 3], tasks=["segment"])


def test_yaml_other_failures(tmp_path):
    info = write_yaml(tmp_path, folders(tmp_path))
    with pytest.raises(ValueError, match="^tasks should be a list of strings: None is not allowed$"):
        SegmentationDatasetYaml(info, [32, 32, 3])
    with pytest.raises(FileNotFoundError):
        SegmentationDatasetYaml(str(tmp_path / "none.yaml"), [32, 32, 3], tasks=["segment"])
    with pytest.raises(TypeError, match=r"^Argument 'info_file' has incorrect type \(expected str, got PosixPath\)$"):
        SegmentationDatasetYaml(tmp_path / "info.yaml", [32, 32, 3], tasks=["segment"])
    with pytest.raises(AttributeError):  # an empty document is not a mapping
        SegmentationDatasetYaml(write_yaml(tmp_path, ""), [32, 32, 3], tasks=["segment"])
    with pytest.raises(yaml.YAMLError):
        SegmentationDatasetYaml(write_yaml(tmp_path, "classes: [a\n"), [32, 32, 3], tasks=["segment"])
