# Type stubs of the compiled module (checked against it by tests/test_stubs.py).
from typing import Any, Callable

# TensorFlow ships no type information: its tensors and datasets are Any here.
_Tensor = Any
_Dataset = Any

from .core import BaseDetectionDataset as BaseDetectionDataset

letterbox: Callable[..., Any]
xywhn2xyxy: Callable[..., Any]
exists: Callable[[str], bool]
join: Callable[..., str]

def scan_record_file(path: str) -> tuple[Any, ...]: ...

class TFRecordDatasetYaml(BaseDetectionDataset):
    def __init__(self, info_file: str | None = None, shape: list[int] | None = None,
                 letter_box: bool = True, add_bkg_class: bool = True,
                 aug_cfg: dict[str, Any] | None = None) -> None: ...
    def validate_info_file_content(self, info_dataset: dict[str, Any] | None = None) -> None: ...
    def load_storage(self) -> None: ...
    def load_instance(self, data: _Tensor, training: bool = True) -> tuple[_Tensor, _Tensor]: ...
    def build_and_load_base_iterator(self, storage: list[str], shuffle: bool = True, *,
                                     positions: bool = False) -> _Dataset: ...

class TFRecordDataset(TFRecordDatasetYaml):
    def __init__(self, info_dataset: dict[str, Any] | None = None, shape: list[int] | None = None,
                 letter_box: bool = True, add_bkg_class: bool = True,
                 aug_cfg: dict[str, Any] | None = None) -> None: ...
    def validate_info_file(self, info_file: str) -> dict[str, Any]: ...
    def build_val_iterator(self, batch_size: int = 1) -> _Dataset: ...
    def build_train_iterator(self, batch_size: int, prefetch: int = 10,
                             seed: int | None = None, *, repeat_threshold: float | None = None,
                             start: tuple[int, int] | None = None) -> _Dataset: ...
