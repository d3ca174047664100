"""The segmentation datasets without a usable augmentation library: hidden
altogether, or a 2.x release whose arguments differ. Each case runs in a
fresh interpreter, since the library is looked up once per process."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from test_coco import standard
from test_segmentation import make_split, simple

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
EXTRAS = os.path.join(sys.prefix, "extras", "albumentations2")

# Run in the child: build both dataset kinds, draw a training batch of each.
CHILD = """
import json, sys, warnings
args = json.loads(sys.argv[1])
warnings.simplefilter("always")
with warnings.catch_warnings(record=True) as caught:
    from quorvane.trellisk.datasets import segmentation as seg
    from quorvane.trellisk.datasets.augment import AugmentationEngine
    ds = seg.SegmentationDataset([32, 32, 3], args["ti"], args["ti"], args["ta"], args["ta"],
                                 ["a", "b", "c"], ["segment"])
    coco = seg.SegmentationDatasetJsonCOCO(train_json_file=args["coco"],
                                           train_images=args["images"], shape=[24, 40, 3])
    # A few batches: random crops can leave a single batch all background.
    batches = iter(ds.build_train_iterator(batch_size=2).repeat())
    images, masks = next(batches)
    classes = set(masks.numpy().ravel().tolist())
    for _ in range(5):
        classes |= set(next(batches)[1].numpy().ravel().tolist())
    coco_images, _ = next(iter(coco.build_train_iterator(batch_size=2)))
mine = [str(w.message) for w in caught if w.category.__name__ == "AugmentationFallbackWarning"]
p, q = ds._augmentation_pipeline, coco._augmentation_pipeline
print(json.dumps({
    "A": repr(seg.A), "library imported": "albumentations" in sys.modules,
    "engines": [type(p).__name__, type(q).__name__],
    "shapes": [list(p.shape), list(q.shape)], "channel_ops": [p.channel_ops, q.channel_ops],
    "batches": [list(images.shape), list(masks.shape), list(coco_images.shape)],
    "classes": sorted(classes), "warnings": mine}))
"""

# Hides the library: `import albumentations` fails as it does when it is not installed.
HIDE = """
import importlib.abc, sys
class Hide(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] == "albumentations":
            raise ModuleNotFoundError("No module named 'albumentations'", name=name)
sys.meta_path.insert(0, Hide())
"""

# The 2.x release from its own folder; everything else still comes from the
# environment (the folder is appended, so NumPy and OpenCV stay the venv's).
SECOND = """
import importlib.abc, importlib.machinery, sys
EXTRAS = {!r}
sys.path.append(EXTRAS)
class Second(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path=None, target=None):
        if path is None and name in ("albumentations", "albucore"):
            return importlib.machinery.PathFinder.find_spec(name, [EXTRAS])
sys.meta_path.insert(0, Second())
"""


def run_child(prelude, tmp_path):
    ti, ta = make_split(tmp_path, "train", simple(4))
    coco, images = standard(tmp_path)
    args = json.dumps({"ti": ti, "ta": ta, "coco": coco, "images": images})
    code = textwrap.dedent(prelude) + CHILD
    # Where the tests' package comes from: python/, or site-packages when installed.
    import quorvane.trellisk

    home = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(quorvane.trellisk.__file__))))
    env = dict(os.environ, PYTHONPATH=home, TF_CPP_MIN_LOG_LEVEL="2",
               NO_ALBUMENTATIONS_UPDATE="1")
    run = subprocess.run([sys.executable, "-c", code, args], capture_output=True, text=True,
                         timeout=300, env=env)
    assert run.returncode == 0, run.stderr[-3000:]
    return json.loads(run.stdout.strip().splitlines()[-1])


def second_release():
    if not os.path.isdir(os.path.join(EXTRAS, "albumentations")):
        pytest.fail("albumentations 2.0.8 is missing from {}: `make setup` creates it "
                    "(pip install --target {} albumentations==2.0.8)".format(EXTRAS, EXTRAS))
    return SECOND.format(EXTRAS)


@pytest.mark.parametrize("case, found", [("hidden", "albumentations is not installed"),
                                         ("2.0.8", "albumentations 2.0.8 is installed")])
def test_without_a_usable_library_the_native_engine_serves(tmp_path, case, found):
    r = run_child(HIDE if case == "hidden" else second_release(), tmp_path)
    assert r["A"] == "None" and not r["library imported"]
    # The COCO dataset has no channel dropout or shuffle.
    assert r["engines"] == ["AugmentationEngine"] * 2 and r["channel_ops"] == [True, False]
    assert r["shapes"] == [[32, 32], [24, 40]]
    assert r["batches"] == [[2, 32, 32, 3], [2, 32, 32], [2, 24, 40, 3]]
    assert set(r["classes"]) <= {0, 1, 2, 3} and len(r["classes"]) > 1
    # One warning for the process, naming what was found and how to get the library.
    assert len(r["warnings"]) == 1
    assert r["warnings"][0].startswith(found + ", not a 1.3 release")
    assert 'pip install "quorvane-trellisk[albumentations]"' in r["warnings"][0]


@pytest.mark.parametrize("version, usable", [("1.3.1", True), ("1.3.0", True), ("1.3", True),
                                             ("1.4.0", False), ("1.30.0", False),
                                             ("2.0.8", False), ("", False)])
def test_only_a_13_release_builds_the_library_pipeline(version, usable):
    import types

    from quorvane.trellisk import _compat

    module = types.ModuleType("albumentations")
    module.__version__ = version
    assert _compat.library_pipeline_usable(module) is usable
    # None is no library; a stand-in that is not a module is the caller's choice.
    assert not _compat.library_pipeline_usable(None)
    assert _compat.library_pipeline_usable(object())
