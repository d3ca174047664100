"""Stand-in for the package's loss base module: only what the losses rely on."""

from quorvane.trellisk._compat import keras_named


class TrelliskLoss:
    """Base of the package's losses.

    Subclasses implement ``compute_loss(y_true, y_pred)`` returning a dict of
    scalar tensors; calling the loss object calls it, so a training step can
    write ``losses = loss(y_true, y_pred)``.

    Keras wants one tensor from a loss, so for ``model.compile`` hand it
    ``keras_loss()`` (the entry named by ``total_key``) and, to follow the
    parts, ``keras_metrics()`` (one metric per name in ``parts``)::

        model.compile(optimizer="adam", loss=loss.keras_loss(),
                      metrics=loss.keras_metrics())
    """

    total_key = "total-loss"
    parts = ()

    def compute_loss(self, y_true, y_pred):
        raise NotImplementedError("compute_loss must be implemented by the loss")

    def __call__(self, y_true, y_pred):
        return self.compute_loss(y_true, y_pred)

    def _entry(self, key):
        def entry(y_true, y_pred):
            return self.compute_loss(y_true, y_pred)[key]

        return keras_named(entry, key)

    def keras_loss(self):
        """A function for ``model.compile(loss=...)``: the total loss alone.
        Keras traces it once per compile, so compile again after set_weights."""
        return self._entry(self.total_key)

    def keras_metrics(self, parts=None):
        """Functions for ``model.compile(metrics=...)``, one per part (default
        ``self.parts``), each named after its key."""
        return [self._entry(key) for key in (self.parts if parts is None else parts)]
