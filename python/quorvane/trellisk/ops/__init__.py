"""TensorFlow ops over the native kernels (the op library ``_trellisk_ops.so``).

The ops run inside TensorFlow's runtime without Python, so graphs made of them
can run in parallel ``tf.data`` maps, be serialized, and run in another process
(a tf.data service worker) that has loaded the library with :func:`load`.

- :func:`letterbox`: an image brought to ``shape`` by letterboxing or stretching,
  with the same pixels as the package's ``letterbox`` and ``cv2.resize``.
- :func:`read_annotation`: one JSON annotation file of a segmentation dataset.
- :func:`resample_outlines`: outlines into output pixels, resampled by arc length.
- :func:`paint_mask`: the class mask of a sample, as ``cv2.fillPoly`` paints it.
- :func:`detection_boxes`: the boxes of one TFRecord detection record.
- :func:`checked_records`: the records of TFRecord files, each frame checked as
  it is read (a drop-in for ``tf.data.TFRecordDataset``).
- :func:`named_errors`: a dataset whose errors name a given source.
- :func:`augment`: image and class mask augmented together by the native engine
  (when the library was built with it).
- :func:`detection_augment`: one detection output (image and boxes) built from a
  group of samples by the detection augmentation engine.
"""

import os

_library = None

LIBRARY_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_trellisk_ops.so")
# What the build wrote beside the library: "tensorflow <version>" or "off".
BUILD_INFO_PATH = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_trellisk_ops.txt")
REBUILD = "pip install --no-build-isolation --force-reinstall . (or make install)"


def _built_against():
    """The TensorFlow version the op library was built against, "off" when
    the package was built without it, None when nothing was recorded."""
    try:
        with open(BUILD_INFO_PATH) as f:
            words = f.read().split()
    except OSError:
        return None
    if words == ["off"]:
        return "off"
    return words[1] if len(words) == 2 and words[0] == "tensorflow" else None


def _minor(version):
    return tuple(version.split(".")[:2])


def load():
    """Load the op library once and return its op module.

    Raises ImportError, in one line saying how to rebuild, when the package
    was built without the library or against another TensorFlow minor
    release than the one running (its kernels are compiled against that
    release's ABI)."""
    global _library
    if _library is None:
        built = _built_against()
        if built == "off":
            raise ImportError(
                "this package was built without the op library (TRELLISK_OPS=OFF): reinstall it "
                "with TensorFlow installed: " + REBUILD)
        if not os.path.exists(LIBRARY_PATH):
            raise ImportError(
                "the op library {} is missing: reinstall the package with TensorFlow installed: "
                "{}".format(LIBRARY_PATH, REBUILD))
        import tensorflow as tf

        if built is None:
            raise ImportError(
                "the op library {} does not record the TensorFlow it was built against: rebuild "
                "it: {}".format(LIBRARY_PATH, REBUILD))
        if _minor(built) != _minor(tf.__version__):
            raise ImportError(
                "the op library was built against TensorFlow {} but TensorFlow {} is running: "
                "rebuild it: {}".format(built, tf.__version__, REBUILD))
        _library = tf.load_op_library(LIBRARY_PATH)
    return _library


def _size(shape):
    try:
        height, width = int(shape[0]), int(shape[1])
    except (TypeError, ValueError, IndexError):
        raise ValueError("shape must start with [height, width], got {!r}".format(shape)) from None
    if height < 1 or width < 1:
        raise ValueError("shape must have a positive height and width, got {!r}".format(shape))
    return height, width


def letterbox(image, shape, letter_box=True, source=""):
    """``image`` (uint8 [height, width, channels]) brought to ``shape[:2]``.

    Returns ``(image, frame)``; ``frame`` is float64 ``[w, h, padw, padh]``:
    a normalised vertex (x, y) lands on (w * x + padw, h * y + padh).
    ``source`` names the image in error messages."""
    height, width = _size(shape)
    return load().trellisk_letterbox(image, source, height=height, width=width,
                                     letterbox=bool(letter_box))


def read_annotation(path, image_dir, segments=True):
    """Read one JSON annotation file: ``(image_path, vertices, splits, classes)``.

    ``vertices`` float64 [V, 2] are the normalised vertices of the parts with
    at least three of them, part k being rows ``splits[k]:splits[k+1]``;
    ``classes`` int32 one per part. Fails with InvalidArgument naming the
    file for a document that is not a valid annotation."""
    return load().trellisk_read_annotation(path, image_dir, segments=bool(segments))


