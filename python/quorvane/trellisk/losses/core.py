"""Stand-in for the package's loss base module: only what the losses rely on."""


class TrelliskLoss:
    """Base of the package's losses.

    Subclasses implement ``compute_loss(y_true, y_pred)`` returning a dict of
    scalar tensors; calling the loss object calls it, so a training step can
    write ``losses = loss(y_true, y_pred)``.
    """

    def __init__(self):
        pass

    def compute_loss(self, y_true, y_pred):
        raise NotImplementedError("compute_loss must be implemented by the loss")

    def __call__(self, y_true, y_pred):
        return self.compute_loss(y_true, y_pred)
