"""YOLO and Pascal VOC layouts: every object read at its place, every planted
fault found where it was planted, and neither layout taken for another."""

import io
import json
import os
import pickle
from collections import Counter

import numpy as np
import pytest
import yaml
from PIL import Image

from quorvane.trellisk import validate
from quorvane.trellisk.cli import main
from quorvane.trellisk.datasets.utils import xywhn2xyxy
from quorvane.trellisk.errors import UsageError
from quorvane.trellisk.sources import ProblemKind as K
from quorvane.trellisk.sources import examples, open_source, voc, yolo

SIZE = (100, 80)


def jpeg(path, size=SIZE):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    Image.new("RGB", size, (120, 90, 60)).save(path, quality=90)
    return path


def write(path, text, mode="w"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, mode) as f:
        f.write(text)
    return path


def yolo_folder(root, labels, size=SIZE):
    """images/{train,val} and labels/{train,val}: {stem: label text} in train, one val picture."""
    root = str(root)
    for stem, text in labels.items():
        jpeg(os.path.join(root, "images", "train", stem + ".jpg"), size)
        write(os.path.join(root, "labels", "train", stem + ".txt"), text)
    jpeg(os.path.join(root, "images", "val", "v.jpg"), size)
    write(os.path.join(root, "labels", "val", "v.txt"), "")
    return root


def voc_xml(objects, size=SIZE, name="a.jpg"):
    """objects: (class, difficult, xmin, ymin, xmax, ymax)."""
    body = "".join(
        "<object><name>{}</name><difficult>{}</difficult><bndbox><xmin>{}</xmin><ymin>{}</ymin>"
        "<xmax>{}</xmax><ymax>{}</ymax></bndbox></object>".format(*o) for o in objects)
    return ("<annotation><filename>{}</filename><size><width>{}</width><height>{}</height>"
            "</size>{}</annotation>".format(name, size[0], size[1], body))


def voc_folder(root, xml, size=SIZE):
    """One training sample "a" with annotation ``xml``, one validation sample "v"."""
    root = str(root)
    for ident, text in (("a", xml), ("v", voc_xml([], size, "v.jpg"))):
        mode = "wb" if isinstance(text, bytes) else "w"
        write(os.path.join(root, "Annotations", ident + ".xml"), text, mode)
        jpeg(os.path.join(root, "JPEGImages", ident + ".jpg"), size)
    write(os.path.join(root, "ImageSets", "Main", "train.txt"), "a\n")
    write(os.path.join(root, "ImageSets", "Main", "val.txt"), "v\n")
    return root


def read_all(src, image=True):
    return {ref.name: src.read(ref, image) for refs in src.splits().values() for ref in refs}


def found(src):
    """Sorted (where, kind) of every problem of the source and its samples."""
    problems = list(src.problems())
    for sample in read_all(src).values():
        problems += sample.problems
    return sorted((p.where, p.kind) for p in problems)


def pixel_box(obj, width, height):
    """An object's box as the detection readers see it after packing: stored as
    normalised centre and size, turned back into pixel corners."""
    x1, y1, x2, y2 = obj.box
    xywh = np.array([[(x1 + x2) / 2, (y1 + y2) / 2, x2 - x1, y2 - y1]])
    return xywhn2xyxy(xywh, width, height)[0]


# -- sound datasets ---------------------------------------------------------------

def _txt_list(d):
    listed = ["./images/train/" + f for f in sorted(os.listdir(os.path.join(d["root"], "images", "train")))]
    write(os.path.join(d["root"], "train.txt"), "\n".join(listed) + "\n")
    with open(d["yaml"]) as f:
        doc = yaml.safe_load(f)
    doc.update(train="train.txt", path=".")  # a relative root: the YAML's folder
    write(d["yaml"], yaml.safe_dump(doc))


VARIANTS = {
    "yolo folder": lambda t: (examples.write_yolo(t), lambda d: [d["root"]]),
    "yolo yaml": lambda t: (examples.write_yolo(t), lambda d: [d["yaml"]]),
    "yolo yaml names mapping": lambda t: (examples.write_yolo(t, names_mapping=True),
                                          lambda d: [d["yaml"]]),
    "yolo yaml picture list": lambda t: (examples.write_yolo(t), lambda d: (_txt_list(d), [d["yaml"]])[1]),
    "voc": lambda t: (examples.write_voc(t), lambda d: [d["root"]]),
}


