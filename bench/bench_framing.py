"""Record files checked as they stream.

1. Records per second of the checked reader (``ops.checked_records``, every
   frame's length and both checksums verified as it is read) against
   ``tf.data.TFRecordDataset`` on the same files, both as tf.data pipelines
   counted by ``Dataset.reduce`` (no Python per record), with one reader and
   with parallel reads. Variants alternate; medians of the rounds.
2. Time from the TFRecord dataset's constructor to its first training batch,
   each in a fresh process, on 1 GB and 4 GB of records (page cache warm):
   the constructor and the stream read no record up front, so it stays flat as
   the data grows. For scale, the time of the whole-file framing scan that
   ``scan_record_file`` (and ``check``) does over the same files.

Files are written to a temporary folder and deleted afterwards.

Run: PYTHONPATH=python python bench/bench_framing.py [--quick]
(--quick: smaller files and fewer rounds, tables printed, not written)
"""

import io
import os
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _report  # noqa: E402

# Prints the constructor's time and the time from it to the first batch; with
# "tf" the same pipeline reads through tf.data.TFRecordDataset instead.
FIRST_BATCH = """
import sys, time
import tensorflow as tf
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
if sys.argv[2] == "tf":
    TFRecordDataset.build_and_load_base_iterator = lambda self, storage, shuffle=True: (
        tf.data.TFRecordDataset(storage, num_parallel_reads=tf.data.AUTOTUNE)
        .shuffle(200, reshuffle_each_iteration=True))
# "samples" given: without it the first request of an iterator makes the
# counting pass over the whole split, which is what a caller asks for then.
n = int(sys.argv[3])
t = time.perf_counter()
ds = TFRecordDataset({"classes": ["a", "b"], "train": {"path": sys.argv[1], "samples": n},
                      "validation": {"path": sys.argv[1], "samples": n}}, [64, 64, 3])
built = time.perf_counter() - t
images, _ = next(iter(ds.build_train_iterator(batch_size=8)))
print(built, time.perf_counter() - t)
"""


def write_files(root, files, records, payload):
    import tensorflow as tf

    os.makedirs(root, exist_ok=True)
    paths = []
    for k in range(files):
        path = os.path.join(root, "part-{:03d}.tfrecord".format(k))
        with tf.io.TFRecordWriter(path) as w:
            for _ in range(records):
                w.write(payload)
        paths.append(path)
    return paths


def example(pad_bytes, rng):
    """A detection record: a small JPEG, one box, and `pad_bytes` of other data."""
    import tensorflow as tf
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(rng.integers(0, 256, (48, 64, 3), dtype=np.uint8)).save(buf, format="JPEG")
    f = tf.train.Feature
    feature = {
        "image": f(bytes_list=tf.train.BytesList(value=[buf.getvalue()])),
        "image_name": f(bytes_list=tf.train.BytesList(value=[b"x.jpg"])),
        "width": f(int64_list=tf.train.Int64List(value=[64])),
        "height": f(int64_list=tf.train.Int64List(value=[48])),
        "objects": f(int64_list=tf.train.Int64List(value=[1])),
        "bboxes": f(float_list=tf.train.FloatList(value=[0.5, 0.5, 0.2, 0.2])),
        "extra": f(bytes_list=tf.train.BytesList(value=[rng.bytes(pad_bytes)])),
    }
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def count(ds):
    return int(ds.reduce(np.int64(0), lambda n, _: n + 1))


