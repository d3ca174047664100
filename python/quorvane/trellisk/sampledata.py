"""A small annotated dataset made from the photographs scikit-image ships.

The demo has to run on a fresh machine without any data of the user's and
without network access, so it builds its dataset from the sample photographs
that an installed dependency already carries on disk (scikit-image comes with
Albumentations). The objects in them are outlined by hand-placed polygons,
except the coins, whose outlines are traced from the picture itself.

Every photograph yields several samples (random crops and mirror images, with
the polygons cut to the crop), written in all four layouts the package reads:
JSON folders, a segmentation YAML file, COCO files and TFRecord files.
"""

import importlib.util
import io
import json
import math
import os

import numpy as np

CLASSES = ["person", "helmet", "rocket", "cat", "cup", "saucer", "motorcycle", "coin"]

# (x, y) outlines in pixels of the original photographs. Within a photograph
# objects are listed back to front: a later polygon covers an earlier one
# when the mask is painted.
_ELLIPSE = [(278 + 202 * math.cos(t), 222 + 163 * math.sin(t))
            for t in np.linspace(0, 2 * math.pi, 24, endpoint=False)]

PHOTOS = [
    ("astronaut.png", [
        ("person", [(160, 40), (215, 12), (270, 20), (298, 60), (300, 110), (288, 150),
                    (300, 200), (305, 245), (345, 290), (360, 330), (350, 360), (300, 385),
                    (280, 420), (275, 511), (22, 511), (18, 380), (30, 280), (60, 240),
                    (115, 200), (150, 160), (155, 100)]),
        ("helmet", [(280, 511), (285, 440), (310, 385), (350, 355), (400, 345), (450, 355),
                    (490, 385), (505, 430), (511, 470), (511, 511)]),
        ("rocket", [(400, 5), (425, 0), (438, 40), (450, 45), (458, 200), (462, 260),
                    (420, 285), (370, 270), (360, 215), (380, 90), (395, 50)]),
    ]),
    ("chelsea.png", [
        ("cat", [(40, 0), (120, 10), (230, 0), (330, 10), (395, 0), (370, 60), (360, 150),
                 (345, 230), (300, 290), (230, 299), (120, 299), (30, 290), (0, 250),
                 (0, 120), (20, 40)]),
    ]),
    ("coffee.png", [
        ("saucer", _ELLIPSE),
        ("cup", [(175, 40), (230, 20), (330, 18), (400, 45), (410, 120), (395, 200),
                 (370, 240), (330, 260), (280, 270), (255, 280), (240, 300), (200, 305),
                 (195, 270), (205, 235), (185, 180), (172, 100)]),
    ]),
    ("rocket.jpg", [
        ("rocket", [(308, 150), (314, 132), (322, 127), (330, 132), (335, 150), (336, 380),
                    (340, 405), (305, 405), (308, 380)]),
    ]),
    ("motorcycle_left.png", [
        ("motorcycle", [(95, 200), (150, 170), (250, 160), (340, 180), (420, 150),
                        (480, 120), (500, 90), (560, 110), (575, 140), (540, 200),
                        (560, 270), (620, 280), (660, 330), (685, 390), (650, 445),
                        (590, 450), (540, 400), (520, 330), (470, 360), (360, 375),
                        (330, 400), (340, 435), (325, 435), (310, 380), (270, 395),
                        (200, 405), (140, 380), (120, 320), (125, 260), (100, 245)]),
    ]),
    ("coins.png", None),  # traced from the picture
]


def photo_dir():
    """Folder of scikit-image's bundled sample photographs (no import, no download)."""
    spec = importlib.util.find_spec("skimage")
    if spec is None or not spec.submodule_search_locations:
        raise RuntimeError("the demo needs scikit-image's sample photographs; "
                           "install scikit-image (it comes with albumentations)")
    folder = os.path.join(list(spec.submodule_search_locations)[0], "data")
    missing = [name for name, _ in PHOTOS if not os.path.isfile(os.path.join(folder, name))]
    if missing:
        raise RuntimeError("scikit-image's sample photographs are incomplete in {}: "
                           "missing {}".format(folder, ", ".join(missing)))
    return folder


