"""Graph-only input pipelines: the per-sample work as TensorFlow ops in C++.

``train_pipeline(dataset, ...)`` and ``val_pipeline(dataset, ...)`` build, for
any dataset object of the package (``SegmentationDataset``,
``SegmentationDatasetYaml``, ``SegmentationDatasetJsonCOCO``,
``TFRecordDatasetYaml``, ``TFRecordDataset``), a ``tf.data.Dataset`` whose
elements have the structure, dtypes and shapes of that class's
``build_train_iterator`` / ``build_val_iterator``, made only of TensorFlow's
own ops and the package's op library (no ``py_function``). So the parallel
maps do not queue on the interpreter lock, and the dataset graph can be
serialized and run by a process that only loaded the op library
(``quorvane.trellisk.ops.load()``), such as a tf.data service worker.

What is identical to the default pipelines with ``augment=False``: the
annotation rules, the letterbox / resize pixels, the resampled outlines and
the painted masks, and for TFRecord data the boxes and the decoded JPEG.
Images of the segmentation datasets are decoded by TensorFlow instead of
PIL: JPEG and PNG files give the same pixels; formats TensorFlow does not
read (TIFF, WebP...) fail with an error naming the file.

The dataset object is read when the pipeline is built (file lists, shape,
options); changing it later does not change a built pipeline.
"""

import numpy as np
import tensorflow as tf

from quorvane.trellisk import ops
from quorvane.trellisk.datasets import _detection_stream, _sampling, _service
from quorvane.trellisk.datasets._outlines import outline_reader
from quorvane.trellisk.datasets import formats
from quorvane.trellisk.datasets.formats import record_features

__all__ = ["train_pipeline", "val_pipeline", "augmentation_available"]

AUTOTUNE = tf.data.AUTOTUNE


# ------------------------------------------------------------------ helpers

def _shape(about):
    shape = about.shape
    if shape is None:
        raise ValueError("the dataset has no shape [height, width, channels]")
    try:
        shape = [int(v) for v in shape]
    except (TypeError, ValueError):
        raise ValueError("shape must be a list of integers, got {!r}".format(shape)) from None
    if len(shape) < 2 or shape[0] < 1 or shape[1] < 1:
        raise ValueError("shape must start with a positive height and width, got {!r}".format(shape))
    return shape


def _describe(dataset):
    """The dataset's own description of itself (its ``describe()``)."""
    describe = getattr(dataset, "describe", None)
    about = describe() if callable(describe) else None
    if not isinstance(about, formats.DatasetDescription):
        raise TypeError("expected a dataset of quorvane.trellisk.datasets (segmentation or tfrecord), "
                        "got {}".format(type(dataset).__name__))
    return about


def _strings(values):
    return tf.constant([str(v) for v in values], dtype=tf.string, shape=[len(values)])


_MAGIC = (b"\xff\xd8\xff", b"\x89PNG", b"GIF8", b"BM")


def decode_image(path):
    """The RGB image at `path` (a scalar string tensor), decoded by TensorFlow.

    JPEG with the accurate integer transform (PIL's), other formats with
    ``decode_image``; one channel is repeated, alpha dropped. A file that is
    not a JPEG, PNG, GIF or BMP image, or that its decoder cannot read,
    fails with InvalidArgument naming it."""
    return _named(lambda p: decode_image_data(tf.io.read_file(p), p))(path, path)


def decode_image_data(data, source):
    """The RGB image of the encoded bytes `data` (see decode_image);
    `source` names it in the error for bytes of no known format."""
    head = tf.strings.substr(data, 0, 4)
    known = tf.reduce_any([tf.strings.substr(head, 0, len(m)) == m for m in _MAGIC])
    with tf.control_dependencies([tf.debugging.Assert(
            known, ["not a JPEG, PNG, GIF or BMP image:", source])]):
        data = tf.identity(data)
    return tf.cond(
        tf.io.is_jpeg(data),
        lambda: tf.io.decode_jpeg(data, channels=3, dct_method="INTEGER_ACCURATE"),
        lambda: tf.io.decode_image(data, channels=3, expand_animations=False))


