"""Command line: usage and exit codes, layout detection, sample data, preview,
throughput and the demo on a reduced setting."""

import io
import json
import os
import re
import subprocess
import sys

import numpy as np
import pytest
import yaml
from PIL import Image

from quorvane.trellisk import sampledata
from quorvane.trellisk.cli import main, preview, sources

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return sampledata.write_dataset(str(tmp_path_factory.mktemp("sample")), per_photo=2,
                                    val_per_photo=1)


def layouts(s):
    return {
        "folders": [s["images"]["train"], s["json"]["train"], "--classes", ",".join(s["classes"])],
        "yaml": [s["segmentation_yaml"]],
        "coco": [s["coco"]["train"], "--images", s["images"]["train"]],
        "tfrecord": [s["tfrecord_yaml"]],
    }


@pytest.fixture(scope="module")
def packed(sample, tmp_path_factory):
    """The sample's segmentation YAML packed: records that carry the outlines."""
    from quorvane.trellisk import packing

    out = str(tmp_path_factory.mktemp("packed"))
    return packing.pack(sample["segmentation_yaml"], out, workers=1, log=io.StringIO()).description


def argv_of(request, sample, layout):
    """The DESCRIPTION arguments of ``layout``; "packed-seg" packs the sample
    (once per module) and reads it with --segmentation."""
    if layout == "packed-seg":
        return [request.getfixturevalue("packed"), "--segmentation"]
    return layouts(sample)[layout]


def test_module_entry_point_runs():
    # The package the tests import: the in-place build, or the installed one
    # (python/ alone lacks the modules when the package is installed).
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    ok = subprocess.run([sys.executable, "-m", "quorvane.trellisk", "--help"], env=env,
                        capture_output=True, text=True, cwd=ROOT)
    assert ok.returncode == 0
    assert all(c in ok.stdout for c in ("demo", "check", "preview", "throughput"))
    bad = subprocess.run([sys.executable, "-m", "quorvane.trellisk", "check"], env=env,
                         capture_output=True, text=True, cwd=ROOT)
    assert bad.returncode == 2 and "DESCRIPTION" in bad.stderr


@pytest.mark.parametrize("argv, code", [
    (["--help"], 0),
    (["demo", "--help"], 0),
    (["check", "--help"], 0),
    (["preview", "--help"], 0),
    (["throughput", "--help"], 0),
    ([], 2),
    (["train"], 2),
    (["check"], 2),
    (["check", "/no/such/file.yaml"], 2),
    (["preview", "{yaml}", "--n", "0"], 2),
    (["throughput", "{yaml}", "--batch-size", "many"], 2),
    (["throughput", "{yaml}", "--step-ms", "-1"], 2),
    (["preview", "{coco}"], 2),                       # a COCO file needs --images
    (["check", "{json_dir}"], 2),                     # an annotation folder needs its images
    (["check", "{yaml}", "{yaml}"], 2),               # two arguments must be folders
    (["check", "{yaml}", "--classes", "a,b"], 2),     # a YAML file names its own classes
    (["check", "{yaml}", "--classes", "a,,b"], 2),
    (["throughput", "{tfrecord}", "--aug-cfg", "[mosaic]"], 2),   # not a mapping
    (["throughput", "{tfrecord}", "--aug-cfg", "{{mosaic: [}}"], 2),
    (["preview", "{yaml}", "--aug-cfg", "{{}}"], 2),               # segmentation has its own recipe
])
def test_usage_exit_codes(sample, argv, code, capsys):
    fill = {"yaml": sample["segmentation_yaml"], "coco": sample["coco"]["train"],
            "json_dir": sample["json"]["train"], "tfrecord": sample["tfrecord_yaml"]}
    assert main([a.format(**fill) for a in argv]) == code
    if code == 2:
        assert "error" in capsys.readouterr().err