@pytest.mark.parametrize("variant", VARIANTS)
def test_sound_dataset_reads_every_object_at_its_pixel_box(tmp_path, variant):
    made, argv = VARIANTS[variant](str(tmp_path / "ds"))
    mod = voc if variant == "voc" else yolo
    paths = argv(made)
    assert mod.recognise(paths)
    src = mod.open(paths, classes=made["classes"] if variant == "yolo folder" else None)
    assert src.problems() == [] and src.classes == examples.CLASSES
    assert {k: len(v) for k, v in src.splits().items()} == {"train": 6, "validation": 2}
    samples = read_all(src)
    assert sorted(samples) == sorted(made["objects"])
    difficult = 0
    for name, sample in samples.items():
        assert sample.problems == []
        with Image.open(io.BytesIO(sample.image)) as im:
            assert im.size == (sample.width, sample.height) == (96, 64)
        truth = made["objects"][name]
        assert [o.class_id for o in sample.objects] == [c for c, _ in truth]
        for obj, (_, box) in zip(sample.objects, truth):
            np.testing.assert_allclose(pixel_box(obj, 96, 64), box, atol=1e-3)
            # Outlines are kept where the layout has them: YOLO triangles.
            assert len(obj.parts) == (mod is yolo and obj.class_id == 1)
        difficult += sample.counts["difficult objects"]
    assert difficult == made.get("difficult", 0)


@pytest.mark.parametrize("layout, annotation, box", [
    # VOC pixels count from 1: columns 11..40 are the pixel edges 10..40.
    ("voc", (11, 21, 40, 60), (10, 20, 40, 60)),
    ("voc", (1, 1, 100, 80), (0, 0, 100, 80)),
    ("voc", (5.5, 2, 5.5, 2), (4.5, 1, 5.5, 2)),
    ("yolo", "0 0.25 0.5 0.3 0.4", (10, 24, 40, 56)),
    ("yolo", "0 0.1 0.2 0.5 0.25 0.3 0.9", (10, 16, 50, 72)),
    ("yolo", "0.0 0.5 0.5 1.0000004 1", (0, 0, 100, 80)),  # rounding past the edge is clipped
])
def test_packed_box_is_the_pixel_box_the_file_means(tmp_path, layout, annotation, box):
    if layout == "voc":
        src = voc.open([voc_folder(tmp_path, voc_xml([("a", 0) + annotation]))])
    else:
        src = yolo.open([yolo_folder(tmp_path, {"a": annotation + "\n"})], classes=["a"])
    (sample,) = [s for s in read_all(src).values() if s.objects]
    assert sample.problems == []
    np.testing.assert_allclose(pixel_box(sample.objects[0], *SIZE), box, atol=1e-4)


# -- faults ---------------------------------------------------------------------

@pytest.mark.parametrize("line, kind, cls", [
    ("1 0.5 0.5 0.2 0.2", None, 1),
    ("1.0 0.5 0.5 0.2 0.2", None, 1),                 # an integral number is a class
    ("1e0 0.5 0.5 0.2 0.2", None, 1),
    ("2 0.5 0.5 0.2 0.2", K.CLASS_RANGE, None),       # two names: 0..1
    ("-1 0.5 0.5 0.2 0.2", K.CLASS_RANGE, None),
    ("1.5 0.5 0.5 0.2 0.2", K.ANNOTATION_MALFORMED, None),
    ("true 0.5 0.5 0.2 0.2", K.ANNOTATION_MALFORMED, None),
    ("nan 0.5 0.5 0.2 0.2", K.ANNOTATION_MALFORMED, None),
    ("0 0.5 0.5 0.2", K.ANNOTATION_MALFORMED, None),
    ("0 0.1 0.1 0.5 0.1 0.5", K.ANNOTATION_MALFORMED, None),        # five numbers
    ("0 0.1 0.1 0.5 0.1 0.5 0.5 0.9", K.ANNOTATION_MALFORMED, None),  # odd outline
    ("0 0.5 0.5 0.2 abc", K.ANNOTATION_MALFORMED, None),
    ("0 0.5 0.5 -0.2 0.2", K.ANNOTATION_MALFORMED, None),
    ("0 0.95 0.5 0.2 0.2", K.COORD_RANGE, None),
    ("0 0.5 0.5 nan 0.2", K.COORD_RANGE, None),
    ("0 0.5 0.5 inf 0.2", K.COORD_RANGE, None),
    ("0 0.1 0.1 0.5 0.1 1.2 0.5", K.COORD_RANGE, None),
    ("0 0.3 0.3 0.3 0.3 0.3 0.3", K.ZERO_LENGTH, None),
])
def test_yolo_label_line(tmp_path, line, kind, cls):
    root = yolo_folder(tmp_path, {"a": "0 0.5 0.5 0.1 0.1\n\n" + line + "\n"})
    src = yolo.open([root], classes=["x", "y"])
    label = os.path.join(root, "labels", "train", "a.txt")
    assert found(src) == ([] if kind is None else [(label + " line 3", kind)])
    sample = read_all(src)["images/train/a.jpg"]
    assert [o.class_id for o in sample.objects] == [0] + ([cls] if kind is None else [])


