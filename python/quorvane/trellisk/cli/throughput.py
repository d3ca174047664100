"""``throughput``: how fast the training pipeline delivers batches.

The loop below stands in for a training loop: it asks the pipeline for the
next batch (time spent there is time a model would wait for data), then
touches the batch and, with ``step_ms``, sleeps as long as a training step
would take. When waiting dominates, the input pipeline is the bottleneck.
The first batch is timed apart: it includes building and tracing the
pipeline, which a training run pays once. Then as many batches as the
prefetch buffer holds are drawn untimed: they may have been made while the
first one was awaited, and a rate over them measures the buffer rather than
the pipeline. ``rate`` is that measurement; the demo prints it too.
"""

import time

from .progress import count
from .sources import (DETECTION_AUG_CFG, DatasetError, import_tensorflow, open_dataset,
                      train_samples)

# Batches the training pipelines prefetch, and so draw untimed.
PREFETCH = 10
# Timed batches of a measurement: several buffers' worth, so that what was
# made ahead does not count; and at least this many seconds of them.
BATCHES = 20
MIN_SECONDS = 1.0


def graph_training_pipeline(ds, src, batch_size, prefetch=PREFETCH):
    """The graph-only training pipeline of ``ds`` (quorvane.trellisk.datasets.graph),
    repeated; augmented when the op library can. Returns (pipeline, augmented)."""
    from ..datasets import graph

    # TFRecord datasets augment by their aug_cfg, with an op every build has.
    augment = src.detection or graph.augmentation_available()
    if not src.detection:
        _check_one_batch(ds, src, batch_size)
    try:
        pipeline = graph.train_pipeline(ds, batch_size=batch_size, prefetch=prefetch,
                                        augment=augment)
    except ImportError as e:
        raise DatasetError(str(e)) from None
    return pipeline.repeat(), augment


def training_pipeline(ds, src, batch_size, prefetch=PREFETCH):
    """The training pipeline of ``ds``, repeated so it never runs dry."""
    if src.detection:
        # The dataset refuses empty record folders itself; its sample count
        # may be unknown (0) until a pass has counted it.
        pipeline = ds.build_train_iterator(batch_size=batch_size, prefetch=prefetch)
    else:
        _check_one_batch(ds, src, batch_size)
        pipeline = ds.build_train_iterator(batch_size=batch_size, prefetch=prefetch)
    return pipeline.repeat()


def _check_one_batch(ds, src, batch_size):
    """Segmentation batches are always full: smaller remainders are dropped,
    and a pipeline without a single batch would never yield. A record
    description without counts is found out by the first batch instead."""
    total = train_samples(ds)
    if total is not None and total < batch_size:
        raise DatasetError("{} has {} training samples, fewer than one batch of {}".format(
            src.title(), total, batch_size))


def batch_samples(batch):
    """Number of samples in a batch: the leading size of its first tensor."""
    tf = import_tensorflow()
    first = tf.nest.flatten(batch)[0]
    return int(first.shape[0])


def measure(pipeline, batches, step_ms=0.0, desc="batches", step=None, warmup=0, min_seconds=0.0):
    """Draw a first batch, ``warmup`` more untimed, then time ``batches``,
    and more until ``min_seconds`` have passed (a fast pipeline's batches
    take so little time each that a few of them measure noise).

    ``step(batch)``, when given, is the consumer's work per batch (a training
    step); otherwise the batch is copied to NumPy and ``step_ms`` is slept.
    Returns the timings (a dict); the iterator is gone when this returns, so
    its prefetching threads stop before anything else is timed.
    """
    from .progress import bar as progress_bar

    it = iter(pipeline)
    t0 = time.perf_counter()
    first = next(it, None)
    if first is None:
        # Repeating a pipeline that holds no batch ends at once.
        raise DatasetError("the training pipeline yielded no batch: fewer training samples "
                           "than one batch")
    first_s = time.perf_counter() - t0
    for _ in range(warmup):
        next(it)
    samples = wait = rest = 0.0
    bar = progress_bar(range(batches), desc=desc, unit="batch")
    drawn = 0

    def timed_batches():
        for _ in bar:
            yield
        while wait + rest < min_seconds:
            yield

    for _ in timed_batches():
        drawn += 1
        t1 = time.perf_counter()
        batch = next(it)
        t2 = time.perf_counter()
        if step is not None:
            step(batch)
        else:
            import tensorflow as tf

            tf.nest.map_structure(lambda t: t.numpy(), batch)
            if step_ms:
                time.sleep(step_ms / 1000.0)
        t3 = time.perf_counter()
        samples += batch_samples(batch)
        wait += t2 - t1
        rest += t3 - t2
    bar.close()
    del it
    total = wait + rest
    return {
        "batches": drawn, "samples": int(samples), "first_batch_s": first_s,
        "first_batch_samples": batch_samples(first), "warmup_batches": warmup,
        "seconds": total, "wait_s": wait, "rest_s": rest,
        "samples_per_s": samples / total if total > 0 else float("inf"),
    }


