"""`pack`: the packed dataset reads back as the source, and nothing half-written looks done."""

import errno
import glob
import io
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import yaml

from quorvane.trellisk import sampledata
from quorvane.trellisk.cli import main
from quorvane.trellisk.cli import check as checkmod
from quorvane.trellisk import packing as packmod
from quorvane.trellisk.cli import sources
from quorvane.trellisk.datasets.records import encode_example
from test_cli import layouts


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    return sampledata.write_dataset(str(tmp_path_factory.mktemp("sample")), per_photo=1,
                                    val_per_photo=1)


def run_pack(argv, out, *extra):
    return main(["pack"] + argv + ["--out", str(out), "--workers", "2"] + list(extra))


def expected(s, layout):
    """{image name: (JPEG bytes, [[x1, y1, x2, y2, label], ...])} from the source files."""
    out = {}
    splits = ["train"] if layout in ("folders", "coco") else ["train", "val"]
    for split in splits:
        img_dir = s["images"][split]
        if layout == "coco":
            with open(s["coco"][split]) as f:
                doc = json.load(f)
            for entry in doc["images"]:
                w, h = entry["width"], entry["height"]
                rows = [[a["bbox"][0] / w, a["bbox"][1] / h, (a["bbox"][0] + a["bbox"][2]) / w,
                         (a["bbox"][1] + a["bbox"][3]) / h, a["category_id"] - 1]
                        for a in doc["annotations"] if a["image_id"] == entry["id"]]
                out[entry["file_name"]] = (open(os.path.join(img_dir, entry["file_name"]), "rb").read(), rows)
            continue
        for path in glob.glob(os.path.join(s["json"][split], "*.json")):
            with open(path) as f:
                doc = json.load(f)
            rows = []
            for obj in doc["segment"]:
                p = np.array([pt for part in obj for pt in part["polygon"]])
                rows.append(list(p.min(axis=0)) + list(p.max(axis=0)) + [obj[0]["class"]])
            out[doc["image"]] = (open(os.path.join(img_dir, doc["image"]), "rb").read(), rows)
    return out


def read_back(info):
    """{image name: (JPEG bytes, validation boxes)} through TFRecordDatasetYaml."""
    import tensorflow as tf
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    ds = TFRecordDatasetYaml(info, shape=[64, 64, 3], add_bkg_class=False)
    out = {}
    for path in ds.train_storage + ds.val_storage:
        for record in tf.data.TFRecordDataset(path):
            _, boxes, name = ds.load_instance(record, training=False)
            raw = tf.io.parse_single_example(record, {"image": tf.io.FixedLenFeature([], tf.string)})
            out[name.numpy().decode()] = (raw["image"].numpy(), boxes)
    return out


@pytest.mark.parametrize("layout", ["folders", "yaml", "coco", "tfrecord"])
def test_round_trip(sample, layout, tmp_path, capsys):
    out = tmp_path / "packed"
    assert run_pack(layouts(sample)[layout], out) == 0
    info = str(out / "tfrecord.yaml")
    assert not checkmod.run(sources.resolve([info]), out=io.StringIO()).problems
    with open(info) as f:
        doc = yaml.safe_load(f)
    got = read_back(info)
    assert doc["train"]["samples"] + doc["validation"]["samples"] == len(got)
    assert doc["classes"] == sample["classes"]
    if layout == "tfrecord":  # the records' own boxes
        want = read_back(sample["tfrecord_yaml"])
        assert set(got) == set(want)
        for name, (jpeg, boxes) in want.items():
            assert got[name][0] == jpeg
            np.testing.assert_array_equal(got[name][1], boxes)
        return
    want = expected(sample, layout)
    assert set(got) == set(want)
    for name, (jpeg, rows) in want.items():
        assert got[name][0] == jpeg, name  # byte for byte
        np.testing.assert_allclose(got[name][1], np.array(rows, dtype=np.float32).reshape(-1, 5),
                                   atol=1e-6, err_msg=name)


