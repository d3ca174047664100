"""`check`: silent on a sound dataset, and every planted fault found where it was planted."""

import json
import os
import shutil
from collections import Counter

import numpy as np
import pytest
import yaml

from quorvane.trellisk import sampledata
from quorvane.trellisk.cli import build_parser, main, sources
from quorvane.trellisk.cli import check as checkmod
from quorvane.trellisk.sources._common import Problems, check_image


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return sampledata.write_dataset(str(tmp_path_factory.mktemp("sample")), per_photo=2,
                                    val_per_photo=1)


@pytest.fixture
def ds(sample, tmp_path):
    """A private copy of the sample dataset with its description files pointing into it."""
    root = str(tmp_path / "ds")
    shutil.copytree(sample["root"], root)
    old = sample["root"]
    for name in ("segmentation.yaml", "tfrecord.yaml"):
        path = os.path.join(root, name)
        with open(path) as f:
            text = f.read()
        with open(path, "w") as f:
            f.write(text.replace(old, root))
    return root


def run_check(argv, capsys):
    code = main(["check"] + argv)
    out = capsys.readouterr().out
    return code, out


def found(argv):
    """(where, kind) of every problem check reports for ``argv``."""
    args = build_parser().parse_args(["check"] + argv)
    src = sources.resolve(args.description, images=args.images, classes=args.classes)
    report = checkmod.run(src, out=open(os.devnull, "w"))
    return [(where, kind) for where, kind, _ in report.problems]


def layouts(root):
    return {
        "folders": [os.path.join(root, "images", "train"), os.path.join(root, "json", "train"),
                    "--classes", ",".join(sampledata.CLASSES)],
        "yaml": [os.path.join(root, "segmentation.yaml")],
        "coco": [os.path.join(root, "coco", "train.json"), "--images",
                 os.path.join(root, "images", "train")],
        "tfrecord": [os.path.join(root, "tfrecord.yaml")],
    }


@pytest.mark.parametrize("layout", ["folders", "yaml", "coco", "tfrecord"])
def test_sound_dataset_passes(ds, layout, capsys):
    code, out = run_check(layouts(ds)[layout], capsys)
    assert code == 0, out
    assert "total" in out and out.split("total")[1].split()[0] == "0"


def write_json(path, doc):
    with open(path, "w") as f:
        json.dump(doc, f)


def annotation(image, *parts):
    return {"image": image, "segment": [[{"polygon": p, "class": c}] for p, c in parts]}


SQUARE = [[0.1, 0.1], [0.5, 0.1], [0.5, 0.5], [0.1, 0.5]]


def test_json_faults_each_found_once(ds, capsys):
    img_dir, ann_dir = os.path.join(ds, "images", "train"), os.path.join(ds, "json", "train")
    image = sorted(os.listdir(img_dir))[0]
    os.mkdir(os.path.join(ann_dir, "folder.json"))                 # unreadable
    with open(os.path.join(ann_dir, "text.json"), "w") as f:       # not JSON
        f.write("{'image': 'x.jpg',")
    write_json(os.path.join(ann_dir, "noimage.json"), {"segment": []})
    write_json(os.path.join(ann_dir, "missing.json"), annotation("gone.jpg"))
    with open(os.path.join(img_dir, "broken.jpg"), "wb") as f:
        f.write(b"\xff\xd8\xff\xe0 not really a jpeg")
    write_json(os.path.join(ann_dir, "broken.json"), annotation("broken.jpg"))
    write_json(os.path.join(ann_dir, "parts.json"), annotation(
        image,
        (SQUARE, 0),
        ([[0.1, 0.1], [0.2, 0.2]], 1),                             # two vertices
        ([[0.3, 0.3]] * 4, 2),                                     # zero length
        (SQUARE, len(sampledata.CLASSES)),                         # class beyond the labels
        ([[0.1, 0.1], [1.5, 0.1], [0.5, 0.5]], 3)))                # x outside 0..1
    problems = found(layouts(ds)["folders"])
    j = lambda name: os.path.join(ann_dir, name)  # noqa: E731
    assert sorted(problems) == sorted([
        (j("folder.json"), "annotation-unreadable"),
        (j("text.json"), "annotation-not-json"),
        (j("noimage.json"), "annotation-malformed"),
        (j("missing.json"), "image-missing"),
        (j("broken.json"), "image-undecodable"),
        (j("parts.json") + " object 1 part 0", "few-vertices"),
        (j("parts.json") + " object 2 part 0", "zero-length"),
        (j("parts.json") + " object 3 part 0", "class-range"),
        (j("parts.json") + " object 4 part 0", "coord-range"),
    ])
    code, out = run_check(layouts(ds)["folders"], capsys)
    assert code == 1
    for kind in ("unreadable annotation file", "part of zero length", "class outside the labels"):
        line = [l for l in out.splitlines() if l.startswith(kind)]
        assert line and line[0].split()[-1] == "1"


