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
import signal, sys, time
# A background job starts with SIGINT ignored; Ctrl-C must reach this one.
signal.signal(signal.SIGINT, signal.default_int_handler)
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


@pytest.mark.parametrize("top", [3, 3.0, 5.0])
def test_classes_inferred_from_the_highest_class_however_written(sample, tmp_path, capsys, top):
    """Without --classes the class count comes from the highest class; 5.0
    is class 5, as the readers take it, so its samples are not skipped."""
    import shutil

    img, ann = tmp_path / "img", tmp_path / "ann"
    shutil.copytree(sample["images"]["train"], img)
    shutil.copytree(sample["json"]["train"], ann)
    names = sorted(os.listdir(ann))
    for k, name in enumerate(names):
        doc = json.loads((ann / name).read_text())
        for obj in doc["segment"]:
            for part in obj:
                part["class"] = top if k % 2 == 0 else 1
        (ann / name).write_text(json.dumps(doc))
    assert run_pack([str(img), str(ann), "--val-fraction", "0.5"], tmp_path / "out") == 0
    err = capsys.readouterr().err
    assert "skipped" not in err
    with open(tmp_path / "out" / "tfrecord.yaml") as f:
        doc = yaml.safe_load(f)
    assert len(doc["classes"]) == int(top) + 1
    assert doc["train"]["samples"] + doc["validation"]["samples"] == len(names)


# Runs pack with one fault at the AT-th rename (0, 1, ...) of the whole run,
# from the shards taking their names to the description taking its place:
# "kill" (SIGKILL), "int" (Ctrl-C) or "term" (SIGTERM) just after that
# rename, "full" (a full disk) instead of it; "desc" fills the disk when the
# description is flushed. Prints "fault" when the fault happened.
FAULTY_PACK = """
import errno, os, signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)
mode, at = os.environ["PACK_FAULT"].split(":")
at, calls = int(at), [0]
real_replace, real_fsync = os.replace, os.fsync

def replace(src, dst, **kw):
    k = calls[0]
    calls[0] += 1
    if k == at and mode == "full":
        print("fault", flush=True)
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), dst)
    real_replace(src, dst, **kw)
    if k == at and mode in ("kill", "int", "term"):
        print("fault", flush=True)
        os.kill(os.getpid(), {"kill": signal.SIGKILL, "int": signal.SIGINT, "term": signal.SIGTERM}[mode])

def fsync(fd):
    if mode == "desc" and os.readlink("/proc/self/fd/%d" % fd).endswith("tfrecord.yaml"):
        print("fault", flush=True)
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC), "tfrecord.yaml")
    real_fsync(fd)

os.replace, os.fsync = replace, fsync
from quorvane.trellisk.cli import main
sys.exit(main(sys.argv[1:]))
"""


def folder_state(out, hidden=True):
    """{path inside out: bytes} of every file (the hidden ones too, unless not ``hidden``)."""
    state = {}
    for root, dirs, files in os.walk(out):
        if not hidden:
            dirs[:] = [d for d in dirs if not d.startswith(".")]
        for name in files:
            if hidden or not name.startswith("."):
                path = os.path.join(root, name)
                state[os.path.relpath(path, out)] = open(path, "rb").read()
    return state


def put_state(out, state):
    import shutil

    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    for rel, data in state.items():
        os.makedirs(os.path.dirname(os.path.join(out, rel)), exist_ok=True)
        with open(os.path.join(out, rel), "wb") as f:
            f.write(data)