def resample_outlines(vertices, splits, classes, frame, num_points, source=""):
    """Outlines in output pixels, resampled to ``num_points`` points each.

    Returns ``(polygons, classes)``: float32 [M, num_points, 2] and int32 [M];
    outlines of length 0 are left out with their class."""
    num_points = int(num_points)
    if num_points < 1:
        raise ValueError("num_points must be at least 1, got {}".format(num_points))
    return load().trellisk_resample_outlines(vertices, splits, classes, frame, source,
                                             num_points=num_points)


def paint_mask(polygons, classes, shape):
    """int32 mask of ``shape[:2]``: 0 background, class + 1 inside polygon i.

    A class id outside 0..formats.MAX_CLASS_ID (2**31 - 2: the mask value of
    2**31 - 1 would not fit int32) or a non-finite coordinate fails with
    InvalidArgument."""
    height, width = _size(shape)
    return load().trellisk_paint_mask(polygons, classes, height=height, width=width)


def paint_mask_regions(polygons, classes, texts, list_values, list_splits, info, ids, frame, shape,
                       source=""):
    """The mask of :func:`paint_mask` with COCO RLE regions painted among the
    polygons, as the COCO reader's mask builder paints them.

    Region r: ``info[r]`` int64 (compressed, height, width, expected height,
    expected width or -1, mask value, polygons painted before it); its runs
    are ``texts[r]`` (compressed) or ``list_values[list_splits[r]:list_splits[r
    + 1]]``; ``ids[r]`` names its annotation in errors. ``frame`` places the
    source picture (w, h, padw, padh). A broken region fails with
    InvalidArgument naming ``source`` and the annotation."""
    height, width = _size(shape)
    return load().trellisk_paint_mask_regions(polygons, classes, texts, list_values, list_splits, info,
                                              ids, frame, source, height=height, width=width)


def detection_boxes(objects, bboxes, frame, image_size, shape, class_offset, training=True,
                    source=""):
    """Boxes [N, 5] of one detection record (see the op's documentation)."""
    height, width = _size(shape)
    return load().trellisk_detection_boxes(objects, bboxes, frame, image_size, source,
                                           training=bool(training), height=height, width=width,
                                           class_offset=int(class_offset))


DEFAULT_BUFFER_SIZE = 256 * 1024


def _filenames(filenames):
    import tensorflow as tf

    if isinstance(filenames, tf.data.Dataset):
        if filenames.element_spec != tf.TensorSpec([], tf.string):
            raise TypeError("filenames must be a dataset of scalar tf.string elements, got {}"
                            .format(filenames.element_spec))
        return filenames
    if isinstance(filenames, (str, bytes, os.PathLike)):
        filenames = [filenames]
    if isinstance(filenames, (list, tuple)):
        filenames = [os.fspath(f) for f in filenames]
    names = tf.convert_to_tensor(filenames, dtype_hint=tf.string)
    if names.dtype != tf.string:
        raise TypeError("filenames must be strings, got {!r} elements".format(names.dtype))
    return tf.reshape(names, [-1])


def _record_source(names, buffer_size):
    import tensorflow as tf
    from tensorflow.python.data.ops import dataset_ops

    class _CheckedRecords(dataset_ops.DatasetSource):
        def __init__(self):
            names_t = tf.convert_to_tensor(names, tf.string)
            size = tf.convert_to_tensor(buffer_size, tf.int64)
            super().__init__(load().trellisk_checked_record_dataset(names_t, size))

        @property
        def element_spec(self):
            return tf.TensorSpec([], tf.string)

    return _CheckedRecords()


def _positioned(source, name):
    """``source``'s records as pairs (record, "<name> record <k>"), k counted
    from 0 in the file: what an error about one record names."""
    import tensorflow as tf

    where = tf.strings.join([name, " record "])
    return source.enumerate().map(
        lambda k, record: (record, tf.strings.join([where, tf.strings.as_string(k)])))