def test_folder_pair_without_classes_skips_the_class_check(ds):
    ann_dir = os.path.join(ds, "json", "train")
    image = sorted(os.listdir(os.path.join(ds, "images", "train")))[0]
    write_json(os.path.join(ann_dir, "big.json"), annotation(image, (SQUARE, 99)))
    argv = layouts(ds)["folders"][:2]
    assert found(argv) == []
    assert found(argv + ["--classes", "a,b"]) != []


@pytest.mark.parametrize("edit, message", [
    (lambda d: d.pop("validation"), "``validation`` section is missing"),
    (lambda d: d.update(classes=[]), "non-empty list"),
    (lambda d: d["train"].update(images="/no/such/folder"), "does not exist"),
    (lambda d: d["train"].pop("annotations"), "``annotations`` is missing"),
])
def test_segmentation_yaml_description_faults(ds, edit, message):
    path = os.path.join(ds, "segmentation.yaml")
    with open(path) as f:
        doc = yaml.safe_load(f)
    edit(doc)
    with open(path, "w") as f:
        yaml.safe_dump(doc, f)
    report = checkmod.run(sources.resolve([path]), out=open(os.devnull, "w"))
    assert [k for _, k, _ in report.problems] == ["description"]
    assert message in report.problems[0][2]


def test_unparsable_yaml_is_a_problem_not_a_crash(tmp_path, capsys):
    path = tmp_path / "d.yaml"
    path.write_text("classes: [a, b\ntrain: {")
    code, out = run_check([str(path)], capsys)
    assert code == 1 and "not valid YAML" in out


def test_coco_faults_each_found_once(ds, capsys):
    path = os.path.join(ds, "coco", "train.json")
    with open(path) as f:
        doc = json.load(f)
    first = doc["images"][0]
    doc["images"] += [
        {"id": 9001, "file_name": "gone.jpg", "width": 10, "height": 10},
        {"id": 9002, "file_name": "broken.jpg", "width": 10, "height": 10},
        {"id": first["id"], "file_name": first["file_name"]},                     # repeated id
    ]
    with open(os.path.join(ds, "images", "train", "broken.jpg"), "wb") as f:
        f.write(b"GIF89a truncated")
    w, h = first["width"], first["height"]
    base = {"image_id": first["id"], "category_id": 1}
    doc["annotations"] += [
        dict(base, segmentation=[[1, 1, 5, 5]]),                                  # 2 vertices
        dict(base, segmentation=[[3, 3, 3, 3, 3, 3]]),                           # zero length
        dict(base, category_id=99, segmentation=[[1, 1, 9, 1, 9, 9]]),           # class
        dict(base, segmentation=[[1, 1, w + 5, 1, 9, 9]]),                       # outside
        dict(base, segmentation=[[1, 1, 9, 1, 9]]),                              # odd count
        dict(base, iscrowd=1, segmentation={"counts": [1, 2], "size": [h, w]}),  # crowd: a note
        dict(base, image_id=12345, segmentation=[[1, 1, 9, 1, 9, 9]]),           # no image
    ]
    write_json(path, doc)
    n_img, n_ann = len(doc["images"]), len(doc["annotations"])
    problems = found(layouts(ds)["coco"])
    a = lambda k: "{} annotations[{}]".format(path, n_ann - 7 + k)  # noqa: E731
    assert sorted(problems) == sorted([
        ("{} images[{}]".format(path, n_img - 3), "image-missing"),
        ("{} images[{}]".format(path, n_img - 2), "image-undecodable"),
        ("{} images[{}]".format(path, n_img - 1), "annotation-malformed"),
        (a(0) + " polygon 0", "few-vertices"),
        (a(1) + " polygon 0", "zero-length"),
        (a(2), "class-range"),
        (a(3) + " polygon 0", "coord-range"),
        (a(4) + " polygon 0", "annotation-malformed"),
        (a(6), "annotation-malformed"),
    ])
    code, out = run_check(layouts(ds)["coco"], capsys)
    assert code == 1 and "note: 1 crowd regions stored as RLE" in out


def test_coco_that_is_not_json(tmp_path, ds):
    path = tmp_path / "c.json"
    path.write_bytes(b"\x00\x01 definitely not json")
    assert found([str(path), "--images", ds]) == [(str(path), "annotation-not-json")]