def _batch_samples(samples, shape, batch_size, prefetch):
    """Full batches of `samples`; prefetched unless `prefetch` is None."""
    image_spec, mask_spec = samples.element_spec
    if image_spec.shape == tf.TensorShape(shape) and mask_spec.shape == tf.TensorShape(shape[:2]):
        # Samples already have the batch shape: a plain batch lets tf.data
        # fuse it with the map, so samples are copied into the batch by the
        # parallel calls instead of one thread.
        samples = samples.batch(batch_size, drop_remainder=True)
    else:
        samples = samples.padded_batch(batch_size, padded_shapes=(shape, shape[:2]),
                                       drop_remainder=True)
    return samples if prefetch is None else samples.prefetch(prefetch)


def _check_batching(batch_size, prefetch):
    if int(batch_size) < 1:
        raise ValueError("batch_size must be at least 1, got {}".format(batch_size))
    return int(batch_size), int(prefetch)


def augmentation_available():
    """Whether the op library of this build can augment segmentation samples."""
    try:
        return hasattr(ops.load(), "trellisk_augment")
    except ImportError:
        return False


def _augmenter(about, shape, seed):
    """The per-element augmentation for a dataset of `shape`:
    fn(image, mask, epoch, index) -> (image, mask), keyed by seed, epoch and
    element index alone."""
    if not augmentation_available():
        raise NotImplementedError(
            "native augmentation is not available in this build of the op library; "
            "use augment=False")
    from quorvane.trellisk.datasets.augment import grid_diagonals

    height, width = shape[0], shape[1]
    diagonals = grid_diagonals(height, width)
    channel_ops = bool((about.augmentation or {}).get("channel_ops", True))

    def augment(image, mask, epoch, index):
        return ops.augment(image, mask, epoch, index, seed, shape, channel_ops, diagonals)

    return augment


# ------------------------------------------------------------- segmentation

def _num_points(about):
    num_points = int(about.num_points)
    if num_points < 1:
        raise ValueError("num_points must be at least 1, got {}".format(num_points))
    return num_points


def _folder_reader(about, train, shape):
    folder = about.train_images if train else about.val_images
    letter_box = about.letterbox
    num_points = _num_points(about)
    segments = about.segments

    def read(path):
        image_path, vertices, splits, classes = ops.read_annotation(path, str(folder), segments)
        image = decode_image(image_path)
        image, frame = ops.letterbox(image, shape, letter_box, source=image_path)
        polygons, classes = ops.resample_outlines(vertices, splits, classes, frame, num_points,
                                                  source=path)
        return image, ops.paint_mask(polygons, classes, shape), image_path

    return read


def _coco_index(about):
    """Per training entry: the image path, and its outlines (source pixels,
    ragged per part) with their class ids, as the COCO reader uses them."""
    index = about.coco
    points, lengths, parts, classes = [], [], [], []
    for position in range(len(index.image_ids)):
        outlines = index.outlines(position)
        for cls, polygon in outlines:
            points.append(polygon)
            lengths.append(len(polygon))
            classes.append(cls)
        parts.append(len(outlines))
    flat = np.concatenate(points) if points else np.zeros((0, 2), np.float64)
    outlines = tf.RaggedTensor.from_row_lengths(
        tf.RaggedTensor.from_row_lengths(tf.constant(flat, tf.float64),
                                         tf.constant(lengths, tf.int64, shape=[len(lengths)])),
        tf.constant(parts, tf.int64, shape=[len(parts)]))
    class_rows = tf.RaggedTensor.from_row_lengths(
        tf.constant(classes, tf.int32, shape=[len(classes)]),
        tf.constant(parts, tf.int64, shape=[len(parts)]))
    if not index.regions:
        return list(index.image_paths), outlines, class_rows
    return (list(index.image_paths), outlines, class_rows) + _coco_regions(index)


def _whole(value):
    if isinstance(value, bool) or not float(value).is_integer():
        raise ValueError
    return int(value)


