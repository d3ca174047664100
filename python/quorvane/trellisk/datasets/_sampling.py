"""Repeat-factor sampling and exact positions, shared by every training
stream (default and graph pipelines, segmentation and detection) so that for
one seed they draw the same passes.

A pass is keyed by (key seed, pass number): how often each picture comes in
it, the order of its samples, and, with a sample's position in the pass, the
augmentation of that sample. So the place of a run is two integers, (pass
number, batches done in that pass), and a stream started there leaves out
the samples before it by their index, before reading or decoding any.

Repeat factors: with a threshold t, a class c held by a fraction f_c of the
training pictures gives each picture that holds it the factor
sqrt(t / f_c); a picture comes max(1, its largest factor) times per pass,
the fractional part rounded up or down at random, keyed by (key seed, pass
number, picture), so a pass holds on average sum(factors) samples.
"""

import math
import numbers
import os
import threading

import numpy as np
import tensorflow as tf

AUTOTUNE = tf.data.AUTOTUNE

# Draws of one pass, kept apart from each other and from the detection
# stream's block permutations (which fold in the block numbers 0, 1, ...).
_COPIES_SALT = 1 << 40
_ORDER_SALT = (1 << 40) + 1


# ----------------------------------------------------------------- arguments

def check_threshold(threshold):
    """``repeat_threshold`` as a float in (0, 1], or None."""
    if threshold is None:
        return None
    if isinstance(threshold, bool) or not isinstance(threshold, numbers.Real):
        raise TypeError("repeat_threshold must be a number in (0, 1] or None, got {!r}"
                        .format(threshold))
    value = float(threshold)
    if not 0.0 < value <= 1.0:  # also refuses NaN
        raise ValueError("repeat_threshold must lie in (0, 1], got {!r}".format(threshold))
    return value


def check_start(start):
    """``start`` as a pair of non-negative ints (pass number, batch), or None."""
    if start is None:
        return None
    try:
        pass_number, batch = start
        if any(isinstance(v, bool) or not hasattr(v, "__index__") for v in (pass_number, batch)):
            raise TypeError
    except (TypeError, ValueError):
        raise TypeError("start must be a pair of ints (pass number, batch), got {!r}"
                        .format(start)) from None
    pass_number, batch = int(pass_number), int(batch)
    if pass_number < 0 or batch < 0:
        raise ValueError("start must not be negative, got {!r}".format((pass_number, batch)))
    return pass_number, batch


def seed_bits(seed):
    """An int seed as the signed 64-bit value of its low 64 bits (what the
    native engine and the augment op keep of it)."""
    return (int(seed) + 2 ** 63) % 2 ** 64 - 2 ** 63


def fresh_seed():
    return int.from_bytes(os.urandom(8), "little") >> 1


# ------------------------------------------------------------ class presence

def _folder_presence(about):
    from quorvane.trellisk import ops

    files = tf.constant(list(about.train_files), tf.string, shape=[len(about.train_files)])
    folder, segments = str(about.train_images), about.segments
    # The annotation reader alone: the classes of the parts a sample paints,
    # without opening any image.
    classes = tf.data.Dataset.from_tensor_slices(files).map(
        lambda path: ops.read_annotation(path, folder, segments)[3], num_parallel_calls=AUTOTUNE)
    return [tuple(sorted(set(c.tolist()))) for c in classes.as_numpy_iterator()]


def _coco_presence(about):
    index = about.coco
    return [tuple(sorted({cls for cls, _ in index.outlines(i)})) for i in range(len(index.image_ids))]


def _record_presence(dataset, about, storage=None):
    """The classes of each record of ``storage`` (default: the training
    files), in the order the training streams read them, parsed without
    decoding any picture: the labels of detection records, the outline
    classes of segmentation ones."""
    from quorvane.trellisk import ops

    from . import formats

    storage = list(about.train_files if storage is None else storage)
    if about.kind == formats.RECORD_SEGMENTATION:
        feature = formats.OUTLINE_CLASSES
        records = ops.checked_records(storage, num_parallel_reads=formats.RECORD_READ_CYCLE)
    else:
        # Through the dataset's own reader, which its training stream reads.
        feature = "objects"
        records = dataset.build_and_load_base_iterator(storage, False)
    labels = records.map(lambda r: tf.io.parse_single_example(
        r, {feature: tf.io.VarLenFeature(tf.int64)})[feature].values,
        num_parallel_calls=AUTOTUNE)
    return [tuple(sorted(set(v.tolist()))) for v in labels.as_numpy_iterator()]


