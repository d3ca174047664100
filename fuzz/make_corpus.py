"""Write the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Run once before fuzzing (the folder is not kept in git; libFuzzer adds the
inputs it finds interesting to it): python fuzz/make_corpus.py"""

import hashlib
import io
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

import numpy as np  # noqa: E402
from PIL import Image  # noqa: E402

SQUARE = [[0.25, 0.25], [0.75, 0.25], [0.75, 0.75], [0.25, 0.75]]


def image_bytes(fmt, size=(12, 10), mode="RGB", seed=0):
    rng = np.random.default_rng(seed)
    chans = {"RGB": 3, "RGBA": 4, "L": 1, "P": 1}[mode]
    arr = rng.integers(0, 256, (size[1], size[0], chans), dtype=np.uint8)
    img = Image.fromarray(arr[..., 0] if chans == 1 else arr, "L" if mode == "P" else mode)
    if mode == "P":
        img = img.convert("P")
    buf = io.BytesIO()
    img.save(buf, fmt)
    return buf.getvalue()


IMAGES = [image_bytes("PNG"), image_bytes("JPEG", seed=1), image_bytes("PNG", mode="L"),
          image_bytes("PNG", mode="RGBA"), image_bytes("GIF", mode="P"),
          image_bytes("BMP", size=(5, 17)), image_bytes("PNG", size=(1, 1))]


def annotations():
    yield {"image": "0.png", "segment": [[{"polygon": SQUARE, "class": 0}]]}
    yield {"image": "dir/0.png", "segment": [[{"polygon": SQUARE, "class": 2},
                                               {"polygon": [[0, 0], [1, 0], [0.5, 1]], "class": 1}],
                                              [{"polygon": [[0.1, 0.1], [0.2, 0.2]], "class": 0}]],
           "dimension": [12, 10], "boxes": []}
    yield {"image": "0.png"}
    yield {"image": "0.png", "segment": []}
    yield {"image": "0.png", "segment": [[{"polygon": [[0.5, 0.5]] * 4, "class": 1}]]}
    yield {"image": "0.png", "segment": [[{"polygon": [[-0.5, 2.0], [1.5, -1.0], [0.3, 0.9],
                                                       [0.3, 0.9], [0.0, 0.0]], "class": 2}]]}


def seeds_annotation():
    for i, a in enumerate(annotations()):
        for j, img in enumerate(IMAGES):
            if (i + j) % 2 == 0 or j == 0:
                yield harness.pack([i % 4], json.dumps(a).encode(), rest=img)


def coco(polygons=((2, 2, 10, 2, 10, 8, 2, 8),), categories=((1, "cat"), (2, "dog"))):
    return {
        "images": [{"file_name": "a.png", "id": 1, "width": 12, "height": 10},
                   {"file_name": "a.png", "id": 2}],
        "categories": [{"id": i, "name": n} for i, n in categories],
        "annotations": [{"id": 5, "image_id": 1, "category_id": 1, "iscrowd": 0,
                         "segmentation": [list(p) for p in polygons]},
                        {"id": 6, "image_id": 2, "category_id": 2,
                         "segmentation": [[0, 0, 12, 0, 6, 10]]}],
    }


def seeds_coco():
    docs = [coco(), coco(categories=((0, "bg"), (1, "cat"), (2, "dog"))),
            coco(polygons=((1, 1, 1, 1, 1, 1), (0, 0, 12, 10, 0, 10, 12, 0))),
            dict(coco(), annotations=coco()["annotations"] + [
                {"id": 7, "image_id": 1, "category_id": 2, "iscrowd": 1,
                 "segmentation": {"counts": [0, 5, 115], "size": [10, 12]}}])]
    for i, d in enumerate(docs):
        for j, img in enumerate(IMAGES[:3]):
            yield harness.pack([i + j], json.dumps(d).encode(), rest=img)


SEG_YAML = """classes: [person, car]
train:
  images: seg/train/img
  annotations: seg/train/ann
validation:
  images: seg/val/img
  annotations: seg/val/ann
"""
TFR_YAML = """type: tfrecord
classes: [car, person]
train:
  path: tfr/train
  samples: 3
validation:
  path: tfr/val
"""
TFR_OLD_YAML = """classes: []
train: {images: tfr/train}
validation: {images: tfr/val, samples: 0}
"""
ANCHORS = """base: &b [a, b]
classes: &c [*b, *b]
train: &t {images: seg/train/img, annotations: seg/train/ann}
validation: *t
type: !!str tfrecord
"""


