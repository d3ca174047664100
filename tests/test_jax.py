"""Keras 3 on the JAX backend trains from the package's pipelines: the
default one and the graph-only one (datasets/graph.py)."""

import json
import os
import subprocess
import sys

import pytest

from test_segmentation import make_split, simple

import quorvane.trellisk

HOME = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(quorvane.trellisk.__file__))))

# The README's JAX example, on a four-sample dataset.
SCRIPT = """
import json, sys
import keras
from quorvane.trellisk.datasets.segmentation import SegmentationDataset
from quorvane.trellisk.datasets.graph import train_pipeline

args = json.loads(sys.argv[1])
ds = SegmentationDataset([32, 32, 3], args["ti"], args["ti"], args["ta"], args["ta"],
                         ["a", "b", "c"], ["segment"])
pipeline = (ds.build_train_iterator(batch_size=2) if not args["graph"]
            else train_pipeline(ds, batch_size=2))
model = keras.Sequential([keras.Input((32, 32, 3)), keras.layers.Rescaling(1 / 255),
                          keras.layers.Conv2D(ds.get_num_segmentation_classes(), 3, padding="same")])
model.compile(optimizer="adam", loss=keras.losses.SparseCategoricalCrossentropy(from_logits=True))
history = model.fit(pipeline, epochs=2, verbose=0).history
print(json.dumps({"backend": keras.backend.backend(), "loss": history["loss"]}))
"""


@pytest.mark.parametrize("graph", [False, True])
def test_keras_on_jax_trains_from_the_pipelines(tmp_path, graph):
    pytest.importorskip("jax", reason="JAX is installed on the current stack only")
    ti, ta = make_split(tmp_path, "train", simple(4))
    env = dict(os.environ, PYTHONPATH=HOME, KERAS_BACKEND="jax", TF_CPP_MIN_LOG_LEVEL="3",
               NO_ALBUMENTATIONS_UPDATE="1")
    run = subprocess.run([sys.executable, "-c", SCRIPT, json.dumps({"ti": ti, "ta": ta, "graph": graph})],
                         capture_output=True, text=True, timeout=600, env=env)
    assert run.returncode == 0, run.stderr[-3000:]
    result = json.loads(run.stdout.strip().splitlines()[-1])
    assert result["backend"] == "jax" and len(result["loss"]) == 2
    assert all(loss == loss and loss > 0 for loss in result["loss"])
