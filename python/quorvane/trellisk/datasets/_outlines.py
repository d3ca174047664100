"""The outlines of detection records for the augmentation engine, read the
same way by the default and the graph training pipelines (so both give the
same boxes for a seed): parsed in the graph, checked by the op library's
record-outline kernel and brought to the pixels of the training picture
through the same letterbox frame as the boxes."""

import tensorflow as tf

from quorvane.trellisk import ops

from . import formats

# The picture only for its size (the JPEG header), "objects" to pair each
# outline with its box.
_FEATURES = {name: spec for name, spec in formats.record_features(tf, outlines=True).items()
             if name in ("image", "image_name", "objects")
             or name in dict((n, k) for n, k, _ in formats.OUTLINE_FEATURES)}


def outline_reader(about):
    """``read(sample, size) -> (vertices float32 [V, 2], parts int32 [P, 3])``
    on a record already parsed with the outline features, ``size`` the
    stored picture's (height, width): vertices in pixels of the training
    picture of the detection dataset ``about`` (a ``DatasetDescription``
    with a ``shape``), parts as ``ops.detection_augment`` takes them. A
    record without outlines gives no parts (its boxes keep their corners);
    a damaged one is InvalidArgument naming the image."""
    shape = [int(v) for v in about.shape[:2]]
    max_class = formats.max_label(about.class_offset)
    letter_box = about.letterbox

    def read(sample, size):
        points, parts, _ = ops.record_outlines(sample, max_class, size, shape, letter_box,
                                               match_objects=True, source=sample["image_name"])
        return points, parts

    return read


def training_outlines(about):
    """``decode(record)``: ``outline_reader(about)`` on a serialized record,
    the picture's size taken from its JPEG header."""
    read = outline_reader(about)

    def decode(record):
        sample = tf.io.parse_single_example(record, _FEATURES)
        return read(sample, tf.io.extract_jpeg_shape(sample["image"])[:2])

    return decode
