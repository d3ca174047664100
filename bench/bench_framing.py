"""Record-framing check of TFRecord files: what the native scan costs against
one plain pass of TensorFlow's reader over the same file (page cache warm),
and the re-check of an unchanged file.

Run: PYTHONPATH=python .venv/bin/python bench/bench_framing.py
"""

import os
import tempfile
import time

import numpy as np
import tensorflow as tf

from quorvane.trellisk.datasets.tfrecord import scan_record_file


def best(fn, reps=5):
    out = []
    for _ in range(reps):
        t = time.perf_counter()
        fn()
        out.append(time.perf_counter() - t)
    return min(out)


def main():
    rng = np.random.default_rng(0)
    with tempfile.TemporaryDirectory() as root:
        for record_kb, n in ((100, 640), (2, 32000)):
            path = os.path.join(root, "r%d.tfrecord" % record_kb)
            payload = rng.integers(0, 256, record_kb * 1024, dtype=np.uint8).tobytes()
            with tf.io.TFRecordWriter(path) as w:
                for _ in range(n):
                    w.write(payload)
            size_mb = os.path.getsize(path) / 2**20
            stamp = [0]

            def fresh_scan():
                # A new modification time, so the scan is not skipped as seen.
                stamp[0] += 1
                os.utime(path, ns=(stamp[0] * 10**9, stamp[0] * 10**9))
                assert scan_record_file(path) == (n, None, None)

            def tf_pass():
                for _ in tf.data.TFRecordDataset(path):
                    pass

            tf_pass()
            scan, read = best(fresh_scan), best(tf_pass)
            scan_record_file(path)
            again = best(lambda: scan_record_file(path))
            print("{:.0f} MB in {} records of {} KB: scan {:.1f} ms ({:.0f} MB/s), "
                  "TensorFlow reader pass {:.1f} ms, ratio {:.2f}; unchanged file {:.3f} ms".format(
                      size_mb, n, record_kb, scan * 1e3, size_mb / scan, read * 1e3, scan / read,
                      again * 1e3))


if __name__ == "__main__":
    main()
