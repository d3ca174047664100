"""Every Python example of the README runs, in the README's order, against the
demo dataset (its paths put in place of the README's), so that none breaks
silently. An output the README shows in a comment after a print is the
output printed.

Left out, as they need more than one machine: the example that trains
through a tf.data service (``service="grpc://..."``).
"""

import contextlib
import io
import os
import re
import subprocess
import sys

import numpy as np
import pytest

from quorvane.trellisk import sampledata

HOME = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
README = os.path.join(HOME, "README.md")


def examples():
    """[(line number, code)] of the README's Python blocks."""
    found, code, start = [], None, 0
    with open(README, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            if code is None and line.strip() == "```python":
                code, start = [], n
            elif code is not None and line.strip() == "```":
                found.append((start, "".join(code)))
                code = None
            elif code is not None:
                code.append(line)
    return found


EXAMPLES = examples()
NEEDS_SERVICE = 'service="grpc://'
# Sets the Keras backend before Keras is imported: a fresh interpreter.
OWN_PROCESS = "KERAS_BACKEND"


@pytest.fixture(scope="module")
def session(tmp_path_factory):
    """The namespace the examples share, run up to a given example."""
    # Enough samples for a batch of 16 (the README's largest).
    demo = sampledata.write_dataset(str(tmp_path_factory.mktemp("demo")), per_photo=3,
                                    val_per_photo=1)
    work = str(tmp_path_factory.mktemp("work"))
    records = {split: sorted(os.path.join(demo["tfrecord"][split], n)
                             for n in os.listdir(demo["tfrecord"][split])) for split in ("train", "val")}
    picture = os.path.join(demo["images"]["train"], sorted(os.listdir(demo["images"]["train"]))[0])
    paths = {
        "/data/images/train": demo["images"]["train"], "/data/json/train": demo["json"]["train"],
        "/data/images/val": demo["images"]["val"], "/data/json/val": demo["json"]["val"],
        "/data/segmentation.yaml": demo["segmentation_yaml"], "data.yaml": demo["segmentation_yaml"],
        "trellisk-demo/segmentation.yaml": demo["segmentation_yaml"],
        "coco/train.json": demo["coco"]["train"], "images/train": demo["images"]["train"],
        "data/cars.yaml": os.path.join(demo["root"], "tfrecord.yaml"),
        "data/train": demo["tfrecord"]["train"], "data/val": demo["tfrecord"]["val"],
        "a.tfrecord": records["train"][0], "b.tfrecord": records["val"][0],
        "data/train/part-0.tfrecord": os.path.join(work, "part-0.tfrecord"),
        "a.jpg": picture, "packed": os.path.join(work, "packed"),
        "/ckpt/run1": os.path.join(work, "ckpt", "run1"), "/ckpt/step": os.path.join(work, "ckpt", "step"),
    }
    import keras

    model = keras.Sequential([keras.Input((4,)), keras.layers.Dense(3)])
    rng = np.random.default_rng(0)
    given = {
        # What the examples take as given: a model and its data, a picture
        # and its mask, a group of detection samples (put back before each
        # example, as loops of earlier ones rebind some of these names).
        "model": model, "x": rng.random((8, 4), np.float32), "y": rng.random((8, 3), np.float32),
        "image": rng.integers(0, 255, (320, 320, 3), np.uint8), "mask": np.zeros((320, 320), np.int32),
        "images": rng.integers(0, 255, (4, 640, 640, 3), np.uint8),
        "boxes": np.tile(np.float32([[100, 100, 300, 300, 0]]), (4, 1, 1)),
        "counts": np.ones(4, np.int32),
    }
    state = {"done": 0, "namespace": {"__name__": "__main__"}, "given": given, "paths": paths}
    return state


def substituted(code, paths):
    return re.sub(r'"([^"\n]*)"', lambda m: '"{}"'.format(paths.get(m.group(1), m.group(1))), code)


def shown_outputs(code):
    """The outputs the README shows: comment lines right after a print."""
    lines = code.splitlines()
    return [after.strip()[2:] for line, after in zip(lines, lines[1:])
            if line.lstrip().startswith("print(") and after.lstrip().startswith("# ")
            and after.strip()[2:3] in "{[("]


def run_example(state, index):
    start, code = EXAMPLES[index]
    code = substituted(code, state["paths"])
    if OWN_PROCESS in code:
        run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                             timeout=600, env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
        assert run.returncode == 0, run.stderr[-3000:]
        return run.stdout
    state["namespace"].update(state["given"])
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md line {}".format(start), "exec"), state["namespace"])
    return out.getvalue()


@pytest.mark.parametrize("index", range(len(EXAMPLES)),
                         ids=["line {}".format(start) for start, _ in EXAMPLES])
def test_readme_example_runs(session, index):
    start, code = EXAMPLES[index]
    if NEEDS_SERVICE in code:
        pytest.skip("needs a tf.data service")
    if OWN_PROCESS in code:
        pytest.importorskip("jax", reason="JAX is installed on the current stack only")
    # The examples build on the ones before them.
    while session["done"] < index:
        if NEEDS_SERVICE not in EXAMPLES[session["done"]][1]:
            run_example(session, session["done"])
        session["done"] += 1
    printed = run_example(session, index)
    session["done"] = index + 1
    for shown in shown_outputs(code):
        assert shown in printed.splitlines(), (shown, printed)