def _unlabelled(root):
    os.remove(os.path.join(root, "labels", "train", "a.txt"))


def _orphan(root):
    write(os.path.join(root, "labels", "train", "sub", "gone.txt"), "0 0.5 0.5 0.1 0.1\n")


def _broken(root):
    write(os.path.join(root, "images", "train", "a.jpg"), b"\xff\xd8\xff\xe0 not a jpeg", "wb")


def _listed_missing(root):
    write(os.path.join(root, "list.txt"), "images/train/a.jpg\nimages/train/gone.jpg\n")
    write(os.path.join(root, "data.yaml"), yaml.safe_dump(
        {"path": root, "train": "list.txt", "val": "images/val", "names": ["x"]}))
    return [os.path.join(root, "data.yaml")]


@pytest.mark.parametrize("edit, expected, unlabelled", [
    (_unlabelled, [], 1),
    (_orphan, [("labels/train/sub/gone.txt", K.LABEL_WITHOUT_IMAGE)], 0),
    (_broken, [("labels/train/a.txt", K.IMAGE_UNDECODABLE)], 0),
    (_listed_missing, [("images/train/gone.jpg", K.IMAGE_MISSING)], 0),
])
def test_yolo_dataset_faults(tmp_path, edit, expected, unlabelled):
    root = yolo_folder(tmp_path, {"a": "0 0.5 0.5 0.2 0.2\n"})
    paths = edit(root) or [root]
    src = yolo.open(paths, classes=["x"] if paths == [root] else None)
    assert found(src) == [(os.path.join(root, w), k) for w, k in expected]
    total = sum((s.counts for s in read_all(src).values()), Counter())
    assert total["pictures without labels"] == unlabelled


@pytest.mark.parametrize("names, extra, classes, problem", [
    ({0: "a", 1: "b"}, {}, ["a", "b"], None),
    ({"1": "b", "0": "a"}, {}, ["a", "b"], None),
    (["a", "b"], {"nc": 2}, ["a", "b"], None),
    (["a", "b"], {"nc": 3}, None, K.DESCRIPTION),
    ({0: "a", 2: "c"}, {}, None, K.DESCRIPTION),     # no name for class 1
    ({"x": "a"}, {}, None, K.DESCRIPTION),
    ([], {}, None, K.DESCRIPTION),
    (None, {}, None, K.DESCRIPTION),
    (["a"], {"path": "/no/such/folder"}, None, K.DESCRIPTION),
    (["a"], {"val": {"images": "x"}}, None, K.DESCRIPTION),
])
def test_yolo_yaml_names_and_description(tmp_path, names, extra, classes, problem):
    root = yolo_folder(tmp_path, {"a": "0 0.5 0.5 0.2 0.2\n"})
    doc = dict({"path": root, "train": "images/train", "val": "images/val", "names": names}, **extra)
    path = write(os.path.join(root, "data.yaml"), yaml.safe_dump(doc))
    assert yolo.recognise([path])
    src = yolo.open([path])
    assert [p.kind for p in src.problems()] == ([] if problem is None else [problem])
    if classes is not None:
        assert src.classes == classes