def _coco_regions(index):
    """Per training entry, its RLE regions as the mask op takes them: texts,
    runs of the list form, info rows (compressed, height, width, expected
    height, expected width, value, outlines before it) and annotation ids.
    The runs are decoded and checked by the op when the sample is read."""
    texts, runs, run_lengths, info, ids, counts = [], [], [], [], [], []
    for position in range(len(index.image_ids)):
        regions = index.regions_of(position)
        for region in regions:
            try:
                size, data = region.rle[formats.COCO_SIZE], region.rle[formats.COCO_COUNTS]
                height, width = (_whole(v) for v in size)
                compressed = isinstance(data, (str, bytes))
                values = [] if compressed else [_whole(v) for v in data]
            except (KeyError, TypeError, ValueError):
                raise ValueError("annotation {}: RLE must hold \"size\" [height, width] and \"counts\" "
                                 "(text or a list of run lengths)".format(region.annotation_id)) from None
            texts.append(data if compressed else b"")
            runs.extend(values)
            run_lengths.append(len(values))
            expected = region.expected or (-1, -1)
            info.append([int(compressed), height, width, expected[0], expected[1], region.value,
                         region.after])
            ids.append(str(region.annotation_id))
        counts.append(len(regions))
    rows = tf.constant(counts, tf.int64, shape=[len(counts)])

    def per_entry(values):
        return tf.RaggedTensor.from_row_lengths(values, rows)

    return (per_entry(tf.constant(texts, tf.string, shape=[len(texts)])),
            per_entry(tf.RaggedTensor.from_row_lengths(
                tf.constant(runs, tf.int64, shape=[len(runs)]),
                tf.constant(run_lengths, tf.int64, shape=[len(run_lengths)]))),
            per_entry(tf.constant(info, tf.int64, shape=[len(info), 7])),
            per_entry(tf.constant(ids, tf.string, shape=[len(ids)])))


def _coco_reader(about, shape):
    letter_box = about.letterbox
    num_points = _num_points(about)

    def read(path, outlines, classes, regions=None):
        image = decode_image(path)
        size = tf.cast(tf.shape(image)[1::-1], tf.float32)  # (width, height)
        # Normalised by the source size, in float64 as the reader divides.
        vertices = outlines.flat_values / tf.cast(size, tf.float64)
        image, frame = ops.letterbox(image, shape, letter_box, source=path)
        if regions is None:
            polygons, classes = ops.resample_outlines(vertices, outlines.row_splits, classes, frame,
                                                      num_points, source=path)
            return image, ops.paint_mask(polygons, classes, shape)
        # Outlines of length 0 are left out: their positions say how many
        # polygons come before each region.
        order = tf.range(tf.size(classes), dtype=tf.int32)
        polygons, kept = ops.resample_outlines(vertices, outlines.row_splits, order, frame,
                                               num_points, source=path)
        texts, runs, info, ids = regions
        after = tf.searchsorted(tf.cast(kept, tf.int64), info[:, 6], side="left", out_type=tf.int64)
        info = tf.concat([info[:, :6], after[:, None]], axis=1)
        return image, ops.paint_mask_regions(polygons, tf.gather(classes, kept), texts,
                                             runs.flat_values, runs.row_splits, info, ids, frame,
                                             shape, source=path)

    return read


_SEGMENTATION_RECORD = record_features(tf, outlines=True, dense=True)