def test_tfrecord_faults_each_found_once(ds):
    folder = os.path.join(ds, "tfrecord", "train")
    jpeg = sampledata.jpeg_bytes(np.zeros((8, 8, 3), np.uint8))
    good = lambda objects, boxes: sampledata.example_of("x.jpg", jpeg, 8, 8, objects, boxes)  # noqa
    records = [
        good([0], [0.5, 0.5, 0.2, 0.2]),                                    # sound
        b"\x08\x96\x01 not an Example",                                     # parse
        sampledata.example_of("x.jpg", b"not a jpeg", 8, 8, [0], [0.5, 0.5, 0.2, 0.2]),
        good([0, 1], [0.5, 0.5, 0.2, 0.2]),                                 # 2 labels, 1 box
        good([len(sampledata.CLASSES)], [0.5, 0.5, 0.2, 0.2]),              # class
        good([0], [0.5, 1.5, 0.2, 0.2]),                                    # outside 0..1
    ]
    bad = os.path.join(folder, "bad.tfrecord")
    sampledata.write_tfrecord(bad, records)
    cut = os.path.join(folder, "cut.tfrecord")
    sampledata.write_tfrecord(cut, [good([0], [0.5, 0.5, 0.2, 0.2])] * 2)
    with open(cut, "r+b") as f:
        f.truncate(os.path.getsize(cut) - 5)
    problems = found(layouts(ds)["tfrecord"])
    r = lambda k: "{} record {}".format(bad, k)  # noqa: E731
    assert sorted(problems) == sorted([
        (r(1), "record-parse"), (r(2), "record-decode"), (r(3), "box-label-mismatch"),
        (r(4), "class-range"), (r(5), "coord-range"),
        ("{} record 1".format(cut), "record-parse"),
        # the added records no longer match the count the description gives
        (os.path.join(ds, "tfrecord.yaml"), "description"),
    ])


@pytest.mark.parametrize("edit, message", [
    (lambda d: d.update(type="TFRecord"), '"type" is'),
    (lambda d: d["validation"].update(path="/no/such/folder"), "does not exist"),
    (lambda d: d["train"].update(samples=0), "positive count"),
    (lambda d: d["train"].update(samples=1000), "the files hold"),
])
def test_tfrecord_description_faults(ds, edit, message):
    path = os.path.join(ds, "tfrecord.yaml")
    with open(path) as f:
        doc = yaml.safe_load(f)
    edit(doc)
    with open(path, "w") as f:
        yaml.safe_dump(doc, f)
    report = checkmod.run(sources.resolve([path]), out=open(os.devnull, "w"))
    assert [k for _, k, _ in report.problems] == ["description"]
    assert message in report.problems[0][2]


@pytest.mark.parametrize("part, kind", [
    ({"polygon": SQUARE, "class": float("nan")}, "annotation-malformed"),
    ({"polygon": SQUARE, "class": [1]}, "annotation-malformed"),
    ({"polygon": SQUARE, "class": 2 ** 40}, "annotation-malformed"),
    ({"polygon": SQUARE, "class": 2 ** 31 - 1}, "annotation-malformed"),   # no mask value of its own
    ({"polygon": SQUARE, "class": True}, "annotation-malformed"),
    ({"polygon": SQUARE, "class": 2.5}, "annotation-malformed"),
    ({"polygon": [[10 ** 400, 0], [0, 1], [1, 1]], "class": 0}, "coord-range"),
    ({"polygon": {"x": 1}, "class": 0}, "annotation-malformed"),
    ("a string", "annotation-malformed"),
])
def test_any_json_value_gives_a_problem_line_and_checking_goes_on(ds, part, kind):
    img_dir, ann_dir = os.path.join(ds, "images", "train"), os.path.join(ds, "json", "train")
    image = sorted(os.listdir(img_dir))[0]
    path = os.path.join(ann_dir, "odd.json")
    with open(path, "w") as f:  # json.dump writes NaN as the reader's json.loads reads it
        json.dump({"image": image, "segment": [[part, {"polygon": SQUARE, "class": 99}]]}, f)
    problems = found(layouts(ds)["folders"])
    # The odd part, and the part after it (class 99 beyond the labels) still checked.
    assert problems == [(path + " object 0 part 0", kind), (path + " object 0 part 1", "class-range")]


