"""What a user's own script prints: no deprecation notices from inside the
augmentation library, and no progress-bar frames in a log file."""

import json
import os
import pty
import select
import subprocess
import sys
import termios
import textwrap

import pytest

from test_coco import standard
from test_segmentation import make_split, simple

import quorvane.trellisk

# The package the tests import: the in-place build, or the installed one.
HOME = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(quorvane.trellisk.__file__))))
NOTICE = "`estimate` is deprecated since version 0.26"


def run_script(code, args, stderr=subprocess.PIPE):
    env = {k: v for k, v in os.environ.items() if k != "PYTHONWARNINGS"}
    env.update(PYTHONPATH=HOME, TF_CPP_MIN_LOG_LEVEL="2", NO_ALBUMENTATIONS_UPDATE="1")
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code), json.dumps(args)],
                            stdout=subprocess.PIPE, stderr=stderr, env=env, text=True)


TRAIN = """
import json, sys, warnings
import albumentations as A
import numpy as np
import skimage.transform
from quorvane.trellisk.datasets.segmentation import SegmentationDataset

args = json.loads(sys.argv[1])
ds = SegmentationDataset([32, 32, 3], args["ti"], args["ti"], args["ta"], args["ta"],
                         ["a", "b", "c"], ["segment"])
# Every sample through the piecewise-affine warp, the entry that calls the
# deprecated scikit-image method.
entries = [e for t in ds._augmentation_pipeline.transforms for e in getattr(t, "transforms", [t])]
warp, = [e for e in entries if isinstance(e, A.PiecewiseAffine)]
warp.p, warp.always_apply = 1.0, True
ds._augmentation_pipeline = A.Compose([warp])
for images, masks in ds.build_train_iterator(batch_size=2).take(2):
    pass
ds.apply_augmentation(np.zeros((32, 32, 3), np.uint8), np.zeros((32, 32), np.int32))
# The user's own warnings, and the same notice from the user's own call, still show.
warnings.warn("a notice of the user's own", FutureWarning)
grid = np.array([[0, 0], [0, 9], [9, 0], [9, 9], [4, 4]], float)
skimage.transform.PiecewiseAffineTransform().estimate(grid, grid)
print("done")
"""


def test_training_prints_no_notice_from_inside_the_library(tmp_path):
    pytest.importorskip("albumentations")
    ti, ta = make_split(tmp_path, "train", simple(4))
    child = run_script(TRAIN, {"ti": ti, "ta": ta})
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0 and "done" in out, err[-3000:]
    assert "a notice of the user's own" in err
    # Once: the user's call; the library's calls on the pipeline threads are silent.
    assert err.count(NOTICE) == 1, err[-3000:]


COCO = """
import json, sys, warnings
from quorvane.trellisk.datasets.segmentation import SegmentationDatasetJsonCOCO

args = json.loads(sys.argv[1])
warnings.simplefilter("ignore")
SegmentationDatasetJsonCOCO(train_json_file=args["coco"], train_images=args["images"],
                            shape=[32, 32, 3])
print("done")
"""


def _read_terminal(fd):
    """Everything written to the terminal until the child closes it."""
    chunks = []
    while select.select([fd], [], [], 300)[0]:
        try:
            data = os.read(fd, 65536)
        except OSError:  # EIO: the child's end is closed
            break
        if not data:
            break
        chunks.append(data.decode(errors="replace"))
    return "".join(chunks)


@pytest.mark.parametrize("terminal", [False, True])
def test_coco_index_bars_only_on_a_terminal(tmp_path, terminal):
    coco, images = standard(tmp_path)
    if terminal:
        master, slave = pty.openpty()
        termios.tcsetwinsize(slave, (24, 100))  # a fresh pty is 0 columns wide: no bar fits
        child = run_script(COCO, {"coco": coco, "images": images}, stderr=slave)
        os.close(slave)
        err = _read_terminal(master)
        os.close(master)
        out = child.stdout.read()
    else:
        child = run_script(COCO, {"coco": coco, "images": images})
        out, err = child.communicate(timeout=300)
    assert child.wait(timeout=300) == 0 and "done" in out, err[-3000:]
    bars = [text for text in ("Reading images", "Parsing annotations") if text in err]
    assert bars == (["Reading images", "Parsing annotations"] if terminal else []), err[-3000:]
    if not terminal:
        assert "\r" not in err