@pytest.mark.parametrize("given, classes, kinds", [
    (None, ["class0", "class1", "class2", "class3"], []),  # inferred from the highest class
    (["a", "b"], ["a", "b"], [K.CLASS_RANGE]),
])
def test_yolo_folder_classes_given_or_inferred(tmp_path, given, classes, kinds):
    root = yolo_folder(tmp_path, {"a": "3 0.5 0.5 0.2 0.2\n", "b": "1.0 0.5 0.5 0.2 0.2\n"})
    src = yolo.open([root], classes=given)
    assert src.classes == classes
    assert [k for _, k in found(src)] == kinds
    assert any("0..3" in n for n in src.notes()) == (given is None)
    assert src.classes_given == (given is not None)


BOMB = (b'<?xml version="1.0"?><!DOCTYPE lolz [<!ENTITY lol "lol">'
        + b"".join(b'<!ENTITY lol%d "%s">' % (k, (b"&lol%d;" % (k - 1) if k > 1 else b"&lol;") * 10)
                   for k in range(1, 10))
        + b']><annotation><filename>&lol9;</filename></annotation>')
EXTERNAL = (b'<?xml version="1.0"?><!DOCTYPE a [<!ENTITY x SYSTEM "file:///etc/passwd">]>'
            b"<annotation><filename>&x;</filename></annotation>")


@pytest.mark.parametrize("xml, classes, kind", [
    (voc_xml([("a", 1, 1, 1, 100, 80)]), None, None),
    (BOMB, None, K.ANNOTATION_MALFORMED),
    (EXTERNAL, None, K.ANNOTATION_MALFORMED),
    # A declaration in UTF-16 has no "<!DOCTYPE" bytes in it: still refused.
    ('<?xml version="1.0" encoding="UTF-16"?><!DOCTYPE a [<!ENTITY x "y">]><annotation/>'
     .encode("utf-16"), None, K.ANNOTATION_MALFORMED),
    ("<annotation><filename>a.jpg</filename>", None, K.ANNOTATION_MALFORMED),
    ("<annotation>&undefined;</annotation>", None, K.ANNOTATION_MALFORMED),
    ("<notes/>", None, K.ANNOTATION_MALFORMED),
    (voc_xml([("a", 0, 1, 1, 101, 80)]), None, K.COORD_RANGE),
    (voc_xml([("a", 0, 0, 1, 100, 80)]), None, K.COORD_RANGE),   # counted from 1
    (voc_xml([("a", 0, 1, 1, 100, float("nan"))]), None, K.ANNOTATION_MALFORMED),
    (voc_xml([("a", 0, 50, 1, 40, 80)]), None, K.ANNOTATION_MALFORMED),
    (voc_xml([("a", 0, "left", 1, 40, 80)]), None, K.ANNOTATION_MALFORMED),
    (voc_xml([("a", "maybe", 1, 1, 40, 80)]), None, K.ANNOTATION_MALFORMED),
    (voc_xml([("a", 0, 1, 1, 40, 80)]), ["b"], K.CLASS_RANGE),
    (voc_xml([("a", 0, 1, 1, 40, 80)], size=(100, 60)), None, K.ANNOTATION_MALFORMED),
])
def test_voc_annotation_faults(tmp_path, xml, classes, kind):
    root = voc_folder(tmp_path, xml)
    src = voc.open([root], classes=classes)
    where = os.path.join(root, "Annotations", "a.xml")
    problems = found(src)
    assert [k for _, k in problems] == ([] if kind is None else [kind])
    assert all(w.startswith(where) for w, _ in problems)
    if kind is None:
        (obj,) = read_all(src)["a.jpg"].objects
        assert read_all(src)["a.jpg"].counts["difficult objects"] == 1 and obj.box == (0, 0, 1, 1)


def _remove(*parts):
    return lambda root: os.remove(os.path.join(root, *parts))


@pytest.mark.parametrize("edit, where, kind", [
    (_remove("Annotations", "a.xml"), "Annotations/a.xml", K.ANNOTATION_UNREADABLE),
    (_remove("JPEGImages", "a.jpg"), "Annotations/a.xml", K.IMAGE_MISSING),
    (lambda r: write(os.path.join(r, "JPEGImages", "a.jpg"), b"\xff\xd8\xff junk", "wb"),
     "Annotations/a.xml", K.IMAGE_UNDECODABLE),
    (_remove("ImageSets", "Main", "train.txt"), "ImageSets/Main/train.txt", K.DESCRIPTION),
    (lambda r: write(os.path.join(r, "ImageSets", "Main", "train.txt"), "a\n../../etc/passwd\n"),
     "ImageSets/Main/train.txt line 2", K.ANNOTATION_MALFORMED),
])
def test_voc_dataset_faults(tmp_path, edit, where, kind):
    root = voc_folder(tmp_path, voc_xml([("a", 0, 1, 1, 40, 80)]))
    edit(root)
    assert found(voc.open([root])) == [(os.path.join(root, where), kind)]


