"""The training stream of the detection datasets, shared by the default
pipeline (``BaseDetectionDataset.build_train_iterator``) and the graph one
(``graph.train_pipeline``), so that both cut, order, group and key the
samples the same way and give the same batches for the same seed.

One pass over the data: records -> shuffled in blocks of 200 records (by the
key seed and the pass number) -> decode -> index each sample within the
pass -> groups of ``group_size`` consecutive samples (the last group of a pass
may be smaller) -> one augmented output per member of a group, that member
being its main sample (mosaic and mix-up take their partners from the rest of
the group). So every record is the main sample of exactly one output per pass
and a pass keeps its length. The augmentation of an output depends only on
(key seed, pass number, index of its main sample), whatever thread runs it.

Passes come from a dataset of (pass number, key seed, samples to leave
out) triples: the pipelines decide how passes are counted and where a
resumed run starts. Left-out samples are dropped as records, before they
are decoded (a whole group, when the start falls inside one, is decoded for
its partners). With repeat factors, each record of a block comes as often
as its copies say before the block is permuted, so its copies spread over
the block. Batches never span two passes: the last batch of a pass may be
smaller.
"""

import os

import tensorflow as tf

from ._sampling import copies
from .formats import RECORD_SHUFFLE_BUFFER

AUTOTUNE = tf.data.AUTOTUNE
SEED_BITS = 63


def resolve_seed(seed):
    """``seed`` as a non-negative int64 key seed; None draws a random one."""
    if seed is None:
        return int.from_bytes(os.urandom(8), "little") >> (64 - SEED_BITS)
    try:
        value = int(seed)
    except (TypeError, ValueError):
        raise TypeError("seed must be an integer or None, got {!r}".format(seed)) from None
    return value % (1 << SEED_BITS)


def shuffled(records, key_seed, pass_number, factors=None):
    """``records`` in the order of one pass: blocks of RECORD_SHUFFLE_BUFFER
    consecutive records, each permuted by a stateless draw of (key seed, pass
    number, block). A new order every pass, the same order for the same key
    seed and pass, and no random state in the graph (a seeded shuffle op
    would need its seed as a Python int, and tf.data service workers would
    have to share its state). With ``factors``, every record of a block
    first comes as often as its copies in the pass say."""
    seed = tf.stack([tf.cast(key_seed, tf.int64), tf.cast(pass_number, tf.int64)])
    counts = None if factors is None else copies(factors, key_seed, pass_number)

    def permute(block_number, block):
        # Elements may be tuples (record, where): all parts move together.
        # Positions in the block, each as often as the record comes; the
        # records themselves are copied once, by the final gather.
        parts = tf.nest.flatten(block)
        picks = tf.range(tf.size(parts[0], out_type=tf.int64))
        if counts is not None:
            first = block_number * RECORD_SHUFFLE_BUFFER
            picks = tf.repeat(picks, counts[first:first + tf.size(picks, out_type=tf.int64)])
        keys = tf.random.stateless_uniform(
            tf.shape(picks), seed=tf.random.experimental.stateless_fold_in(seed, block_number))
        order = tf.gather(picks, tf.argsort(keys))
        return tf.data.Dataset.from_tensor_slices(
            tf.nest.map_structure(lambda part: tf.gather(part, order), block))

    # The next block is read while this one is used: without it, every 200
    # records the samples wait for a whole block to be read in one thread.
    return records.batch(RECORD_SHUFFLE_BUFFER).prefetch(1).enumerate().flat_map(permute)


def training_batches(passes, records, decode, augment, group_size, sample_shape, batch_size,
                     prefetch, deterministic, outlines=False, factors=None):
    """Padded training batches ``(images, (boxes,))`` over ``passes``.

    ``records()``: the serialized records, in file order, each a pair
    (record, where) with ``where`` naming it for errors.
    ``decode(record, where)``: (image uint8 sample_shape, boxes float32 [N, 5]),
    or with ``outlines`` also (outline vertices float32 [V, 2] in pixels,
    outline parts int32 [P, 3]) for the augmentation (see ``ops.detection_augment``).
    ``augment(images, boxes, counts, main, key_seed, pass_number, index)``,
    with ``outlines`` also ``(..., outline_xy, outline_parts)`` of the group:
    one output (image, boxes) of a group, or None for no augmentation.
    ``factors``: each record's repeat factor, or None.
    """
    height, width, channels = sample_shape
    image_shape = tf.TensorShape([height, width, channels])

    def to_element(image, boxes):
        # A sample that does not fit the batch shape is an error, never padded.
        return tf.ensure_shape(image, image_shape), (tf.ensure_shape(boxes, (None, 5)),)

    if factors is not None:
        factors = tf.constant(factors, tf.float64)

    # Pictures are batched as they are (all of one shape) and the boxes
    # ragged, then padded with all-zero rows to the longest of the batch: the
    # same batches as padding both, without copying every picture through
    # the padding.
    def batched(outputs):
        return outputs.ragged_batch(batch_size).map(
            lambda images, boxes: (images, (boxes[0].to_tensor(),)))

    def one_pass(pass_number, key_seed, skip):
        recs = shuffled(records(), key_seed, pass_number, factors)
        if augment is None:
            return batched(recs.skip(skip).map(
                lambda record, where: to_element(*decode(record, where)[:2]),
                num_parallel_calls=AUTOTUNE, deterministic=deterministic))

        def decode_indexed(index, element):
            image, boxes, *outline = decode(*element)
            return (image, boxes, tf.shape(boxes, out_type=tf.int32)[0], index, *outline)

        # Whole groups before the start are never decoded; the group the
        # start falls in is, for its partners.
        first = skip // group_size * group_size
        indexed = tf.data.Dataset.zip((tf.data.Dataset.range(first, 2 ** 62), recs.skip(first)))
        groups = indexed.map(decode_indexed, num_parallel_calls=AUTOTUNE,
                             deterministic=deterministic)
        # Outline parts are padded with all-zero rows: vertex count 0, no part.
        groups = groups.padded_batch(
            group_size, padded_shapes=(image_shape, [None, 5], [], [])
            + (([None, 2], [None, 3]) if outlines else ()))

        def members(images, boxes, counts, indices, *outline):
            return tf.data.Dataset.range(tf.size(counts, out_type=tf.int64)).map(
                lambda j: (images, boxes, counts, indices, j, *outline))

        def augment_member(images, boxes, counts, indices, main, *outline):
            return to_element(*augment(images, boxes, counts, main, key_seed, pass_number,
                                       tf.gather(indices, main), *outline))

        return batched(groups.flat_map(members).skip(skip - first).map(
            augment_member, num_parallel_calls=AUTOTUNE, deterministic=deterministic))

    return passes.flat_map(one_pass).prefetch(prefetch)
