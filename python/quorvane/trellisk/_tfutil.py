"""TensorFlow, imported quietly, and its errors told briefly (no TensorFlow
import at module level: the commands' --help and check start at once)."""

import os
import re


def import_tensorflow():
    """Import TensorFlow without its start-up chatter."""
    os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
    import tensorflow as tf

    return tf


def tf_error_text(e):
    """The cause in a TensorFlow error raised from a sample's Python code,
    without TensorFlow's node name and the embedded traceback."""
    msg = str(getattr(e, "message", None) or e)
    msg = re.sub(r"^\{\{[^}]*\}\}\s*", "", msg)
    msg = msg.split("Traceback (most recent call last)")[0]
    msg = " ".join(msg.split())
    return (msg or type(e).__name__)[:1000]