def seeds_yaml():
    for i, text in enumerate([SEG_YAML, TFR_YAML, TFR_OLD_YAML, ANCHORS]):
        for family in (0, 1):
            yield harness.pack([family, i], rest=text.encode())


def seeds_load_instance():
    import tensorflow as tf
    sys.path.insert(0, os.path.join(os.path.dirname(harness.HERE), "tests"))
    from test_tfrecord import example
    rng = np.random.default_rng(0)
    img = rng.integers(0, 256, (10, 14, 3), dtype=np.uint8)
    records = [example(img, [0, 2], [0.5, 0.5, 0.2, 0.4, 0.1, 0.1, 0.4, 0.4]),
               example(img),
               example(img[:, :, :1], [1], [0.5, 0.5, 1.0, 1.0], width=3, height=900),
               example(img, [0], [2.0, -1.0, 0.5, 0.5]),
               example(img, [0], [0.5, 0.5, -0.2, 0.3])]
    for graph in (0, 16):                              # extension module, graph decoding
        for i, r in enumerate(records):
            yield harness.pack([graph, i], rest=r)     # the whole record mutated
    jpegs = [tf.io.encode_jpeg(img).numpy(), tf.io.encode_jpeg(img[:, :, :1]).numpy(),
             tf.io.encode_jpeg(img, progressive=True).numpy(), image_bytes("PNG")]
    for graph in (0, 16):
        for i, j in enumerate(jpegs):
            yield harness.pack([1 | graph, i], rest=j)  # only the image bytes mutated


def seeds_framing():
    import tensorflow as tf
    path = os.path.join(harness.scratch("corpus"), "r.tfrecord")
    for n, sizes in enumerate([(), (0,), (5,), (30, 1, 200)]):
        with tf.io.TFRecordWriter(path) as w:
            for k, size in enumerate(sizes):
                w.write(bytes([k]) * size)
        with open(path, "rb") as f:
            yield f.read()


def seeds_attitude():
    # flags, weights (three chunks of 8 bytes each: a float64), then the
    # angles as float32 values
    f64 = lambda v: np.float64(v).tobytes()
    for n, w in enumerate([(1, 1, 1), (2, 0, 0.5), (0, 0, 0)]):
        angles = np.arange(12, dtype=np.float32) / 4
        yield harness.pack([n % 4, 0b111], *(f64(v) for v in w), rest=angles.tobytes())


def seeds_augment():
    rng = np.random.default_rng(0)
    for n, (flags, eh, ew, ih, iw) in enumerate([(1, 16, 16, 16, 16), (0, 12, 20, 9, 7),
                                                 (2, 16, 16, 16, 16), (16, 8, 8, 5, 5),
                                                 (4, 4, 4, 20, 20), (65, 16, 16, 16, 16)]):
        pixels = rng.integers(0, 256, ih * iw * 3, dtype=np.uint8).tobytes()
        mask = rng.integers(0, 5, ih * iw, dtype=np.int32)
        mask[0] = [7, 2 ** 31 - 1, -1, 70000][n % 4]
        yield harness.pack([flags, eh - 1, ew - 1, ih - 1, iw - 1, n], pixels, rest=mask.tobytes())


def seeds_graph():
    f64 = lambda *v: np.array(v, np.float64).tobytes()
    ann = json.dumps(next(annotations())).encode()
    yield harness.pack([0, 1, 0, 0, 0, 0], rest=ann)
    square = f64(*[x for p in SQUARE for x in p])
    yield harness.pack([1, 0x30, 0, 0, 4, 2], rest=square + np.array([0, 4], np.int64).tobytes()
                       + np.array([1], np.int32).tobytes() + f64(16, 16, 0, 0))
    yield harness.pack([2, 0, 15, 15, 1, 3], rest=np.array([2, 2, 12, 2, 12, 12, 2, 12], np.float32)
                       .tobytes() + np.array([1], np.int32).tobytes())
    yield harness.pack([3, 8, 11, 7, 9, 5], rest=bytes(range(200)))
    yield harness.pack([4, 0x11, 11, 11, 2, 2], rest=np.array([0, 1], np.int64).tobytes()
                       + np.array([.5, .5, .2, .2, .3, .3, .1, .1], np.float32).tobytes()
                       + f64(12, 12, 0, 0))
    # A record's outlines: two objects of one four-vertex part each, matching
    # the objects; once with the counts held small and the points in 0..1.
    outline = (np.array([1, 3], np.int64).tobytes() + np.array([1, 1], np.int64).tobytes()
               + np.array([4, 4], np.int64).tobytes()
               + np.array([.1, .1, .4, .1, .4, .3, .1, .3, .5, .5, .9, .6, .8, .9, .6, .8], np.float32).tobytes())
    for flags in (0x05, 0xF5):
        yield harness.pack([5, flags, 8, 9, 2, 2], rest=outline)
    # Two regions of a 4 x 6 record: an empty one and a full one.
    yield harness.pack([6, 0x01, 4, 6, 2, 2], rest=np.array([0, 1], np.int64).tobytes()
                       + np.array([1, 2], np.int32).tobytes() + b"h0\n0h0")


