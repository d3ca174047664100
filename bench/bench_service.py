"""tf.data service: samples/s of the graph segmentation training pipeline read
locally, through a service with one local worker, and with two local workers
(each a `python -m quorvane.trellisk serve worker` process), in one run on the
same files; through the service both with TensorFlow's default compression
("AUTO") and uncompressed (service_compression=None). With each worker count
the variants (local included) alternate over the rounds; each figure is the
median.

On one machine the workers share its cores with the trainer, so this shows
the cost of the service path and that a second worker adds something, not
what more machines give. Writes its table into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_service.py [--quick]
"""

import gc
import os
import statistics
import socket
import subprocess
import sys
import tempfile
import time

import bench_segmentation as bs
from _report import finish, parser, stamp

SECONDS = 8.0
BATCH = 8
ROUNDS = 3


def free_port():
    with socket.socket() as s:
        s.bind(("localhost", 0))
        return s.getsockname()[1]


def rate(ds, seconds):
    it = iter(ds)
    next(it)  # start-up (tracing, job creation) is not part of the rate
    n, t = 0, time.perf_counter()
    while time.perf_counter() - t < seconds:
        n += int(next(it)[0].shape[0])
    elapsed = time.perf_counter() - t
    # A live iterator keeps its pipeline (and the service job) producing.
    del it
    gc.collect()
    return n / elapsed


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


def main(argv=None):
    args = parser(__doc__).parse_args(argv)
    seconds, rounds = (2.0, 1) if args.quick else (SECONDS, ROUNDS)
    from quorvane.trellisk.datasets import graph

    with tempfile.TemporaryDirectory() as root:
        ds = bs.dataset(root, (480, 640), 64, 10, 80, (320, 320, 3), 300)
        augment = os.environ.get("BENCH_AUGMENT", "1") != "0"
        header = stamp(__file__, "64 files of 640x480 JPEG -> 320x320, batch {}, augment={}; {} s per "
                                 "figure, median of {} alternating rounds per worker count.".format(
                                     BATCH, augment, seconds, rounds))

        def local():
            return rate(graph.train_pipeline(ds, BATCH, 4, augment=augment, repeat=True), seconds)

        def served(compression):
            return lambda: rate(graph.train_pipeline(ds, BATCH, 4, augment=augment, repeat=True,
                                                     service="grpc://localhost:{}".format(port),
                                                     service_compression=compression), seconds)

        runs = {}
        port = free_port()
        procs = [serve(os.path.join(root, "dispatcher.log"), "dispatcher", "--port", str(port))]
        try:
            for workers in (1, 2):
                procs.append(serve(os.path.join(root, "worker{}.log".format(workers)), "worker",
                                   "--dispatcher", "localhost:{}".format(port)))
                variants = {("local", workers): local, ("AUTO", workers): served("AUTO"),
                            (None, workers): served(None)}
                for _ in range(rounds):
                    for key, measure in variants.items():
                        runs.setdefault(key, []).append(measure())
        finally:
            for p in reversed(procs):  # workers first: they report to the dispatcher
                p.terminate()
                p.wait(120)
    r = {key: statistics.median(v) for key, v in runs.items()}
    rows = ["| elements sent | local (beside 1 worker) | 1 worker | local (beside 2 workers) | 2 workers |",
            "|---|---|---|---|---|"]
    for compression, label in (("AUTO", "compressed (TensorFlow's default, \"AUTO\")"),
                               (None, "uncompressed (`service_compression=None`)")):
        cells = []
        for workers in (1, 2):
            loc, got = r[("local", workers)], r[(compression, workers)]
            cells += ["{:.1f}".format(loc), "{:.1f} ({:.2f}x local)".format(got, got / loc)]
        rows.append("| {} | {} |".format(label, " | ".join(cells)))
    md = "\n".join([header, "", *rows, "",
                    "The local figures are the same pipeline read in this process, measured in the same "
                    "rounds as the served ones (the idle workers are running beside it)."])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