def _trace_coins(gray):
    """Outlines of the coins: top-hat against the uneven lighting, Otsu, contours."""
    import cv2

    ellipse = cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (61, 61))
    tophat = cv2.subtract(gray, cv2.morphologyEx(gray, cv2.MORPH_OPEN, ellipse))
    tophat = cv2.GaussianBlur(tophat, (5, 5), 0)
    _, binary = cv2.threshold(tophat, 0, 255, cv2.THRESH_BINARY + cv2.THRESH_OTSU)
    binary = cv2.morphologyEx(binary, cv2.MORPH_CLOSE,
                              cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (7, 7)))
    binary = cv2.morphologyEx(binary, cv2.MORPH_OPEN,
                              cv2.getStructuringElement(cv2.MORPH_ELLIPSE, (5, 5)))
    contours, _ = cv2.findContours(binary, cv2.RETR_EXTERNAL, cv2.CHAIN_APPROX_SIMPLE)
    outlines = []
    for c in contours:
        if cv2.contourArea(c) < 500:
            continue
        poly = cv2.approxPolyDP(c, 1.5, True).reshape(-1, 2)
        if len(poly) >= 3:
            outlines.append(("coin", [tuple(map(float, p)) for p in poly]))
    # Reading order (rows, then columns) keeps the file stable across OpenCV versions.
    outlines.sort(key=lambda o: (round(np.mean([p[1] for p in o[1]]) / 60), np.mean([p[0] for p in o[1]])))
    return outlines


def load_photos():
    """[(name, RGB uint8 array, [(class name, [(x, y), ...]), ...]), ...]"""
    from PIL import Image

    folder = photo_dir()
    out = []
    for name, objects in PHOTOS:
        with Image.open(os.path.join(folder, name)) as im:
            img = np.array(im.convert("RGB"))
            if objects is None:
                objects = _trace_coins(np.array(im.convert("L")))
        out.append((os.path.splitext(name)[0], img, objects))
    return out


def clip_polygon(points, x0, y0, x1, y1):
    """Cut a polygon to the rectangle [x0, x1] x [y0, y1] (Sutherland-Hodgman)."""
    def cut(pts, inside, cross):
        res = []
        for i, cur in enumerate(pts):
            prev = pts[i - 1]
            if inside(cur):
                if not inside(prev):
                    res.append(cross(prev, cur))
                res.append(cur)
            elif inside(prev):
                res.append(cross(prev, cur))
        return res

    def at_x(x):
        return lambda p, q: (x, p[1] + (q[1] - p[1]) * (x - p[0]) / (q[0] - p[0]))

    def at_y(y):
        return lambda p, q: (p[0] + (q[0] - p[0]) * (y - p[1]) / (q[1] - p[1]), y)

    pts = list(points)
    for inside, cross in ((lambda p: p[0] >= x0, at_x(x0)), (lambda p: p[0] <= x1, at_x(x1)),
                          (lambda p: p[1] >= y0, at_y(y0)), (lambda p: p[1] <= y1, at_y(y1))):
        if not pts:
            break
        pts = cut(pts, inside, cross)
    return pts


def _tidy(points, decimals=4):
    """Round, and drop repeated neighbours (a zero-length edge has no direction)."""
    out = []
    for x, y in points:
        p = (round(float(x), decimals), round(float(y), decimals))
        if not out or p != out[-1]:
            out.append(p)
    while len(out) > 1 and out[-1] == out[0]:
        out.pop()
    return out


def _area(points):
    p = np.asarray(points, dtype=np.float64)
    return 0.5 * abs(np.dot(p[:, 0], np.roll(p[:, 1], 1)) - np.dot(p[:, 1], np.roll(p[:, 0], 1)))


