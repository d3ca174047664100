"""Detection training pipelines with augmentation, side by side in one run:
the TFRecord graph pipeline augmented by the native engine (mosaic 1.0,
affine 1.0, hsv 1.0, hflip 0.5), the same pipeline without augmentation, the
default pipeline with the same recipe, and a pipeline of Keras 3's own
box-aware preprocessing layers (flip, translation, zoom, rotation, colour
jitter; Keras has no mosaic) in a tf.data map over the same decoded samples.

640x480 JPEGs brought to 640x640 (letterbox), batch 8. Every variant is
measured once per round, the rounds alternate, each figure is the median over
the rounds. Writes its table into bench/RESULTS.md. Run:
    PYTHONPATH=python .venv/bin/python bench/bench_detection_pipeline.py [--quick]
"""

import sys
import tempfile

import tensorflow as tf

from _pipelines import SOURCE, medians, rate, write_detection_records
from _report import finish, parser, stamp
from quorvane.trellisk.datasets import graph
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset

SHAPE = [640, 640, 3]
FILES = 96
BATCH = 8
ROUNDS = 3
RECIPE = {"mosaic": 1.0, "affine": 1.0, "hsv": 1.0, "hflip": 0.5}


def write_records(root):
    return write_detection_records(root, FILES, centres=(0.2, 0.8), sizes=(0.05, 0.35))


def keras_box_layers():
    """Keras 3's box-aware preprocessing layers for a recipe like ours, or
    None when this Keras has none (Keras 2)."""
    import keras

    if int(keras.__version__.split(".")[0]) < 3:
        return None
    L = keras.layers
    fmt = "xyxy"
    return [
        L.RandomFlip("horizontal", bounding_box_format=fmt),
        L.RandomTranslation(0.1, 0.1, bounding_box_format=fmt),
        L.RandomZoom(0.5, bounding_box_format=fmt),
        L.RandomRotation(0.02, bounding_box_format=fmt),
        L.RandomColorJitter(value_range=(0, 255), brightness_factor=0.4, saturation_factor=(0.3, 0.7),
                            hue_factor=0.015, bounding_box_format=fmt),
    ]


def keras_pipeline(ds, layers):
    """The package's graph decoding (same samples as the other variants), then
    the Keras layers on each sample in a parallel map, then padded batches."""
    h, w, c = SHAPE

    def augment(record):
        image, boxes = graph.tfrecord_sample(ds, record, True)
        data = {"images": tf.cast(image, tf.float32),
                "bounding_boxes": {"boxes": boxes[:, :4], "labels": tf.cast(boxes[:, 4], tf.int32)}}
        for layer in layers:
            data = layer(data)
        image = tf.cast(tf.clip_by_value(tf.round(data["images"]), 0, 255), tf.uint8)
        out = data["bounding_boxes"]
        boxes = tf.concat([out["boxes"], tf.cast(out["labels"], tf.float32)[:, None]], 1)
        return tf.ensure_shape(image, (h, w, c)), (boxes,)

    records = tf.data.TFRecordDataset(ds.train_storage, num_parallel_reads=tf.data.AUTOTUNE).shuffle(200)
    samples = records.map(augment, num_parallel_calls=tf.data.AUTOTUNE, deterministic=False)
    return samples.padded_batch(BATCH, padded_shapes=((h, w, c), ((None, 5),))).prefetch(10)


AUGMENTED = "TFRecord graph, native augmentation"
PLAIN = "TFRecord graph, no augmentation"
DEFAULT = "TFRecord default (`build_train_iterator`), native augmentation"
KERAS = "Keras 3 box-aware layers in a tf.data map"


def main(argv=None):
    global FILES
    options = parser(__doc__)
    options.add_argument("--rounds", type=int, default=None, help="alternating rounds (default 3, --quick 1)")
    args = options.parse_args(argv)
    rounds = args.rounds or (1 if args.quick else ROUNDS)
    batches = 3 if args.quick else 24
    if args.quick:
        FILES = 32

    root = tempfile.mkdtemp(prefix="trellisk-bench-detection-")
    description = write_records(root)
    det = TFRecordDataset(description, shape=list(SHAPE), aug_cfg=dict(RECIPE))
    layers = keras_box_layers()

    def pipeline(make, n=batches):
        return lambda: rate(make(), n)

    variants = {
        AUGMENTED: pipeline(lambda: graph.train_pipeline(det, BATCH)),
        PLAIN: pipeline(lambda: graph.train_pipeline(det, BATCH, augment=False)),
        DEFAULT: pipeline(lambda: det.build_train_iterator(batch_size=BATCH)),
    }
    if layers is not None:
        # About 10 samples/s: a few batches are enough for a stable figure.
        variants[KERAS] = pipeline(lambda: keras_pipeline(det, layers), max(2, batches // 6))
    header = stamp(__file__, "{} records of {}x{} JPEG -> {}x{} letterboxed, batch {}, recipe {}; "
                             "median of {} alternating rounds.".format(
                                 FILES, SOURCE[1], SOURCE[0], SHAPE[1], SHAPE[0], BATCH,
                                 ", ".join("{} {}".format(k, v) for k, v in RECIPE.items()), rounds))
    r = medians(variants, rounds)
    a, p = r[AUGMENTED], r[PLAIN]
    ratio = {AUGMENTED: "{:.2f} of no augmentation".format(a / p),
             DEFAULT: "{:.2f} of the augmented graph pipeline".format(r[DEFAULT] / a)}
    if layers is not None:
        ratio[AUGMENTED] += ", {:.1f}x the Keras layers".format(a / r[KERAS])
    rows = ["| pipeline | samples/s | ratio |", "|---|---|---|"]
    rows += ["| {} | {:.1f} | {} |".format(name, r[name], ratio.get(name, "")) for name in variants]
    if layers is None:
        rows.append("| {} | n/a | Keras 2 has no box-aware preprocessing layers |".format(KERAS))
    md = "\n".join([
        header,
        "",
        *rows,
        "",
        "The Keras layers: `RandomFlip(\"horizontal\")`, `RandomTranslation(0.1, 0.1)`, `RandomZoom(0.5)`, "
        "`RandomRotation(0.02)`, `RandomColorJitter` (brightness 0.4, saturation 0.3-0.7, hue 0.015), all "
        "with `bounding_box_format=\"xyxy\"`, applied to each decoded sample in a parallel `tf.data` map "
        "(no mosaic: Keras has none).",
    ])
    finish(__file__, md, args.quick)


if __name__ == "__main__":
    sys.exit(main())