def _record_segmentation_reader(about, shape):
    """``read(record, where) -> (image, mask, image name)``: the folder
    reader's recipe on a record with outlines, checked by the record-outline
    kernel; what the kernels refuse is InvalidArgument naming ``where`` (the
    file and the record's position in it) and the image name. Not wrapped
    per record as the detection decoders are: a one-element dataset a
    record costs a fifth of the pipeline's rate, and pack has checked that
    every picture decodes and the checked stream that every record is the
    one written."""
    letter_box = about.letterbox
    num_points = _num_points(about)
    segments = about.segments
    max_class = len(about.classes) - 1

    def read(record, where):
        sample = tf.io.parse_single_example(record, _SEGMENTATION_RECORD)
        name = tf.strings.join([where, " (", sample["image_name"], ")"])
        points, parts, classes = ops.record_outlines(sample, max_class, source=name, require=True)
        regions = ops.record_regions(sample, classes, source=name)
        image = decode_image_data(sample["image"], name)
        image, frame = ops.letterbox(image, shape, letter_box, source=name)
        # Parts too short to outline anything are dropped, as the folder reader drops them.
        keep = parts[:, 2] >= formats.MIN_PART_VERTICES
        if not segments:
            keep = tf.zeros_like(keep)
        outlines = tf.ragged.boolean_mask(
            tf.RaggedTensor.from_row_lengths(tf.cast(points, tf.float64), tf.cast(parts[:, 2], tf.int64)), keep)
        part_objects = tf.boolean_mask(parts[:, 0], keep)
        # Outlines of length 0 are left out too: the objects of the parts
        # kept say how many polygons come before each region.
        polygons, kept = ops.resample_outlines(outlines.flat_values, outlines.row_splits,
                                               tf.range(tf.size(part_objects), dtype=tf.int32), frame,
                                               num_points, source=name)
        kept_objects = tf.cast(tf.gather(part_objects, kept), tf.int64)
        part_classes = tf.gather(classes, kept_objects)
        if not segments:
            return image, ops.paint_mask(polygons, part_classes, shape), sample["image_name"]

        def with_regions():
            # Object by object: a region after its object's polygons (and those before).
            after = tf.searchsorted(kept_objects, regions[:, 6], side="right", out_type=tf.int64)
            info = tf.concat([regions[:, :6], after[:, None]], axis=1)
            count = tf.shape(regions, out_type=tf.int64)[0]
            ids = tf.strings.join(["object ", tf.strings.as_string(regions[:, 6])])
            return ops.paint_mask_regions(polygons, part_classes,
                                          sample[formats.REGION_COUNTS],
                                          tf.zeros([0], tf.int64), tf.zeros([count + 1], tf.int64), info, ids,
                                          frame, shape, source=name)

        # Without regions the painter paints the polygons alone, as paint_mask
        # does; one op either way is cheaper than choosing between two.
        return image, with_regions(), sample["image_name"]

    return read


def _check_shard(shard):
    if shard is None:
        return None
    try:
        count, index = (int(v) for v in shard)
    except (TypeError, ValueError):
        raise TypeError("shard must be a pair (count, index), got {!r}".format(shard)) from None
    if not 0 <= index < count:
        raise ValueError("shard index must be in 0..count-1, got {!r}".format(shard))
    return count, index


def _sharded(items, shard):
    items = list(items)
    return items if shard is None else items[shard[1]::shard[0]]


def _segmentation_data(about, shape):
    """The training entries as tensors, and the reader of one entry."""
    if about.kind == "coco":
        paths, outlines, classes, *regions = _coco_index(about)
        data = (_strings(paths), outlines, classes) + tuple(regions)
        coco_read = _coco_reader(about, shape)

        def reader(entry):
            if len(entry) > 3:
                return coco_read(*entry[:3], entry[3:])
            return coco_read(*entry)
    else:
        data = _strings(list(about.train_files))
        folder_read = _folder_reader(about, True, shape)

        def reader(path):
            image, mask, _ = folder_read(path)
            return image, mask
    return data, reader


def _record_segmentation_samples(about, shape, seed, shard=None):
    """Samples of record shards with outlines, as read, for a pipeline that
    neither augments, resumes nor repeats by class: the records through a
    shuffle buffer (a share is a share of the files)."""
    record_read = _record_segmentation_reader(about, shape)
    samples = _records(_sharded(about.train_files, shard), True, seed, positions=True)
    return samples.map(lambda record, where: record_read(record, where)[:2],
                       num_parallel_calls=AUTOTUNE)


def _segmentation_samples(about, shape, seed, shard=None):
    """Samples as read, shuffled anew each pass (``seed`` fixes the order)."""
    data, reader = _segmentation_data(about, shape)
    samples = tf.data.Dataset.from_tensor_slices(data)
    if shard is not None:
        samples = samples.shard(*shard)
    count = max(int(samples.cardinality()), 1)
    samples = samples.shuffle(count, seed=seed, reshuffle_each_iteration=True)
    return samples.map(lambda *entry: reader(entry if len(entry) > 1 else entry[0]),
                       num_parallel_calls=AUTOTUNE)


# ----------------------------------------------------------------- tfrecord

_FEATURES = record_features(tf)
_OUTLINED_FEATURES = record_features(tf, outlines=True)


