"""What differs between the dependency stacks the package runs on.

Two stacks are supported: TensorFlow 2.15 with Keras 2 and NumPy 1, and
TensorFlow 2.21 with Keras 3 and NumPy 2. Everything that depends on which
one is installed asks here, so the rest of the package holds no version
checks:

- ``mean_squared_error(tf)``: the Keras mean-squared-error function;
- ``plain_id(value)``: an image or record id as an error note inside a
  pipeline names it;
- ``augmentation_library()``, ``library_pipeline_usable(A)`` and
  ``native_pipeline(height, width, channel_ops)``: whether the segmentation
  datasets augment with the augmentation library or with the native engine;
- ``quiet_library_notices()``: silences the deprecation notice that the
  library's piecewise-affine warp raises under scikit-image 0.26;
- ``backup_callback()``: Keras's ``BackupAndRestore`` and the name of its
  method that writes one backup.
"""

import importlib.metadata
import importlib.util
import os
import re
import threading
import types
import warnings

__all__ = ["mean_squared_error", "keras_named", "plain_id", "augmentation_library",
           "library_pipeline_usable", "native_pipeline", "fallback_reason",
           "AugmentationFallbackWarning", "LIBRARY_EXTRA", "quiet_library_notices",
           "backup_callback"]


# ------------------------------------------------------------------ Keras

def mean_squared_error(tf):
    """The Keras mean-squared-error function, looked up at each call.

    Keras 2 has it as ``tf.keras.metrics.mean_squared_error``; Keras 3 has no
    such name and keeps it as ``keras.losses.mean_squared_error``. Both square
    the difference and average over the last axis in the prediction's dtype,
    so the numbers are the same. Looking the name up on every call lets a
    caller rebind it (on either stack) and be heard.
    """
    fn = getattr(tf.keras.metrics, "mean_squared_error", None)
    if fn is not None:
        return fn
    import keras

    return keras.losses.mean_squared_error


def keras_named(fn, name):
    """``fn`` named ``name`` in the logs of either Keras: Keras 2 takes the
    function's ``__name__``; Keras 3 takes a ``name`` attribute as it is but
    strips "-" from ``__name__``."""
    fn.__name__ = fn.__qualname__ = fn.name = name
    return fn


def backup_callback():
    """``(BackupAndRestore, hook)``: the class of the Keras that TensorFlow
    trains with, and the name of its method that writes one backup (weights
    and counters). Keras 3 writes in ``_save_model()``; Keras 2 in
    ``_backup(epoch, batch)``. Both take ``backup_dir`` and ``save_freq``
    ("epoch" or a number of batches), and restore in ``on_train_begin``."""
    import tensorflow as tf

    base = tf.keras.callbacks.BackupAndRestore
    return base, ("_save_model" if hasattr(base, "_save_model") else "_backup")


# ------------------------------------------------------- pipeline errors

def plain_id(value):
    """An id drawn from a pipeline, as the Python value to show in an error note.

    tf.numpy_function hands ids over as NumPy scalars, whose repr is the bare
    value on NumPy 1 ("2") but the constructor on NumPy 2 ("np.int32(2)"),
    which no user searches for. Other values come back as they are.
    """
    import numpy as np

    return value.item() if isinstance(value, np.generic) else value


# ------------------------------------------------ augmentation library

LIBRARY_EXTRA = 'pip install "quorvane-trellisk[albumentations]"'

# The library's 1.3 releases accept every argument the pipeline passes; 1.4
# renamed or dropped several of them (value, alpha_affine, always_apply, ...),
# which 2.x refuses or silently ignores.
_USABLE = re.compile(r"1\.3(\.|$)")


class AugmentationFallbackWarning(UserWarning):
    """The segmentation datasets augment with the native engine, not the library."""


_lock = threading.Lock()
_found = None        # (module or None, version text or None), once looked up
_warned = False


def _installed_version(spec):
    """Version of the distribution that holds the package `spec` points at."""
    folder = os.path.dirname(os.path.dirname(spec.origin or ""))
    for dist in importlib.metadata.distributions(path=[folder]):
        if (dist.metadata["Name"] or "").lower() == "albumentations":
            return dist.version
    return None


def augmentation_library():
    """(module, version) of the installed augmentation library.

    The module is None when the library is missing or not a 1.3 release; it
    is then never imported (later releases check for updates over the
    network on import, and their arguments differ anyway). version is the
    release found, or None when none is installed.
    """
    global _found
    with _lock:
        if _found is None:
            _found = _look_up_library()
        return _found


def _look_up_library():
    try:
        spec = importlib.util.find_spec("albumentations")
    except (ImportError, ValueError):
        spec = None
    if spec is None:
        return None, None
    version = _installed_version(spec)
    if version is not None and not _USABLE.match(version):
        return None, version
    try:
        module = importlib.import_module("albumentations")
    except ImportError as e:
        return None, "{} (does not import: {})".format(version or "unknown version", e)
    version = getattr(module, "__version__", version)
    if not _USABLE.match(str(version)):
        return None, str(version)
    return module, str(version)


def library_pipeline_usable(A):
    """Whether `A` (what a dataset module binds as the library) can build the pipeline.

    True for a 1.3 release and for any stand-in that is not a module (a
    caller may bind one); False for None and for other releases.
    """
    if A is None:
        return False
    if not isinstance(A, types.ModuleType):
        return True
    return bool(_USABLE.match(str(getattr(A, "__version__", ""))))


def fallback_reason(A=None):
    """The one-line warning text for datasets that augment natively."""
    if A is not None and isinstance(A, types.ModuleType):
        found = "albumentations {} is installed".format(getattr(A, "__version__", "(unknown version)"))
    else:
        version = augmentation_library()[1]
        found = ("albumentations is not installed" if version is None
                 else "albumentations {} is installed".format(version))
    return ("{}, not a 1.3 release: the segmentation datasets augment with the native "
            "engine (quorvane.trellisk.datasets.augment). For the albumentations pipeline: {}"
            .format(found, LIBRARY_EXTRA))


# scikit-image 0.26 deprecated the estimate() method that the 1.3 releases'
# piecewise-affine warp calls on every sample it warps. The notice is about
# the library's code, which no user can change, and tf.data repeats it from
# every worker thread. Matched by message, category and the module that
# raises it, so nothing else is hidden.
_ESTIMATE_NOTICE = {
    "message": r"`estimate` is deprecated since version 0\.26",
    "category": FutureWarning,
    "module": r"albumentations\.augmentations\.geometric\.transforms\Z",
}
_quieted = False


def quiet_library_notices():
    """Silence the library pipeline's scikit-image deprecation notice; idempotent.

    The pipeline runs on tf.data's worker threads, where
    ``warnings.catch_warnings`` (which swaps the process-wide filter list)
    would race, so this adds one precise entry to the process-wide filters,
    once. Filters the caller adds later still take precedence.
    """
    global _quieted
    with _lock:
        if not _quieted:
            warnings.filterwarnings("ignore", **_ESTIMATE_NOTICE)
            _quieted = True


def native_pipeline(height, width, channel_ops, A=None):
    """The native engine standing in for the library pipeline; warns once per process."""
    global _warned
    from .datasets.augment import AugmentationEngine

    engine = AugmentationEngine(height, width, channel_ops=channel_ops)
    with _lock:
        first, _warned = not _warned, True
    if first:
        warnings.warn(fallback_reason(A), AugmentationFallbackWarning, stacklevel=2)
    return engine