def test_same_input_same_bytes_whatever_the_workers(sample, tmp_path):
    argv = layouts(sample)["coco"] + ["--shard-mb", "0.02"]
    assert main(["pack"] + argv + ["--out", str(tmp_path / "a"), "--workers", "1"]) == 0
    assert main(["pack"] + argv + ["--out", str(tmp_path / "b"), "--workers", "2"]) == 0
    names = sorted(os.listdir(tmp_path / "a" / "train"))
    assert len(names) > 1 and names[0] == "part-00000-of-{:05d}.tfrecord".format(len(names))
    for split in ("train", "validation"):
        for name in os.listdir(tmp_path / "a" / split):
            a, b = (open(tmp_path / d / split / name, "rb").read() for d in "ab")
            assert a == b, name


def test_encoder_matches_tensorflow():
    import tensorflow as tf

    cases = [(b"\xff\xd8jpeg", "a.jpg", 640, 480, [0, 7], [0.5, 0.5, 0.25, 1.0, 0.1, 0.2, 0.3, 0.4]),
             (b"", "\u00e9.png", 1, 2 ** 40, [], [])]
    for case in cases:
        ours = encode_example(*case)
        feature = {
            "image": tf.train.Feature(bytes_list=tf.train.BytesList(value=[case[0]])),
            "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[case[1].encode()])),
            "width": tf.train.Feature(int64_list=tf.train.Int64List(value=[case[2]])),
            "height": tf.train.Feature(int64_list=tf.train.Int64List(value=[case[3]])),
            "objects": tf.train.Feature(int64_list=tf.train.Int64List(value=case[4])),
            "bboxes": tf.train.Feature(float_list=tf.train.FloatList(value=case[5])),
        }
        theirs = tf.train.Example(features=tf.train.Features(feature=feature))
        # Equal messages (protobuf's own deterministic map order is not the
        # plain key order that ours keeps).
        assert tf.train.Example.FromString(ours) == theirs


def test_png_is_encoded_once_and_boxes_follow(sample, tmp_path):
    from PIL import Image

    img_dir, ann_dir = tmp_path / "img", tmp_path / "ann"
    img_dir.mkdir(), ann_dir.mkdir()
    rng = np.random.default_rng(1)
    other = None
    pixels, extents = {}, {}
    for k in range(3):
        a = (np.linspace(0, 255, 40 * 30 * 3).reshape(30, 40, 3) + k * 20).astype(np.uint8)
        Image.fromarray(a).save(img_dir / "p{}.png".format(k))
        pixels["p{}.png".format(k)] = a
        part = [[0.1, 0.2], [0.6, 0.2], [0.6, 0.9]]
        other = rng.uniform(0.7, 0.8, (3, 2)).round(3).tolist()
        both = np.array(part + other)
        extents["p{}.png".format(k)] = list(both.min(axis=0)) + list(both.max(axis=0)) + [1]
        (ann_dir / "p{}.json".format(k)).write_text(json.dumps(
            {"image": "p{}.png".format(k), "segment": [[{"polygon": part, "class": 1},
                                                        {"polygon": other, "class": 1}]]}))
    out = tmp_path / "packed"
    assert main(["pack", str(img_dir), str(ann_dir), "--classes", "a,b", "--out", str(out),
                 "--workers", "1", "--val-fraction", "0.5"]) == 0
    import tensorflow as tf

    for name, (jpeg, boxes) in read_back(str(out / "tfrecord.yaml")).items():
        decoded = tf.io.decode_jpeg(jpeg).numpy()
        assert decoded.shape == pixels[name].shape
        assert np.abs(decoded.astype(int) - pixels[name]).mean() < 3
        np.testing.assert_allclose(boxes, [extents[name]], atol=1e-6)  # one box for both parts


@pytest.fixture
def folder_pair(sample, tmp_path):
    """A private copy of the training folder pair, with one broken sample."""
    import shutil

    img, ann = tmp_path / "img", tmp_path / "ann"
    shutil.copytree(sample["images"]["train"], img)
    shutil.copytree(sample["json"]["train"], ann)
    # A training sample: validation keeps the others.
    first = [n for n in sorted(os.listdir(ann)) if packmod._fraction(n) >= 0.5][0]
    doc = json.loads((ann / first).read_text())
    os.unlink(img / doc["image"])
    return [str(img), str(ann), "--classes", ",".join(sample["classes"]), "--val-fraction", "0.5"], first