def tfrecord_sample(dataset, record, training=True, outlines=None):
    """One serialized detection record decoded in the graph as the dataset's
    ``load_instance`` decodes it: (image, boxes) for training, (image, boxes,
    image_name) otherwise. ``outlines`` (training only): an
    ``_outlines.outline_reader``, whose vertices and parts follow the boxes;
    the record is parsed once for both."""
    sample = tf.io.parse_single_example(record, _FEATURES if outlines is None else _OUTLINED_FEATURES)
    image = tf.io.decode_jpeg(sample["image"])
    size = tf.shape(image)[:2]
    name = sample["image_name"]
    objects = tf.sparse.to_dense(sample["objects"])
    bboxes = tf.sparse.to_dense(sample["bboxes"])
    about = dataset if isinstance(dataset, formats.DatasetDescription) else _describe(dataset)
    shape = _shape(about) if training else [1, 1]
    if training:
        image, frame = ops.letterbox(image, shape, about.letterbox, source=name)
    else:
        frame = tf.zeros([4], tf.float64)
    boxes = ops.detection_boxes(objects, bboxes, frame, size, shape, about.class_offset,
                                training=training, source=name)
    if training:
        return (image, boxes) + (() if outlines is None else tuple(outlines(sample, size)))
    return image, boxes, name


def _named(decode):
    """``decode(record)`` run on one record so that any error it raises (the
    parser's, the JPEG decoder's) is InvalidArgument naming ``where`` (the
    file and the record's position): fn(record, where)."""
    def run(record, where):
        one = tf.data.Dataset.from_tensors(record).map(decode)
        return ops.named_errors(one, where).get_single_element()

    return run


def _tfrecord_decoder(about, training, outlines=False):
    """``decode(record, where)`` of detection records for the graph
    pipelines; ``outlines`` (training): the outlines' vertices and parts
    follow the boxes, decoded in the same wrapper and from the same parse."""
    channels = about.channels

    def to_channels(image):
        return formats.fit_channels(tf, image, channels)

    if training:
        image_shape = formats.detection_batch_shapes(channels, True, _shape(about))[0]

        read_outlines = outline_reader(about) if outlines else None

        def decode_record(record):
            image, boxes, *outline = tfrecord_sample(about, record, True, read_outlines)
            image = tf.ensure_shape(to_channels(image), image_shape)
            return (image, boxes, *outline)

        def decode(record, where):
            image, boxes, *outline = _named(decode_record)(record, where)
            return (image, (boxes,), *outline)
    else:
        def decode_record(record):
            image, boxes, name = tfrecord_sample(about, record, False)
            image = tf.ensure_shape(to_channels(image), (None, None, channels))
            return image, boxes, name

        def decode(record, where):
            image, boxes, name = _named(decode_record)(record, where)
            size = tf.shape(image, out_type=tf.int32)[:2]
            return image, (boxes, name, size)
    return decode, channels


def _records(storage, shuffle, seed, positions=False):
    # Every frame is checked as it is read, so a damaged file is named (with
    # the offset) when the stream reaches it, and nothing is read up front.
    # With `positions` each record comes with the string that names it (file
    # and position).
    records = ops.checked_records(_strings(list(storage)),
                                  num_parallel_reads=formats.RECORD_READ_CYCLE, positions=positions)
    if shuffle:
        records = records.shuffle(200, seed=seed, reshuffle_each_iteration=True)
    return records


# ------------------------------------------------------------------ public