def class_presence(dataset):
    """The classes each training picture of ``dataset`` holds: a tuple, one
    sorted tuple of class ids per picture in the order of the training list
    (records: in reading order). Worked out at the first request from the
    annotations or the records' labels alone (no picture is decoded) and
    kept on the dataset, whose ``describe()`` then carries it."""
    about = dataset.describe()
    files = about.train_files
    cached = getattr(dataset, "_class_presence", None)
    if cached is not None and getattr(dataset, "_class_presence_files", None) == files:
        return cached
    if about.kind == "coco":
        presence = _coco_presence(about)
    elif about.kind == "folders":
        presence = _folder_presence(about)
    else:
        presence = _record_presence(dataset, about)
    presence = tuple(presence)
    dataset._class_presence = presence
    dataset._class_presence_files = files
    return presence


def repeat_factors(presence, threshold, counted=None):
    """float64 [pictures]: each picture's repeat factor for ``threshold``,
    the class fractions counted over the pictures of ``counted`` (default:
    ``presence`` itself; a shard's pictures take the whole dataset's)."""
    counted = presence if counted is None else counted
    held = {}
    for classes in counted:
        for c in set(classes):
            held[c] = held.get(c, 0) + 1
    factor = {c: math.sqrt(threshold * len(counted) / k) for c, k in held.items()}
    return np.array([max([1.0] + [factor.get(c, 1.0) for c in set(classes)])
                     for classes in presence], dtype=np.float64)


def shard_factors(dataset, threshold, shard, sharded_files):
    """The repeat factors of the pictures of one shard (``shard`` = (count,
    index), as the graph pipelines take it; None for all), in the shard's
    reading order: folders keep every count-th picture, record datasets the
    records of ``sharded_files``, read once more for their order."""
    from . import formats

    presence = class_presence(dataset)
    if shard is None:
        picked = presence
    elif dataset.describe().kind in ("tfrecord", formats.RECORD_SEGMENTATION):
        picked = _record_presence(dataset, dataset.describe(), sharded_files)
    else:
        picked = presence[shard[1]::shard[0]]
    return repeat_factors(picked, threshold, counted=presence)


# --------------------------------------------------------------- the passes

def _pass_seed(key_seed, pass_number, salt):
    seed = tf.stack([tf.cast(key_seed, tf.int64), tf.cast(pass_number, tf.int64)])
    return tf.random.experimental.stateless_fold_in(seed, salt)


def copies(factors, key_seed, pass_number):
    """int64 [pictures]: how often each picture comes in the pass, its factor
    rounded down or up at random with the odds of its fractional part."""
    factors = tf.convert_to_tensor(factors, tf.float64)
    whole = tf.floor(factors)
    draw = tf.random.stateless_uniform(tf.shape(factors), _pass_seed(key_seed, pass_number,
                                                                     _COPIES_SALT),
                                       dtype=tf.float64)
    return tf.cast(whole, tf.int64) + tf.cast(draw < factors - whole, tf.int64)


def pass_order(pictures, factors, key_seed, pass_number):
    """int64 picture indices of one pass, each as often as ``copies`` says
    (once without factors), in an order drawn by (key seed, pass number)."""
    picks = tf.range(pictures, dtype=tf.int64)
    if factors is not None:
        picks = tf.repeat(picks, copies(factors, key_seed, pass_number))
    keys = tf.random.stateless_uniform(tf.shape(picks), _pass_seed(key_seed, pass_number,
                                                                   _ORDER_SALT))
    return tf.gather(picks, tf.argsort(keys, stable=True))