def rate(ds, src, batch_size, batches=BATCHES, step_ms=0.0, graph=False, prefetch=PREFETCH,
         desc="batches", min_seconds=MIN_SECONDS):
    """Samples per second of the training pipeline of ``ds`` once it runs
    steadily: the first batch and a prefetch buffer's worth are drawn untimed,
    then ``batches`` are timed (see ``measure``). ``graph``: the graph-only
    pipeline instead. Returns the timings of ``measure``, with "augmented"
    (whether the graph pipeline augments; None for the other one)."""
    if graph:
        pipeline, augmented = graph_training_pipeline(ds, src, batch_size, prefetch=prefetch)
    else:
        pipeline, augmented = training_pipeline(ds, src, batch_size, prefetch=prefetch), None
    result = measure(pipeline, batches, step_ms=step_ms, desc=desc, warmup=prefetch,
                     min_seconds=min_seconds)
    result["augmented"] = augmented
    return result


def format_result(r, step_ms=0.0):
    share = 100.0 * r["wait_s"] / r["seconds"] if r["seconds"] > 0 else 0.0
    lines = [
        "first batch: {:.2f} s (building and tracing the pipeline), then {} untimed".format(
            r["first_batch_s"], count(r["warmup_batches"], "batch")),
        "{}, {} in {:.2f} s: {:.1f} samples/s".format(
            count(r["batches"], "batch"), count(r["samples"], "sample"), r["seconds"],
            r["samples_per_s"]),
        "waiting for data: {:.2f} s ({:.0f} %), the rest: {:.2f} s ({:.0f} %)".format(
            r["wait_s"], share, r["rest_s"], 100.0 - share),
    ]
    if step_ms:
        verdict = ("the input pipeline is the bottleneck: the model would wait for data"
                   if share > 10 else "the input pipeline keeps up with this step time")
        lines.append("with {:g} ms per training step {}".format(step_ms, verdict))
    else:
        lines.append("(the pipeline alone: a model is fed at most this fast; "
                     "add --step-ms to compare with your training step)")
    return "\n".join(lines)


def augmentation_text(ds, src):
    """How a TFRecord dataset's training samples are augmented, for a heading."""
    if not src.detection:
        return ""
    config = ds.describe().augmentation
    if config is None:
        return ", not augmented"
    return ", augmented: " + ", ".join(
        "{} {:g}".format(k, v) for k, v in config.techniques.items())


def run(src, batch_size=8, batches=BATCHES, step_ms=0.0, shape=(256, 256), native=False,
        graph=False, aug_cfg=DETECTION_AUG_CFG):
    ds = open_dataset(src, [shape[0], shape[1], 3], native_augment=native, aug_cfg=aug_cfg)
    result = rate(ds, src, batch_size, batches, step_ms=step_ms, graph=graph)
    if graph:
        kind = "graph-only training pipeline ({})".format(
            "augmented" if result["augmented"] else "not augmented")
        if src.detection:
            kind = "graph-only training pipeline" + augmentation_text(ds, src)
    else:
        kind = "training pipeline" + (", native augmentation" if native else "")
        kind += augmentation_text(ds, src)
    print("{}: {}, batch size {}, input {} x {}".format(
        src.title(), kind, batch_size, shape[0], shape[1]))
    print(format_result(result, step_ms))
    return 0
