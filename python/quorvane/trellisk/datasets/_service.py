"""Hands a graph pipeline to tf.data service workers (``service=`` of the graph pipelines)."""

import socket
import time

PROCESSING_MODES = ("parallel_epochs", "distributed_epoch")


def parse_service(service):
    """'grpc://HOST:PORT' (or 'HOST:PORT') -> ('grpc://HOST:PORT', host, port)."""
    if not isinstance(service, str):
        raise TypeError("service must be a string 'grpc://HOST:PORT', got {}".format(
            type(service).__name__))
    addr = service[len("grpc://"):] if service.startswith("grpc://") else service
    host, sep, port = addr.rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) < 65536:
        raise ValueError("service must look like 'grpc://HOST:PORT', got {!r}".format(service))
    return "grpc://" + addr, host.strip("[]"), int(port)


def reachable(host, port, timeout=1.0):
    """True when something accepts TCP connections at host:port."""
    try:
        with socket.create_connection((host, port), timeout=timeout):
            return True
    except OSError:
        return False


def wait_reachable(host, port, timeout):
    """Waits up to `timeout` seconds for host:port to accept TCP connections.

    TensorFlow's client retries an unreachable dispatcher forever without a
    word; a trainer pointed at a wrong address should hear about it.
    """
    deadline = time.monotonic() + timeout
    while not reachable(host, port, timeout=max(0.1, min(1.0, timeout))):
        if time.monotonic() >= deadline:
            raise ConnectionError(
                "no tf.data service dispatcher answers at {}:{} (waited {:g} s); start one "
                "with 'python -m quorvane.trellisk serve dispatcher --port {}'".format(
                    host, port, timeout, port))
        time.sleep(0.2)


def distribute(ds, service, processing_mode="parallel_epochs", job_name=None, timeout=30.0,
               compression="AUTO"):
    """`ds` produced by the workers of the dispatcher at `service`."""
    import tensorflow as tf

    if processing_mode not in PROCESSING_MODES:
        raise ValueError("processing_mode must be one of {}, got {!r}".format(
            ", ".join(repr(m) for m in PROCESSING_MODES), processing_mode))
    target, host, port = parse_service(service)
    wait_reachable(host, port, float(timeout))
    return ds.apply(tf.data.experimental.service.distribute(
        processing_mode=processing_mode, service=target, job_name=job_name,
        compression=compression))