def checked_records(filenames, num_parallel_reads=None, buffer_size=None, deterministic=None, *,
                    positions=False):
    """A ``tf.data.Dataset`` of the serialized records of the TFRecord files
    ``filenames`` (a path, a list of paths, a string tensor or a dataset of
    them), like ``tf.data.TFRecordDataset`` but with every frame checked as
    it is read: a frame whose length runs past the end of its file or whose
    checksums fail is a DataLoss error naming the file and byte offset when
    the stream reaches it, and the rest of that file is skipped (so
    ``ignore_errors()`` keeps the sound records). Nothing is read before the
    first element is drawn; a missing file is TensorFlow's NotFound then.

    ``num_parallel_reads``: None reads the files one after the other;
    ``tf.data.AUTOTUNE`` or a number interleaves that many files, one record
    from each in turn (``deterministic`` as for ``Dataset.interleave``).
    ``buffer_size``: bytes of the read buffer per file (default 256 KiB).
    ``positions=True`` gives pairs (record, where) instead, ``where`` the
    string "<file> record <k>" (k counted from 0 in its file), for errors
    about one record to name it."""
    import tensorflow as tf

    buffer_size = DEFAULT_BUFFER_SIZE if buffer_size is None else int(buffer_size)
    if buffer_size < 0:
        raise ValueError("buffer_size must not be negative, got {}".format(buffer_size))
    names = _filenames(filenames)

    # Plain graph code: AutoGraph would only try (and warn about failing) to
    # convert the library loading behind the dataset class.
    @tf.autograph.experimental.do_not_convert
    def one_file(name):
        source = _record_source(name, buffer_size)
        return _positioned(source, name) if positions else source

    if num_parallel_reads is None:
        if isinstance(names, tf.data.Dataset) or positions:
            if not isinstance(names, tf.data.Dataset):
                names = tf.data.Dataset.from_tensor_slices(names)
            return names.flat_map(one_file)
        return _record_source(names, buffer_size)
    if not isinstance(names, tf.data.Dataset):
        names = tf.data.Dataset.from_tensor_slices(names)
    if num_parallel_reads == tf.data.AUTOTUNE:
        return names.interleave(one_file, num_parallel_calls=tf.data.AUTOTUNE,
                                deterministic=deterministic)
    num_parallel_reads = int(num_parallel_reads)
    if num_parallel_reads < 1:
        raise ValueError("num_parallel_reads must be None, tf.data.AUTOTUNE or at least 1, got {}"
                         .format(num_parallel_reads))
    return names.interleave(one_file, cycle_length=num_parallel_reads, block_length=1,
                            num_parallel_calls=num_parallel_reads, deterministic=deterministic)


def named_errors(dataset, source):
    """``dataset`` unchanged, but any error it raises becomes
    InvalidArgument whose message starts with ``source`` (a scalar string):
    wrapped around the decoding of one record, every failure names the
    record and has one error class, whatever op raised it."""
    import tensorflow as tf
    from tensorflow.python.data.ops import dataset_ops

    class _NamedErrors(dataset_ops.UnaryUnchangedStructureDataset):
        def __init__(self):
            self._input_dataset = dataset
            variant = load().trellisk_named_errors_dataset(
                dataset._variant_tensor, tf.convert_to_tensor(source, tf.string),
                **self._flat_structure)
            super().__init__(dataset, variant)

    return _NamedErrors()


def augment(image, mask, epoch, index, seed, shape, channel_ops=True, diagonals=-1):
    """Image (uint8 [h, w, 3]) and class mask (int32 [h, w]) augmented together
    by the native engine for a dataset of ``shape``; the draws depend only on
    ``seed``, ``epoch`` and ``index`` (scalar int64 tensors or ints), so the
    same three give the same result on any thread. ``channel_ops`` includes
    channel dropout and shuffle; ``diagonals`` is the piecewise-affine
    triangulation (``datasets.augment.grid_diagonals``), -1 for the default."""
    height, width = _size(shape)
    seed = (int(seed) + 2 ** 63) % 2 ** 64 - 2 ** 63  # any int, as a 64-bit attribute
    out_image, out_mask = load().trellisk_augment(
        image, mask, tf_int64(epoch), tf_int64(index), seed=seed, height=height, width=width,
        channel_ops=bool(channel_ops), diagonals=int(diagonals))
    return out_image, out_mask


def _refuse(message):
    import tensorflow as tf

    raise tf.errors.InvalidArgumentError(None, None, "detection_augment: " + message)