def train_pipeline(dataset, batch_size=10, prefetch=10, seed=None, augment=True, shard=None,
                   repeat=False, service=None, processing_mode="parallel_epochs", job_name=None,
                   service_timeout=30.0, service_compression="AUTO", first_pass=0, *,
                   repeat_threshold=None, start=None):
    """The training pipeline of `dataset`, all in the graph.

    Elements as the dataset's ``build_train_iterator``: segmentation datasets
    give full batches ``(images uint8 [batch, H, W, 3], masks int32 [batch, H,
    W])``; TFRecord datasets give ``(images, (boxes,))`` with boxes padded
    with all-zero rows. ``seed`` fixes the shuffle order (and the
    augmentation) for reproducible runs; ``augment=False`` gives the samples
    as read. The result has no Python callbacks: it can be serialized and
    run wherever the op library is loaded.

    ``repeat=True`` repeats the training data without end (a served pipeline
    repeats on the workers).

    TFRecord datasets are augmented as their ``aug_cfg`` says, by the same
    engine and with the same grouping as ``build_train_iterator``: for the
    same ``seed`` both give the same batches. The passes over the data are
    numbered from ``first_pass`` (default 0; the pass a resumed run starts
    at), which keys the augmentation and decides where "mosaic_stop_pass"
    takes effect. With ``repeat=True`` every pass gets the next number; with
    ``repeat=False`` the pipeline holds one pass, and iterating it again (as
    Keras ``fit`` does every epoch) draws new augmentation but keeps the
    number ``first_pass``: for "mosaic_stop_pass", train on ``repeat=True``
    with ``steps_per_epoch``, or build each epoch's pipeline with
    ``first_pass=epoch``.

    ``shard=(count, index)`` keeps every count-th training file, starting at
    index: one share per trainer process (multi-worker training), so no
    sample is read by two trainers in an epoch.

    ``service="grpc://HOST:PORT"`` has the pipeline produced by the workers of
    a tf.data service dispatcher (``python -m quorvane.trellisk serve``).
    ``processing_mode`` "parallel_epochs": every worker produces whole epochs
    of its own, in its own order; "distributed_epoch": the files of one epoch
    are split between the workers, each read once. ``job_name`` lets several
    trainers share one job. A dispatcher that does not answer within
    ``service_timeout`` seconds raises ConnectionError naming its address.
    ``service_compression``: "AUTO" (TensorFlow's default) compresses the
    elements on the workers, which pays over a network; None sends them as
    they are, cheaper when the workers share the trainer's machine.

    ``repeat_threshold`` (in (0, 1]): repeat-factor sampling, as the
    dataset's ``build_train_iterator`` does it (the same passes for the same
    seed). ``start=(pass_number, batch)``: passes numbered from
    ``pass_number`` (in place of ``first_pass``), the first ``batch``
    batches of it left out before anything is read or decoded; the pipeline
    then yields exactly what an uninterrupted one would have from there
    (with ``repeat=True`` for every later pass too). Batches never span two
    passes. Augmented segmentation training is keyed by (seed, pass, position
    in the pass), like that of the default pipeline with the native engine
    of the same seed; so segmentation records are then read as detection
    records are (files in a fixed order, records shuffled in blocks keyed by
    seed and pass), so that a position names the same record again. A shard's repeat factors count the classes over the
    whole dataset. The result's ``training_passes`` gives the exact
    length of each pass. Its iterators can also be saved and restored with
    ``tf.train.Checkpoint(iterator=...)``.
    """
    about = _describe(dataset)
    batch_size, prefetch = _check_batching(batch_size, prefetch)
    shard = _check_shard(shard)
    threshold = _sampling.check_threshold(repeat_threshold)
    start = _sampling.check_start(start)
    # A pipeline given a start is keyed even at (0, 0), so that a run begun
    # there and one resumed later draw the same passes.
    keyed = start is not None or threshold is not None
    if start is None:
        start = (_check_first_pass(first_pass), 0)
    elif first_pass:
        raise ValueError("give either start or first_pass, not both")
    factors = None
    if threshold is not None:
        factors = _sampling.shard_factors(dataset, threshold, shard,
                                          _sharded(about.train_files, shard))
    ops.load()
    if about.kind == "tfrecord":
        # Passes are counted inside the pipeline, which repeats by itself.
        ds, passes = _tfrecord_train_batches(about, batch_size, prefetch, seed, augment, shard,
                                             repeat, start, factors)
        repeat = False
    elif keyed or augment:
        ds, passes = _keyed_train_batches(about, batch_size, prefetch, seed, augment, shard,
                                          repeat, start, factors)
        repeat = False
    elif about.kind == formats.RECORD_SEGMENTATION:
        shape = _shape(about)
        samples = _record_segmentation_samples(about, shape, seed, shard)
        ds, passes = _batch_samples(samples, shape, batch_size, prefetch), None
    else:
        ds, passes = _train_batches(about, batch_size, prefetch, seed, shard), None
    if repeat:
        # A served pipeline repeats on the workers: when the trainer repeats,
        # each epoch is a job of its own, and a job ends only when every
        # worker that had a part of it is done, so a lost worker would stall
        # the stream at the end of the epoch.
        ds = ds.repeat()
    # Each sample is decoded in a one-element dataset of its own, so that
    # its errors name the record or file; TensorFlow counts that as state,
    # but none is carried from one element to the next, so an iterator saved
    # with tf.train.Checkpoint loses nothing by leaving it out.
    options = tf.data.Options()
    options.experimental_external_state_policy = tf.data.experimental.ExternalStatePolicy.IGNORE
    ds = ds.with_options(options)
    if service is not None:
        ds = _service.distribute(ds, service, processing_mode, job_name, service_timeout,
                                 service_compression)
    return ds if passes is None else _sampling.attach(ds, passes)