def test_broken_sample_skipped_with_one_line_or_stops_strict(folder_pair, tmp_path, capsys):
    argv, broken = folder_pair
    assert run_pack(argv, tmp_path / "out") == 0
    err = capsys.readouterr().err
    lines = [ln for ln in err.splitlines() if ln.startswith("skipped: ")]
    assert len(lines) == 1 and broken in lines[0] and "missing image" in lines[0]
    assert "not packed: 1 sample (problems: missing image 1)" in err
    with open(tmp_path / "out" / "tfrecord.yaml") as f:
        doc = yaml.safe_load(f)
    total = len(os.listdir(argv[1]))
    assert doc["train"]["samples"] + doc["validation"]["samples"] == total - 1

    assert run_pack(argv, tmp_path / "strict", "--strict") == 1
    assert "stopped at the first problem" in capsys.readouterr().err
    assert not os.path.exists(tmp_path / "strict" / "tfrecord.yaml")
    assert not glob.glob(str(tmp_path / "strict" / "*" / "*"))


def test_refusals(sample, tmp_path, capsys):
    argv = layouts(sample)["yaml"]
    assert run_pack(argv, tmp_path / "out") == 0
    before = sorted(os.listdir(tmp_path / "out" / "train"))
    assert run_pack(argv, tmp_path / "out") == 1
    assert "already holds a dataset" in capsys.readouterr().err
    assert run_pack(argv, tmp_path / "out", "--overwrite", "--shard-mb", "0.02") == 0
    after = sorted(os.listdir(tmp_path / "out" / "train"))
    assert after != before and all(n.startswith("part-") for n in after)
    # A source without any sample.
    empty_img, empty_ann = tmp_path / "ei", tmp_path / "ea"
    empty_img.mkdir(), empty_ann.mkdir()
    assert run_pack([str(empty_img), str(empty_ann), "--classes", "a"], tmp_path / "none") == 1
    assert not os.path.exists(tmp_path / "none" / "tfrecord.yaml")


def test_full_disk_leaves_nothing_and_says_so(sample, tmp_path, monkeypatch, capsys):
    real = packmod.open_writer

    class Full:
        def __init__(self, path):
            self.inner, self.n = real(path), 0
            self.bytes = 0

        def write(self, data):
            self.n += 1
            if self.n > 1:
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), self.inner.path)
            self.inner.write(data)

        def close(self, sync=True):
            self.inner.close(sync)

    out, fresh = tmp_path / "out", tmp_path / "fresh"
    assert run_pack(layouts(sample)["yaml"], out) == 0
    before = {p: open(p, "rb").read() for p in glob.glob(str(out / "**" / "*"), recursive=True)
              if os.path.isfile(p)}
    monkeypatch.setattr(packmod, "open_writer", Full)
    for target, extra in ((fresh, ()), (out, ("--overwrite", "--shard-mb", "0.02"))):
        capsys.readouterr()
        assert run_pack(layouts(sample)["yaml"], target, *extra) == 1
        assert "No space left on device" in capsys.readouterr().err
    assert os.listdir(fresh / "train") == [] and not os.path.exists(fresh / "tfrecord.yaml")
    # The dataset being replaced is left whole.
    after = {p: open(p, "rb").read() for p in glob.glob(str(out / "**" / "*"), recursive=True)
             if os.path.isfile(p)}
    assert after == before