@pytest.mark.parametrize("make, kind", [
    ({"classes": ["a"], "train": {"images": "i", "annotations": "a"}}, "yaml"),
    ({"type": "tfrecord", "classes": ["a"], "train": {"path": "p"}}, "tfrecord"),
    ({"classes": ["a"], "train": {"images": "i"}, "validation": {"images": "j"}}, "tfrecord"),
    ({"classes": ["a"], "train": {"path": "p"}}, "tfrecord"),
])
def test_yaml_layout_detection(tmp_path, make, kind):
    path = tmp_path / "d.yaml"
    path.write_text(yaml.safe_dump(make))
    assert sources.resolve([str(path)]).kind == kind


def test_folder_pair_in_either_order(sample):
    img, ann = sample["images"]["train"], sample["json"]["train"]
    for argv in ([img, ann], [ann, img]):
        src = sources.resolve(argv)
        assert (src.kind, src.images, src.annotations) == ("folders", img, ann)


@pytest.mark.parametrize("poly, rect, expect", [
    ([(1, 1), (3, 1), (3, 3), (1, 3)], (0, 0, 4, 4), [(1, 1), (3, 1), (3, 3), (1, 3)]),
    ([(-2, 1), (2, 1), (2, 3), (-2, 3)], (0, 0, 4, 4), [(0, 1), (2, 1), (2, 3), (0, 3)]),
    ([(5, 5), (6, 5), (6, 6)], (0, 0, 4, 4), []),
])
def test_clip_polygon(poly, rect, expect):
    got = sampledata.clip_polygon(poly, *rect)
    assert sorted(map(tuple, np.round(got, 6).tolist())) == sorted(expect)


def test_sample_data_is_consistent_across_layouts(sample):
    """The four layouts describe the same samples: same names, same objects."""
    coco = json.load(open(sample["coco"]["train"]))
    names = sorted(os.listdir(sample["images"]["train"]))
    assert sorted(i["file_name"] for i in coco["images"]) == names
    assert len(names) == sample["counts"]["train"] == len(os.listdir(sample["json"]["train"]))
    per_image = {}
    for a in coco["annotations"]:
        per_image.setdefault(a["image_id"], []).append(a["category_id"] - 1)
    for entry in coco["images"]:
        stem = os.path.splitext(entry["file_name"])[0]
        ann = json.load(open(os.path.join(sample["json"]["train"], stem + ".json")))
        classes = [part["class"] for obj in ann["segment"] for part in obj]
        assert classes == per_image.get(entry["id"], [])
        assert [b[4] for b in ann["boxes"]] == classes
        with Image.open(os.path.join(sample["images"]["train"], entry["file_name"])) as im:
            assert list(im.size) == ann["dimension"] == [entry["width"], entry["height"]]


def read_png(path):
    with Image.open(path) as im:
        assert im.format == "PNG"
        return np.asarray(im.convert("RGB"))


def test_overlay_tints_only_the_masked_pixels_and_draws_a_legend():
    image = np.full((1, 32, 32, 3), 100, np.uint8)
    mask = np.zeros((1, 32, 32), np.int32)
    mask[0, 8:24, 8:24] = 3
    pic = preview.render_segmentation(image, mask, ["background", "a", "b", "c"])
    g = preview.GAP
    tile = pic[g:g + 32, g:g + 32]
    assert (tile[0:8, 0:8] == 100).all()                        # background untouched
    centre = tile[16, 16].astype(float)
    expect = (1 - preview.ALPHA) * 100 + preview.ALPHA * np.array(preview.colour(3))
    assert np.abs(centre - expect).max() <= 1
    assert (tile[8, 16] == preview.colour(3)).all()             # region border drawn solid
    legend = pic[preview.grid_size(1, 32, 32)[3]:]
    assert (legend == preview.colour(3)).all(axis=-1).any()      # swatch of class c
    assert not (legend == preview.colour(1)).all(axis=-1).any()  # absent classes not listed


@pytest.mark.parametrize("classes", [20, 80, 100])
def test_class_colours_stay_apart(classes):
    colours = [preview.colour(v) for v in range(1, classes + 1)]
    lab = preview.lab(colours + [preview.BACKGROUND])
    apart = np.linalg.norm(lab[:, None] - lab[None], axis=-1)
    np.fill_diagonal(apart, np.inf)
    # L*a*b* distance 2.3 is barely noticeable; 15 is plainly another colour.
    assert apart.min() > 15


