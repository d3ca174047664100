"""The type stubs shipped beside the compiled modules and the op library's
Python face match what the built modules expose (mypy's stubtest): a method
or parameter renamed on one side and not the other fails here."""

import os
import subprocess
import sys

import pytest

import quorvane.trellisk

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = os.path.dirname(os.path.abspath(quorvane.trellisk.__file__))
MODULES = ["quorvane.trellisk.datasets.segmentation", "quorvane.trellisk.datasets.tfrecord",
           "quorvane.trellisk.losses.attitude", "quorvane.trellisk.datasets._detaug",
           "quorvane.trellisk.datasets._augment", "quorvane.trellisk.datasets._recordio",
           "quorvane.trellisk.datasets._rle",
           "quorvane.trellisk.ops"]


def test_stubs_match_the_built_modules(tmp_path):
    pytest.importorskip("mypy.stubtest")
    assert os.path.exists(os.path.join(PACKAGE, "py.typed"))
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(PACKAGE)),
               TF_CPP_MIN_LOG_LEVEL="3", MYPY_CACHE_DIR=str(tmp_path / "cache"))
    run = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES, "--allowlist",
                          os.path.join(HERE, "stubtest_allowlist.txt")],
                         capture_output=True, text=True, timeout=600, env=env, cwd=str(tmp_path))
    assert run.returncode == 0, (run.stdout + run.stderr)[-4000:]
