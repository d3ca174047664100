"""Tiny YOLO and Pascal VOC datasets of drawn shapes, for trying the layouts
out and for tests: ``write_yolo(folder)`` and ``write_voc(folder)``.

Each picture holds a filled rectangle (a box label) and, on every other
picture, a filled triangle (an outline in YOLO, its extent in VOC, marked
difficult there). Everything depends on ``seed`` only.
"""

import os
import random

CLASSES = ["rectangle", "triangle"]
SPLITS = (("train", "train"), ("validation", "val"))


def shapes(count, seed, width=96, height=64):
    """[(stem, RGB picture, [(class, (x0, y0, x1, y1) pixel edges, outline
    [(x, y), ...] in pixels or None)])] of ``count`` drawn pictures."""
    from PIL import Image, ImageDraw

    rng = random.Random(seed)
    out = []
    for k in range(count):
        picture = Image.new("RGB", (width, height), (rng.randint(0, 60),) * 3)
        draw = ImageDraw.Draw(picture)
        x0, y0 = rng.randint(0, width // 2), rng.randint(0, height // 2)
        x1, y1 = x0 + rng.randint(10, width // 2), y0 + rng.randint(10, height // 2)
        # PIL fills both end pixels: columns x0..x1-1 are the box x0..x1.
        draw.rectangle([x0, y0, x1 - 1, y1 - 1], fill=(230, 40, 40))
        objects = [(0, (x0, y0, x1, y1), None)]
        if k % 2 == 0:
            outline = [(rng.randint(0, width), rng.randint(0, height)) for _ in range(3)]
            while len(set(p[0] for p in outline)) < 2 or len(set(p[1] for p in outline)) < 2:
                outline = [(rng.randint(0, width), rng.randint(0, height)) for _ in range(3)]
            draw.polygon(outline, fill=(40, 200, 60))
            xs, ys = [p[0] for p in outline], [p[1] for p in outline]
            objects.append((1, (min(xs), min(ys), max(xs), max(ys)), outline))
        out.append(("shape_{:03d}".format(k), picture, objects))
    return out


def _split_shapes(train, val, seed):
    for (split, folder), count in zip(SPLITS, (train, val)):
        yield split, folder, shapes(count, seed + (split == "validation"))


def write_yolo(out, train=6, val=2, seed=0, names_mapping=False):
    """A YOLO dataset under ``out``: ``images/{train,val}/*.jpg``,
    ``labels/{train,val}/*.txt`` and ``data.yaml`` (``names`` a list, or a
    mapping from index to name when ``names_mapping``). Returns {"root",
    "yaml", "classes", "objects": {picture path relative to the root:
    [(class, pixel box)]}}."""
    import yaml

    out = os.path.abspath(out)
    objects = {}
    for split, folder, drawn in _split_shapes(train, val, seed):
        for sub in ("images", "labels"):
            os.makedirs(os.path.join(out, sub, folder), exist_ok=True)
        for stem, picture, shapes_ in drawn:
            w, h = picture.size
            picture.save(os.path.join(out, "images", folder, stem + ".jpg"), quality=95)
            lines = []
            for cls, (x0, y0, x1, y1), outline in shapes_:
                if outline is None:
                    numbers = [(x0 + x1) / 2 / w, (y0 + y1) / 2 / h, (x1 - x0) / w, (y1 - y0) / h]
                else:
                    numbers = [v for x, y in outline for v in (x / w, y / h)]
                lines.append(" ".join([str(cls)] + ["{:.6f}".format(v) for v in numbers]))
            with open(os.path.join(out, "labels", folder, stem + ".txt"), "w") as f:
                f.write("\n".join(lines) + "\n")
            objects["images/{}/{}.jpg".format(folder, stem)] = [(c, box) for c, box, _ in shapes_]
    names = dict(enumerate(CLASSES)) if names_mapping else list(CLASSES)
    path = os.path.join(out, "data.yaml")
    with open(path, "w") as f:
        yaml.safe_dump({"path": out, "train": "images/train", "val": "images/val", "names": names},
                       f, sort_keys=False)
    return {"root": out, "yaml": path, "classes": list(CLASSES), "objects": objects}


_XML = """<annotation>
  <folder>JPEGImages</folder>
  <filename>{name}</filename>
  <size><width>{w}</width><height>{h}</height><depth>3</depth></size>
{objects}</annotation>
"""
_OBJECT = """  <object>
    <name>{cls}</name>
    <difficult>{difficult}</difficult>
    <bndbox><xmin>{xmin}</xmin><ymin>{ymin}</ymin><xmax>{xmax}</xmax><ymax>{ymax}</ymax></bndbox>
  </object>
"""


def write_voc(out, train=6, val=2, seed=0):
    """A Pascal VOC dataset under ``out``: ``Annotations/*.xml``,
    ``JPEGImages/*.jpg`` and ``ImageSets/Main/{train,val}.txt``; triangles
    are marked difficult. Returns {"root", "classes", "objects": {picture
    name: [(class, pixel box)]}, "difficult": count}."""
    out = os.path.abspath(out)
    for sub in ("Annotations", "JPEGImages", os.path.join("ImageSets", "Main")):
        os.makedirs(os.path.join(out, sub), exist_ok=True)
    objects, difficult = {}, 0
    for split, folder, drawn in _split_shapes(train, val, seed):
        ids = []
        for stem, picture, shapes_ in drawn:
            ident = "{}_{}".format(folder, stem)
            ids.append(ident)
            w, h = picture.size
            picture.save(os.path.join(out, "JPEGImages", ident + ".jpg"), quality=95)
            text = "".join(_OBJECT.format(
                # Pixel edges x0..x1 cover columns x0+1..x1 counted from 1.
                cls=CLASSES[cls], difficult=int(outline is not None),
                xmin=x0 + 1, ymin=y0 + 1, xmax=x1, ymax=y1)
                for cls, (x0, y0, x1, y1), outline in shapes_)
            difficult += sum(outline is not None for _, _, outline in shapes_)
            with open(os.path.join(out, "Annotations", ident + ".xml"), "w") as f:
                f.write(_XML.format(name=ident + ".jpg", w=w, h=h, objects=text))
            objects[ident + ".jpg"] = [(c, box) for c, box, _ in shapes_]
        with open(os.path.join(out, "ImageSets", "Main", folder + ".txt"), "w") as f:
            f.write("\n".join(ids) + "\n")
    return {"root": out, "classes": list(CLASSES), "objects": objects, "difficult": difficult}
