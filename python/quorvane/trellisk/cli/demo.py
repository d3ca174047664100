"""``demo``: the whole package at work on a sample dataset, in a few minutes.

1. Write a small dataset made from scikit-image's sample photographs in the
   four layouts (JSON folders, segmentation YAML, COCO, TFRecord), and pack
   the segmentation YAML into record shards that keep the outlines.
2. Build each layout's dataset object and training pipeline and print its
   samples per second; the packed records are read twice, as segmentation
   samples and as detection samples whose boxes stay tight.
3. Train a tiny Keras segmentation model on the training batches, and a
   tiny attitude regressor with AttitudeLoss, for a few dozen steps each,
   showing the loss as it goes down.
4. Write PNG previews of the training batches into the output folder.

With ``native=True`` (``--native-augment``) the segmentation datasets augment
with the native engine, and the YAML pipeline is measured with the library's
pipeline too, so that both rates are printed side by side.

A stage that fails is reported and the demo goes on with the others; the
exit code is then 1.
"""

import os
import time
import traceback

import numpy as np

from .. import sampledata
from . import preview, progress, sources, throughput

SHAPE = [128, 128, 3]
BATCH = 8


def _say(msg=""):
    progress.write(msg)


class _Stages:
    """Runs demo stages, keeping going after a failure."""

    def __init__(self):
        self.failed = []

    def run(self, name, fn, *args, **kwargs):
        try:
            return fn(*args, **kwargs)
        except Exception as e:
            self.failed.append(name)
            _say("  FAILED: {}: {}: {}".format(name, type(e).__name__, sources.tf_error_text(e)[:500]))
            if os.environ.get("TRELLISK_DEMO_TRACEBACK"):
                traceback.print_exc()
            return None


def tiny_segmenter(num_classes, shape=SHAPE):
    import tensorflow as tf

    L = tf.keras.layers
    inp = L.Input(tuple(shape))
    x = L.Rescaling(1.0 / 255)(inp)
    x = L.Conv2D(16, 3, strides=2, padding="same", activation="relu")(x)
    x = L.Conv2D(32, 3, strides=2, padding="same", activation="relu")(x)
    x = L.Conv2D(32, 3, padding="same", activation="relu")(x)
    x = L.UpSampling2D(4, interpolation="bilinear")(x)
    return tf.keras.Model(inp, L.Conv2D(num_classes, 1)(x), name="tiny_segmenter")


def _loss_bar(steps, desc):
    return progress.bar(range(steps), desc=desc, unit="step", leave=True)