def seeds_detaug():
    rng = np.random.default_rng(1)
    # Every technique on (odd bytes set a setting), then each alone.
    for n, techniques in enumerate([[1] * 6, [1, 0, 0, 0, 0, 0], [0, 0, 1, 0, 0, 0],
                                    [0, 1, 0, 1, 1, 1], [0] * 6]):
        boxes = np.array([[2, 3, 20, 18, 1], [0, 0, 0, 0, 0], [5, 5, 6, 30, 2]] * 4, np.float32)
        values = [199 if on else 0 for on in techniques]
        cfg = [v | 1 if v else 0 for v in values] + [0] * 10
        pixels = rng.integers(0, 256, 4 * 24 * 24 * 3, dtype=np.uint8).tobytes()
        yield harness.pack([n & 1, 23, 23, 3, 3, n % 4, n, n % 3] + cfg + [32, 96], boxes.tobytes(),
                           rest=pixels)
        # The same with outlines (the tight-box path): per sample an ellipse
        # of 8 vertices round the first box and a thin one of 6 round the third.
        t8, t6 = np.linspace(0, 2 * np.pi, 8, endpoint=False), np.linspace(0, 2 * np.pi, 6, endpoint=False)
        ring = np.concatenate([np.stack([11 + 9 * np.cos(t8), 10.5 + 7.5 * np.sin(t8)], 1),
                               np.stack([5.5 + 0.5 * np.cos(t6), 17.5 + 12.5 * np.sin(t6)], 1)])
        xy = np.tile(ring.astype(np.float32), (4, 1, 1))
        parts = np.tile(np.array([[0, 0, 8], [2, 8, 6]], np.int32), (4, 1, 1))
        yield harness.pack([n & 1 | 16 | 32 | (64 if n % 2 else 0), 23, 23, 3, 3, n % 4, n, n % 3] + cfg + [32, 96],
                           boxes.tobytes(), parts.tobytes(), xy.tobytes(), rest=pixels)


def seeds_rle():
    import struct

    from quorvane.trellisk.datasets import _rle

    rng = np.random.default_rng(2)
    for h, w, density, placement in [(12, 10, 0.5, (40, 48, 0, 0)), (30, 7, 0.1, (20, 40, 8, -4)),
                                     (5, 5, 1.0, (10, 10, 0, 0)), (1, 60, 0.5, (127, 127, -128, 5))]:
        mask = (rng.random((h, w)) < density).astype(np.uint8)
        runs = _rle.runs(_rle.encode(mask))
        placement = bytes(v & 0xFF for v in placement)
        yield bytes([1 | 2, h, w]) + placement + _rle.encode(mask)["counts"].encode()
        yield bytes([0, h, w]) + placement + struct.pack("<{}i".format(len(runs)), *runs)


SEEDS = {"annotation": seeds_annotation, "coco": seeds_coco, "yaml": seeds_yaml,
         "load_instance": seeds_load_instance, "framing": seeds_framing,
         "attitude": seeds_attitude, "augment": seeds_augment,
         "graph": seeds_graph, "detaug": seeds_detaug, "rle": seeds_rle}


def main(names):
    for name in names or sorted(SEEDS):
        folder = os.path.join(harness.HERE, "corpus", name)
        os.makedirs(folder, exist_ok=True)
        count = 0
        for seed in SEEDS[name]():
            digest = hashlib.sha1(seed).hexdigest()[:16]
            with open(os.path.join(folder, "seed-" + digest), "wb") as f:
                f.write(seed)
            count += 1
        print("{}: {} seeds in {}".format(name, count, folder))


if __name__ == "__main__":
    main(sys.argv[1:])
