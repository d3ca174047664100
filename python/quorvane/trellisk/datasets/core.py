"""Stand-in for the package's detection-dataset base module: the base class
that reads a dataset description, keeps the network input settings and
builds the tf.data training and validation pipelines from its subclasses'
hooks."""

import warnings

import tensorflow as tf

from . import formats


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
        aug_cfg (dict): augmentation settings, kept as ``aug_cfg``; this base
            applies no augmentation, so a non-empty one gives a UserWarning
            saying it has no effect.

    Subclasses provide the hooks ``validate_info_file_content(info_dataset)``
    and ``load_storage()`` (which set ``classes``, ``num_train_samples``,
    ``num_val_samples``, ``train_storage`` and ``val_storage``), and
    ``build_and_load_base_iterator(storage, shuffle)`` and
    ``load_instance(data, training)`` that the pipelines are made of.
    A split whose sample count the description leaves out gets the count 0.
    """

    def __init__(self, info_file=None, shape=None, letter_box=True, add_bkg_class=True,
                 aug_cfg=None):
        self.shape = shape
        self.letter_box = letter_box
        self.class_offset = 1 if add_bkg_class else 0
        self.aug_cfg = aug_cfg
        if aug_cfg:
            # Kept for callers that read it back, but neither the default nor
            # the graph pipeline augments detection samples: say so once
            # rather than train silently without it.
            warnings.warn("aug_cfg has no effect: detection datasets apply no augmentation, in the "
                          "default and the graph pipelines alike", UserWarning, stacklevel=2)
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

    def build_and_load_base_iterator(self, storage, shuffle=True):
        """Return a tf.data stream of raw records from ``storage`` (subclass hook)."""
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
            info_file=self._info_file, augmentation=None)

    # --------------------------------------------------------- pipelines

    def _eager_loader(self, training):
        """The function tf.py_function runs (eagerly) on each raw record."""
        load_instance = self.load_instance

        def load(record):
            out = load_instance(record, training)
            if training:
                return out[0], out[1]
            return out[0], out[1], out[2]

        return load

    def build_train_iterator(self, batch_size, prefetch=10):
        """Shuffled training batches.

        Each element is ``(images, (boxes,))``: images uint8
        [batch, height, width, channels] of ``shape``; boxes float32
        [batch, max boxes, 5] of [x1, y1, x2, y2, label] in pixels, samples
        with fewer boxes padded with all-zero rows (the no-object row).
        ``prefetch`` batches are prepared ahead.
        """
        if self.shape is None:
            raise ValueError("shape [height, width, channels] is needed for training batches")
        about = self.describe()
        channels = about.channels
        padded = formats.detection_batch_shapes(channels, True, self.shape)
        load = self._eager_loader(True)

        def decode(record):
            img, boxes = tf.py_function(load, [record], (tf.uint8, tf.float32))
            # A sample that does not fit the batch shape is an error, never padded.
            img = tf.ensure_shape(formats.fit_channels(tf, img, channels), padded[0])
            boxes = tf.ensure_shape(boxes, (None, 5))
            return img, (boxes,)

        ds = self.build_and_load_base_iterator(self.train_storage, True)
        ds = ds.map(decode, num_parallel_calls=tf.data.AUTOTUNE, deterministic=False)
        ds = ds.padded_batch(batch_size, padded_shapes=padded)
        return ds.prefetch(prefetch)

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

        def decode(record):
            img, boxes, name = tf.py_function(load, [record], (tf.uint8, tf.float32, tf.string))
            img = tf.ensure_shape(formats.fit_channels(tf, img, channels), (None, None, channels))
            boxes = tf.ensure_shape(boxes, (None, 5))
            name = tf.ensure_shape(name, ())
            return img, (boxes, name, tf.shape(img, out_type=tf.int32)[:2])

        ds = self.build_and_load_base_iterator(self.val_storage, False)
        ds = ds.map(decode, num_parallel_calls=tf.data.AUTOTUNE)
        ds = ds.padded_batch(batch_size,
                             padded_shapes=formats.detection_batch_shapes(channels, False))
        return ds.prefetch(tf.data.AUTOTUNE)
