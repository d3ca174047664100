"""Worker processes that never outlive the process that started them and
leave Ctrl-C to it.

- A worker starts with Ctrl-C blocked (a terminal sends it to the whole
  process group): the main process alone decides what happens, and a worker
  still starting never prints a ``KeyboardInterrupt`` traceback.
- A worker ends within a second when its parent dies by any signal, SIGKILL
  included: on Linux the kernel kills it at once (``PR_SET_PDEATHSIG``),
  elsewhere a thread that sees the parent change ends it. The resource
  tracker of ``multiprocessing`` then ends too, as its last user is gone.
"""

import os
import signal
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from multiprocessing import context as _context

# How often a worker looks whether its parent is still there (without the
# kernel's help).
POLL_SECONDS = 0.2
_PR_SET_PDEATHSIG = 1


class _Process(_context.SpawnProcess):
    def start(self):
        # The signal mask survives fork and exec: the new interpreter starts
        # with Ctrl-C held back. In this process a Ctrl-C meanwhile reaches
        # another thread, or waits until the mask is restored: none is lost.
        block = getattr(signal, "pthread_sigmask", None)
        if block is None:
            return super().start()
        old = block(signal.SIG_BLOCK, {signal.SIGINT})
        try:
            return super().start()
        finally:
            block(signal.SIG_SETMASK, old)


class _Context(_context.SpawnContext):
    """Spawns ``_Process`` workers and remembers them, so that they can be
    stopped even before the pool has counted them as its own."""

    def __init__(self):
        super().__init__()
        self.started = []

    def Process(self, *args, **kwargs):  # noqa: N802 -- the context's own name
        process = _Process(*args, **kwargs)
        self.started.append(process)
        return process


class Pool(ProcessPoolExecutor):
    """A ProcessPoolExecutor of ``workers`` fresh interpreters (spawned: no
    inherited threads or TensorFlow state) that end with this process; each
    runs ``initializer(*initargs)`` first."""

    def __init__(self, workers, initializer, initargs=()):
        self._context = _Context()
        super().__init__(max_workers=workers, mp_context=self._context, initializer=_start,
                         initargs=(os.getpid(), initializer, initargs))

    def stop(self):
        """Drop the work not done and end the workers at once (SIGTERM, which
        they do not catch: a worker still starting prints nothing)."""
        self.shutdown(wait=False, cancel_futures=True)
        for process in self._context.started:
            try:
                process.terminate()
            except (AttributeError, OSError, ValueError):
                pass  # not started, or already gone
        for process in self._context.started:
            try:
                process.join(5)
            except (AssertionError, ValueError):
                pass  # never started


def _start(parent, initializer, initargs):
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    watch_parent(parent)
    initializer(*initargs)


def watch_parent(parent):
    """End this process as soon as ``parent`` is no longer its parent."""
    if sys.platform.startswith("linux"):
        try:
            import ctypes

            libc = ctypes.CDLL(None, use_errno=True)
            libc.prctl(_PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0)
        except (OSError, AttributeError):
            pass  # the thread below still watches
    # The parent may have died before the watch began.
    if os.getppid() != parent:
        os._exit(1)
    threading.Thread(target=_watch, args=(parent,), name="parent-watch", daemon=True).start()


def _watch(parent):
    while os.getppid() == parent:
        time.sleep(POLL_SECONDS)
    os._exit(1)
