"""Stand-in for the package's detection-dataset base module: the base class
that reads a dataset description, keeps the network input settings and
builds the tf.data training and validation pipelines from its subclasses'
hooks."""

import inspect
import threading

import numpy as np
import tensorflow as tf

from . import _detaug, _sampling, formats
from ._detection_stream import resolve_seed, training_batches


class BaseDetectionDataset:
    """Base of the detection datasets.

    Args:
        info_file (str): path of the YAML file that describes the dataset,
            or None when a subclass supplies the description itself
            (``validate_info_file``).
        shape (list): network input [height, width, channels]; training
            images are brought to its first two entries.
        letter_box (bool): whether training images keep their aspect ratio
            (letterbox) instead of being stretched to ``shape``.
        add_bkg_class (bool): reserve class 0 for the background
            (``class_offset`` 1, else 0).
        aug_cfg (dict): how often each augmentation technique is applied to
            a training sample, and its strength (see
            ``quorvane.trellisk.datasets._detaug.DetectionAugmentConfig`` for
            the keys and their defaults); kept as ``aug_cfg``. Checked here:
            an unknown key or a bad value is a ValueError naming the key.
            None or {} trains on the samples as read. Augmentation needs
            ``shape``.

    Subclasses provide the hooks ``validate_info_file_content(info_dataset)``
    and ``load_storage()`` (which set ``classes``, ``num_train_samples``,
    ``num_val_samples``, ``train_storage`` and ``val_storage``), and
    ``build_and_load_base_iterator(storage, shuffle, *, positions)`` (with
    ``positions`` true, pairs (record, "<file> record <k>")) and
    ``load_instance(data, training)`` that the pipelines are made of.
    A split whose sample count the description leaves out gets the count 0.
    """

    def __init__(self, info_file=None, shape=None, letter_box=True, add_bkg_class=True,
                 aug_cfg=None):
        self.shape = shape
        self.letter_box = letter_box
        self.class_offset = 1 if add_bkg_class else 0
        self.aug_cfg = aug_cfg
        self._augmentation = self._augmentation_config(aug_cfg, shape)
        self._info_file = info_file
        info_dataset = self.validate_info_file(info_file)
        self.validate_info_file_content(info_dataset)
        self.load_storage()
        # 0 means "unknown": subclasses that can count a split do so when its
        # iterator is first requested.
        if getattr(self, "num_train_samples", None) is None:
            self.num_train_samples = 0
        if getattr(self, "num_val_samples", None) is None:
            self.num_val_samples = 0

    @staticmethod
    def _augmentation_config(aug_cfg, shape):
        """The engine's immutable config for ``aug_cfg``, built (and checked)
        once; None when nothing is to be augmented."""
        if aug_cfg is None or (isinstance(aug_cfg, dict) and not aug_cfg):
            return None
        if shape is None:
            # Checked now rather than at the first training pass: a dataset
            # that cannot apply its augmentation must not look as if it would.
            raise ValueError("aug_cfg needs shape [height, width, channels]: training samples are "
                             "augmented at that size")
        try:
            height, width = int(shape[0]), int(shape[1])
        except (TypeError, ValueError, IndexError):
            raise ValueError("shape must start with an integer height and width, got {!r}"
                             .format(shape)) from None
        config = _detaug.DetectionAugmentConfig(aug_cfg, height, width)
        if not config.enabled:
            return None
        if len(shape) > 2 and int(shape[2]) != 3:
            raise ValueError("aug_cfg needs 3 channels (RGB samples), but shape is {!r}".format(shape))
        return config

    # ------------------------------------------------------------- hooks

    def validate_info_file(self, info_file):
        """Read the YAML file ``info_file`` and return its content (a dict)."""
        import yaml

        if info_file is None:
            raise ValueError("A dataset description file is needed (info_file is None)")
        with open(info_file, "r") as f:
            content = yaml.full_load(f)
        if not isinstance(content, dict):
            raise ValueError(
                "The dataset description {} does not hold a mapping".format(info_file))
        return content

    def validate_info_file_content(self, info_dataset):
        """Check the description and store its content (subclass hook)."""
        raise NotImplementedError("validate_info_file_content must be implemented by the dataset")

    def load_storage(self):
        """Turn ``train_storage``/``val_storage`` into file lists (subclass hook)."""
        raise NotImplementedError("load_storage must be implemented by the dataset")

    def build_and_load_base_iterator(self, storage, shuffle=True, *, positions=False):
        """Return a tf.data stream of raw records from ``storage`` (subclass
        hook); with ``positions``, pairs (record, "<file> record <k>")."""
        raise NotImplementedError("build_and_load_base_iterator must be implemented by the dataset")

    def load_instance(self, data, training=True):
        """Decode one raw record eagerly (subclass hook): (image, boxes) for
        training, (image, boxes, image_name) for validation."""
        raise NotImplementedError("load_instance must be implemented by the dataset")

    def describe(self):
        """What the pipelines and tools need to know of this dataset, as a
        :class:`quorvane.trellisk.datasets.formats.DatasetDescription` (kind
        "tfrecord"; ``train_files``/``val_files`` are the record files)."""
        def files(storage):
            return tuple(storage) if isinstance(storage, (list, tuple)) else ()

        return formats.DatasetDescription(
            kind="tfrecord", shape=self.shape, letterbox=self.letter_box,
            class_offset=self.class_offset, classes=tuple(getattr(self, "classes", None) or ()),
            train_files=files(getattr(self, "train_storage", None)),
            val_files=files(getattr(self, "val_storage", None)),
            num_train_samples=self.num_train_samples, num_val_samples=self.num_val_samples,
            info_file=self._info_file, augmentation=self._augmentation,
            class_presence=getattr(self, "_class_presence", None))

    # --------------------------------------------------------- pipelines

    def _eager_loader(self, training):
        """The function tf.py_function runs (eagerly) on each raw record and
        the string that names it (file and position). Any failure is a
        ValueError naming the record, which tf.py_function raises as
        InvalidArgumentError, as the graph pipeline does."""
        load_instance = self.load_instance

        def load(record, where):
            try:
                out = load_instance(record, training)
            except Exception as e:
                message = e.message if isinstance(e, tf.errors.OpError) else str(e)
                raise ValueError("{}: {}".format(where.numpy().decode("utf-8", "replace"),
                                                 message)) from e
            if training:
                return out[0], out[1]
            return out[0], out[1], out[2]

        return load

    def _positioned_records(self, storage):
        """The raw records of ``storage`` as pairs (record, where). A hook
        that cannot name files (one without ``positions``, such as a
        caller's replacement) has its records named by their position in
        the stream."""
        hook = self.build_and_load_base_iterator
        try:
            named = "positions" in inspect.signature(hook).parameters
        except (TypeError, ValueError):
            named = False
        if named:
            return hook(storage, False, positions=True)
        return hook(storage, False).enumerate().map(
            lambda k, record: (record, tf.strings.join(["record ", tf.strings.as_string(k),
                                                        " of the stream"])))

    def build_train_iterator(self, batch_size, prefetch=10, seed=None, *, repeat_threshold=None,
                             start=None):
        """Shuffled, augmented training batches.

        Each element is ``(images, (boxes,))``: images uint8
        [batch, height, width, channels] of ``shape``; boxes float32
        [batch, max boxes, 5] of [x1, y1, x2, y2, label] in pixels, samples
        with fewer boxes padded with all-zero rows (the no-object row).
        ``prefetch`` batches are prepared ahead.

        With ``aug_cfg``, each pass over the records groups consecutive
        shuffled samples (4 with mosaic or mix-up, which take their partners
        from the group) and makes one augmented output around each member,
        so a pass has one output per record. Passes are counted from 0 each
        time the returned pipeline is iterated anew (as Keras ``fit`` does
        every epoch) or repeated (``.repeat()``); "mosaic_stop_pass" refers
        to that count. ``seed`` fixes the order and the augmentation of
        every pass (the graph pipeline gives the same batches for the same
        seed); None draws a new seed for each pipeline built.

        ``repeat_threshold`` (a number in (0, 1]) repeats the records that
        hold rare classes: a class found in a fraction f of the records
        gives each of them the factor sqrt(threshold / f), and a record
        comes max(1, its largest factor) times per pass, the fraction
        rounded at random by (seed, pass, record). The labels of every
        record are read once, at the first request, without decoding the
        pictures (``describe().class_presence``). A pass then holds about
        the sum of the factors; ``get_num_train_samples`` still counts the
        records, and the pipeline's ``training_passes`` gives each pass's
        exact length.

        ``start=(pass_number, batch)`` resumes a run: passes are numbered
        from ``pass_number`` and the first ``batch`` batches of it are left
        out, as records, before any is decoded. With the same ``seed`` the
        pipeline yields exactly the batches an uninterrupted run would have
        yielded from there. Batches never span two passes (a pass ends with
        a smaller batch).
        """
        if self.shape is None:
            raise ValueError("shape [height, width, channels] is needed for training batches")
        about = self.describe()
        channels = about.channels
        padded = formats.detection_batch_shapes(channels, True, self.shape)
        load = self._eager_loader(True)
        config = self._augmentation
        key_seed = resolve_seed(seed)
        threshold = _sampling.check_threshold(repeat_threshold)
        start = _sampling.check_start(start)
        factors = None
        if threshold is not None:
            factors = _sampling.repeat_factors(_sampling.class_presence(self), threshold)

        # Outlined objects get boxes that stay tight through the augmentation.
        if config is None:
            outlines = None
        else:
            from ._outlines import training_outlines
            outlines = training_outlines(about)

        def decode(record, where):
            img, boxes = tf.py_function(load, [record, where], (tf.uint8, tf.float32))
            # A sample that does not fit the batch shape is an error, never padded.
            img = tf.ensure_shape(formats.fit_channels(tf, img, channels), padded[0])
            boxes = tf.ensure_shape(boxes, (None, 5))
            if outlines is None:
                return img, boxes
            # Read in the graph: named as the record's other errors are.
            from quorvane.trellisk import ops

            one = tf.data.Dataset.from_tensors(record).map(outlines)
            return (img, boxes) + tuple(ops.named_errors(one, where).get_single_element())

        def records():
            return self._positioned_records(self.train_storage)

        augment = None if config is None else _eager_augmenter(config)
        passes = _sampling.counted_passes(key_seed, start, int(batch_size))
        group = config.group_size if config is not None else 1
        ds = training_batches(passes, records, decode, augment, group, padded[0], batch_size,
                              prefetch, deterministic=seed is not None,
                              outlines=outlines is not None, factors=factors)
        pictures = (len(factors) if factors is not None
                    else self.num_train_samples or (lambda: _count(records())))
        return _sampling.attach(ds, _sampling.TrainingPasses(pictures, factors, key_seed,
                                                             batch_size, False, start))

    def build_val_iterator(self, batch_size=1):
        """Validation batches in reading order.

        Each element is ``(images, (boxes, image_names, sizes))``: images
        uint8 at their stored size, zero-padded at the bottom and right to the
        largest of the batch; boxes float32 [batch, max boxes, 5] of
        [x1, y1, x2, y2, label] as fractions of each image's stored size,
        padded with all-zero rows; image_names string [batch]; sizes int32
        [batch, 2] the stored (height, width) of each image.
        """
        channels = self.describe().channels
        load = self._eager_loader(False)

        def decode(record, where):
            img, boxes, name = tf.py_function(load, [record, where],
                                              (tf.uint8, tf.float32, tf.string))
            img = tf.ensure_shape(formats.fit_channels(tf, img, channels), (None, None, channels))
            boxes = tf.ensure_shape(boxes, (None, 5))
            name = tf.ensure_shape(name, ())
            return img, (boxes, name, tf.shape(img, out_type=tf.int32)[:2])

        ds = self._positioned_records(self.val_storage)
        ds = ds.map(decode, num_parallel_calls=tf.data.AUTOTUNE)
        ds = ds.padded_batch(batch_size,
                             padded_shapes=formats.detection_batch_shapes(channels, False))
        return ds.prefetch(tf.data.AUTOTUNE)


def _count(records):
    """The records of a stream, counted as read (none is decoded)."""
    return int(records.reduce(np.int64(0), lambda n, *_: n + 1))


def _eager_augmenter(config):
    """One augmented output of a group, by the native engine through
    tf.py_function (the engine runs without the interpreter lock)."""
    augment_group = _detaug.augment_group

    def run(images, boxes, counts, main, key_seed, pass_number, index, *outline):
        xy, parts = (o.numpy() for o in outline) if outline else (None, None)
        return augment_group(config, images.numpy(), boxes.numpy(), counts.numpy(), int(main),
                             int(key_seed), int(pass_number), int(index),
                             outline_xy=xy, outline_parts=parts)

    def augment(images, boxes, counts, main, key_seed, pass_number, index, *outline):
        return tf.py_function(run, [images, boxes, counts, main, key_seed, pass_number, index,
                                    *outline], (tf.uint8, tf.float32))

    return augment
