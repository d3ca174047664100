"""Exit with native calls running: at exit the methods refuse new calls and
let the running ones finish before the interpreter is torn down (a worker
thread woken inside a method during teardown aborted or hung the process)."""

import os
import subprocess
import sys
import textwrap

SCRIPT = textwrap.dedent("""
    import atexit, threading, time
    import tensorflow as tf
    from quorvane.trellisk.losses.attitude import AttitudeLoss

    class Slow:
        # Indexing happens inside the native compute_loss; sleeping here
        # releases the GIL the way TensorFlow's ops do.
        def __getitem__(self, item):
            time.sleep(0.5)
            return tf.zeros((1, 1))

    loss = AttitudeLoss()
    entered = threading.Event()
    def worker():
        entered.set()
        loss.compute_loss(Slow(), tf.zeros((1, 3)))
        print("worker done", flush=True)
    threading.Thread(target=worker, daemon=True).start()
    entered.wait()
    time.sleep(0.1)
    atexit._run_exitfuncs()  # what interpreter exit runs first
    print("drained", flush=True)
    try:
        loss.compute_loss(tf.zeros((1, 3)), tf.zeros((1, 3)))
    except RuntimeError as e:
        print("refused:", e, flush=True)
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
