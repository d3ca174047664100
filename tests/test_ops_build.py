"""The op library records the TensorFlow it was built against, and the
package never loads it under another minor release or ships without it
unnoticed."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest
import tensorflow as tf

from quorvane.trellisk import ops

ROOT = Path(__file__).resolve().parent.parent


def test_build_recorded_the_running_tensorflow():
    assert ops._built_against() == tf.__version__


@pytest.mark.parametrize("recorded, words", [
    ("tensorflow 1.99.0\n", ["1.99.0", tf.__version__, "--no-build-isolation --force-reinstall"]),
    ("off\n", ["without the op library", "--no-build-isolation"]),
    ("", ["does not record", "--no-build-isolation"]),
    (None, ["does not record", "--no-build-isolation"]),
])
def test_load_refuses_a_library_built_for_another_tensorflow(tmp_path, monkeypatch, recorded, words):
    info = tmp_path / "_trellisk_ops.txt"
    if recorded is not None:
        info.write_text(recorded)
    monkeypatch.setattr(ops, "BUILD_INFO_PATH", str(info))
    monkeypatch.setattr(ops, "_library", None)
    with pytest.raises(ImportError) as err:
        ops.load()
    message = str(err.value)
    assert "\n" not in message
    for word in words:
        assert word in message


def test_same_minor_release_loads(tmp_path, monkeypatch):
    major, minor = tf.__version__.split(".")[:2]
    info = tmp_path / "_trellisk_ops.txt"
    info.write_text("tensorflow {}.{}.99\n".format(major, minor))
    monkeypatch.setattr(ops, "BUILD_INFO_PATH", str(info))
    monkeypatch.setattr(ops, "_library", None)
    assert hasattr(ops.load(), "trellisk_letterbox")


@pytest.mark.parametrize("ops_option, fails", [("ON", True), ("OFF", False)])
def test_configure_without_tensorflow(tmp_path, ops_option, fails):
    # An isolated build environment: TensorFlow does not import.
    fake = tmp_path / "site" / "tensorflow"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError('no TensorFlow here')\n")
    cmake = shutil.which("cmake", path=os.path.dirname(sys.executable)) or shutil.which("cmake")
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "site"))
    r = subprocess.run([cmake, "-S", str(ROOT), "-B", str(tmp_path / "build"), "-G", "Ninja",
                        "-DPython_EXECUTABLE=" + sys.executable, "-DTRELLISK_OPS=" + ops_option],
                       env=env, capture_output=True, text=True, timeout=300)
    if fails:
        assert r.returncode != 0
        assert "--no-build-isolation" in r.stderr and "TRELLISK_OPS=OFF" in r.stderr
    else:
        assert r.returncode == 0, r.stderr
        assert (tmp_path / "build" / "_trellisk_ops.txt").read_text() == "off\n"