def _trend(losses):
    k = max(1, min(5, len(losses) // 4))
    first, last = float(np.mean(losses[:k])), float(np.mean(losses[-k:]))
    word = "down" if last < first else "not down"
    return "loss {:.3f} (first {} steps) -> {:.3f} (last {} steps): {}".format(first, k, last, k, word)


def train_segmentation(ds, steps):
    """A few dozen Adam steps of a tiny fully convolutional net on the training batches."""
    import tensorflow as tf

    num_classes = int(ds.get_num_segmentation_classes())
    model = tiny_segmenter(num_classes)
    opt = tf.keras.optimizers.Adam(3e-3)
    ce = tf.keras.losses.SparseCategoricalCrossentropy(from_logits=True)

    @tf.function
    def step(images, masks):
        with tf.GradientTape() as tape:
            loss = ce(masks, model(images, training=True))
        grads = tape.gradient(loss, model.trainable_variables)
        opt.apply_gradients(zip(grads, model.trainable_variables))
        return loss

    batches = iter(ds.build_train_iterator(batch_size=BATCH, prefetch=4).repeat())
    losses = []
    bar = _loss_bar(steps, "segmentation")
    for _ in bar:
        images, masks = next(batches)
        losses.append(float(step(images, masks)))
        bar.set_postfix(loss="{:.3f}".format(losses[-1]))
    bar.close()
    _say("  " + _trend(losses))
    return losses


# -- attitude ---------------------------------------------------------------

HORIZON = 32


def horizon_batch(rng, n, size=HORIZON):
    """Camera views of a horizon: pitch moves it up or down, roll tilts it, yaw
    moves the sun sideways. Angles are in units of 30 degrees, -1..1, in the
    loss's order (pitch, yaw, roll)."""
    yy, xx = np.mgrid[0:size, 0:size].astype(np.float32)
    u = (xx - (size - 1) / 2) / (size / 2)
    v = (yy - (size - 1) / 2) / (size / 2)
    angles = rng.uniform(-1, 1, (n, 3)).astype(np.float32)
    views = np.empty((n, size, size, 1), np.float32)
    for i, (pitch, yaw, roll) in enumerate(angles):
        t = roll * np.pi / 6
        ground = v * np.cos(t) - u * np.sin(t) - 0.6 * pitch > 0
        view = np.where(ground, 0.25, 0.85)
        view = view + 0.6 * np.exp(-((u - 0.8 * yaw) ** 2 + (v + 0.6) ** 2) / 0.02)
        views[i, ..., 0] = view + rng.normal(0, 0.03, (size, size))
    return views, angles


def train_attitude(steps, seed=0):
    """A tiny regressor of (pitch, yaw, roll) trained with AttitudeLoss."""
    import tensorflow as tf

    from quorvane.trellisk.losses.attitude import AttitudeLoss

    L = tf.keras.layers
    # Centred input: the views average about 0.55, and an offset that large
    # makes the first Adam steps overshoot.
    model = tf.keras.Sequential([L.Input((HORIZON, HORIZON, 1)), L.Rescaling(1.0, offset=-0.55),
                                 L.Flatten(), L.Dense(64, activation="relu"), L.Dense(3)],
                                name="tiny_attitude")
    opt = tf.keras.optimizers.Adam(2e-3)
    loss_fn = AttitudeLoss(w_yaw=1.0, w_pitch=1.0, w_roll=1.0)

    @tf.function
    def step(views, angles):
        with tf.GradientTape() as tape:
            losses = loss_fn.compute_loss(angles, model(views, training=True))
        grads = tape.gradient(losses["total-loss"], model.trainable_variables)
        opt.apply_gradients(zip(grads, model.trainable_variables))
        return losses

    rng = np.random.default_rng(seed)
    totals = []
    bar = _loss_bar(steps, "attitude")
    for _ in bar:
        losses = step(*horizon_batch(rng, 32))
        totals.append(float(losses["total-loss"]))
        bar.set_postfix({k.replace("-loss", ""): "{:.3f}".format(float(v)) for k, v in losses.items()})
    bar.close()
    _say("  total " + _trend(totals))
    return totals


# -- the demo ---------------------------------------------------------------

def _open(stages, name, src):
    ds = stages.run(name + ": dataset", sources.open_dataset, src, SHAPE)
    if ds is not None:
        n = ds.describe().num_train_samples
        _say("  {:<13} {} ({} training samples)".format(name, type(ds).__name__, n))
        if src.detection:
            _say("  {:<13} aug_cfg={}: training samples{}".format(
                "", sources.DETECTION_AUG_CFG, throughput.augmentation_text(ds, src)))
    return ds


def pack_segmentation(yaml_path, out):
    """Pack the segmentation YAML into ``out`` with the packing library,
    quietly: the sample dataset has no problem to report, and one line says
    what was written. Returns the path of the packed description."""
    import io

    from .. import packing

    summary = packing.pack(yaml_path, out, overwrite=True, log=io.StringIO())
    splits = ", ".join("{} {}".format(split, progress.count(r.samples, "record"))
                       for split, r in summary.splits.items())
    shards = sum(r.shards for r in summary.splits.values())
    _say("    packed        {} ({}, in {}, outlines kept)".format(
        summary.description, splits, progress.count(shards, "shard")))
    return summary.description


def run(out="trellisk-demo", steps=40, quick=False, native=False):
    start = time.perf_counter()
    stages = _Stages()
    out = os.path.abspath(out)
    per_photo, val_per_photo = (3, 1) if quick else (8, 2)
    # The attitude regressor costs next to nothing; the segmentation steps
    # are what --quick trims.
    seg_steps = min(steps, 10) if quick else steps
    # The same measurement as `throughput` (cli/throughput.py); --quick
    # keeps its shape with a small buffer and few batches.
    tp_prefetch, tp_batches = (2, 3) if quick else (throughput.PREFETCH, throughput.BATCHES)
    n_preview = 8 if quick else 16

    _say("Writing a sample dataset to {}".format(out))
    _say("  from the photographs in {}".format(sampledata.photo_dir()))
    tf = sources.import_tensorflow()
    # Same weights and data order on every run (augmentation stays random:
    # it runs on several threads at once).
    tf.keras.utils.set_random_seed(0)
    paths = sampledata.write_dataset(out, per_photo=per_photo, val_per_photo=val_per_photo)
    _say("  {} training and {} validation samples of {} classes ({}), in four layouts, "
         "and the YAML packed:".format(
        paths["counts"]["train"], paths["counts"]["val"], len(paths["classes"]), ", ".join(paths["classes"])))
    _say("    JSON folders  {}/{{train,val}} + {}/{{train,val}}".format(
        os.path.dirname(paths["images"]["train"]), os.path.dirname(paths["json"]["train"])))
    _say("    YAML          {}".format(paths["segmentation_yaml"]))
    _say("    COCO          {} (+ val.json), images in {}".format(paths["coco"]["train"], paths["images"]["train"]))
    _say("    TFRecord      {}".format(paths["tfrecord_yaml"]))
    packed = stages.run("pack", pack_segmentation, paths["segmentation_yaml"],
                        os.path.join(out, "packed"))

    layouts = [
        ("json-folders", sources.resolve([paths["images"]["train"], paths["json"]["train"]],
                                         classes=paths["classes"])),
        ("yaml", sources.resolve([paths["segmentation_yaml"]])),
        ("coco", sources.resolve([paths["coco"]["train"]], images=paths["images"]["train"])),
        ("tfrecord", sources.resolve([paths["tfrecord_yaml"]])),
    ]
    if packed is not None:
        # The same records read both ways: segmentation samples, and detection
        # samples whose boxes follow the outlines through the augmentation.
        layouts += [("packed-seg", sources.resolve([packed], segmentation=True)),
                    ("packed-det", sources.resolve([packed]))]
    _say()
    _say("Building the datasets (input {} x {}):".format(SHAPE[0], SHAPE[1]))
    datasets = {name: _open(stages, name, src) for name, src in layouts}
    if native:
        from ..datasets.augment import use_native_augmentation

        for name, src in layouts:
            if datasets[name] is not None and not src.detection:
                use_native_augmentation(datasets[name])
        _say("  segmentation datasets augment with the native engine")
        # The library's pipeline on the same data, for comparison.
        layouts.insert(2, ("yaml-library", layouts[1][1]))
        datasets["yaml-library"] = stages.run("yaml-library: dataset", sources.open_dataset,
                                              layouts[1][1], SHAPE)

    _say()
    tp_seconds = 0.0 if quick else throughput.MIN_SECONDS
    _say("Training pipelines, batch size {} (samples per second as `throughput` measures them: {} "
         "timed{}, after {} untimed):".format(
             BATCH, progress.count(tp_batches, "batch"),
             ", and at least {:g} s of them".format(tp_seconds) if tp_seconds else "",
             progress.count(tp_prefetch + 1, "batch")))
    rates = {}
    for name, src in layouts:
        ds = datasets[name]
        if ds is None:
            continue

        def measure(ds=ds, src=src, name=name, graph=False):
            return throughput.rate(ds, src, BATCH, tp_batches, graph=graph, prefetch=tp_prefetch,
                                   desc=name + (" graph" if graph else ""), min_seconds=tp_seconds)

        r = stages.run(name + ": throughput", measure)
        if r is not None:
            rates[name] = r["samples_per_s"]
            _say("  {:<13} {:8.1f} samples/s   (first batch {:.2f} s, waiting for data {:.0f} %)".format(
                name, r["samples_per_s"], r["first_batch_s"], 100 * r["wait_s"] / max(r["seconds"], 1e-9)))
        r = None if name == "yaml-library" else stages.run(name + ": graph throughput", measure,
                                                            graph=True)
        if r is not None:
            _say("  {:<13} {:8.1f} samples/s   graph-only pipeline (--graph){}".format(
                "", r["samples_per_s"],
                "" if r["augmented"] or src.detection else ", without augmentation"))
    if native and rates.get("yaml-library") and rates.get("yaml"):
        _say("  native augmentation: {:.1f}x the samples/s of the library's on the YAML pipeline".format(
            rates["yaml"] / rates["yaml-library"]))

    _say()
    _say("Training a tiny segmentation model for {} steps on the YAML pipeline:".format(seg_steps))
    if datasets["yaml"] is not None:
        stages.run("segmentation training", train_segmentation, datasets["yaml"], seg_steps)
    else:
        _say("  skipped: the YAML dataset could not be built")
    _say("Training a tiny attitude regressor with AttitudeLoss for {} steps:".format(steps))
    stages.run("attitude training", train_attitude, steps)

    _say()
    _say("Previews:")
    folder = os.path.join(out, "previews")
    jobs = [(name, name, src, True) for name, src in layouts if name != "yaml-library"]
    jobs.insert(2, ("yaml-no-augment", "yaml", layouts[1][1], False))
    for file_name, name, src, augment in jobs:
        ds = datasets[name]
        if ds is None:
            continue
        target = os.path.join(folder, file_name + ".png")

        def write(ds=ds, src=src, augment=augment, target=target):
            preview.save_png(preview.render(ds, src, n=n_preview, augment=augment), target)
            return target

        if stages.run("preview " + file_name, write) is not None:
            _say("  {}".format(target))

    _say()
    took = time.perf_counter() - start
    if stages.failed:
        _say("Demo finished in {:.0f} s with {} failed stage(s): {}".format(
            took, len(stages.failed), ", ".join(stages.failed)))
        return 1
    _say("Demo finished in {:.0f} s. Try next:".format(took))
    prog = "python -m quorvane.trellisk"
    _say("  {} check {}".format(prog, paths["segmentation_yaml"]))
    _say("  {} preview {} --no-augment --out preview.png".format(prog, paths["segmentation_yaml"]))
    _say("  {} throughput {} --shape {} {} --batch-size {}   (the YAML figure above)".format(
        prog, paths["segmentation_yaml"], SHAPE[0], SHAPE[1], BATCH))
    _say("  {} throughput {} --batch-size 16 --step-ms 50".format(prog, paths["tfrecord_yaml"]))
    _say("  {} check {}".format(prog, packed))
    _say("  {} preview {} --segmentation --out packed.png".format(prog, packed))
    return 0