def test_boxes_drawn_where_they_are():
    image = np.zeros((1, 40, 40, 3), np.uint8)
    boxes = np.array([[[10, 12, 30, 28, 2], [0, 0, 0, 0, 0]]], np.float32)
    pic = preview.render_detection(image, boxes, ["background", "a", "b"], shift=0)
    g = preview.GAP
    tile = pic[g:g + 40, g:g + 40]
    c = preview.colour(2)
    assert (tile[20, 10] == c).all() and (tile[28, 20] == c).all()  # left and bottom edges
    assert (tile[20, 20] == 0).all() and (tile[35, 35] == 0).all()   # inside and outside


@pytest.mark.parametrize("layout", ["folders", "yaml", "coco", "tfrecord", "packed-seg"])
def test_preview_writes_png_of_grid_size(request, sample, layout, tmp_path, capsys):
    out = str(tmp_path / "sub" / "p.png")
    argv = ["preview"] + argv_of(request, sample, layout) + ["--n", "4", "--shape", "48", "64",
                                                             "--out", out]
    assert main(argv) == 0, capsys.readouterr()
    pic = read_png(out)
    cols, rows, width, height = preview.grid_size(4, 48, 64)
    assert (cols, rows) == (2, 2)
    assert pic.shape[1] == width == 2 * 64 + 3 * preview.GAP
    assert pic.shape[0] > height == 2 * 48 + 3 * preview.GAP
    # every tile holds a picture, not the empty canvas
    for r in range(rows):
        for c in range(cols):
            y, x = preview.GAP + r * (48 + preview.GAP), preview.GAP + c * (64 + preview.GAP)
            assert (pic[y:y + 48, x:x + 64] != preview.BACKGROUND).any()


@pytest.mark.parametrize("graph", [[], ["--graph"]])
def test_preview_without_augmentation_lines_the_mask_up(tmp_path, capsys, graph):
    """A grey picture with one square object: the tint covers exactly the square."""
    img_dir, ann_dir = tmp_path / "img", tmp_path / "ann"
    img_dir.mkdir(), ann_dir.mkdir()
    Image.fromarray(np.full((64, 64, 3), 128, np.uint8)).save(img_dir / "a.png")
    (ann_dir / "a.json").write_text(json.dumps({"image": "a.png", "segment": [[{
        "polygon": [[0.25, 0.25], [0.75, 0.25], [0.75, 0.75], [0.25, 0.75]], "class": 0}]]}))
    out = str(tmp_path / "p.png")
    argv = ["preview", str(img_dir), str(ann_dir), "--classes", "box", "--n", "1",
            "--no-augment", "--shape", "64", "64", "--out", out] + graph
    assert main(argv) == 0, capsys.readouterr()
    g = preview.GAP
    tile = read_png(out)[g:g + 64, g:g + 64].astype(int)
    grey = np.array([128, 128, 128])
    assert (np.abs(tile[5, 5] - grey) <= 2).all() and (np.abs(tile[58, 58] - grey) <= 2).all()
    assert (np.abs(tile[32, 32] - grey) > 10).any()
    tinted = (np.abs(tile - grey) > 10).any(axis=-1)
    rows, cols = np.nonzero(tinted)
    assert abs(rows.min() - 16) <= 1 and abs(rows.max() - 48) <= 1
    assert abs(cols.min() - 16) <= 1 and abs(cols.max() - 48) <= 1


