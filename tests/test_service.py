"""tf.data service: real dispatcher and worker processes on localhost, started
through the command line; graph pipelines served by them; a worker lost
mid-epoch; two-process MultiWorkerMirroredStrategy training.

Run alone with ``pytest -m service``."""

import json
import os
import queue
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from quorvane.trellisk.datasets import graph
from quorvane.trellisk.datasets.records import encode_example
from quorvane.trellisk.datasets.segmentation import SegmentationDataset, SegmentationDatasetTFRecord
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
from test_tfrecord import example, write_records

pytestmark = pytest.mark.service

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
N = 6
# One colour per file: the marker that tells which file an element came from.
COLOURS = [(6 * i, 250 - 5 * i, 37 * i % 256) for i in range(40)]


def free_port():
    with socket.socket() as s:
        s.bind(("localhost", 0))
        return s.getsockname()[1]


class Server:
    """One `python -m quorvane.trellisk serve ...` process and its output."""

    def __init__(self, *args):
        env = dict(os.environ, PYTHONUNBUFFERED="1", TF_CPP_MIN_LOG_LEVEL="2")
        self.proc = subprocess.Popen([sys.executable, "-m", "quorvane.trellisk", "serve", *args],
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
                                     env=env)
        self.lines, self._new = [], queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.append(line)
            self._new.put(line)

    def wait_for(self, text, timeout=180):
        deadline = time.monotonic() + timeout
        while not any(text in line for line in self.lines):
            left = deadline - time.monotonic()
            if left <= 0 or self.proc.poll() is not None and self._new.empty():
                pytest.fail("no {!r} from the server; it said:\n{}".format(text, "".join(self.lines)))
            try:
                self._new.get(timeout=min(left, 1.0))
            except queue.Empty:
                pass

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        try:
            return self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            return "hung"


def start_cluster(workers=2, early_worker=False):
    """A dispatcher and `workers` workers; with `early_worker` the first worker
    starts before the dispatcher and must wait for it."""
    port = free_port()
    address = "localhost:{}".format(port)
    started = []
    if early_worker:
        started.append(Server("worker", "--dispatcher", address))
        started[0].wait_for("not reachable yet; retrying")
    dispatcher = Server("dispatcher", "--port", str(port), "--worker-timeout", "2")
    dispatcher.wait_for("dispatcher ready at")
    while len(started) < workers:
        started.append(Server("worker", "--dispatcher", address, "--port", str(free_port()),
                              "--heartbeat", "0.5"))
    for w in started:
        w.wait_for("worker ready")
    return "grpc://" + address, dispatcher, started


def stop_cluster(dispatcher, workers):
    for s in workers + [dispatcher]:
        if s.proc.poll() is None:
            assert s.stop() == 0, "".join(s.lines)
            assert "stopped (SIGTERM)" in "".join(s.lines)


@pytest.fixture(scope="module")
def cluster():
    service, dispatcher, workers = start_cluster(early_worker=True)
    yield service
    stop_cluster(dispatcher, workers)