@pytest.mark.parametrize("size", [None, (0, 0)])
def test_voc_without_size_uses_the_picture_and_without_val_list_has_no_validation(tmp_path, size):
    xml = voc_xml([("a", 0, 11, 21, 40, 60)])
    xml = xml.replace("<size><width>100</width><height>80</height></size>",
                      "" if size is None else "<size><width>0</width><height>0</height></size>")
    root = voc_folder(tmp_path, xml)
    os.remove(os.path.join(root, "ImageSets", "Main", "val.txt"))
    src = voc.open([root])
    assert set(src.splits()) == {"train"} and any("val.txt" in n for n in src.notes())
    assert found(src) == []
    np.testing.assert_allclose(pixel_box(read_all(src)["a.jpg"].objects[0], *SIZE), (10, 20, 40, 60))


# -- recognition and pickling --------------------------------------------------------

@pytest.fixture(scope="module")
def layouts(tmp_path_factory):
    """One small example of each of the six layouts, as the command line names it."""
    t = str(tmp_path_factory.mktemp("layouts"))
    images, ann, rec = (os.path.join(t, d) for d in ("images", "json", "records"))
    jpeg(os.path.join(images, "a.jpg"))
    write(os.path.join(ann, "a.json"), json.dumps({"image": "a.jpg", "segment": []}))
    os.makedirs(rec)
    coco = write(os.path.join(t, "coco.json"), json.dumps({"images": [], "annotations": [],
                                                         "categories": []}))
    seg = write(os.path.join(t, "seg.yaml"), yaml.safe_dump(
        {"classes": ["a"], "train": {"images": images, "annotations": ann},
         "validation": {"images": images, "annotations": ann}}))
    tfr = write(os.path.join(t, "tfr.yaml"), yaml.safe_dump(
        {"type": "tfrecord", "classes": ["a"], "train": {"path": rec}, "validation": {"path": rec}}))
    old = write(os.path.join(t, "old.yaml"), yaml.safe_dump(
        {"classes": ["a"], "train": {"images": rec}, "validation": {"images": rec}}))
    y = examples.write_yolo(os.path.join(t, "yolo"), train=1, val=1)
    v = examples.write_voc(os.path.join(t, "voc"), train=1, val=1)
    return {
        "folders": ([images, ann], None), "folders --images": ([ann], images),
        "segmentation yaml": ([seg], None), "coco": ([coco], images),
        "tfrecord yaml": ([tfr], None), "older tfrecord yaml": ([old], None),
        "yolo folder": ([y["root"]], None), "yolo yaml": ([y["yaml"]], None),
        "voc": ([v["root"]], None),
        "nothing there": ([os.path.join(t, "missing.yaml")], None),
        "yaml list": ([write(os.path.join(t, "list.yaml"), "- a\n- b\n")], None),
        "binary": ([write(os.path.join(t, "bin.yaml"), b"\x00\xff\xfe" * 100, "wb")], None),
        "empty": ([write(os.path.join(t, "empty.yaml"), "")], None),
    }


@pytest.mark.parametrize("name", [
    "folders", "folders --images", "segmentation yaml", "coco", "tfrecord yaml",
    "older tfrecord yaml", "yolo folder", "yolo yaml", "voc", "nothing there", "yaml list",
    "binary", "empty"])
def test_each_layout_is_recognised_by_its_own_source_only(layouts, name):
    paths, images = layouts[name]
    assert yolo.recognise(paths, images) is name.startswith("yolo")
    assert voc.recognise(paths, images) is (name == "voc")
    kinds = {"folders": "folders", "folders --images": "folders", "segmentation yaml": "yaml",
             "coco": "coco", "tfrecord yaml": "tfrecord", "older tfrecord yaml": "tfrecord",
             "yolo folder": "yolo", "yolo yaml": "yolo", "voc": "voc"}
    if name in kinds:
        assert open_source(paths, images).kind == kinds[name]