@pytest.mark.parametrize("crowd, hatched", [("ignore", True), ("object", False), ("skip", False)])
def test_preview_hatches_ignored_crowd_regions_and_names_them(tmp_path, capsys, crowd, hatched):
    """A grey picture whose right half is a crowd region stored as RLE."""
    from quorvane.trellisk.datasets import _rle

    (tmp_path / "img").mkdir()
    Image.fromarray(np.full((32, 64, 3), 128, np.uint8)).save(tmp_path / "img" / "a.png")
    region = np.zeros((32, 64), np.uint8)
    region[:, 32:] = 1
    (tmp_path / "c.json").write_text(json.dumps({
        "images": [{"id": 1, "file_name": "a.png", "width": 64, "height": 32}],
        "categories": [{"id": 1, "name": "crowd-of-a"}],
        "annotations": [{"id": 1, "image_id": 1, "category_id": 1, "iscrowd": 1,
                         "segmentation": _rle.encode(region)}]}))
    out = str(tmp_path / "p.png")
    argv = ["preview", str(tmp_path / "c.json"), "--images", str(tmp_path / "img"), "--n", "1",
            "--no-augment", "--crowd", crowd, "--shape", "32", "64", "--out", out]
    assert main(argv) == 0, capsys.readouterr()
    g = preview.GAP
    pic = read_png(out)
    right = pic[g + 2:g + 30, g + 34:g + 62].reshape(-1, 3)
    white = (right == preview.IGNORE_COLOUR).all(axis=-1)
    # Hatched: about half the pixels white, the others the picture's grey.
    assert (0.3 < white.mean() < 0.7) == hatched
    assert (np.abs(pic[g + 16, g + 10].astype(int) - 128) <= 2).all()   # left half untouched
    legend = pic[preview.grid_size(1, 32, 64)[3]:]
    assert (legend == preview.IGNORE_COLOUR).all(axis=-1).any() == hatched
    assert (legend == preview.colour(1)).all(axis=-1).any() == (crowd == "object")


@pytest.mark.parametrize("graph", [[], ["--graph"]])
@pytest.mark.parametrize("layout, title", [("yaml", "segmentation YAML"),
                                           ("tfrecord", "TFRecord YAML ("),
                                           ("packed-seg", "TFRecord YAML read as segmentation (")])
def test_throughput_reports_rate_and_split(request, sample, layout, title, capsys, graph):
    argv = ["throughput"] + argv_of(request, sample, layout) + [
        "--batch-size", "4", "--batches", "3", "--shape", "64", "64", "--step-ms", "1"] + graph
    assert main(argv) == 0
    out = capsys.readouterr().out
    assert out.startswith(title)
    # Only detection samples are augmented by an aug_cfg.
    assert ("augmented: mosaic" in out) == (layout == "tfrecord")
    # At least the 3 batches asked for, and at least a second of them.
    timed = re.search(r"(\d+) batches, (\d+) samples in ([\d.]+) s", out)
    assert timed and int(timed[1]) >= 3 and int(timed[2]) == 4 * int(timed[1])
    assert float(timed[3]) >= 1.0 and "samples/s" in out and "waiting for data" in out
    assert ("graph-only" in out) == bool(graph)


@pytest.mark.parametrize("layout", ["coco", "tfrecord", "packed-seg"])
def test_graph_preview(request, sample, layout, tmp_path, capsys):
    out = str(tmp_path / "p.png")
    argv = ["preview"] + argv_of(request, sample, layout) + ["--n", "2", "--shape", "48", "64",
                                                             "--out", out, "--graph", "--no-augment"]
    assert main(argv) == 0, capsys.readouterr()
    assert read_png(out).shape[1] == 2 * 64 + 3 * preview.GAP


def test_throughput_refuses_batch_larger_than_dataset(sample, capsys):
    argv = ["throughput", sample["segmentation_yaml"], "--batch-size", "1000", "--batches", "1"]
    assert main(argv) == 1
    assert "fewer than one batch" in capsys.readouterr().err


def test_dataset_the_module_refuses_exits_1(tmp_path, capsys):
    path = tmp_path / "d.yaml"
    path.write_text(yaml.safe_dump({"type": "tfrecord", "classes": ["a"],
                                    "train": {"path": str(tmp_path)},
                                    "validation": {"path": str(tmp_path)}}))
    assert main(["preview", str(path), "--out", str(tmp_path / "p.png")]) == 1
    assert "Empty train or validation" in capsys.readouterr().err
    assert not (tmp_path / "p.png").exists()