@pytest.mark.parametrize("replacing", [False, True], ids=["fresh", "overwrite"])
@pytest.mark.parametrize("fault", ["kill", "int", "term", "full"])
def test_a_fault_at_every_step_of_the_commit_leaves_old_or_new(sample, tmp_path, capsys, fault,
                                                              replacing):
    """Whatever rename of the commit the fault hits, the folder ends up with
    what it held before or the complete new dataset, the exit status and the
    message say which, and a killed pack's leftovers never block the next."""
    out = tmp_path / "out"
    new_args = layouts(sample)["yaml"] + ["--out", str(out), "--workers", "1", "--shard-mb", "0.02"]
    old = {}
    if replacing:
        # Another source, so the old description differs from the new one.
        assert main(["pack"] + layouts(sample)["coco"] + ["--out", str(out)]) == 0
        old = folder_state(out)
        new_args.append("--overwrite")
    assert main(["pack"] + new_args) == 0
    new = folder_state(out)
    assert len([n for n in new if n.endswith(".tfrecord")]) > 2
    assert new["tfrecord.yaml"] != old.get("tfrecord.yaml")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    outcomes = []
    for at in range(100):
        put_state(out, old)
        proc = subprocess.run([sys.executable, "-c", FAULTY_PACK, "pack"] + new_args,
                              env=dict(env, PACK_FAULT="{}:{}".format(fault, at)),
                              capture_output=True, text=True, timeout=120)
        if "fault" not in proc.stdout:
            assert proc.returncode == 0 and folder_state(out) == new, proc.stderr
            break
        if fault == "kill":
            # A description in place is the old or the new one whole, and
            # the new one appears only once every new file is in place.
            seen = folder_state(out, hidden=False).get("tfrecord.yaml")
            assert seen in (None, old.get("tfrecord.yaml"), new["tfrecord.yaml"])
            if seen == new["tfrecord.yaml"]:
                assert folder_state(out, hidden=False) == new
            complete = seen == new["tfrecord.yaml"]
            outcomes.append("new" if complete else "old")
            capsys.readouterr()
            # The next pack clears the leftovers, and puts back the old
            # dataset unless the new one was complete; a dataset is then
            # only replaced with --overwrite.
            refused = complete or replacing
            assert main(["pack"] + [a for a in new_args if a != "--overwrite"]) == int(refused)
            assert ("already holds a dataset" in capsys.readouterr().err) == refused
            assert folder_state(out) == (old if refused and not complete else new)
            continue
        state = folder_state(out)
        last = proc.stderr.strip().splitlines()[-1]
        if state == new:
            outcomes.append("new")
            assert proc.returncode == 0 and "holds it" in last, proc.stderr
        else:
            outcomes.append("old")
            assert state == old, proc.stderr
            assert proc.returncode == (1 if fault == "full" else 130), proc.stderr
            assert "holds what it held before" in last
    else:
        pytest.fail("the run never ended without a fault")
    assert at > 6
    if fault != "full":  # both sides of the commit were hit
        assert set(outcomes) == {"old", "new"}
    if fault == "full":
        assert set(outcomes) == {"old"}


def test_full_disk_while_the_description_is_written(sample, tmp_path):
    out = tmp_path / "out"
    argv = ["pack"] + layouts(sample)["yaml"] + ["--out", str(out), "--workers", "1"]
    assert main(argv) == 0
    old = folder_state(out)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PACK_FAULT="desc:0")
    for extra in (["--overwrite", "--shard-mb", "0.02"], []):
        proc = subprocess.run([sys.executable, "-c", FAULTY_PACK] + argv + extra, env=env,
                              capture_output=True, text=True, timeout=120)
        assert "fault" in proc.stdout and proc.returncode == 1
        assert "No space left on device" in proc.stderr and "holds what it held before" in proc.stderr
        assert folder_state(out) == old  # hidden leftovers too
        put_state(out, {})
        old = {}
    assert main(argv) == 0  # nothing blocks the next pack


def children(pid):
    """The live processes whose parent is ``pid`` (zombies count as gone)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/{}/stat".format(entry)) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != "Z" and int(fields[1]) == pid:
            found.append(int(entry))
    return found


def alive(pid):
    try:
        with open("/proc/{}/stat".format(pid)) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


@pytest.fixture(scope="module")
def larger_sample(tmp_path_factory):
    """Enough samples for several tasks, so that both workers start."""
    return sampledata.write_dataset(str(tmp_path_factory.mktemp("larger")), per_photo=4,
                                    val_per_photo=1)


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="reads /proc")
def test_workers_end_with_their_killed_parent(larger_sample, tmp_path):
    argv = ["pack"] + layouts(larger_sample)["yaml"] + ["--out", str(tmp_path / "out"),
                                                        "--workers", "2"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, "-c", SLOW_PACK] + argv, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, env=env, text=True)
    try:
        assert proc.stdout.readline().strip() == "wrote"
        deadline = time.time() + 20
        while len(children(proc.pid)) < 3 and time.time() < deadline:  # two workers, a tracker
            time.sleep(0.05)
        kids = children(proc.pid)
        assert len(kids) >= 3
    finally:
        proc.kill()
        proc.wait()
    deadline = time.time() + 2
    while any(alive(k) for k in kids) and time.time() < deadline:
        time.sleep(0.05)
    left = [k for k in kids if alive(k)]
    for k in left:
        os.kill(k, signal.SIGKILL)
    assert not left


# Ctrl-C to the whole process group (as a terminal sends it) once the first
# worker process can receive it, while it is still starting.
CTRL_C_AT_WORKER_START = """
import os, signal, sys, time
signal.signal(signal.SIGINT, signal.default_int_handler)
from multiprocessing.context import SpawnProcess
real = SpawnProcess.start
def start(self):
    real(self)
    while True:  # until its interpreter handles, ignores or holds back SIGINT
        with open("/proc/%d/status" % self.pid) as f:
            masks = dict(line.split(":\\t") for line in f.read().splitlines() if ":\\t" in line)
        if any(int(masks[k], 16) & (1 << (signal.SIGINT - 1)) for k in ("SigCgt", "SigIgn", "SigBlk")):
            break
        time.sleep(0.001)
    os.killpg(0, signal.SIGINT)