def reading_rates(root, quick):
    import tensorflow as tf

    from quorvane.trellisk import ops

    rng = np.random.default_rng(0)
    rounds = 3 if quick else 5
    rows = []
    # (record size, records per file): 8 files of about 16 MB (4 MB quick).
    for size, per_file in ((2 * 1024, 2000 if quick else 8000), (100 * 1024, 40 if quick else 160)):
        files = write_files(os.path.join(root, "rate{}".format(size)), 8, per_file, rng.bytes(size))
        total = 8 * per_file
        for label, parallel in (("one reader", None), ("parallel reads (AUTOTUNE)", tf.data.AUTOTUNE)):
            variants = {
                "tf.data.TFRecordDataset": lambda: tf.data.TFRecordDataset(files, num_parallel_reads=parallel),
                "checked_records": lambda: ops.checked_records(files, num_parallel_reads=parallel),
            }
            times = {name: [] for name in variants}
            for name, make in variants.items():
                assert count(make()) == total  # warm-up, and the same records
            for _ in range(rounds):
                for name, make in variants.items():
                    ds = make()
                    t = time.perf_counter()
                    count(ds)
                    times[name].append(time.perf_counter() - t)
                    del ds
            rate = {name: total / statistics.median(ts) for name, ts in times.items()}
            rows.append((size, label, rate["tf.data.TFRecordDataset"], rate["checked_records"]))
    return rows, rounds


def first_batch(root, quick):
    from quorvane.trellisk.datasets.tfrecord import scan_record_file

    rng = np.random.default_rng(1)
    record = example(1 << 20, rng)  # about 1 MB each
    sizes = (64, 256) if quick else (1024, 4096)  # MB
    runs = 2 if quick else 3
    folders = {}
    for mb in sizes:
        folders[mb] = os.path.join(root, "first{}".format(mb))
        write_files(folders[mb], 16, mb // 16, record)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")
    times = {(mb, reader): [] for mb in sizes for reader in ("checked", "tf")}
    for _ in range(runs):
        for mb, reader in times:  # alternated
            out = subprocess.run([sys.executable, "-c", FIRST_BATCH, folders[mb], reader, str(mb)], env=env,
                                 capture_output=True, text=True, check=True)
            times[mb, reader].append([float(v) for v in out.stdout.strip().splitlines()[-1].split()])
    scans = {}
    for mb in sizes:
        files = sorted(os.path.join(folders[mb], f) for f in os.listdir(folders[mb]))
        t = time.perf_counter()
        for path in files:
            assert scan_record_file(path)[1] is None
        scans[mb] = time.perf_counter() - t
    def median(mb, reader, k):
        return statistics.median(t[k] for t in times[mb, reader])

    return [(mb, median(mb, "checked", 0), median(mb, "checked", 1), median(mb, "tf", 1), scans[mb])
            for mb in sizes], runs


def main():
    args = _report.parser(__doc__).parse_args()
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "3")
    stamp = _report.stamp(__file__, "Page cache warm." + (" --quick." if args.quick else ""))
    with tempfile.TemporaryDirectory() as root:
        rates, rounds = reading_rates(root, args.quick)
        firsts, runs = first_batch(root, args.quick)
    lines = [stamp, "",
             "Records per second over 8 files, whole passes counted by `Dataset.reduce`, "
             "median of {} alternated rounds:".format(rounds), "",
             "| records | reads | tf.data.TFRecordDataset | checked_records | ratio |",
             "|---|---|---|---|---|"]
    for size, label, tf_rate, ours in rates:
        lines.append("| {} KB | {} | {:,.0f}/s | {:,.0f}/s | {:.2f} |".format(
            size // 1024, label, tf_rate, ours, ours / tf_rate))
    lines += ["", "`TFRecordDataset` in a fresh process, records of about 1 MB, the sample counts "
              "given in the description (so no counting pass): its constructor, "
              "and from the constructor to the first training batch (batch 8), median of {} "
              "alternated runs; the same pipeline reading through `tf.data.TFRecordDataset` "
              "instead; for scale, one whole-file framing scan of the same files "
              "(`scan_record_file`, what the constructor used to do):".format(runs), "",
              "| records | constructor | to first batch | same over tf.data.TFRecordDataset "
              "| whole-file scan |", "|---|---|---|---|---|"]
    for mb, built, first, tf_first, scan in firsts:
        size = "{} GB".format(mb // 1024) if mb >= 1024 else "{} MB".format(mb)
        lines.append("| {} in 16 files | {:.3f} s | {:.2f} s | {:.2f} s | {:.2f} s |".format(
            size, built, first, tf_first, scan))
    _report.finish(__file__, "\n".join(lines), args.quick)


if __name__ == "__main__":
    main()