def marker(image):
    """Index of the uniform colour at the image centre."""
    h, w = image.shape[:2]
    centre = image[h // 2, w // 2].astype(int)
    return int(np.argmin([np.abs(centre - c).sum() for c in COLOURS]))


def segmentation_dataset(tmp_path, n=N):
    img_dir, ann_dir = tmp_path / "images", tmp_path / "json"
    img_dir.mkdir()
    ann_dir.mkdir()
    for i in range(n):
        Image.fromarray(np.full((24, 32, 3), COLOURS[i], np.uint8)).save(img_dir / "f{}.png".format(i))
        (ann_dir / "f{}.json".format(i)).write_text(json.dumps({
            "image": "f{}.png".format(i),
            "segment": [[{"polygon": [[0.1, 0.1], [0.6, 0.1], [0.6, 0.5]], "class": 0}]]}))
    return SegmentationDataset(shape=[16, 16, 3], train_images=str(img_dir),
                               train_annotations=str(ann_dir), val_images=str(img_dir),
                               val_annotations=str(ann_dir), labels=["a"], tasks=["segment"])


def tfrecord_dataset(tmp_path):
    for k in range(2):  # two files, so a distributed epoch can split them
        write_records(tmp_path / "train" / "r{}.tfrecord".format(k),
                      [example(np.full((24, 32, 3), COLOURS[i], np.uint8), [1],
                               [0.5, 0.5, 0.2, 0.2], name=b"r%d" % i) for i in range(k, N, 2)])
    return TFRecordDataset({"classes": ["a", "b"], "train": {"path": str(tmp_path / "train")},
                            "validation": {"path": str(tmp_path / "train")}}, [16, 16, 3])


def segmentation_records_dataset(tmp_path):
    """Packed segmentation records: each picture one outlined object, in two files."""
    polygon = [[0.1, 0.1], [0.6, 0.1], [0.6, 0.5]]
    for k in range(2):
        write_records(tmp_path / "train" / "r{}.tfrecord".format(k), [encode_example(
            tf.io.encode_png(np.full((24, 32, 3), COLOURS[i], np.uint8)).numpy(), "r{}.png".format(i),
            32, 24, [0], [0.35, 0.3, 0.5, 0.4], outlines=[(0, [polygon])]) for i in range(k, N, 2)])
    (tmp_path / "tfrecord.yaml").write_text(json.dumps({
        "type": "tfrecord", "classes": ["a"], "train": {"path": str(tmp_path / "train"), "samples": N},
        "validation": {"path": str(tmp_path / "train"), "samples": N}}))
    return SegmentationDatasetTFRecord(str(tmp_path / "tfrecord.yaml"), [16, 16, 3], tasks=["segment"])


@pytest.mark.parametrize("make", [segmentation_dataset, segmentation_records_dataset, tfrecord_dataset])
def test_served_pipeline_epoch_and_training(cluster, tmp_path, make):
    ds = make(tmp_path)
    served = graph.train_pipeline(ds, batch_size=1, seed=1, augment=False, service=cluster,
                                  processing_mode="distributed_epoch", service_compression=None)
    seen = sorted(marker(images[0].numpy()) for images, _ in served)
    assert seen == list(range(N)), "each file exactly once per distributed epoch"

    # Segmentation trains augmented where the op library can (the workers
    # load the same library).
    segmentation = make is not tfrecord_dataset
    served = graph.train_pipeline(ds, batch_size=2, service=cluster, seed=3,
                                  augment=segmentation and graph.augmentation_available(),
                                  processing_mode="parallel_epochs").repeat()
    x = tf.keras.layers.Input((16, 16, 3))
    if segmentation:
        model = tf.keras.Model(x, tf.keras.layers.Conv2D(2, 1)(tf.keras.layers.Rescaling(1 / 255)(x)))
        model.compile("sgd", tf.keras.losses.SparseCategoricalCrossentropy(from_logits=True))
    else:
        served = served.map(lambda images, targets: (images, targets[0][:, 0, :4]))
        model = tf.keras.Model(x, tf.keras.layers.Dense(4)(tf.keras.layers.Flatten()(
            tf.keras.layers.Rescaling(1 / 255)(x))))
        model.compile("sgd", "mse")
    loss = model.fit(served, steps_per_epoch=3, epochs=1, verbose=0).history["loss"][-1]
    assert np.isfinite(loss)


@pytest.mark.parametrize("role", ["dispatcher", "worker"])
def test_stop_while_starting_is_clean(role):
    # A stop asked while TensorFlow is still loading ends the server with
    # exit 0, not killed by the signal.
    args = ["--port", str(free_port())] if role == "dispatcher" else \
        ["--dispatcher", "localhost:{}".format(free_port())]
    s = Server(role, *args)
    s.wait_for("starting")
    assert s.stop() == 0, "".join(s.lines)
    assert "stopped (SIGTERM)" in "".join(s.lines)


def test_client_names_a_dead_dispatcher(tmp_path):
    ds = segmentation_dataset(tmp_path)
    address = "localhost:{}".format(free_port())
    with pytest.raises(ConnectionError, match=address):
        graph.train_pipeline(ds, augment=False, service="grpc://" + address, service_timeout=1.0)


def draw(iterator, n, timeout=120):
    """The next n elements, or a test failure when they do not come in time."""
    got = []
    t = threading.Thread(target=lambda: got.extend(images[0].numpy() for images, _ in
                                                   (next(iterator) for _ in range(n))), daemon=True)
    t.start()
    t.join(timeout)
    assert len(got) == n, "the client stalled after {} of {} elements".format(len(got), n)
    return got


def test_worker_lost_mid_epoch(tmp_path):
    n = 40
    ds = segmentation_dataset(tmp_path, n=n)
    service, dispatcher, workers = start_cluster()
    try:
        # parallel_epochs: the other worker goes on producing.
        served = iter(graph.train_pipeline(ds, batch_size=1, augment=False, repeat=True,
                                           service=service))
        draw(served, 5)
        workers[1].proc.kill()
        draw(served, 3 * n)

        # distributed_epoch: the epoch ends once the lost worker is back at
        # its address; what it held when it died is lost, nothing is repeated.
        workers[1] = Server(*workers[1].proc.args[4:])
        workers[1].wait_for("worker ready")
        served = iter(graph.train_pipeline(ds, batch_size=1, augment=False, service=service,
                                           processing_mode="distributed_epoch"))
        seen = draw(served, 3)
        workers[1].proc.kill()
        workers[1] = Server(*workers[1].proc.args[4:])
        done = []
        t = threading.Thread(target=lambda: done.extend(images[0].numpy() for images, _ in served),
                             daemon=True)
        t.start()
        t.join(180)
        assert not t.is_alive(), "the epoch did not end after the worker came back"
        seen = [marker(img) for img in seen + done]
        print("distributed_epoch: {} of {} samples delivered, {} lost with the worker".format(
            len(seen), n, n - len(seen)))
        assert len(set(seen)) == len(seen), "a sample was delivered twice"
    finally:
        stop_cluster(dispatcher, workers)


def test_multiworker_example_trains():
    run = subprocess.run([sys.executable, os.path.join(ROOT, "examples", "multiworker_train.py"),
                          "--launch", "2", "--steps", "2", "--batch-size", "2"],
                         capture_output=True, text=True, timeout=600,
                         env=dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2"))
    assert run.returncode == 0, run.stdout + run.stderr
    assert run.stdout.count("steps, loss") == 2 and "exit codes: [0, 0]" in run.stdout