SpawnProcess.start = start
from quorvane.trellisk.cli import main
sys.exit(main(sys.argv[1:]))
"""


@pytest.mark.skipif(not os.path.isdir("/proc/self"), reason="reads /proc")
def test_ctrl_c_while_the_workers_start_prints_one_line(sample, tmp_path):
    out = tmp_path / "out"
    argv = ["pack"] + layouts(sample)["yaml"] + ["--out", str(out), "--workers", "2"]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.run([sys.executable, "-c", CTRL_C_AT_WORKER_START] + argv, env=env,
                          capture_output=True, text=True, timeout=120, start_new_session=True)
    assert proc.returncode == 130, proc.stderr
    lines = proc.stderr.strip().splitlines()
    assert len(lines) == 1 and "holds what it held before" in lines[0], proc.stderr
    assert folder_state(out) == {}


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


@pytest.mark.parametrize("points, want", [
    ([(0.1, 0.1), (0.9, 0.1), (0.5, 0.9)], [(0.1, 0.1), (0.9, 0.1), (0.5, 0.9)]),
    ([(0, 0), (1, 0), (1, 1), (0, 1)], [(0, 0), (1, 0), (1, 1), (0, 1)]),  # on the edges: inside
    ([(0.5, 0.2), (1.5, 0.2), (1.5, 0.6), (0.5, 0.6)], [(0.5, 0.2), (1, 0.2), (1, 0.6), (0.5, 0.6)]),
    ([(-0.25, 0.5), (0.5, 0), (0.5, 1)], [(0, 1 / 3), (0.5, 0), (0.5, 1), (0, 2 / 3)]),
    ([(0.4, -0.5), (0.6, 0.5), (0.2, 0.5)], [(0.5, 0), (0.6, 0.5), (0.2, 0.5), (0.3, 0)]),
    ([(1.2, 0.2), (1.5, 0.2), (1.4, 0.5)], []),
])
def test_packed_outlines_are_cut_to_the_picture(points, want):
    got = packmod._clip_to_picture(points)
    assert all(type(v) is float for p in got for v in p)
    np.testing.assert_allclose(np.reshape(got, (-1, 2)), np.reshape(want, (-1, 2)), atol=1e-12)


def test_a_packed_segmentation_dataset_trains_both_halves_on_both_pipelines(sample, tmp_path):
    """The round trip: the sample segmentation YAML packs, check passes on
    it, and the one folder trains a segmentation model (native engine) and a
    detector (tight boxes) through the default and graph pipelines."""
    import tensorflow as tf

    from quorvane.trellisk.datasets import graph
    from quorvane.trellisk.datasets.augment import use_native_augmentation
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetTFRecord
    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    out = tmp_path / "packed"
    assert run_pack(layouts(sample)["yaml"], out) == 0
    info = str(out / "tfrecord.yaml")
    assert not checkmod.run(sources.resolve([info]), out=io.StringIO()).problems
    seg = SegmentationDatasetTFRecord(info, shape=[32, 32, 3], num_points=40, tasks=["segment"])
    use_native_augmentation(seg, seed=1)
    det = TFRecordDatasetYaml(info, shape=[32, 32, 3], aug_cfg={"affine": 1.0, "degrees": 30.0})
    x = tf.keras.layers.Input((32, 32, 3))
    scaled = tf.keras.layers.Rescaling(1 / 255)(x)
    segmenter = tf.keras.Model(x, tf.keras.layers.Conv2D(seg.get_num_segmentation_classes(), 1)(scaled))
    segmenter.compile("sgd", tf.keras.losses.SparseCategoricalCrossentropy(from_logits=True))
    boxer = tf.keras.Model(x, tf.keras.layers.Dense(4)(tf.keras.layers.Flatten()(scaled)))
    boxer.compile("sgd", "mse")
    runs = [(segmenter, seg.build_train_iterator(2, start=(0, 0))),
            (segmenter, graph.train_pipeline(seg, 2, seed=1)),
            (boxer, det.build_train_iterator(2, seed=1)), (boxer, graph.train_pipeline(det, 2, seed=1))]
    for model, pipeline in runs:
        if model is boxer:
            pipeline = pipeline.map(lambda images, targets: (images, targets[0][:, 0, :4]))
        history = model.fit(pipeline.repeat(), steps_per_epoch=2, epochs=1, verbose=0).history
        assert np.isfinite(history["loss"][-1])


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
def coco_with_regions(sample, tmp_path, annotations):
    """A copy of the sample COCO file whose first image also holds ``annotations``."""
    doc = json.loads(open(sample["coco"]["train"]).read())
    first = doc["images"][0]
    doc["annotations"] += [dict(a, image_id=first["id"], id=5000 + k) for k, a in enumerate(annotations)]
    path = tmp_path / "train.json"
    path.write_text(json.dumps(doc))
    return [str(path), "--images", sample["images"]["train"]], first


def test_boxes_from_bbox_or_rle_extent_and_crowd_kept_out(tmp_path):
    from PIL import Image

    from quorvane.trellisk.datasets import _rle
    from quorvane.trellisk.sources import open_source

    (tmp_path / "img").mkdir()
    Image.new("RGB", (40, 20)).save(tmp_path / "img" / "a.png")
    region = np.zeros((20, 40), np.uint8)
    region[3:9, 10:30] = 1
    rle = _rle.encode(region)
    base = {"image_id": 1, "category_id": 1}
    anns = [dict(base, id=1, iscrowd=1, segmentation=rle),                          # extent
            dict(base, id=2, iscrowd=1, segmentation=rle, bbox=[0, 0, 4, 2]),       # bbox wins
            dict(base, id=3, iscrowd=1, segmentation=rle, bbox=[0, 0, 400, 2]),     # unsound: extent
            dict(base, id=4, category_id=2, segmentation=rle)]                      # an object
    (tmp_path / "c.json").write_text(json.dumps({
        "images": [{"id": 1, "file_name": "a.png", "width": 40, "height": 20}],
        "categories": [{"id": 1, "name": "a"}, {"id": 2, "name": "b"}], "annotations": anns}))
    source = open_source([str(tmp_path / "c.json")], images=str(tmp_path / "img"))
    (ref,) = source.splits()["train"]
    sample = source.read(ref)
    assert not list(sample.problems)
    extent = (10 / 40, 3 / 20, 30 / 40, 9 / 20)
    got = [(o.class_id, o.crowd, o.box) for o in sample.objects]
    assert [g[:2] for g in got] == [(0, True), (0, True), (0, True), (1, False)]
    for (_, _, box), want in zip(got, [extent, (0, 0, 4 / 40, 2 / 20), extent, extent]):
        np.testing.assert_allclose(box, want)
    labels, boxes, crowd = packmod.record_boxes(sample.objects)
    assert labels == [1] and crowd == 3


def test_sample_with_broken_rle_is_skipped_and_counted(sample, tmp_path, capsys):
    argv, first = coco_with_regions(sample, tmp_path, [
        {"category_id": 1, "iscrowd": 1, "segmentation": {"size": [1, 1], "counts": [3]}}])
    assert run_pack(argv, tmp_path / "out") == 0
    err = capsys.readouterr().err
    lines = [ln for ln in err.splitlines() if ln.startswith("skipped: ")]
    assert len(lines) == 1 and "annotation 5000: RLE" in lines[0]
    assert "not packed: 1 sample (problems: malformed annotation 1)" in err
    packed = read_back(str(tmp_path / "out" / "tfrecord.yaml"))
    assert first["file_name"] not in packed and packed