def _type_name(value):
    dtype = getattr(value, "dtype", None)
    return "{} of {}".format(type(value).__name__, getattr(dtype, "name", dtype)) if dtype is not None \
        else type(value).__name__


def _scalar(name, value, low, high):
    """An int64 scalar tensor of the integer argument ``name``: a Python or
    NumPy int in low..high, or an integer tensor (range checked by the op).
    ``low`` None takes any int modulo 2**64, as its 64 bits. Booleans,
    floats and anything else are refused, as ``augment_group`` refuses
    them, never cast."""
    import numpy as np
    import tensorflow as tf

    if isinstance(value, (bool, np.bool_)):
        _refuse("{} must be an int, got bool".format(name))
    if isinstance(value, (int, np.integer)):
        value = int(value)
        if low is None:
            return tf.constant((value + 2 ** 63) % 2 ** 64 - 2 ** 63, tf.int64)
        if not low <= value <= high:
            _refuse("{} must be an int in {}..{}, got {}".format(name, low, high, value))
        return tf.constant(value, tf.int64)
    if isinstance(value, (tf.Tensor, tf.Variable, np.ndarray)):
        dtype = tf.as_dtype(value.dtype)
        if dtype.is_integer and (dtype != tf.uint64 or low is None):
            return tf.bitcast(value, tf.int64) if dtype == tf.uint64 else tf.cast(value, tf.int64)
    _refuse("{} must be an int, got {}".format(name, _type_name(value)))


def _array(name, value, kinds, dtype):
    """``value`` (a NumPy array, tensor or nested list) as a tensor of
    ``dtype`` when its element type is one of the NumPy ``kinds`` ("u1" for
    uint8 only); anything else is refused, never cast."""
    import numpy as np
    import tensorflow as tf

    if not isinstance(value, (tf.Tensor, tf.Variable)):
        value = np.asarray(value)
    element = np.dtype(tf.as_dtype(value.dtype).as_numpy_dtype)
    ok = element == np.uint8 if kinds == "u1" else (element.kind in kinds and element != np.bool_)
    if not ok:
        _refuse("{} must be {}, got {}".format(
            name, {"u1": "a uint8 array", "iu": "an integer array"}.get(kinds, "a numeric array"),
            _type_name(value)))
    value = tf.convert_to_tensor(value)
    return value if value.dtype == dtype else tf.cast(value, dtype)


def _counts(counts, boxes):
    """int32 ``counts`` in 0..N (N box rows). Wider integers are checked
    before they are narrowed: 2**32 + 3 must not become 3."""
    import tensorflow as tf

    values = _array("counts", counts, "iu", tf.int64)
    if boxes.shape.rank != 3:
        return tf.cast(values, tf.int32)  # the op refuses the boxes
    rows = tf.shape(boxes, out_type=tf.int64)[1]
    with tf.control_dependencies([
            tf.debugging.assert_non_negative(values, message="detection_augment: counts must be >= 0"),
            tf.debugging.assert_less_equal(values, rows, message="detection_augment: counts must not "
                                           "exceed the box rows given")]):
        return tf.cast(values, tf.int32)


