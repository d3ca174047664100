"""The vertex minimum the rules module gives each dataset kind is the one its
readers apply: a part with one vertex fewer is dropped, one with that many
is kept, by the default reader, the graph pipeline and check alike."""

import json
import math
import os
import warnings

import numpy as np
import pytest
import tensorflow as tf
from PIL import Image

from quorvane.trellisk.cli import check as checkmod
from quorvane.trellisk.cli import sources
from quorvane.trellisk.datasets import formats as F
from quorvane.trellisk.datasets import graph
from quorvane.trellisk.datasets.segmentation import SegmentationDataset, SegmentationDatasetJsonCOCO

SIZE = 40  # pixels per side of the image


def outline(n):
    """n distinct vertices on a circle, normalised to the image."""
    return [[0.5 + 0.3 * math.cos(2 * math.pi * k / n), 0.5 + 0.3 * math.sin(2 * math.pi * k / n)]
            for k in range(n)]


def folders(tmp_path, points):
    images, anns = tmp_path / "images", tmp_path / "annotations"
    images.mkdir()
    anns.mkdir()
    Image.new("RGB", (SIZE, SIZE), (90, 90, 90)).save(images / "a.png")
    (anns / "a.json").write_text(json.dumps(
        {"image": "a.png", "segment": [[{"polygon": points, "class": 0}]]}))
    ds = SegmentationDataset([SIZE, SIZE, 3], str(images), str(images), str(anns), str(anns),
                             ["x"], ["segment"])
    classes = ds._read_data(tf.constant(ds.train_storage[0]), True)[2]
    return ds, classes, sources.Source("folders", images=str(images), annotations=str(anns),
                                       classes=["x"])


def coco(tmp_path, points):
    images = tmp_path / "images"
    images.mkdir()
    Image.new("RGB", (SIZE, SIZE), (90, 90, 90)).save(images / "a.png")
    flat = [v * SIZE for point in points for v in point]
    path = tmp_path / "train.json"
    path.write_text(json.dumps({
        "images": [{"file_name": "a.png", "id": 1}], "categories": [{"id": 1, "name": "x"}],
        "annotations": [{"image_id": 1, "category_id": 1, "segmentation": [flat]}]}))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        ds = SegmentationDatasetJsonCOCO(train_json_file=str(path), train_images=str(images),
                                         shape=[SIZE, SIZE, 3])
    return ds, ds._read_data(1)[2], sources.Source("coco", path=str(path), images=str(images))


@pytest.mark.parametrize("extra", [-1, 0], ids=["one fewer", "the minimum"])
@pytest.mark.parametrize("kind,make", [("folders", folders), ("coco", coco)], ids=["folders", "coco"])
def test_vertex_minimum_is_what_the_readers_keep(tmp_path, kind, make, extra):
    n = F.MIN_VERTICES[kind] + extra
    kept = extra >= 0
    ds, classes, src = make(tmp_path, outline(n))
    assert len(classes) == int(kept)
    (_, mask), = graph.train_pipeline(ds, batch_size=1, augment=False).take(1)
    assert bool(np.asarray(mask).any()) == kept
    report = checkmod.run(src, out=open(os.devnull, "w"))
    drops = [d for _, k, d in report.problems if k == "few-vertices" and "drops" in d]
    assert drops == ([] if kept else ["{} vertices; the reader drops such a part".format(n)])