def test_bad_sample_while_drawing_exits_1_and_points_to_check(tmp_path, capsys):
    img_dir, ann_dir = tmp_path / "img", tmp_path / "ann"
    img_dir.mkdir(), ann_dir.mkdir()
    (img_dir / "a.png").write_bytes(b"\x89PNG\r\n\x1a\n cut short")
    (ann_dir / "a.json").write_text(json.dumps({"image": "a.png"}))
    argv = ["preview", str(img_dir), str(ann_dir), "--n", "1", "--out", str(tmp_path / "p.png")]
    assert main(argv) == 1
    err = capsys.readouterr().err
    assert "reading the dataset failed" in err and "check" in err
    assert "UnidentifiedImageError" in err and "Traceback" not in err


def test_demo_quick(tmp_path, capsys):
    out = tmp_path / "demo"
    assert main(["demo", "--out", str(out), "--quick"]) == 0
    text = capsys.readouterr().out
    assert text.count("samples/s") == 12 and text.count("graph-only pipeline") == 6
    assert "loss" in text and "FAILED" not in text
    assert text.count(": down") == 2  # both trainings ended below where they began
    for name in ("json-folders", "yaml", "yaml-no-augment", "coco", "tfrecord", "packed-seg",
                 "packed-det"):
        assert read_png(out / "previews" / (name + ".png")).shape[2] == 3
    assert (out / "segmentation.yaml").exists() and (out / "tfrecord.yaml").exists()
    packed = str(out / "packed" / "tfrecord.yaml")
    assert re.search(r"packed +{} \(train 18 records, validation 6 records, in \d+ shards?, "
                     r"outlines kept\)".format(re.escape(packed)), text), text
    assert re.search(r"packed-seg +SegmentationDatasetTFRecord \(18 training", text)
    assert re.search(r"packed-det +TFRecordDatasetYaml \(18 training", text)
    # The packed records were read both ways, and the commands it suggests run.
    suggested = [line.split(None, 3)[3] for line in text.split("Try next:")[1].splitlines()
                 if packed in line]
    assert suggested == ["check " + packed, "preview {} --segmentation --out packed.png".format(packed)]
    assert main(suggested[0].split()) == 0
    assert main(suggested[1].split()[:-1] + [str(tmp_path / "packed.png"), "--n", "2",
                                             "--shape", "64", "64"]) == 0
    assert read_png(tmp_path / "packed.png").shape[2] == 3


@pytest.mark.parametrize("layout", ["folders", "coco", "packed-seg"])
def test_native_augment_flag_uses_the_engine(request, sample, layout, tmp_path, capsys, monkeypatch):
    from quorvane.trellisk.datasets import augment

    calls = []
    original = augment.AugmentationEngine.__call__
    monkeypatch.setattr(augment.AugmentationEngine, "__call__",
                        lambda self, **kw: calls.append(self.channel_ops) or original(self, **kw))
    shape = ["--shape", "64", "64", "--native-augment"]
    given = argv_of(request, sample, layout)
    argv = ["throughput"] + given + ["--batch-size", "4", "--batches", "2"] + shape
    assert main(argv) == 0
    assert "native augmentation" in capsys.readouterr().out
    out = tmp_path / "p.png"
    assert main(["preview"] + given + ["--n", "4", "--out", str(out)] + shape) == 0
    assert read_png(out).shape[2] == 3
    # COCO datasets augment without channel operations.
    assert len(calls) >= 12 and set(calls) == {layout != "coco"}


@pytest.mark.parametrize("aug_cfg, code, said", [
    ([], 0, "augmented: mosaic 1, affine 1, hsv 1, hflip 0.5"),
    (["--aug-cfg", "{mixup: 0.5, vflip: 1}"], 0, "augmented: mixup 0.5, vflip 1"),
    (["--aug-cfg", "{}"], 0, "not augmented"),
    (["--aug-cfg", "{mosiac: 1}"], 1, 'unknown key "mosiac"'),
])
def test_throughput_augments_tfrecord_data_by_aug_cfg(sample, capsys, aug_cfg, code, said):
    argv = ["throughput"] + layouts(sample)["tfrecord"] + ["--batch-size", "2", "--batches", "1",
                                                          "--shape", "32", "32"] + aug_cfg
    assert main(argv) == code
    out = capsys.readouterr()
    assert said in (out.out if code == 0 else out.err)


