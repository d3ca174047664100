"""Packing a JPEG folder into TFRecord shards: `pack` against a plain
single-process tf.io.TFRecordWriter script doing the same work, and reading
the packed dataset against reading the source layout.

The script does what pack does for each sample: read the annotation file,
decode the picture to find a broken file (the script decodes in full, as a
plain script would; pack's check reads every JPEG's whole entropy-coded
stream at an eighth of the size, which fails on the same files), box each
object by the extent of its parts, keep each object's class and parts
(coordinates held to the picture), and write a tf.train.Example with the
same features, outlines included. The two alternate over the rounds; each
figure is the median.

Reading: a folder of 640x480 photographs with three outlines each, packed,
read by the graph training pipeline as segmentation samples
(SegmentationDatasetTFRecord) against the same folder read as it is
(SegmentationDatasetYaml), with the native augmentation and without, and
the packed records read as detection samples; every variant once a round,
alternating, medians.

TensorFlow, NumPy and the package are imported inside main() only:
pack's worker processes import this script afresh, as they would any
caller's, and pack asks its callers to keep heavy imports out of the top
level. Writes its tables into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_pack.py [--quick]
"""

import glob
import json
import os
import shutil
import statistics
import sys
import tempfile
import time

from _report import finish, parser, stamp


def script_pack(yaml_path, out):
    """The straightforward way: one process, TensorFlow's writer, one file per split."""
    import tensorflow as tf
    import yaml
    from PIL import Image
    from quorvane.trellisk.datasets import formats

    lists = {"bytes": tf.train.BytesList, "int64": tf.train.Int64List, "float": tf.train.FloatList}

    def feature(kind, values):
        return tf.train.Feature(**{kind + "_list": lists[kind](value=values)})

    with open(yaml_path) as f:
        doc = yaml.safe_load(f)
    for split in ("train", "validation"):
        images, annotations = doc[split]["images"], doc[split]["annotations"]
        os.makedirs(os.path.join(out, split), exist_ok=True)
        with tf.io.TFRecordWriter(os.path.join(out, split, "data.tfrecord")) as writer:
            for path in sorted(glob.glob(os.path.join(annotations, "*.json"))):
                with open(path) as f:
                    ann = json.load(f)
                image_path = os.path.join(images, os.path.basename(ann["image"]))
                with Image.open(image_path) as im:
                    width, height = im.convert("RGB").size
                objects, boxes, parts, vertices, xy = [], [], [], [], []
                for obj in ann.get("segment", []):
                    xs = [p[0] for part in obj for p in part["polygon"]]
                    ys = [p[1] for part in obj for p in part["polygon"]]
                    objects.append(obj[0]["class"])
                    boxes += [(min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2,
                              max(xs) - min(xs), max(ys) - min(ys)]
                    parts.append(len(obj))
                    for part in obj:
                        vertices.append(len(part["polygon"]))
                        xy += [min(max(v, 0.0), 1.0) for p in part["polygon"] for v in p[:2]]
                with open(image_path, "rb") as f:
                    jpeg = f.read()
                features = {
                    "image": feature("bytes", [jpeg]),
                    "image_name": feature("bytes", [os.path.basename(image_path).encode()]),
                    "width": feature("int64", [width]), "height": feature("int64", [height]),
                    "objects": feature("int64", objects), "bboxes": feature("float", boxes),
                    formats.OUTLINE_CLASSES: feature("int64", objects),
                    formats.OUTLINE_PARTS: feature("int64", parts),
                    formats.OUTLINE_VERTICES: feature("int64", vertices),
                    formats.OUTLINE_XY: feature("float", xy),
                }
                writer.write(tf.train.Example(features=tf.train.Features(feature=features)).SerializeToString())


# Typical detection pictures first, then the demo's small ones, where the
# fixed cost of starting the worker processes weighs most.
SIDES = (640, 160)
# The reading comparison: files, output shape and batch of both sides. The
# folder is several times the packed stream's shuffle buffer (200 records),
# as a real split is: each pass starts by filling that buffer, which a
# split smaller than it would pay every few batches.
READ_FILES = 800
READ_SHAPE = (320, 320, 3)
READ_BATCH = 8
READ_ROUNDS = 7


def _cpu_seconds():
    # This process and its waited-for children (pack's worker processes,
    # once its pool has shut down).
    t = os.times()
    return t.user + t.system + t.children_user + t.children_system


def timed(fn):
    """(wall seconds, CPU seconds of every process) of ``fn()``."""
    t0, c0 = time.perf_counter(), _cpu_seconds()
    fn()
    return time.perf_counter() - t0, _cpu_seconds() - c0


def main(argv=None):
    args = parser(__doc__).parse_args(argv)
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    import tensorflow  # noqa: F401 -- the script's import is not part of its time
    from quorvane.trellisk import sampledata
    from quorvane.trellisk import packing as packmod
    per_photo, rounds = (12, 1) if args.quick else (400, 3)
    # Taken now: it says the load at the start.
    header = stamp(__file__, "Median of {} alternating rounds; JPEG samples from the sample "
                             "dataset's segmentation YAML, written at two picture sizes.".format(rounds))
    root = tempfile.mkdtemp(prefix="bench-pack-")
    workers = os.cpu_count() or 1
    packing = {}
    try:
        for side in SIDES:
            data = sampledata.write_dataset(os.path.join(root, "src-{}".format(side)),
                                            per_photo=per_photo,
                                            val_per_photo=max(1, per_photo // 5), max_side=side)
            samples = sum(data["counts"].values())
            times = {"pack": [], "script": []}
            for r in range(rounds):
                for name in ("script", "pack") if r % 2 else ("pack", "script"):
                    out = os.path.join(root, "out-{}-{}-{}".format(side, name, r))
                    # Neither run pays for the other's writes still on their way to the disk.
                    os.sync()
                    if name == "pack":
                        times[name].append(timed(lambda: packmod.pack(
                            data["segmentation_yaml"], out, workers=workers, log=open(os.devnull, "w"))))
                    else:
                        times[name].append(timed(lambda: script_pack(data["segmentation_yaml"], out)))
            packing[side] = (samples,) + tuple(statistics.median(t[k] for t in times[name])
                                               for name in ("pack", "script") for k in (0, 1))

        from _pipelines import medians, rate, write_segmentation_folders
        from quorvane.trellisk.datasets import graph
        from quorvane.trellisk.datasets.segmentation import (SegmentationDatasetTFRecord,
                                                              SegmentationDatasetYaml)
        from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

        read_files = 40 if args.quick else READ_FILES
        source = write_segmentation_folders(os.path.join(root, "src-640x480"), read_files)
        packmod.pack(source, os.path.join(root, "read-packed"), workers=workers, log=open(os.devnull, "w"))
        packed = os.path.join(root, "read-packed", packmod.DESCRIPTION_FILE)
        batches = 6 if args.quick else 150

        def reading(make, augment):
            def measure():
                ds = make()
                # The dataset outlives its pipeline's in-flight calls.
                r = rate(graph.train_pipeline(ds, batch_size=READ_BATCH, augment=augment, repeat=True), batches)
                del ds
                return r
            return measure

        variants = {}
        for augment in (True, False):
            variants["packed", augment] = reading(
                lambda: SegmentationDatasetTFRecord(packed, shape=list(READ_SHAPE), tasks=["segment"]), augment)
            variants["source", augment] = reading(
                lambda: SegmentationDatasetYaml(source, shape=list(READ_SHAPE), tasks=["segment"]), augment)
        variants["detection", False] = reading(lambda: TFRecordDatasetYaml(packed, shape=list(READ_SHAPE)), False)
        read = medians(variants, 2 if args.quick else READ_ROUNDS)
    finally:
        shutil.rmtree(root, ignore_errors=True)

    rows = []
    for side, (samples, t_pack, c_pack, t_script, c_script) in packing.items():
        rows.append("| {} samples, up to {} px a side | {:.2f} s ({:.0f}/s) | {:.2f} s ({:.0f}/s) | {:.2f}x "
                    "| {:.2f} s | {:.2f} s |".format(
                        samples, side, t_pack, samples / t_pack, t_script, samples / t_script, t_script / t_pack,
                        c_pack, c_script))
    md = "\n".join([
        header, "",
        "Packing (check, box, outlines, write), seconds and samples/s:", "",
        "| JPEG folder | pack ({} worker processes) | single-process TFRecordWriter script | pack / script "
        "| CPU, pack (all processes) | CPU, script |".format(workers),
        "|---|---|---|---|---|---|",
    ] + rows + [
        "",
        "Reading {} pictures of 640x480 with three outlines each, brought to {}x{}, with the graph "
        "training pipeline (batch {}, {} batches after two), samples/s, median of {} alternating rounds:".format(
            read_files, READ_SHAPE[1], READ_SHAPE[0], READ_BATCH, batches, 2 if args.quick else READ_ROUNDS),
        "",
        "| segmentation samples | packed (`SegmentationDatasetTFRecord`) | source folders "
        "(`SegmentationDatasetYaml`) | packed / source |",
        "|---|---|---|---|",
    ] + ["| {} | {:.0f} | {:.0f} | {:.2f}x |".format(
        "native augmentation" if augment else "no augmentation", read["packed", augment],
        read["source", augment], read["packed", augment] / read["source", augment]) for augment in (True, False)]
      + ["", "The same packed records read as detection samples (`TFRecordDatasetYaml`, no augmentation): "
         "{:.0f} samples/s.".format(read["detection", False])])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
