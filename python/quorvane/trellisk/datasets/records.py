"""Serialized tf.train.Example records of the TFRecord detection datasets,
made without TensorFlow (the packing processes never import it).

The encoding is the protocol-buffer one of Example > Features > map<string,
Feature>, with the feature set and types of ``formats.RECORD_FEATURES`` and
the map entries in key order, so equal values always give equal bytes.
"""

import struct

from . import formats

# Field numbers of tf.train.Feature's three lists, by the dtype names of
# formats.RECORD_FEATURES.
_LIST_FIELD = {"string": 1, "float32": 2, "int64": 3}
_LENGTH_DELIMITED = 2


# Most varints (field tags, short lengths, class indices) fit one byte.
_SMALL = [bytes((v,)) for v in range(0x80)]


def _varint(v):
    if 0 <= v < 0x80:
        return _SMALL[v]
    out = bytearray()
    while True:
        byte = v & 0x7F
        v >>= 7
        if v:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def _field(number, payload):
    return _varint(number << 3 | _LENGTH_DELIMITED) + _varint(len(payload)) + payload


def _int64s(values):
    # Two's complement in 64 bits, as protobuf encodes a negative int64.
    return b"".join(_varint(int(v) & 0xFFFFFFFFFFFFFFFF) for v in values)


def _feature(dtype, values):
    if dtype == "string":
        inner = b"".join(_field(1, bytes(v)) for v in values)
    elif dtype == "float32":
        inner = _field(1, struct.pack("<{}f".format(len(values)), *values)) if len(values) else b""
    else:
        inner = _field(1, _int64s(values)) if len(values) else b""
    return _field(_LIST_FIELD[dtype], inner)


def _outline_values(outlines):
    """The four outline features of ``outlines`` (see encode_example)."""
    classes, parts, vertices, xy = [], [], [], []
    for cls, polygons in outlines:
        classes.append(int(cls))
        parts.append(len(polygons))
        for polygon in polygons:
            points = [(float(x), float(y)) for x, y in polygon]
            vertices.append(len(points))
            xy.extend(v for point in points for v in point)
    return {formats.OUTLINE_CLASSES: classes, formats.OUTLINE_PARTS: parts,
            formats.OUTLINE_VERTICES: vertices, formats.OUTLINE_XY: xy}


def encode_example(image, image_name, width, height, objects, bboxes, *, outlines=None, regions=None):
    """The serialized record of one sample.

    ``image``: the JPEG bytes; ``image_name``: str or bytes; ``width``,
    ``height``: the stored picture's size; ``objects``: one class index per
    object; ``bboxes``: four floats per object (x-centre, y-centre, width,
    height as fractions of the picture), flat or as rows.

    ``outlines``: None (the record carries boxes only, the same bytes as
    ever), or one ``(class, parts)`` per object, in the order of
    ``objects`` when it has any: ``parts`` a list of polygons, each a list
    of (x, y) fractions of the picture. The values are written as given;
    the readers check them.

    ``regions``: None or empty (no region features: the same bytes as
    without them), or one ``(object, counts)`` per COCO RLE region, objects
    in increasing order: ``object`` the position of its object among
    ``outlines``, ``counts`` the compressed RLE text (str or bytes) at
    ``height`` x ``width``.
    """
    if isinstance(image_name, str):
        image_name = image_name.encode("utf-8", "surrogateescape")
    flat = [float(v) for row in bboxes for v in (row if isinstance(row, (list, tuple)) else [row])]
    if len(flat) != formats.BOX_VALUES * len(objects):
        raise ValueError("{} objects need {} box values, got {}".format(
            len(objects), formats.BOX_VALUES * len(objects), len(flat)))
    values = {"image": [image], "image_name": [image_name], "width": [width],
              "height": [height], "objects": list(objects), "bboxes": flat}
    kinds = {name: dtype for name, _, dtype in formats.RECORD_FEATURES}
    if outlines is not None:
        values.update(_outline_values(outlines))
        kinds.update((name, dtype) for name, _, dtype in formats.OUTLINE_FEATURES)
    if regions:
        values[formats.REGION_OBJECTS] = [int(m) for m, _ in regions]
        values[formats.REGION_COUNTS] = [c.encode("ascii") if isinstance(c, str) else bytes(c) for _, c in regions]
        kinds.update((name, dtype) for name, _, dtype in formats.REGION_FEATURES)
    if set(kinds) != set(values):
        raise AssertionError("record features changed: {}".format(sorted(kinds)))
    entries = b"".join(
        _field(1, _field(1, name.encode()) + _field(2, _feature(kinds[name], values[name])))
        for name in sorted(values))
    return _field(1, entries)