def segmentation_batches(passes, pictures, factors, sample, batch):
    """Batches of every pass of ``passes``, which yields (pass number, key
    seed, samples to leave out). ``sample(index, pass_number, key_seed,
    position)`` makes the sample of picture ``index`` at ``position`` in the
    pass; ``batch(samples)`` batches one pass, so that no batch spans two."""
    factors = None if factors is None else tf.constant(factors, tf.float64)

    def one_pass(pass_number, key_seed, skip):
        order = pass_order(pictures, factors, key_seed, pass_number)
        positions = tf.range(tf.minimum(skip, tf.size(order, out_type=tf.int64)),
                             tf.size(order, out_type=tf.int64))
        samples = tf.data.Dataset.from_tensor_slices((tf.gather(order, positions), positions))
        return batch(samples.map(lambda index, position: sample(index, pass_number, key_seed,
                                                                 position),
                                 num_parallel_calls=AUTOTUNE))

    return passes.flat_map(one_pass)


def record_batches(passes, records, factors, sample, batch):
    """Batches of every pass of ``passes`` over a stream of records, as
    ``segmentation_batches`` gives them over pictures read by index:
    ``records()`` gives the records in reading order, shuffled per pass in
    blocks keyed by (key seed, pass number), as the detection stream does;
    ``sample(record, pass_number, key_seed, position)`` makes one sample.
    Samples to leave out are dropped as records, before any is decoded."""
    from ._detection_stream import shuffled

    factors = None if factors is None else tf.constant(factors, tf.float64)

    def one_pass(pass_number, key_seed, skip):
        indexed = tf.data.Dataset.zip((tf.data.Dataset.range(skip, 2 ** 62),
                                       shuffled(records(), key_seed, pass_number, factors).skip(skip)))
        return batch(indexed.map(lambda position, record: sample(record, pass_number, key_seed,
                                                                  position),
                                 num_parallel_calls=AUTOTUNE))

    return passes.flat_map(one_pass)


class _PassCounter:
    """Passes started over one default pipeline: first, first + 1, ..."""

    def __init__(self, first):
        self._lock = threading.Lock()
        self._next = first

    def start(self):
        with self._lock:
            number, self._next = self._next, self._next + 1
        return np.int64(number)


def counted_passes(key_seed, start, batch_size):
    """The passes of a default pipeline: (pass number, key seed, samples to
    leave out), one each time an iterator reaches it (every new iteration of
    the pipeline, every repetition of it), numbered from ``start[0]``; the
    first leaves out ``start[1]`` batches."""
    first, skip = start or (0, 0)
    counter = _PassCounter(first)
    skip = np.int64(skip * batch_size)

    def begin(_):
        number = tf.ensure_shape(tf.py_function(counter.start, [], tf.int64), ())
        return (number, tf.constant(key_seed, tf.int64),
                tf.where(tf.equal(number, first), skip, np.int64(0)))

    return tf.data.Dataset.from_tensors(np.int64(0)).map(begin)


# ----------------------------------------------------------- pass lengths

class TrainingPasses:
    """The passes of a training pipeline, as its ``training_passes`` attribute.

    ``samples(pass_number)`` and ``batches(pass_number)`` are the exact
    length of that pass (with repeat-factor sampling a pass holds each
    picture as often as its factor, rounded at random, so passes differ);
    ``mean_samples`` is the length on average; ``pictures`` the training
    pictures (what ``get_num_train_samples`` counts); ``start`` the
    (pass number, batch) the pipeline started at; ``per_iteration`` whether
    each iteration of the pipeline is one pass (the default pipelines, and
    graph pipelines without ``repeat``), else one iteration runs through
    every pass. The batches of a pass never run into the next one: a pass
    ends with a smaller batch (detection) or drops its last samples
    (segmentation).
    """

    def __init__(self, pictures, factors, key_seed, batch_size, drop_remainder, start,
                 per_iteration=True):
        self._pictures = pictures
        self.factors = factors
        self.key_seed = key_seed
        self.batch_size = int(batch_size)
        self.drop_remainder = bool(drop_remainder)
        self.start = start or (0, 0)
        self.per_iteration = bool(per_iteration)
        self._lengths = {}

    @property
    def pictures(self):
        if callable(self._pictures):
            self._pictures = int(self._pictures())
        return self._pictures

    @property
    def mean_samples(self):
        return float(self.pictures if self.factors is None else np.sum(self.factors))

    def samples(self, pass_number):
        if self.factors is None:
            return self.pictures
        pass_number = int(pass_number)
        if pass_number not in self._lengths:
            self._lengths[pass_number] = int(tf.reduce_sum(
                copies(self.factors, self.key_seed, pass_number)))
        return self._lengths[pass_number]

    def batches(self, pass_number):
        whole, rest = divmod(self.samples(pass_number), self.batch_size)
        return whole + (1 if rest and not self.drop_remainder else 0)

    def __repr__(self):
        return "TrainingPasses(pictures={}, mean_samples={:.1f}, batch_size={}, start={})".format(
            self.pictures, self.mean_samples, self.batch_size, self.start)


