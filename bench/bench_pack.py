"""Packing a JPEG folder into TFRecord shards: `pack` against a plain
single-process tf.io.TFRecordWriter script doing the same work, and reading
the packed dataset against reading the source layout.

The script does what pack does for each sample: read the annotation file,
decode the picture to find a broken file (the script decodes in full, as a
plain script would; pack's check reads every JPEG's whole entropy-coded
stream at an eighth of the size, which fails on the same files), box each
object by the extent of its parts, and write a tf.train.Example with the
same features. The two alternate over the rounds; each figure is the
median. TensorFlow, NumPy and the package are imported inside main() only:
pack's worker processes import this script afresh, as they would any
caller's, and pack asks its callers to keep heavy imports out of the top
level. Writes its table
into bench/RESULTS.md. Run:
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
    from quorvane.trellisk import sampledata

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
                objects, boxes = [], []
                for obj in ann.get("segment", []):
                    xs = [p[0] for part in obj for p in part["polygon"]]
                    ys = [p[1] for part in obj for p in part["polygon"]]
                    objects.append(obj[0]["class"])
                    boxes += [(min(xs) + max(xs)) / 2, (min(ys) + max(ys)) / 2,
                              max(xs) - min(xs), max(ys) - min(ys)]
                with open(image_path, "rb") as f:
                    jpeg = f.read()
                writer.write(sampledata.example_of(os.path.basename(image_path), jpeg, width, height,
                                                   objects, boxes))


# Typical detection pictures first, then the demo's small ones, where the
# fixed cost of starting the worker processes weighs most.
SIDES = (640, 160)


def timed(fn):
    t0 = time.perf_counter()
    fn()
    return time.perf_counter() - t0


def read_rate(dataset, batches, batch_size=16):
    """Samples per second of the graph training pipeline, no augmentation,
    after a first batch that builds the pipeline."""
    from quorvane.trellisk.datasets import graph

    ds = graph.train_pipeline(dataset, batch_size=batch_size, augment=False, repeat=True)
    it = iter(ds)
    next(it)
    n = 0
    t0 = time.perf_counter()
    for _ in range(batches):
        images, _ = next(it)
        n += int(images.shape[0])
    rate = n / (time.perf_counter() - t0)
    del it, ds
    return rate


def main(argv=None):
    args = parser(__doc__).parse_args(argv)
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    import tensorflow  # noqa: F401 -- the script's import is not part of its time
    from quorvane.trellisk import sampledata
    from quorvane.trellisk import packing as packmod
    per_photo, rounds = (12, 1) if args.quick else (400, 3)
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
            packing[side] = (samples, statistics.median(times["pack"]),
                             statistics.median(times["script"]))

        from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml
        from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

        batches = 10 if args.quick else 150
        reading = {}
        for side in SIDES:
            packed = os.path.join(root, "out-{}-pack-0".format(side), "tfrecord.yaml")
            source = os.path.join(root, "src-{}".format(side), "segmentation.yaml")
            shape = [side, side, 3]
            rates = {}
            for r in range(rounds):
                for name in ("source", "packed") if r % 2 else ("packed", "source"):
                    ds = (TFRecordDatasetYaml(packed, shape=shape) if name == "packed" else
                          SegmentationDatasetYaml(source, shape=shape, tasks=["segment"]))
                    rates.setdefault(name, []).append(read_rate(ds, batches))
                    del ds
            reading[side] = tuple(statistics.median(rates[k]) for k in ("packed", "source"))
    finally:
        shutil.rmtree(root, ignore_errors=True)

    header = stamp(__file__, "Median of {} alternating rounds; JPEG samples from the sample "
                             "dataset's segmentation YAML, written at two picture sizes.".format(rounds))
    rows = []
    for side, (samples, t_pack, t_script) in packing.items():
        rows.append("| {} samples, up to {} px a side | {:.2f} s ({:.0f}/s) | {:.2f} s ({:.0f}/s) | {:.2f}x |".format(
            samples, side, t_pack, samples / t_pack, t_script, samples / t_script, t_script / t_pack))
    md = "\n".join([
        header, "",
        "Packing (check, box, write), seconds and samples/s:", "",
        "| JPEG folder | pack ({} worker processes) | single-process TFRecordWriter script | pack / script |".format(workers),
        "|---|---|---|---|",
    ] + rows + [
        "",
        "Reading with the graph training pipeline (no augmentation, batch 16, pictures brought to the folder's size, {} batches after the first), samples/s:".format(batches),
        "",
        "| JPEG folder | packed TFRecord dataset | source layout (segmentation YAML) | packed / source |",
        "|---|---|---|---|",
    ] + ["| up to {} px a side | {:.0f} | {:.0f} | {:.2f}x |".format(side, p, q, p / q)
         for side, (p, q) in reading.items()])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