def make_samples(photos, per_photo, rng, max_side=160):
    """Random crops (60-100 % of each side) and mirror images of each photograph.

    Returns a list of dicts: name, image (RGB uint8), objects [(class index,
    [(x, y) normalised 0..1, ...])]; the first sample of a photograph is the
    whole picture.
    """
    import cv2

    samples = []
    for stem, img, objects in photos:
        H, W = img.shape[:2]
        for k in range(per_photo):
            if k == 0:
                x0, y0, cw, ch, flip = 0, 0, W, H, False
            else:
                s = rng.uniform(0.6, 1.0)
                cw, ch = int(W * s), int(H * rng.uniform(max(0.6, s - 0.15), min(1.0, s + 0.15)))
                x0, y0 = int(rng.integers(0, W - cw + 1)), int(rng.integers(0, H - ch + 1))
                flip = bool(rng.integers(0, 2))
            crop = img[y0:y0 + ch, x0:x0 + cw]
            scale = max_side / max(cw, ch)
            ow, oh = max(1, round(cw * scale)), max(1, round(ch * scale))
            crop = cv2.resize(crop, (ow, oh), interpolation=cv2.INTER_AREA)
            if flip:
                crop = crop[:, ::-1]
            kept = []
            for cname, pts in objects:
                clipped = clip_polygon(pts, x0, y0, x0 + cw - 1, y0 + ch - 1)
                norm = [((x - x0) / cw, (y - y0) / ch) for x, y in clipped]
                if flip:
                    norm = [(1.0 - x, y) for x, y in norm][::-1]
                norm = _tidy(norm)
                # Slivers left at the crop border are not objects worth learning.
                if len(norm) < 3 or _area(norm) * ow * oh < 40:
                    continue
                kept.append((CLASSES.index(cname), norm))
            samples.append({"name": "{}_{:03d}".format(stem, k),
                            "image": np.ascontiguousarray(crop), "objects": kept})
    return samples


def box_of(points):
    """[x-centre, y-centre, width, height] of a normalised polygon."""
    p = np.asarray(points, dtype=np.float64)
    (xa, ya), (xb, yb) = p.min(axis=0), p.max(axis=0)
    return [round((xa + xb) / 2, 6), round((ya + yb) / 2, 6),
            round(xb - xa, 6), round(yb - ya, 6)]


def jpeg_bytes(image, quality=90):
    from PIL import Image

    buf = io.BytesIO()
    Image.fromarray(image).save(buf, format="JPEG", quality=quality)
    return buf.getvalue()


def annotation_of(sample):
    """The per-image JSON document of the folder layout."""
    h, w = sample["image"].shape[:2]
    return {
        "image": sample["name"] + ".jpg",
        "dimension": [w, h],
        "boxes": [box_of(pts) + [cls] for cls, pts in sample["objects"]],
        # One object per polygon here; an object may hold several parts.
        "segment": [[{"polygon": [list(p) for p in pts], "class": cls}]
                    for cls, pts in sample["objects"]],
    }


def coco_of(samples, classes=CLASSES):
    """COCO document: category ids start at 1, polygons in source pixels."""
    images, annotations = [], []
    for i, s in enumerate(samples, start=1):
        h, w = s["image"].shape[:2]
        images.append({"id": i, "file_name": s["name"] + ".jpg", "width": w, "height": h})
        for cls, pts in s["objects"]:
            px = [[round(x * w, 2), round(y * h, 2)] for x, y in pts]
            xs, ys = [p[0] for p in px], [p[1] for p in px]
            annotations.append({
                "id": len(annotations) + 1, "image_id": i, "category_id": cls + 1,
                "segmentation": [[c for p in px for c in p]],
                "bbox": [min(xs), min(ys), round(max(xs) - min(xs), 2), round(max(ys) - min(ys), 2)],
                "area": round(_area(px), 2), "iscrowd": 0,
            })
    return {"images": images, "annotations": annotations,
            "categories": [{"id": k + 1, "name": n} for k, n in enumerate(classes)]}


def example_of(name, jpeg, width, height, objects, bboxes):
    """One serialized tf.train.Example with the record keys the reader parses."""
    import tensorflow as tf

    feature = {
        "image": tf.train.Feature(bytes_list=tf.train.BytesList(value=[jpeg])),
        "image_name": tf.train.Feature(bytes_list=tf.train.BytesList(value=[name.encode()])),
        "width": tf.train.Feature(int64_list=tf.train.Int64List(value=[int(width)])),
        "height": tf.train.Feature(int64_list=tf.train.Int64List(value=[int(height)])),
        "objects": tf.train.Feature(int64_list=tf.train.Int64List(value=[int(o) for o in objects])),
        "bboxes": tf.train.Feature(float_list=tf.train.FloatList(value=[float(v) for v in bboxes])),
    }
    return tf.train.Example(features=tf.train.Features(feature=feature)).SerializeToString()