def detection_augment(images, boxes, counts, main, seed, pass_number, index, config, *,
                      outline_xy=None, outline_parts=None):
    """One augmented detection output built around group member ``main``.

    ``images`` uint8 [k, H, W, 3] (the group, at the config's size), ``boxes``
    float32 [k, N, 5] rows ``[x1, y1, x2, y2, label]`` in pixels (rows at and
    beyond ``counts[j]`` are ignored), ``counts`` int32 [k]; ``main``, ``seed``,
    ``pass_number`` and ``index`` int64 scalars (tensors or ints; ``seed`` and
    ``index`` any int, taken modulo 2**64). ``config`` is a
    ``datasets._detaug.DetectionAugmentConfig`` or its ``serialized`` string.

    Returns ``(image, boxes)``: uint8 [H, W, 3] and float32 [M, 5] in output
    pixels, one row of zeros when no box is left. The same inputs give the
    same bytes as ``datasets._detaug.augment_group``. Bad input fails with
    InvalidArgument naming the argument, where ``augment_group`` refuses it:
    pictures that are not uint8, counts that are not integers or do not fit
    0..N, booleans or fractions for the integer arguments, ``main`` or
    ``pass_number`` out of range; nothing is cast into range.

    ``outline_xy`` float32 [k, V, 2] (pixels) and ``outline_parts`` int32
    [k, P, 3] rows (box row, first vertex, vertex count; count 0 is padding)
    give objects their outlines: their boxes become the extent of the warped
    outline clipped to the picture. None: every box by its corners."""
    import tensorflow as tf

    serialized = getattr(config, "serialized", config)
    if not isinstance(serialized, str):
        raise TypeError("config must be a DetectionAugmentConfig or its serialized string, got {}"
                        .format(type(config).__name__))
    images = _array("images", images, "u1", tf.uint8)
    boxes = _array("boxes", boxes, "fiu", tf.float32)
    counts = _counts(counts, boxes)
    if (outline_xy is None) != (outline_parts is None):
        raise ValueError("outline_xy and outline_parts go together")
    if outline_xy is None:
        k = tf.shape(images)[:1]
        outline_xy = tf.zeros(tf.concat([k, [0, 2]], 0), tf.float32)
        outline_parts = tf.zeros(tf.concat([k, [0, 3]], 0), tf.int32)
    top = 2 ** 63 - 1
    return load().trellisk_detection_augment(
        images, boxes, counts, _scalar("main", main, 0, top), _scalar("seed", seed, None, None),
        _scalar("pass_number", pass_number, 0, top), _scalar("index", index, None, None),
        tf.convert_to_tensor(outline_xy, tf.float32), tf.convert_to_tensor(outline_parts, tf.int32),
        config=serialized)


def _dense(feature):
    """A parsed list feature as a dense vector, whether parsed as a sparse
    (VarLenFeature) or a dense one (FixedLenSequenceFeature)."""
    import tensorflow as tf

    return tf.sparse.to_dense(feature) if isinstance(feature, tf.SparseTensor) else feature


def record_outlines(sample, max_class, image_size=None, shape=None, letter_box=True,
                    match_objects=True, source="", require=False):
    """The outlines of one parsed record (``sample``: the features of
    ``formats.record_features(tf, outlines=True)``), checked.

    Returns ``(points, parts, classes)``: float32 [V, 2] vertices, int32
    [P, 3] rows (object, first vertex, vertex count), int32 [M] one class per
    object. ``points`` are normalised, or with ``shape`` in pixels of the
    picture of ``image_size`` (height, width) letterboxed (or stretched) to
    ``shape[:2]``, as the boxes. Classes must be in 0..``max_class``; with
    ``match_objects`` outline object m is detection object m (same class).
    A record without outlines gives empty tensors (with ``require``, only
    when it has no objects either); a damaged one fails with
    InvalidArgument naming ``source``."""
    import tensorflow as tf

    from quorvane.trellisk.datasets import formats

    height, width = (0, 0) if shape is None else _size(shape)
    values = [_dense(sample[name]) for name, _, _ in formats.OUTLINE_FEATURES]
    objects = _dense(sample["objects"])
    size = tf.zeros([2], tf.int32) if image_size is None else tf.cast(image_size, tf.int32)
    return load().trellisk_record_outlines(
        *values, objects, size, source, max_class=int(max_class), match_objects=bool(match_objects),
        require=bool(require),
        height=height, width=width, letterbox=bool(letter_box))


def record_regions(sample, classes, source=""):
    """The RLE regions of one parsed record (``sample``: the features of
    ``formats.record_features(tf, outlines=True)``), checked against its
    outline objects (``classes``, the third result of
    :func:`record_outlines`) and its "height" and "width": int64 [R, 7] rows
    (compressed, height, width, expected height, expected width, class + 1,
    object), the ``info`` of :func:`paint_mask_regions` but for the last
    column, the object rather than the polygons before it. Region texts are
    ``sample[formats.REGION_COUNTS]``. A damaged record fails with
    InvalidArgument naming ``source``."""
    import tensorflow as tf

    from quorvane.trellisk.datasets import formats

    size = tf.stack([sample["height"], sample["width"]])
    return load().trellisk_record_regions(_dense(sample[formats.REGION_OBJECTS]),
                                          _dense(sample[formats.REGION_COUNTS]),
                                          classes, tf.cast(size, tf.int64), source)


def tf_int64(value):
    import tensorflow as tf

    return tf.cast(value, tf.int64)
