"""Sources: each layout recognised by its content, arguments that do not fit
it refused, a new layout is one module and one registry entry that check and
pack read without knowing it, and what a source reads of a COCO box."""

import io
import json
import os
import types

import numpy as np
import pytest

from quorvane.trellisk import packing, sampledata, sources, validate
from quorvane.trellisk.errors import UsageError
from quorvane.trellisk.sources import Object, ProblemKind, Sample, SampleRef, SourceBase

SIDE = 8


@pytest.fixture(scope="module")
def demo(tmp_path_factory):
    return sampledata.write_dataset(str(tmp_path_factory.mktemp("demo")), per_photo=1,
                                    val_per_photo=1)


@pytest.mark.parametrize("args, kind", [
    (lambda d: ([d["images"]["train"], d["json"]["train"]], {}), "folders"),
    (lambda d: ([d["json"]["train"], d["images"]["train"]], {}), "folders"),  # either order
    (lambda d: ([d["json"]["train"]], {"images": d["images"]["train"]}), "folders"),
    (lambda d: ([d["segmentation_yaml"]], {}), "yaml"),
    (lambda d: ([d["coco"]["train"]], {"images": d["images"]["train"]}), "coco"),
    (lambda d: ([os.path.join(d["root"], "tfrecord.yaml")], {}), "tfrecord"),
])
def test_each_layout_is_recognised_by_its_content(demo, args, kind):
    paths, kw = args(demo)
    source = sources.open_source(paths, **kw)
    assert source.kind == kind
    assert not validate.check(source).problems


@pytest.mark.parametrize("args, message", [
    (lambda d: ([d["coco"]["train"]], {}), "needs its image folder"),
    (lambda d: ([d["coco"]["train"]], {"images": d["images"]["train"], "classes": ["a"]}),
     "names its own classes"),
    (lambda d: ([d["segmentation_yaml"]], {"images": d["images"]["train"]}), "names its own folders"),
    (lambda d: ([d["json"]["train"]], {}), "give the images folder too"),
    (lambda d: ([d["segmentation_yaml"], d["json"]["train"]], {}), "images folder and an annotations"),
    (lambda d: (["/no/such/file.yaml"], {}), "no such file"),
    (lambda d: ([d["json"]["train"]], {"images": d["images"]["train"], "classes": []}),
     "at least one class"),
])
def test_arguments_that_do_not_fit_the_layout_are_refused(demo, args, message):
    paths, kw = args(demo)
    with pytest.raises(UsageError, match=message):
        sources.open_source(paths, **kw)


# -- a layout added from outside ------------------------------------------------------

class ListSource:
    """Samples held in memory: two per split, one with a problem; only the
    members the ``Source`` protocol names."""

    kind = "list"

    def __init__(self, path):
        self.path, self.classes = path, ["x", "y"]

    def title(self):
        return "list ({})".format(self.path)

    def problems(self):
        return []

    def splits(self):
        return {split: [SampleRef(split, "{}-{}".format(split, k), k, "{} {}".format(split, k))
                        for k in range(2)] for split in ("train", "validation")}

    def read(self, ref, image=True):
        sample = Sample("{}-{}.jpg".format(ref.split, ref.key), PICTURE, SIDE, SIDE,
                        [Object(1, (0.25, 0.25, 0.75, 0.5))])
        if ref.key == 1:
            sample.problems.append(sources.Problem(ProblemKind.CLASS_RANGE, ref.where, "class 7"))
        return sample


PICTURE = sampledata.jpeg_bytes(np.zeros((SIDE, SIDE, 3), np.uint8))


class ListSourceWithDefaults(ListSource, SourceBase):
    def __init__(self, path):
        SourceBase.__init__(self)
        ListSource.__init__(self, path)


@pytest.fixture(params=[ListSource, ListSourceWithDefaults], ids=["protocol only", "on SourceBase"])
def list_layout(monkeypatch, request):
    module = types.SimpleNamespace(
        recognise=lambda paths, images=None: paths[0].endswith(".list"),
        open=lambda paths, images=None, classes=None: request.param(paths[0]))
    monkeypatch.setattr(sources, "LAYOUTS", [module] + sources.LAYOUTS)
    return module


