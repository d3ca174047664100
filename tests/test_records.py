"""The checked record stream: same records as TensorFlow's reader, nothing
read before the first element, resumable from a checkpoint and rebuilt from
its serialized graph."""

import os

import pytest
import tensorflow as tf

from quorvane.trellisk import ops
from quorvane.trellisk.datasets.tfrecord import TFRecordDataset
from test_tfrecord import bare, example, picture, write_records


@pytest.fixture
def files(tmp_path):
    # Records from empty to larger than the read buffer, so frames straddle refills.
    sizes = [[0, 1, 5000], [300_000, 17], [], [70_000] * 5]
    paths = []
    for k, file_sizes in enumerate(sizes):
        path = tmp_path / "f{}.tfrecord".format(k)
        write_records(path, [os.urandom(n) for n in file_sizes])
        paths.append(str(path))
    return paths


def records(ds):
    return [r.numpy() for r in ds]


@pytest.mark.parametrize("parallel", [None, 1, 3, tf.data.AUTOTUNE])
@pytest.mark.parametrize("buffer_size", [None, 0, 65_536])
def test_same_records_as_tensorflows_reader(files, parallel, buffer_size):
    ours = ops.checked_records(files, num_parallel_reads=parallel, buffer_size=buffer_size)
    assert ours.element_spec == tf.TensorSpec([], tf.string)
    assert records(ours) == records(tf.data.TFRecordDataset(files, num_parallel_reads=parallel))


def test_file_names_from_a_dataset(files):
    names = tf.data.Dataset.from_tensor_slices(files)
    assert records(ops.checked_records(names)) == records(tf.data.TFRecordDataset(files))


@pytest.mark.parametrize("shuffle", [False, True])
def test_missing_file_fails_only_when_drawn(tmp_path, shuffle):
    good = tmp_path / "good.tfrecord"
    write_records(good, [example(picture(20, 30), [0], [0.5, 0.5, 0.2, 0.2])])
    missing = str(tmp_path / "later.tfrecord")
    stream = bare().build_and_load_base_iterator([missing], shuffle)  # the file does not exist yet
    with pytest.raises(tf.errors.NotFoundError, match="later.tfrecord"):
        next(iter(stream))
    os.rename(good, missing)  # the same stream reads it once it is there
    assert len(records(stream)) == 1


def test_constructor_reads_no_record(tmp_path):
    # Files that are not record files at all: only listed, never read.
    for split in ("train", "val"):
        (tmp_path / split).mkdir()
        (tmp_path / split / "x.tfrecord").write_bytes(b"not a record file")
    ds = TFRecordDataset({"classes": ["a"], "train": {"path": str(tmp_path / "train")},
                          "validation": {"path": str(tmp_path / "val")}}, [20, 30, 3])
    with pytest.raises(tf.errors.DataLossError, match="x.tfrecord at byte 0"):
        next(iter(ds.build_and_load_base_iterator(ds.train_storage, False)))


def test_resumes_from_checkpoint_and_serialized_graph(files, tmp_path):
    expected = records(tf.data.TFRecordDataset(files))
    it = iter(ops.checked_records(files, buffer_size=0))
    head = [next(it).numpy() for _ in range(4)]  # stops inside the second file
    saved = tf.train.Checkpoint(it=it).save(str(tmp_path / "ckpt"))
    again = iter(ops.checked_records(files, buffer_size=0))
    tf.train.Checkpoint(it=again).restore(saved)
    assert head + records(again) == expected

    source = ops.checked_records(files)
    rebuilt = tf.data.experimental.from_variant(
        tf.raw_ops.DatasetFromGraph(graph_def=source._as_serialized_graph()), source.element_spec)
    assert records(rebuilt) == expected


@pytest.mark.parametrize("bad", [{"num_parallel_reads": 0}, {"buffer_size": -1}])
def test_bad_arguments_refused(files, bad):
    with pytest.raises(ValueError):
        ops.checked_records(files, **bad)


def test_writer_round_trip_past_the_early_writeback(tmp_path):
    """The record writer hands each 8 MiB to the disk as it goes; records
    on both sides of those points read back whole, CRCs checked."""
    from quorvane.trellisk.datasets._recordio import RecordWriter

    data = [os.urandom(n) for n in [0, 3 << 20, 5 << 20, 1, 6 << 20, 17]]
    path = str(tmp_path / "w.tfrecord")
    writer = RecordWriter(path)
    for d in data:
        writer.write(d)
    writer.close(True)
    assert records(tf.data.TFRecordDataset(path)) == data
    assert records(ops.checked_records([path])) == data