def attach(pipeline, passes):
    pipeline.training_passes = passes
    return pipeline


# ----------------------------------------------- default segmentation stream

def _default_train_iterator(dataset, batch_size, prefetch, repeat_threshold, start, augment,
                            pictures, read, stream):
    """The default segmentation training pipeline with repeat-factor
    sampling or a start position: ``read(item)`` gives (image, mask) of one
    item of ``stream(passes, factors, sample, batch)``, which batches the
    passes (pictures by index, or records)."""
    from .augment import AugmentationEngine

    threshold = check_threshold(repeat_threshold)
    start = check_start(start)
    engine = dataset._augmentation_pipeline
    native = isinstance(engine, AugmentationEngine)
    if start is not None and not native:
        raise ValueError("this pipeline cannot start mid-run exactly: the augmentation library "
                         "draws at random; use datasets.augment.use_native_augmentation(dataset)")
    shape = list(dataset.shape)
    factors = None if threshold is None else repeat_factors(class_presence(dataset), threshold)
    key_seed = seed_bits(engine.seed if native else fresh_seed())
    passes = counted_passes(key_seed, start, int(batch_size))

    def keyed(image, mask, pass_number, position):
        return engine.keyed(image, mask, pass_number, position)

    def sample(item, pass_number, _key, position):
        image, mask = read(item)
        if not augment:
            return image, mask
        if native:
            return tf.numpy_function(keyed, [image, mask, pass_number, position],
                                     (tf.uint8, tf.int32))
        return dataset.tf_apply_augmentation(image, mask)

    def batch(samples):
        return samples.padded_batch(batch_size, drop_remainder=True,
                                    padded_shapes=(shape, shape[:2]))

    ds = stream(passes, factors, sample, batch).prefetch(prefetch)
    pictures = len(factors) if factors is not None else pictures
    return attach(ds, TrainingPasses(pictures, factors, key_seed, batch_size, True, start))


def segmentation_train_iterator(dataset, batch_size, prefetch, reader, repeat_threshold, start,
                                augment=True):
    """The default segmentation training pipeline with repeat-factor sampling
    or a start position: ``reader(index)`` reads training picture ``index``
    as the tensors ``build_gt_mask`` takes ((image, polygons, classes), and
    a COCO sample's RLE regions and frame). ``augment=False`` leaves the
    samples as read."""
    pictures = len(dataset.describe().train_files)

    def stream(passes, factors, sample, batch):
        return segmentation_batches(passes, pictures, factors, sample, batch)

    return _default_train_iterator(
        dataset, batch_size, prefetch, repeat_threshold, start, augment, pictures,
        lambda index: dataset.build_gt_mask(list(reader(index))), stream)


def record_segmentation_train_iterator(dataset, batch_size, prefetch, repeat_threshold, start,
                                       augment=True):
    """The same over the records of a segmentation record dataset: the
    records in reading order, shuffled per pass in keyed blocks, those
    before the start dropped unread."""
    from quorvane.trellisk import ops

    from . import formats
    from .graph import _named

    files = list(dataset.describe().train_files)
    # Errors name the file and the record's position in it.
    named_read = _named(lambda record: tuple(dataset.read_sample(record, True)))

    def records():
        return ops.checked_records(files, num_parallel_reads=formats.RECORD_READ_CYCLE,
                                   positions=True)

    def stream(passes, factors, sample, batch):
        return record_batches(passes, records, factors, sample, batch)

    def pictures():
        return dataset.get_num_train_samples() or int(records().reduce(np.int64(0), lambda n, _: n + 1))

    return _default_train_iterator(
        dataset, batch_size, prefetch, repeat_threshold, start, augment, pictures,
        lambda element: dataset.build_gt_mask(list(named_read(*element))), stream)