def _check_first_pass(first_pass):
    try:
        first_pass = int(first_pass)
    except (TypeError, ValueError):
        raise TypeError("first_pass must be an integer, got {!r}".format(first_pass)) from None
    if first_pass < 0:
        raise ValueError("first_pass must not be negative, got {}".format(first_pass))
    return first_pass


def _graph_passes(key_seed, repeat, start, batch_size):
    """(pass number, key seed, samples to leave out) of each pass: numbered
    from start[0], one pass per iteration or (repeat) every next one; the
    first iteration is keyed by the seed itself, as the default pipelines'
    passes are, a later iteration of the same pipeline (a new epoch of Keras
    fit) gets a new key instead of the same draws again. Only the start pass
    of the first iteration leaves out start[1] batches."""
    first, skip = start
    numbers = (tf.data.Dataset.range(first, 2 ** 62) if repeat
               else tf.data.Dataset.from_tensors(np.int64(first)))
    skip = np.int64(skip * batch_size)

    def keyed(number, marker):
        key = tf.bitwise.bitwise_xor(tf.constant(key_seed, tf.int64), marker)
        resume = tf.logical_and(tf.equal(number, first), tf.equal(marker, 0))
        return number, key, tf.where(resume, skip, np.int64(0))

    return tf.data.Dataset.zip((numbers, _iteration_marker(key_seed))).map(keyed)


def _iteration_marker(key_seed):
    """A stream of one value repeated: 0 in the first iteration of the
    pipeline, a random value in each later one (also in a fresh copy of the
    graph, such as a service worker's, the first iteration gives 0).

    The value of a seeded random stream that draws anew at each iteration,
    less its first value (read here, once, from an identical stream)."""
    seed = int(key_seed) % 2147483647

    def draws():
        return tf.data.Dataset.random(seed=seed, rerandomize_each_iteration=True).take(1)

    first = int(next(iter(draws())))
    return draws().flat_map(
        lambda v: tf.data.Dataset.from_tensors(tf.bitwise.bitwise_xor(v, first)).repeat())


def _tfrecord_train_batches(about, batch_size, prefetch, seed, augment, shard, repeat, start,
                            factors):
    config = about.augmentation if augment else None
    # Outlined objects get boxes that stay tight through the augmentation.
    outlines = config is not None
    decode_element, channels = _tfrecord_decoder(about, True, outlines=outlines)
    image_shape = formats.detection_batch_shapes(channels, True, _shape(about))[0]
    storage = _sharded(about.train_files, shard)
    key_seed = _detection_stream.resolve_seed(seed)

    def decode(record, where):
        image, (boxes,), *outline = decode_element(record, where)
        return (image, boxes, *outline)

    def records():
        return _records(storage, False, None, positions=True)

    def augment_one(images, boxes, counts, main, pass_seed, pass_number, index, *outline):
        xy, parts = outline if outline else (None, None)
        return ops.detection_augment(images, boxes, counts, main, pass_seed, pass_number, index,
                                     config, outline_xy=xy, outline_parts=parts)

    passes = _graph_passes(key_seed, repeat, start, batch_size)
    ds = _detection_stream.training_batches(
        passes, records, decode, None if config is None else augment_one,
        1 if config is None else config.group_size, image_shape, batch_size, prefetch,
        deterministic=seed is not None, outlines=outlines, factors=factors)
    pictures = (len(factors) if factors is not None
                else about.num_train_samples if shard is None and about.num_train_samples
                else (lambda: int(records().reduce(np.int64(0), lambda n, *_: n + 1))))
    return ds, _sampling.TrainingPasses(pictures, factors, key_seed, batch_size, False, start,
                                        per_iteration=not repeat)


