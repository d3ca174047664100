"""Fuzz the record-file framing check (tfrecord.scan_record_file) and the
checked record stream (ops.checked_records) on mutated .tfrecord files. Both
must match a plain-Python reading of the framing: the stream yields exactly
the sound records, then fails naming the file and the offset of the damaged
frame; a file the scan passes must read through TensorFlow's reader with
exactly the records it counted. The record writer, given the sound
records, must write the sound part of the file again byte for byte.

Input: the whole file."""

import os
import struct
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import tensorflow as tf  # noqa: E402

from quorvane.trellisk import ops  # noqa: E402
from quorvane.trellisk.datasets import tfrecord  # noqa: E402
from quorvane.trellisk.datasets._recordio import RecordWriter  # noqa: E402

WORK = harness.scratch("framing")
_count = [0]


def _table():
    table = []
    for i in range(256):
        c = i
        for _ in range(8):
            c = (c >> 1) ^ 0x82F63B78 if c & 1 else c >> 1
        table.append(c)
    return table


TABLE = _table()


def masked_crc(data):
    c = 0xFFFFFFFF
    for b in data:
        c = TABLE[(c ^ b) & 0xFF] ^ (c >> 8)
    c ^= 0xFFFFFFFF
    return (((c >> 15) | (c << 17)) + 0xA282EAD8) & 0xFFFFFFFF


def reference(data, bodies=None):
    """(records, offset of the first damaged frame or None); the sound
    records' data are appended to ``bodies`` when given."""
    pos = records = 0
    bodies = [] if bodies is None else bodies
    while pos < len(data):
        if len(data) - pos < 12:
            return records, pos
        header = data[pos:pos + 8]
        (length,) = struct.unpack("<Q", header)
        if struct.unpack("<I", data[pos + 8:pos + 12])[0] != masked_crc(header):
            return records, pos
        if length > len(data) - pos - 16:
            return records, pos
        body = data[pos + 12:pos + 12 + length]
        if struct.unpack("<I", data[pos + 12 + length:pos + 16 + length])[0] != masked_crc(body):
            return records, pos
        bodies.append(body)
        pos += 16 + length
        records += 1
    return records, None


def one_input(data):
    # a new name each time: a sound file is remembered by name and stat
    _count[0] += 1
    path = harness.write(os.path.join(WORK, "r{}.tfrecord".format(_count[0])), data)
    try:
        records, offset, problem = tfrecord.scan_record_file(path)
        expected = reference(data)
        harness.check((records, offset) == expected,
                      "scan {} vs reading {}".format((records, offset, problem), expected))
        harness.signal(offset is None, "x" * min(records, 4), (problem or "")[:20])
        bodies = []
        reference(data, bodies)
        streamed, error = [], None
        try:
            for record in ops.checked_records(path):
                streamed.append(record.numpy())
        except tf.errors.DataLossError as e:
            error = e.message
        harness.check(streamed == bodies, "stream gave {} records, reading {}".format(
            len(streamed), len(bodies)))
        where = "Damaged TFRecord file {} at byte {}: ".format(path, offset)
        harness.check((error is None) == (offset is None) and (error is None or where in error),
                      "stream error {!r}, expected damage at {}".format(error, offset))
        if offset is None:
            read = sum(1 for _ in tf.data.TFRecordDataset(path))
            harness.check(read == records, "reader saw {} of {} records".format(read, records))
        again = path + ".written"
        writer = RecordWriter(again)
        try:
            for body in bodies:
                writer.write(body)
            writer.close(False)
            with open(again, "rb") as f:
                written = f.read()
            sound = data if offset is None else data[:offset]
            harness.check(written == sound and writer.records == len(bodies)
                          and writer.bytes == len(sound),
                          "writer gave {} bytes for {} sound ones".format(len(written), len(sound)))
        finally:
            os.remove(again)
    finally:
        os.remove(path)


if __name__ == "__main__":
    harness.main(one_input, "framing")