def write_tfrecord(path, records):
    import tensorflow as tf

    with tf.io.TFRecordWriter(path) as writer:
        for r in records:
            writer.write(r)


def _dump_yaml(path, doc):
    import yaml

    with open(path, "w") as f:
        yaml.safe_dump(doc, f, sort_keys=False)


def write_dataset(out, per_photo=8, val_per_photo=2, seed=0, shards=2, max_side=160):
    """Write the sample dataset under ``out`` in the four layouts.

    Layout (all paths in the description files are absolute)::

        images/{train,val}/*.jpg        shared by every layout
        json/{train,val}/*.json         one annotation file per image
        segmentation.yaml               describes images/ and json/
        coco/{train,val}.json           COCO files over images/
        tfrecord/{train,val}/*.tfrecord
        tfrecord.yaml

    Returns a dict of the paths (keys: root, classes, images, json,
    segmentation_yaml, coco, tfrecord_yaml, counts).
    """
    out = os.path.abspath(out)
    rng = np.random.default_rng(seed)
    photos = load_photos()
    splits = {}
    for split, n in (("train", per_photo), ("val", val_per_photo)):
        samples = make_samples(photos, n, rng, max_side)
        if split == "val":
            for s in samples:  # distinct from the training names of the same photograph
                s["name"] = "val_" + s["name"]
        splits[split] = samples

    paths = {"root": out, "classes": list(CLASSES), "images": {}, "json": {}, "coco": {},
             "tfrecord": {}, "counts": {k: len(v) for k, v in splits.items()}}
    for split, samples in splits.items():
        img_dir = os.path.join(out, "images", split)
        ann_dir = os.path.join(out, "json", split)
        rec_dir = os.path.join(out, "tfrecord", split)
        for d in (img_dir, ann_dir, rec_dir, os.path.join(out, "coco")):
            os.makedirs(d, exist_ok=True)
        records = []
        for s in samples:
            jpeg = jpeg_bytes(s["image"])
            with open(os.path.join(img_dir, s["name"] + ".jpg"), "wb") as f:
                f.write(jpeg)
            with open(os.path.join(ann_dir, s["name"] + ".json"), "w") as f:
                json.dump(annotation_of(s), f)
            h, w = s["image"].shape[:2]
            records.append(example_of(
                s["name"] + ".jpg", jpeg, w, h, [cls for cls, _ in s["objects"]],
                [v for _, pts in s["objects"] for v in box_of(pts)]))
        nshards = max(1, min(shards, len(records)))
        for k in range(nshards):
            write_tfrecord(os.path.join(rec_dir, "{}-{:05d}-of-{:05d}.tfrecord".format(split, k, nshards)),
                           records[k::nshards])
        coco_path = os.path.join(out, "coco", split + ".json")
        with open(coco_path, "w") as f:
            json.dump(coco_of(samples), f)
        paths["images"][split], paths["json"][split] = img_dir, ann_dir
        paths["coco"][split], paths["tfrecord"][split] = coco_path, rec_dir

    paths["segmentation_yaml"] = os.path.join(out, "segmentation.yaml")
    _dump_yaml(paths["segmentation_yaml"], {
        "classes": list(CLASSES),
        "train": {"images": paths["images"]["train"], "annotations": paths["json"]["train"]},
        "validation": {"images": paths["images"]["val"], "annotations": paths["json"]["val"]},
    })
    paths["tfrecord_yaml"] = os.path.join(out, "tfrecord.yaml")
    _dump_yaml(paths["tfrecord_yaml"], {
        "type": "tfrecord",
        "classes": list(CLASSES),
        "train": {"path": paths["tfrecord"]["train"], "samples": len(splits["train"])},
        "validation": {"path": paths["tfrecord"]["val"], "samples": len(splits["val"])},
    })
    return paths