def test_coco_messages_tell_what_the_reader_does(ds):
    path = os.path.join(ds, "coco", "train.json")
    with open(path) as f:
        doc = json.load(f)
    first = doc["images"][0]
    doc["images"].append({"id": [1], "file_name": first["file_name"]})            # unhashable id
    doc["categories"] += [{"id": 10, "name": "ten"}, {"id": 2, "name": "two"}]
    base = {"image_id": first["id"], "category_id": 1}
    doc["annotations"] += [
        dict(base, segmentation=[[1, 1, 5, 5]]),                                  # a line
        dict(base, segmentation=[]),                                              # vanishes
        dict(base, iscrowd=0, segmentation={"counts": [1, 2], "size": [4, 4]}),   # RLE object
        dict(base, image_id=[1], category_id=[2], segmentation=[[1, 1, 9, 1, 9, 9]]),
    ]
    write_json(path, doc)
    args = build_parser().parse_args(["check"] + layouts(ds)["coco"])
    report = checkmod.run(sources.resolve(args.description, images=args.images),
                          out=open(os.devnull, "w"))
    details = {kind: [d for _, k, d in report.problems if k == kind] for kind in checkmod.KINDS}
    assert details["few-vertices"] == ["2 vertices; the reader paints such a part as a line, not an area"]
    assert len(details["not-painted"]) == 2
    assert 'empty "segmentation"' in details["not-painted"][0]
    assert "not a crowd region" in details["not-painted"][1]
    assert "image id [1] is not an integer or a string" in details["annotation-malformed"][0]
    assert "image_id [1] matches no image" in details["annotation-malformed"][1]
    ids = details["class-range"][0].split("categories ")[1]
    assert ids.startswith("[1, 2, 3")  # not 1, 10, 2, ... as text


def test_check_lists_the_record_files_the_dataset_reads(ds):
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    path = os.path.join(ds, "tfrecord.yaml")
    with open(path) as f:
        doc = yaml.safe_load(f)
    val = doc["validation"]["path"]
    literal = val + "[1]"  # as a pattern it would match val + "1"
    shutil.copytree(val, literal)
    shutil.copytree(val, val + "1")
    sampledata.write_tfrecord(os.path.join(val + "1", "more.tfrecord"), [b"x"] * 3)
    doc["validation"]["path"] = literal
    with open(path, "w") as f:
        yaml.safe_dump(doc, f)
    assert found([path]) == []
    dataset = TFRecordDatasetYaml(path, shape=[32, 32, 3])
    report = checkmod.run(sources.resolve([path]), out=open(os.devnull, "w"))
    assert report.counted["record files"] == len(dataset.train_storage) + len(dataset.val_storage)


def test_problem_in_a_file_whose_name_is_not_utf8_is_printed(ds, capsys):
    ann_dir = os.fsencode(os.path.join(ds, "json", "train"))
    with open(os.path.join(ann_dir, b"caf\xe9.json"), "w") as f:
        f.write("{")
    code, out = run_check(layouts(ds)["folders"], capsys)
    assert code == 1 and "caf\\xe9.json: annotation file is not JSON" in out


@pytest.mark.parametrize("variant", ["baseline", "progressive", "greyscale", "cmyk"])
def test_image_check_fails_on_the_damaged_jpegs_a_full_decode_fails_on(sample, tmp_path, variant):
    """check decodes JPEGs at an eighth of their size; damage anywhere in
    the file must still be found, exactly where a full decode finds it."""
    import io
    import random

    from PIL import Image

    jpg = sorted(os.listdir(sample["images"]["train"]))[0]
    with Image.open(os.path.join(sample["images"]["train"], jpg)) as im:
        im = {"greyscale": im.convert("L"), "cmyk": im.convert("CMYK")}.get(variant, im.convert("RGB"))
        buf = io.BytesIO()
        im.save(buf, "JPEG", progressive=variant == "progressive")
    good = buf.getvalue()

    def full_decode_fails(data):
        try:
            with Image.open(io.BytesIO(data)) as im:
                im.convert("RGB")
            return False
        except Exception:
            return True

    rng = random.Random(variant)
    path = str(tmp_path / "x.jpg")
    outcomes = set()
    for _ in range(150):
        data = bytearray(good)
        cut = rng.randrange(len(data))
        kind = rng.randrange(3)
        if kind == 0:
            data = data[:cut]
        elif kind == 1:
            data[cut] = rng.randrange(256)
        else:
            del data[cut:cut + rng.randint(1, 300)]
        with open(path, "wb") as f:
            f.write(data)
        problems = Problems()
        check_image(problems, Counter(), "x", path)
        flagged = any(k == "image-undecodable" for _, k, _ in problems)
        assert flagged == full_decode_fails(bytes(data)), (kind, cut)
        outcomes.add(flagged)
    assert outcomes == {True, False}
