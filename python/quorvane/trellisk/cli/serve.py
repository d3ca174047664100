"""``serve``: TensorFlow's own tf.data service servers with the op library loaded.

A dispatcher hands out the pipeline; workers (any number, on any machine)
produce its elements and stream them to the trainers. The graph pipelines of
``quorvane.trellisk.datasets.graph`` run our C++ ops, so every server process
must have loaded the op library before it sees a pipeline (the dispatcher
too: it builds the pipeline to split a distributed epoch). That, clear
messages and clean stops are all this command adds to TensorFlow's servers.
"""

import signal
import socket
import threading

from ..datasets._service import parse_service, reachable
from .sources import UsageError


def parse_address(text):
    """'HOST:PORT' (an optional 'grpc://' in front) -> (host, port)."""
    try:
        return parse_service(text)[1:]
    except ValueError as e:
        raise UsageError(str(e))


def _log(msg):
    print("[serve] {}".format(msg), flush=True)


def _catch_stop_signals(stop_event):
    """From now on SIGINT and SIGTERM ask for a clean stop, also while the
    server is still starting (loading TensorFlow takes seconds, and a stop
    asked then must not kill the process). Returns the list that receives the
    signal's name."""
    got = []

    def handler(signum, _frame):
        got.append(signal.Signals(signum).name)
        stop_event.set()

    if threading.current_thread() is threading.main_thread():
        for s in (signal.SIGINT, signal.SIGTERM):
            signal.signal(s, handler)
    return got


def _wait_for_stop(stop_event, got):
    """Blocks until a stop is asked; returns the signal's name."""
    while not stop_event.wait(0.5):
        pass
    return got[0] if got else "stop"


def run_dispatcher(port, work_dir=None, worker_timeout=None, stop_event=None):
    stop_event = stop_event or threading.Event()
    got = _catch_stop_signals(stop_event)
    _log("dispatcher starting on port {}".format(port))
    import tensorflow as tf

    from .. import ops

    # A distributed epoch is split on the dispatcher, which builds the
    # pipeline's source itself: it needs the ops as much as the workers do.
    ops.load()
    if stop_event.is_set():
        _log("dispatcher stopped ({}) before it started".format(_wait_for_stop(stop_event, got)))
        return 0
    svc = tf.data.experimental.service
    # With a work dir the dispatcher journals its state there, so a restarted
    # dispatcher resumes the jobs and worker registrations it had.
    config = svc.DispatcherConfig(
        port=port, work_dir=work_dir, fault_tolerant_mode=bool(work_dir),
        worker_timeout_ms=None if worker_timeout is None else int(worker_timeout * 1000))
    try:
        server = svc.DispatchServer(config)
    except Exception as e:  # port taken, work dir unwritable, ...
        _log("dispatcher could not start on port {}: {}".format(port, e))
        return 1
    where = "grpc://{}:{}".format(socket.gethostname(), server.target.rsplit(":", 1)[1])
    _log("dispatcher ready at {}{}".format(
        where, " (journal in {})".format(work_dir) if work_dir else ""))
    name = _wait_for_stop(stop_event, got)
    server.stop()
    _log("dispatcher stopped ({})".format(name))
    return 0


def run_worker(dispatcher, port=0, worker_address=None, heartbeat=None, retry_seconds=2.0,
               stop_event=None):
    host, dport = parse_address(dispatcher)
    stop_event = stop_event or threading.Event()
    got = _catch_stop_signals(stop_event)
    _log("worker starting, dispatcher {}:{}".format(host, dport))
    # The op library must be in the process before the first pipeline arrives.
    from .. import ops

    ops.load()
    if not reachable(host, dport):
        # TensorFlow's worker would block in its constructor retrying in
        # silence; wait here instead and say what is happening.
        _log("dispatcher {}:{} not reachable yet; retrying every {:g} s".format(
            host, dport, retry_seconds))
        while not reachable(host, dport):
            if stop_event.wait(retry_seconds):
                _log("worker stopped ({}) before the dispatcher came up".format(
                    _wait_for_stop(stop_event, got)))
                return 0
        _log("dispatcher {}:{} is up".format(host, dport))
    import tensorflow as tf

    if stop_event.is_set():
        _log("worker stopped ({}) before it started".format(_wait_for_stop(stop_event, got)))
        return 0
    svc = tf.data.experimental.service
    kw = {"dispatcher_address": "{}:{}".format(host, dport), "port": port}
    if worker_address:
        kw["worker_address"] = worker_address
    if heartbeat is not None:
        kw["heartbeat_interval_ms"] = max(1, int(heartbeat * 1000))
    try:
        server = svc.WorkerServer(svc.WorkerConfig(**kw))
    except Exception as e:
        _log("worker could not start: {}".format(e))
        return 1
    _log("worker ready on port {}, serving dispatcher {}:{}".format(
        server._address.rsplit(":", 1)[1], host, dport))
    name = _wait_for_stop(stop_event, got)
    server.stop()
    _log("worker stopped ({})".format(name))
    return 0


def run(args):
    if args.role == "dispatcher":
        return run_dispatcher(args.port, work_dir=args.work_dir, worker_timeout=args.worker_timeout)
    return run_worker(args.dispatcher, port=args.port, worker_address=args.worker_address,
                      heartbeat=args.heartbeat)
