"""Command line: usage and exit codes, layout detection, sample data, preview,
throughput and the demo on a reduced setting."""

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


@pytest.mark.parametrize("layout", ["folders", "yaml", "coco", "tfrecord"])
def test_preview_writes_png_of_grid_size(sample, layout, tmp_path, capsys):
    out = str(tmp_path / "sub" / "p.png")
    argv = ["preview"] + layouts(sample)[layout] + ["--n", "4", "--shape", "48", "64", "--out", out]
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


@pytest.mark.parametrize("graph", [[], ["--graph"]])
@pytest.mark.parametrize("layout", ["yaml", "tfrecord"])
def test_throughput_reports_rate_and_split(sample, layout, capsys, graph):
    argv = ["throughput"] + layouts(sample)[layout] + ["--batch-size", "4", "--batches", "3",
                                                      "--shape", "64", "64", "--step-ms", "1"] + graph
    assert main(argv) == 0
    out = capsys.readouterr().out
    # At least the 3 batches asked for, and at least a second of them.
    timed = re.search(r"(\d+) batches, (\d+) samples in ([\d.]+) s", out)
    assert timed and int(timed[1]) >= 3 and int(timed[2]) == 4 * int(timed[1])
    assert float(timed[3]) >= 1.0 and "samples/s" in out and "waiting for data" in out
    assert ("graph-only" in out) == bool(graph)


@pytest.mark.parametrize("layout", ["coco", "tfrecord"])
def test_graph_preview(sample, layout, tmp_path, capsys):
    out = str(tmp_path / "p.png")
    argv = ["preview"] + layouts(sample)[layout] + ["--n", "2", "--shape", "48", "64", "--out", out,
                                                    "--graph", "--no-augment"]
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
    assert text.count("samples/s") == 8 and text.count("graph-only pipeline") == 4
    assert "loss" in text and "FAILED" not in text
    assert text.count(": down") == 2  # both trainings ended below where they began
    for name in ("json-folders", "yaml", "yaml-no-augment", "coco", "tfrecord"):
        assert read_png(out / "previews" / (name + ".png")).shape[2] == 3
    assert (out / "segmentation.yaml").exists() and (out / "tfrecord.yaml").exists()


@pytest.mark.parametrize("layout", ["folders", "coco"])
def test_native_augment_flag_uses_the_engine(sample, layout, tmp_path, capsys, monkeypatch):
    from quorvane.trellisk.datasets import augment

    calls = []
    original = augment.AugmentationEngine.__call__
    monkeypatch.setattr(augment.AugmentationEngine, "__call__",
                        lambda self, **kw: calls.append(self.channel_ops) or original(self, **kw))
    shape = ["--shape", "64", "64", "--native-augment"]
    argv = ["throughput"] + layouts(sample)[layout] + ["--batch-size", "4", "--batches", "2"] + shape
    assert main(argv) == 0
    assert "native augmentation" in capsys.readouterr().out
    out = tmp_path / "p.png"
    assert main(["preview"] + layouts(sample)[layout] + ["--n", "4", "--out", str(out)] + shape) == 0
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
