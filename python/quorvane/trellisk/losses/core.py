"""Stand-in for the package's loss base module: only what the losses rely on."""

from .._compat import keras_named


class LossValues(dict):
    """What calling a loss returns: the dict of ``compute_loss``, which also
    converts to its total as a tensor.

    Keras calls the object given as ``loss=`` and turns the result into one
    tensor, so ``model.compile(loss=AttitudeLoss())`` trains on the total
    while a training step of one's own still reads the parts by key.
    """

    def __init__(self, values, total_key):
        super().__init__(values)
        self.total_key = total_key

    def __tf_tensor__(self, dtype=None, name=None):
        import tensorflow as tf

        return tf.convert_to_tensor(self[self.total_key], dtype=dtype, name=name)


# Tensor types of the Keras backends other than TensorFlow, by top-level module.
_FOREIGN_TENSORS = ("jax", "jaxlib", "torch")


def _foreign_backend(value):
    """The backend ("jax", "torch") whose tensor ``value`` is, or None."""
    module = (type(value).__module__ or "").partition(".")[0]
    return module if module in _FOREIGN_TENSORS else None


def _is_tensor(value):
    import tensorflow as tf

    return tf.is_tensor(value)


class TrelliskLoss:
    """Base of the package's losses.

    Subclasses implement ``compute_loss(y_true, y_pred)`` returning a dict of
    scalar tensors. Calling the loss object calls it: a training step can
    write ``losses = loss(y_true, y_pred)`` and read the parts by key, and
    Keras trains on the entry named by ``total_key``::

        model.compile(optimizer="adam", loss=AttitudeLoss())

    To follow the parts, add ``keras_metrics()`` (one metric per name in
    ``parts``); ``keras_loss()`` is the total as a plain function::

        model.compile(optimizer="adam", loss=loss, metrics=loss.keras_metrics())

    Keras traces the loss once per compile, so compile again after
    ``set_weights``. The losses compute with TensorFlow: Keras on another
    backend (jax, torch) cannot call them.
    """

    total_key = "total-loss"
    parts: tuple[str, ...] = ()

    def __new__(cls, *args, **kwargs):
        # Keras 2 calls a class given as loss= with the batch's tensors
        # (Keras 3 makes an instance first): say so instead of failing on
        # the first weight's conversion to float.
        if any(_is_tensor(a) for a in args):
            raise TypeError(
                "{0} is a class and got tensors: give Keras an instance, "
                "model.compile(loss={0}())".format(cls.__name__))
        return super().__new__(cls)

    def compute_loss(self, y_true, y_pred):
        raise NotImplementedError("compute_loss must be implemented by the loss")

    def __call__(self, y_true, y_pred):
        for value in (y_true, y_pred):
            backend = _foreign_backend(value)
            if backend is not None:
                raise TypeError(
                    "{} computes with TensorFlow and cannot take {} tensors: train with "
                    "KERAS_BACKEND=tensorflow, or use a loss written with keras.ops".format(
                        type(self).__name__, backend))
        return LossValues(self.compute_loss(y_true, y_pred), self.total_key)

    def get_config(self):
        """Refused: Keras asks for it when it saves a model compiled with the loss."""
        raise TypeError(
            "{} is not saved with a model: save with model.save_weights(...) and compile "
            "again after rebuilding the model".format(type(self).__name__))

    def _entry(self, key):
        def entry(y_true, y_pred):
            return self.compute_loss(y_true, y_pred)[key]

        return keras_named(entry, key)

    def keras_loss(self):
        """A function for ``model.compile(loss=...)``: the total loss alone."""
        return self._entry(self.total_key)

    def keras_metrics(self, parts=None):
        """Functions for ``model.compile(metrics=...)``, one per part (default
        ``self.parts``), each named after its key."""
        return [self._entry(key) for key in (self.parts if parts is None else parts)]
