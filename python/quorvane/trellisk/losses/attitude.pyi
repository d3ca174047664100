# Type stubs of the compiled module (checked against it by tests/test_stubs.py).
from typing import Any

# TensorFlow ships no type information: its tensors and datasets are Any here.
_Tensor = Any
_Dataset = Any

from .core import TrelliskLoss as TrelliskLoss

class AttitudeLoss(TrelliskLoss):
    parts: tuple[str, ...]
    w_yaw: float
    w_pitch: float
    w_roll: float
    angle_loss: Any
    cce: Any
    mse: Any
    def __init__(self, w_yaw: float = 1.0, w_pitch: float = 1.0, w_roll: float = 1.0) -> None: ...
    def set_weights(self, loss_weights: dict[str, float] | None = None) -> None: ...
    def compute_loss(self, y_true: Any, y_pred: Any) -> dict[str, _Tensor]: ...
