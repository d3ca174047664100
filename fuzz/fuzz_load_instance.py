"""Fuzz TFRecordDatasetYaml.load_instance on mutated records.

Input: flags (bit 0: the rest is JPEG bytes to put inside an otherwise
valid record, else the rest is the whole serialized record; bit 1:
validation form; bit 2: no letterbox; bit 3: no background class; bit 4:
the graph pipeline's decoding, under the op that names the record in its
errors), one spare byte, then the rest."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import numpy as np  # noqa: E402
import tensorflow as tf  # noqa: E402

from quorvane.trellisk.datasets import formats, graph  # noqa: E402
from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml  # noqa: E402

SHAPE = [12, 16, 3]
DS = TFRecordDatasetYaml.__new__(TFRecordDatasetYaml)
DS.shape = SHAPE


def record(jpeg):
    feature = {
        "image": tf.train.Feature(bytes_list=tf.train.BytesList(value=[jpeg])),
        "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[b"a.jpg"])),
        "width": tf.train.Feature(int64_list=tf.train.Int64List(value=[14])),
        "height": tf.train.Feature(int64_list=tf.train.Int64List(value=[10])),
        "objects": tf.train.Feature(int64_list=tf.train.Int64List(value=[0, 1])),
        "bboxes": tf.train.Feature(float_list=tf.train.FloatList(
            value=[0.5, 0.5, 0.2, 0.4, 0.1, 0.9, 0.4, 0.4])),
    }
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


# TensorFlow's parse and decode errors; mismatched box and object lists,
# inverted and non-finite boxes (ValueError).
ERRORS = (tf.errors.OpError, ValueError)
WHERE = "fuzz.tfrecord record 0"


def graph_decode(serialized, training):
    """The graph pipeline's decoding of one record: every failure must be
    InvalidArgument naming it."""
    about = formats.DatasetDescription(kind="tfrecord", shape=tuple(SHAPE),
                                       letterbox=DS.letter_box, class_offset=DS.class_offset,
                                       classes=("a", "b"))
    decode, _ = graph._tfrecord_decoder(about, training)
    try:
        image, parts = decode(tf.constant(serialized), tf.constant(WHERE))
    except tf.errors.OpError as e:
        harness.check(isinstance(e, tf.errors.InvalidArgumentError) and e.message.find(WHERE) >= 0,
                      "graph decoding error not named: {} {}".format(type(e).__name__, e.message[:200]))
        raise
    out = (image.numpy(), parts[0].numpy())
    return out if training else out + (parts[1],)


def one_input(data):
    inp = harness.Input(data)
    flags = inp.byte()
    inp.byte()
    payload = inp.rest()
    training = not flags & 2
    DS.letter_box = not flags & 4
    DS.class_offset = 0 if flags & 8 else 1
    serialized = record(payload) if flags & 1 else payload
    with harness.allowed(*ERRORS):
        if flags & 16:
            out = graph_decode(serialized, training)
        else:
            out = DS.load_instance(tf.constant(serialized), training)
        img, boxes = out[:2]
        harness.check(len(out) == (2 if training else 3), "item count")
        harness.check(img.dtype == np.uint8 and img.ndim == 3 and img.shape[2] in (1, 3),
                      "image {} {}".format(img.dtype, img.shape))
        if training:
            harness.check(img.shape[:2] == tuple(SHAPE[:2]), "image size {}".format(img.shape))
        harness.check(boxes.dtype == np.float32 and boxes.ndim == 2 and boxes.shape[1] == 5,
                      "boxes {} {}".format(boxes.dtype, boxes.shape))
        harness.signal("ok", training, img.shape[2], len(boxes), img.shape[0] > 64)
        harness.check(np.isfinite(boxes).all(), "non-finite box {}".format(boxes))
        harness.check(((boxes[:, 2] >= boxes[:, 0]) & (boxes[:, 3] >= boxes[:, 1])).all(),
                      "inverted box {}".format(boxes))
        limit = np.array(img.shape[1::-1] * 2, np.float32) if training else np.ones(4, np.float32)
        harness.check(((boxes[:, :4] >= 0) & (boxes[:, :4] <= limit)).all(),
                      "box outside the image {}".format(boxes))


if __name__ == "__main__":
    harness.main(one_input, "load_instance")