def test_native_augment_is_refused_for_tfrecord(sample, capsys):
    assert main(["throughput"] + layouts(sample)["tfrecord"] + ["--native-augment"]) == 2
    assert "segmentation datasets" in capsys.readouterr().err


@pytest.mark.parametrize("command", ["preview", "throughput"])
@pytest.mark.parametrize("layout, extra, said", [
    ("yaml", [], "is read as segmentation samples without the flag"),
    ("folders", [], "is not a TFRecord description"),
    ("tfrecord", ["--aug-cfg", "{hflip: 1}"], "reads this one as segmentation samples"),
])
def test_segmentation_flag_refusals(sample, capsys, command, layout, extra, said):
    assert main([command] + layouts(sample)[layout] + ["--segmentation"] + extra) == 2
    err = capsys.readouterr().err
    assert said in err and "--help" in err and "Traceback" not in err


@pytest.mark.parametrize("argv", [["preview", "--n", "2"], ["preview", "--n", "2", "--graph"],
                                  ["throughput", "--batch-size", "2", "--batches", "1"]])
def test_records_without_outlines_read_as_segmentation_name_the_record(sample, tmp_path, capsys,
                                                                       argv):
    """The sample's own TFRecord files hold boxes only."""
    out = ["--out", str(tmp_path / "p.png")] if argv[0] == "preview" else []
    assert main(argv[:1] + layouts(sample)["tfrecord"] + ["--segmentation", "--shape", "32", "32"]
                + argv[1:] + out) == 1
    err = capsys.readouterr().err
    assert "no outlines" in err and "record" in err and "Traceback" not in err
    assert "--segmentation needs records that carry outlines" in err
    assert not (tmp_path / "p.png").exists()


def write_one_sample_yaml(root):
    """A segmentation YAML of one training and one validation JPEG, each
    with three objects of two classes, two of them overlapping."""
    rng = np.random.default_rng(5)
    objects = [[{"polygon": [[0.1, 0.15], [0.55, 0.2], [0.3, 0.8]], "class": 0}],
               [{"polygon": [[0.4, 0.3], [0.9, 0.35], [0.85, 0.9], [0.5, 0.7]], "class": 1}],
               [{"polygon": [[0.62, 0.05], [0.95, 0.1], [0.7, 0.3]], "class": 1},
                {"polygon": [[0.05, 0.85], [0.2, 0.85], [0.12, 0.98]], "class": 1}]]
    folders = {}
    for split in ("train", "val"):
        images, annotations = root / "images" / split, root / "json" / split
        images.mkdir(parents=True), annotations.mkdir(parents=True)
        Image.fromarray(rng.integers(0, 255, (45, 70, 3), np.uint8)).save(images / "a.jpg")
        (annotations / "a.json").write_text(json.dumps({"image": "a.jpg", "segment": objects}))
        folders[split] = {"images": str(images), "annotations": str(annotations)}
    path = root / "seg.yaml"
    path.write_text(yaml.safe_dump({"classes": ["tri", "quad"], "train": folders["train"],
                                    "validation": folders["val"]}))
    return str(path)


