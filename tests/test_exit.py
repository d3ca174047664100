"""Exit with native calls running: at exit the methods refuse new calls and
let the running ones finish before the interpreter is torn down (a worker
thread woken inside a method during teardown aborted or hung the process)."""

import os
import random
import re
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import pytest

PRELUDE = """
    import atexit, os, sys, threading, time
    import tensorflow as tf
    from quorvane.trellisk.losses.attitude import AttitudeLoss

    entered = threading.Event()

    class Slow:
        # Indexing happens inside the native compute_loss, so the event says
        # the call is running; sleeping releases the GIL as TensorFlow's ops do.
        def __getitem__(self, item):
            entered.set()
            time.sleep(0.5)
            return tf.zeros((1, 1))

    loss = AttitudeLoss()
    def worker():
        try:
            loss.compute_loss(Slow(), tf.zeros((1, 3)))
        except Exception:
            pass  # only when the call ends matters here, not what the loss makes of Slow()
        sys.stdout.write("worker done\\n")  # one write: print's two can interleave
        sys.stdout.flush()
    threading.Thread(target=worker, daemon=True).start()
    entered.wait()
"""

SCRIPT = textwrap.dedent(PRELUDE + """
    atexit._run_exitfuncs()  # what interpreter exit runs first
    print("drained", flush=True)
    try:
        loss.compute_loss(tf.zeros((1, 3)), tf.zeros((1, 3)))
    except RuntimeError as e:
        print("refused:", e, flush=True)
""")


FORK = textwrap.dedent(PRELUDE + """
    pid = os.fork()  # while this process's worker is inside a native call
    if pid == 0:
        start = time.monotonic()
        atexit._run_exitfuncs()
        # The child has no such call: it must not wait for the parent's.
        print("child waited", "long" if time.monotonic() - start > 2.5 else "briefly", flush=True)
        os._exit(0)
    os.waitpid(pid, 0)
""")


def test_exit_waits_for_running_calls_and_refuses_new_ones(tmp_path):
    script = tmp_path / "run.py"
    script.write_text(SCRIPT)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")
    proc = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env,
                          timeout=120)
    assert proc.returncode == 0, proc.stderr[-2000:]
    assert proc.stdout.splitlines() == [
        "worker done",
        "drained",
        "refused: compute_loss(): the interpreter is exiting",
    ]


def run_script(tmp_path, name, text, args=(), timeout=120):
    """(returncode, stdout, stderr) of a fresh interpreter, or None when it hangs."""
    script = tmp_path / name
    script.write_text(text)
    env = dict(os.environ, TF_CPP_MIN_LOG_LEVEL="3")
    try:
        proc = subprocess.run([sys.executable, str(script)] + list(args), capture_output=True,
                              text=True, env=env, timeout=timeout)
    except subprocess.TimeoutExpired:
        return None
    return proc.returncode, proc.stdout, proc.stderr


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_child_does_not_wait_for_the_parents_calls(tmp_path):
    out = run_script(tmp_path, "fork.py", FORK)
    assert out is not None and out[0] == 0, out and out[2][-2000:]
    assert [line for line in out[1].splitlines() if line.startswith("child")] == [
        "child waited briefly"]


PIPELINE = textwrap.dedent("""
    import sys, time
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml
    ds = SegmentationDatasetYaml(sys.argv[1], [64, 64, 3], tasks=["segment"])
    it = iter(ds.build_train_iterator(batch_size=2, prefetch=4))  # a module global
    next(it)
    time.sleep(float(sys.argv[2]))  # ends while the workers are busy
    print("end", flush=True)
""")


def test_exit_with_training_pipeline_running(tmp_path):
    # Worker threads that need the interpreter after its finalization began
    # were ended mid-call, and destroying the global iterator waited for
    # those calls forever (most runs hung).
    from quorvane.trellisk import sampledata

    info = sampledata.write_dataset(str(tmp_path / "ds"), per_photo=2, val_per_photo=1)
    delays = [random.Random(k).uniform(0.05, 0.3) for k in range(6)]
    with ThreadPoolExecutor(2) as pool:
        outs = list(pool.map(lambda d: run_script(tmp_path, "pipeline%.3f.py" % d, PIPELINE,
                                                  [info["segmentation_yaml"], str(d)]), delays))
    assert [d for d, out in zip(delays, outs) if out is None] == [], "exit hung"
    for out in outs:
        assert out[:2] == (0, "end\n"), out[2][-2000:]


QUIET = textwrap.dedent("""
    import sys
    from quorvane.trellisk.datasets.segmentation import SegmentationDatasetYaml
    ds = SegmentationDatasetYaml(sys.argv[1], [64, 64, 3], tasks=["segment"])
    if sys.argv[2] == "native":
        from quorvane.trellisk.datasets.augment import use_native_augmentation
        use_native_augmentation(ds)
    it = iter(ds.build_train_iterator(batch_size=2, prefetch=4))  # a module global
    next(it)
    print("end", flush=True)
""")

# A traceback, an exception name, or a warning/error line of TensorFlow's log
# ("W tensorflow/...cc:12]" or "E0000 ... cc:12]").
NOISE = re.compile(r"Traceback|Error|exiting|(^|\s)[WEF]\d*\s.*\.cc:\d+\]")


@pytest.mark.parametrize("augmentation", ["library", "native"])
def test_exit_after_first_batch_is_quiet(tmp_path, augmentation):
    # Calls refused at exit used to fail every pipeline element still in
    # flight, and TensorFlow logged each failure with its traceback.
    from quorvane.trellisk import sampledata

    info = sampledata.write_dataset(str(tmp_path / "ds"), per_photo=2, val_per_photo=1)
    script = tmp_path / "quiet.py"
    script.write_text(QUIET)
    env = {k: v for k, v in os.environ.items() if k != "TF_CPP_MIN_LOG_LEVEL"}  # TF's default logging

    def run(_):
        return subprocess.run([sys.executable, str(script), info["segmentation_yaml"], augmentation],
                              capture_output=True, text=True, env=env, timeout=120)

    with ThreadPoolExecutor(2) as pool:
        procs = list(pool.map(run, range(3)))
    for proc in procs:
        assert (proc.returncode, proc.stdout) == (0, "end\n"), proc.stderr[-2000:]
        assert [line for line in proc.stderr.splitlines() if NOISE.search(line)] == []