def _keyed_train_batches(about, batch_size, prefetch, seed, augment, shard, repeat, start,
                         factors):
    """Segmentation batches whose order and augmentation are keyed by
    (seed, pass, position), as the default pipeline's with the native
    engine: pictures read by index, or records in keyed blocks."""
    shape = _shape(about)
    if about.kind == formats.RECORD_SEGMENTATION:
        read_record = _record_segmentation_reader(about, shape)
        storage = _sharded(about.train_files, shard)

        def records():
            return _records(storage, False, None, positions=True)

        def read(element):
            return read_record(*element)[:2]

        def stream(passes, sample, batch):
            return _sampling.record_batches(passes, records, factors, sample, batch)

        pictures = (len(factors) if factors is not None
                    else about.num_train_samples if shard is None and about.num_train_samples
                    else (lambda: int(records().reduce(np.int64(0), lambda n, _: n + 1))))
    else:
        data, reader = _segmentation_data(about, shape)
        positions = np.arange(len(about.train_files))
        if shard is not None:
            positions = positions[shard[1]::shard[0]]
        entries = tf.nest.map_structure(lambda t: tf.gather(t, positions), data)
        pictures = len(positions)

        def read(index):
            return reader(tf.nest.map_structure(lambda t: tf.gather(t, index), entries))

        def stream(passes, sample, batch):
            return _sampling.segmentation_batches(passes, pictures, factors, sample, batch)

    key_seed = _sampling.seed_bits(_sampling.fresh_seed() if seed is None else seed)
    augment_fn = _augmenter(about, shape, key_seed) if augment else None

    def sample(item, pass_number, key, position):
        image, mask = read(item)
        if augment_fn is not None:
            # The pass number as the default pipeline keys it; a later
            # iteration (new key) draws anew.
            epoch = tf.bitwise.bitwise_xor(pass_number,
                                           tf.bitwise.bitwise_xor(key, np.int64(key_seed)))
            image, mask = augment_fn(image, mask, epoch, position)
        return tf.ensure_shape(image, shape[:2] + [3]), tf.ensure_shape(mask, shape[:2])

    def batch(samples):
        return _batch_samples(samples, shape, batch_size, None)

    passes = _graph_passes(key_seed, repeat, start, batch_size)
    return (stream(passes, sample, batch).prefetch(prefetch),
            _sampling.TrainingPasses(pictures, factors, key_seed, batch_size, True, start,
                                     per_iteration=not repeat))


def _train_batches(about, batch_size, prefetch, seed, shard):
    shape = _shape(about)
    samples = _segmentation_samples(about, shape, seed, shard)
    return _batch_samples(samples, shape, batch_size, prefetch)


def val_pipeline(dataset, batch_size=1, prefetch=10):
    """The validation pipeline of `dataset`, all in the graph.

    Segmentation folders / YAML: one sample per element, in file order,
    ``(image uint8 [H, W, 3], mask int32 [H, W], image path)``; segmentation
    records: the same with the record's image name, in record order; ``prefetch``
    samples ahead (``batch_size`` is not used). TFRecord datasets: batches of
    ``batch_size`` as ``(images, (boxes, image_names, sizes))`` at the stored
    image size, padded. COCO datasets have no validation pipeline (None), as
    their ``build_val_iterator``.
    """
    about = _describe(dataset)
    if about.kind == "coco":
        return None
    batch_size, prefetch = _check_batching(batch_size, prefetch)
    ops.load()
    if about.kind == "tfrecord":
        decode, channels = _tfrecord_decoder(about, False)
        samples = _records(about.val_files, False, None, positions=True)
        samples = samples.map(decode, num_parallel_calls=AUTOTUNE)
        batches = samples.padded_batch(
            batch_size, padded_shapes=formats.detection_batch_shapes(channels, False))
        return batches.prefetch(AUTOTUNE)
    shape = _shape(about)
    if about.kind == formats.RECORD_SEGMENTATION:
        samples = _records(about.val_files, False, None, positions=True)
        samples = samples.map(_record_segmentation_reader(about, shape), num_parallel_calls=AUTOTUNE)
        return samples.prefetch(prefetch)
    samples = tf.data.Dataset.from_tensor_slices(_strings(list(about.val_files)))
    samples = samples.map(_folder_reader(about, False, shape), num_parallel_calls=AUTOTUNE)
    return samples.prefetch(prefetch)