@pytest.mark.parametrize("mod, which, images, classes", [
    (yolo, "yaml", None, ["a"]),       # a data YAML names its own classes
    (yolo, "root", "pictures", None),
    (voc, "root", "pictures", None),
])
def test_arguments_that_do_not_fit_the_layout_are_refused(tmp_path, mod, which, images, classes):
    made = (examples.write_yolo if mod is yolo else examples.write_voc)(str(tmp_path))
    with pytest.raises(UsageError):
        mod.open([made[which]], images=images and str(tmp_path), classes=classes)


@pytest.mark.parametrize("mod, write_", [(yolo, examples.write_yolo), (voc, examples.write_voc)])
def test_source_pickles_and_reads_the_same_after(tmp_path, mod, write_):
    src = mod.open([write_(str(tmp_path))["root"]], classes=examples.CLASSES)
    copy = pickle.loads(pickle.dumps(src))
    assert copy.kind == src.kind and copy.classes == src.classes and copy.title() == src.title()
    assert copy.splits() == src.splits() == mod.open([src.path], classes=src.classes).splits()
    for ref in src.splits()["train"][:2]:
        assert copy.read(ref, image=False) == src.read(ref, image=False)
        assert copy.read(ref).image == src.read(ref).image


# -- check, pack, and training on what pack wrote -------------------------------------

def _without_val_list(made):
    os.remove(os.path.join(made["root"], "ImageSets", "Main", "val.txt"))
    return [made["root"]]


@pytest.mark.parametrize("layout, argv, samples", [
    pytest.param("yolo", lambda made: [made["yaml"]], 8, id="yolo yaml"),
    pytest.param("yolo", lambda made: [made["root"], "--classes", "rectangle,triangle"], 8,
                 id="yolo folder"),
    pytest.param("voc", lambda made: [made["root"]], 8, id="voc"),
    # pack sends a share of the training samples to validation
    pytest.param("voc", _without_val_list, 6, id="voc without val.txt"),
])
def test_check_pack_and_train_on_the_records(tmp_path, layout, argv, samples, capsys):
    from quorvane.trellisk.datasets import graph
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml
    from test_pack import read_back

    made = (examples.write_yolo if layout == "yolo" else examples.write_voc)(str(tmp_path / "ds"))
    argv = argv(made)
    assert main(["check"] + argv) == 0, capsys.readouterr().out
    out = tmp_path / "packed"
    assert main(["pack"] + argv + ["--out", str(out), "--workers", "2"]) == 0
    info = str(out / "tfrecord.yaml")
    assert validate.check(info).problems == []
    with open(info) as f:
        doc = yaml.safe_load(f)
    assert doc["classes"] == examples.CLASSES
    assert doc["train"]["samples"] + doc["validation"]["samples"] == samples
    assert min(doc["train"]["samples"], doc["validation"]["samples"]) >= 1
    got = read_back(info)
    assert len(got) == samples and set(got) <= set(made["objects"])
    for name, (jpeg, boxes) in got.items():
        picture = os.path.join(made["root"], name if layout == "yolo" else "JPEGImages/" + name)
        with open(picture, "rb") as f:
            assert jpeg == f.read(), name  # byte for byte
        want = [[x0 / 96, y0 / 64, x1 / 96, y1 / 64, c] for c, (x0, y0, x1, y1) in made["objects"][name]]
        np.testing.assert_allclose(boxes, want, atol=1e-5, err_msg=name)
    ds = TFRecordDatasetYaml(info, shape=[48, 64, 3])
    for pipeline in (ds.build_train_iterator(batch_size=2), graph.train_pipeline(ds, batch_size=2)):
        images, (boxes,) = next(iter(pipeline))
        assert images.shape == (2, 48, 64, 3) and boxes.shape[0] == 2
        assert float(boxes[..., 4].numpy().max()) >= 1  # labels arrive (background offset 1)


@pytest.mark.parametrize("command", ["preview", "throughput"])
def test_commands_that_need_a_dataset_class_say_to_pack_first(tmp_path, command, capsys):
    made = examples.write_voc(str(tmp_path))
    assert main([command, made["root"]]) == 1
    assert "pack it into TFRecord files" in capsys.readouterr().err