@pytest.mark.parametrize("graph", [[], ["--graph"]])
def test_preview_of_packed_records_draws_what_the_source_draws(tmp_path, capsys, graph):
    """One training sample: the tile of the packed dataset read with
    --segmentation is the source's tile (the records hold float32 vertices,
    the JSON files float64, so a boundary pixel may change sides)."""
    from quorvane.trellisk import packing

    source = write_one_sample_yaml(tmp_path)
    packed = packing.pack(source, str(tmp_path / "packed"), workers=1,
                          log=io.StringIO()).description
    pictures = []
    for argv in ([source], [packed, "--segmentation"]):
        out = str(tmp_path / "p{}.png".format(len(pictures)))
        assert main(["preview"] + argv + ["--n", "1", "--no-augment", "--shape", "48", "64",
                                          "--out", out] + graph) == 0, capsys.readouterr()
        pictures.append(read_png(out))
    want, got = pictures
    g = preview.GAP
    tile = want[g:g + 48, g:g + 64].astype(int)
    # Both classes painted, and the legend names them (their swatches).
    legend = want[preview.grid_size(1, 48, 64)[3]:]
    assert all((legend == preview.colour(v)).all(axis=-1).any() for v in (1, 2))
    assert (tile == preview.colour(1)).all(axis=-1).any() and (tile == preview.colour(2)).all(axis=-1).any()
    assert got.shape == want.shape
    assert (got == want).all(axis=-1).mean() >= 0.999


def test_packed_records_without_counts_are_read_and_a_batch_too_large_is_refused(packed, tmp_path,
                                                                                 capsys):
    """A description without "samples" counts: the first batch finds out."""
    with open(packed) as f:
        doc = yaml.safe_load(f)
    for split in ("train", "validation"):
        doc[split].pop("samples")
    path = tmp_path / "uncounted.yaml"
    path.write_text(yaml.safe_dump(doc))
    common = [str(path), "--segmentation", "--shape", "32", "32"]
    assert main(["preview"] + common + ["--n", "3", "--out", str(tmp_path / "p.png")]) == 0
    assert read_png(tmp_path / "p.png").shape[1] == preview.grid_size(3, 32, 32)[2]
    assert main(["throughput"] + common + ["--batch-size", "1000", "--batches", "1"]) == 1
    err = capsys.readouterr().err
    assert "yielded no batch" in err and "Traceback" not in err


def test_warnings_print_their_message_alone_once(monkeypatch, capsys):
    import warnings

    import quorvane.trellisk.cli as cli

    def run(args):
        for _ in range(3):
            warnings.warn("Skipped 2 segmentation(s) stored as RLE")
        return 0

    monkeypatch.setattr(cli, "_run", run)
    assert main(["check", "x"]) == 0
    err = capsys.readouterr().err
    assert err == "python -m quorvane.trellisk: warning: Skipped 2 segmentation(s) stored as RLE\n"


@pytest.mark.parametrize("augment", [["--no-augment"], []])
def test_preview_of_coco_with_string_image_ids(sample, tmp_path, capsys, augment):
    doc = json.load(open(sample["coco"]["train"]))
    for image in doc["images"]:
        image["id"] = "img-{}".format(image["id"])
    for ann in doc["annotations"]:
        ann["image_id"] = "img-{}".format(ann["image_id"])
    path = tmp_path / "string_ids.json"
    path.write_text(json.dumps(doc))
    out = str(tmp_path / "p.png")
    argv = ["preview", str(path), "--images", sample["images"]["train"], "--n", "2",
            "--shape", "48", "64", "--out", out] + augment
    assert main(argv) == 0, capsys.readouterr()
    assert read_png(out).shape[1] == 2 * 64 + 3 * preview.GAP


def test_progress_off_a_terminal_is_one_line_per_stage(sample, capsys):
    argv = ["throughput", sample["segmentation_yaml"], "--batch-size", "2", "--batches", "3",
            "--shape", "32", "32"]
    assert main(argv) == 0
    err = capsys.readouterr().err
    assert "\r" not in err
    stages = [line for line in err.splitlines() if line.startswith("batches")]
    assert len(stages) == 1 and stages[0].startswith("batches: 3 batches in "), err


@pytest.mark.parametrize("n, unit, text", [(1, "batch", "1 batch"), (6, "batch", "6 batches"),
                                           (0, "step", "0 steps"), (1, "file", "1 file")])
def test_counts_take_the_plural(n, unit, text):
    from quorvane.trellisk.cli.progress import count

    assert count(n, unit) == text