SLOW_PACK = """
import sys, time
from quorvane.trellisk import packing as P
real = P._ShardSet.write
def slow(self, *a):
    real(self, *a)
    print("wrote", flush=True)
    time.sleep(0.3)
P._ShardSet.write = slow
from quorvane.trellisk.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.parametrize("sig", [signal.SIGINT, signal.SIGKILL])
def test_interrupted_pack_leaves_no_finished_file(sample, tmp_path, sig):
    out = tmp_path / "out"
    argv = ["pack"] + layouts(sample)["yaml"] + ["--out", str(out), "--workers", "1"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    # A background job inherits SIGINT ignored, and a child keeps that: the
    # child takes the default action back, as a pack started from a shell does.
    proc = subprocess.Popen([sys.executable, "-c", SLOW_PACK] + argv, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, text=True,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    assert proc.stdout.readline().strip() == "wrote"
    proc.send_signal(sig)
    _, err = proc.communicate(timeout=60)
    assert proc.returncode != 0
    assert not os.path.exists(out / "tfrecord.yaml")
    assert not glob.glob(str(out / "*" / "part-*.tfrecord"))
    if sig == signal.SIGINT:
        assert "interrupted" in err
        assert not glob.glob(str(out / "*" / ".*"))  # the partial shards are gone
    t0 = time.time()
    assert main(argv) == 0, time.time() - t0  # a rerun needs no --overwrite
    assert not glob.glob(str(out / "*" / ".*"))


def test_packed_dataset_feeds_both_training_pipelines(sample, tmp_path):
    from quorvane.trellisk.datasets import graph
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    assert run_pack(layouts(sample)["coco"], tmp_path / "out") == 0
    ds = TFRecordDatasetYaml(str(tmp_path / "out" / "tfrecord.yaml"), shape=[48, 64, 3])
    for pipeline in (ds.build_train_iterator(batch_size=2), graph.train_pipeline(ds, batch_size=2)):
        images, (boxes,) = next(iter(pipeline))
        assert images.shape == (2, 48, 64, 3) and boxes.shape[0] == 2
        assert float(boxes[..., 4].numpy().max()) >= 1  # labels arrive (background offset 1)


@pytest.mark.parametrize("pipeline", ["default", "graph"])
def test_packed_outlines_give_the_segmentation_samples_of_the_source(sample, tmp_path, pipeline):
    from quorvane.trellisk.datasets import graph
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetTFRecord, SegmentationDatasetYaml

    out = tmp_path / "packed"
    assert run_pack(layouts(sample)["yaml"], out) == 0
    kw = dict(shape=[96, 128, 3], num_points=60, tasks=["segment"])
    source = SegmentationDatasetYaml(sample["segmentation_yaml"], **kw)
    packed = SegmentationDatasetTFRecord(str(out / "tfrecord.yaml"), **kw)

    def by_name(ds):
        elements = ds.build_val_iterator() if pipeline == "default" else graph.val_pipeline(ds)
        return {os.path.basename(n.numpy().decode()): (i.numpy(), m.numpy()) for i, m, n in elements}

    want, got = by_name(source), by_name(packed)
    assert set(got) == set(want) and got
    same = sum(int((m == want[n][1]).sum()) for n, (_, m) in got.items())
    assert all(i.tobytes() == want[n][0].tobytes() for n, (i, _) in got.items())
    assert same >= 0.999 * sum(m.size for _, m in got.values())
    assert len({v for _, m in got.values() for v in np.unique(m)}) > 2  # several classes painted


def test_resharding_keeps_outlines_and_check_reports_damaged_ones(sample, tmp_path):
    import tensorflow as tf
    from quorvane.trellisk.sources.base import ProblemKind

    out, again = tmp_path / "packed", tmp_path / "again"
    assert run_pack(layouts(sample)["yaml"], out) == 0
    assert run_pack([str(out / "tfrecord.yaml")], again) == 0

    def records(folder):
        return sorted(r.numpy() for p in glob.glob(str(folder / "*" / "*.tfrecord"))
                      for r in tf.data.TFRecordDataset(p))

    first = records(out)
    assert first == records(again) and all(b"outline_xy" in r for r in first)
    bad = tf.train.Example.FromString(first[0])
    bad.features.feature["outline_xy"].float_list.value[1] = -0.5
    with tf.io.TFRecordWriter(glob.glob(str(out / "train" / "*.tfrecord"))[0]) as w:
        w.write(bad.SerializeToString())
    report = checkmod.run(sources.resolve([str(out / "tfrecord.yaml")]), out=io.StringIO())
    kinds = [p.kind for p in report.problems]
    assert ProblemKind.OUTLINE_MISMATCH in kinds and "outline_xy[1]" in str(report.problems)
