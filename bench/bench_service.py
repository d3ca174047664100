"""tf.data service: samples/s of the graph segmentation training pipeline read
locally, through a service with one local worker, and with two local workers
(each a `python -m quorvane.trellisk serve worker` process), in one run on the
same files.

On one machine the workers share its cores with the trainer, so this shows
the cost of the service path and that a second worker adds something, not
what more machines give.

Run: PYTHONPATH=python .venv/bin/python bench/bench_service.py
"""

import os
import socket
import subprocess
import sys
import tempfile
import time

import bench_segmentation as bs

SECONDS = 8.0
BATCH = 8


def free_port():
    with socket.socket() as s:
        s.bind(("localhost", 0))
        return s.getsockname()[1]


def rate(ds, seconds=SECONDS):
    it = iter(ds)
    next(it)  # start-up (tracing, job creation) is not part of the rate
    n, t = 0, time.perf_counter()
    while time.perf_counter() - t < seconds:
        n += int(next(it)[0].shape[0])
    return n / (time.perf_counter() - t)


def serve(log, *args):
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="2", PYTHONUNBUFFERED="1")
    with open(log, "w") as out:
        p = subprocess.Popen([sys.executable, "-m", "quorvane.trellisk", "serve", *args],
                             stdout=out, stderr=subprocess.STDOUT, env=env)
    while p.poll() is None:
        with open(log) as f:
            if "ready" in f.read():
                return p
        time.sleep(0.2)
    raise RuntimeError("server did not start: {}".format(args))


def main():
    from quorvane.trellisk.datasets import graph

    with tempfile.TemporaryDirectory() as root:
        ds = bs.dataset(root, (480, 640), 64, 10, 80, (320, 320, 3), 300)
        augment = os.environ.get("BENCH_AUGMENT", "1") != "0"
        local = graph.train_pipeline(ds, BATCH, 4, augment=augment, repeat=True)
        results = {"local": rate(local)}
        port = free_port()
        procs = [serve(os.path.join(root, "dispatcher.log"), "dispatcher", "--port", str(port))]
        try:
            for workers in (1, 2):
                procs.append(serve(os.path.join(root, "worker{}.log".format(workers)), "worker",
                                   "--dispatcher", "localhost:{}".format(port)))
                # Local workers: compressing would only spend the shared cores.
                served = graph.train_pipeline(ds, BATCH, 4, augment=augment, repeat=True,
                                              service="grpc://localhost:{}".format(port),
                                              service_compression=None)
                results["{} worker{}".format(workers, "s" if workers > 1 else "")] = rate(served)
        finally:
            for p in reversed(procs):  # workers first: they report to the dispatcher
                p.terminate()
                p.wait(120)
        print("graph segmentation training pipeline, 640x480 JPEG -> 320x320, batch {}, "
              "augment={}:".format(BATCH, augment))
        for name, r in results.items():
            print("  {:10s} {:7.1f} samples/s  ({:.2f}x local)".format(name, r, r / results["local"]))


if __name__ == "__main__":
    main()