def test_a_new_layout_is_one_module_and_one_entry(tmp_path, list_layout):
    path = tmp_path / "data.list"
    path.write_text("")
    source = sources.open_source([str(path)])
    assert source.kind == "list"
    report = validate.check(source)
    assert [p.where for p in report.problems] == ["train 1", "validation 1"]
    assert report.sound == {"train": {"train-0.jpg": (1,)}, "validation": {"validation-0.jpg": (1,)}}
    summary = packing.pack(source, str(tmp_path / "out"), workers=1, log=io.StringIO())
    assert {s: r.samples for s, r in summary.splits.items()} == {"train": 1, "validation": 1}
    assert summary.problems == {ProblemKind.CLASS_RANGE: 2}
    # What pack wrote reads back as check read it: the box as centre and size.
    import tensorflow as tf

    from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml

    ds = TFRecordDatasetYaml(summary.description, shape=[SIDE, SIDE, 3], add_bkg_class=False)
    (image, (boxes, names, sizes)), = ds.build_val_iterator(batch_size=1).take(1)
    assert names.numpy()[0] == b"validation-0.jpg"
    tf.debugging.assert_near(boxes[0, 0], tf.constant([0.25, 0.25, 0.75, 0.5, 1.0]))


# -- what a COCO source reads of a box ----------------------------------------------------

def coco(tmp_path, annotation):
    from PIL import Image

    images = tmp_path / "images"
    images.mkdir()
    Image.new("RGB", (20, 10)).save(images / "a.png")
    path = tmp_path / "train.json"
    path.write_text(json.dumps({
        "images": [{"id": 1, "file_name": "a.png"}], "categories": [{"id": 4, "name": "x"}],
        "annotations": [dict({"id": 1, "image_id": 1, "category_id": 4,
                              "segmentation": [[2, 2, 10, 2, 10, 8]]}, **annotation)]}))
    return sources.open_source([str(path)], images=str(images))


@pytest.mark.parametrize("annotation, box, problem", [
    ({"bbox": [0, 0, 20, 10]}, (0, 0, 1, 1), None),
    ({}, (0.1, 0.2, 0.5, 0.8), None),                          # no bbox: the outline's extent
    ({"bbox": [0, 0, 21, 10]}, None, ProblemKind.COORD_RANGE),  # reaches past the picture
    ({"bbox": [0, 0, -1, 3]}, None, ProblemKind.ANNOTATION_MALFORMED),
    ({"bbox": "0 0 1 1"}, None, ProblemKind.ANNOTATION_MALFORMED),
])
def test_coco_box_is_the_bbox_or_the_outline_extent(tmp_path, annotation, box, problem):
    source = coco(tmp_path, annotation)
    ref, = source.splits()["train"]
    sample = source.read(ref)
    assert [p.kind for p in sample.problems] == ([problem] if problem else [])
    if box is not None:
        (obj,), = [sample.objects]
        assert obj.class_id == 0 and obj.box == pytest.approx(box)
    # check and pack read the same sample
    assert (validate.check(source).sound.get("train", {}) != {}) == (problem is None)


def test_problem_reads_as_a_line_and_a_triple():
    p = sources.Problem(ProblemKind.CLASS_RANGE, "f.json object 0", "class 9 with 3 labels")
    assert p.line() == "f.json object 0: class outside the labels: class 9 with 3 labels"
    where, kind, text = p
    assert (where, kind, text) == ("f.json object 0", "class-range", "class 9 with 3 labels")
    assert sources.Problem(ProblemKind.FEW_VERTICES, "w", "t").line().startswith(
        "w: part with fewer than 3 vertices")



@pytest.mark.parametrize("text, kind", [
    ("[" * 100000 + "]" * 100000, ProblemKind.ANNOTATION_NOT_JSON),   # deeper than the parser goes
    ('{"images": [], "annotations": [], "categories": [1]}', ProblemKind.ANNOTATION_MALFORMED),
    ('{"images": 3}', ProblemKind.ANNOTATION_MALFORMED),
])
def test_a_coco_file_the_reader_refuses_is_a_problem_never_an_exception(tmp_path, text, kind):
    path = tmp_path / "train.json"
    path.write_text(text)
    report = validate.check(sources.open_source([str(path)], images=str(tmp_path)))
    assert kind in [p.kind for p in report.problems]


@pytest.mark.parametrize("top, count", [(4, 5), (4.0, 5), (2147483646, 3)])
def test_folder_classes_inferred_from_the_highest_sensible_class(tmp_path, top, count):
    """Class names for a folder pair without --classes: up to the highest
    class, 4.0 taken as 4; a class id of two billion is a fault that check
    reports, not two billion names to build."""
    import json

    from quorvane.trellisk.sources.folders import read_json_labels

    for k, cls in enumerate([2, top]):
        doc = {"image": "{}.jpg".format(k), "segment": [[{"class": cls, "polygon": [[0, 0], [1, 0], [1, 1]]}]]}
        (tmp_path / "{}.json".format(k)).write_text(json.dumps(doc))
    assert read_json_labels(str(tmp_path)) == ["class{}".format(i) for i in range(count)]
