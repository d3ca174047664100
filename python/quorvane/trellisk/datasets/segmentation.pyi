# Type stubs of the compiled module (checked against it by tests/test_stubs.py).
from typing import Any, Callable

import numpy as np
# TensorFlow ships no type information: its tensors and datasets are Any here.
_Tensor = Any
_Dataset = Any

from .formats import DatasetDescription

letterbox: Callable[..., Any]
mask_padding: Callable[..., Any]
exists: Callable[[str], bool]
join: Callable[..., str]
basename: Callable[[str], str]
glob: Callable[..., list[str]]
interp1d: type

class SegmentationDataset:
    shape: list[int]
    labels: list[str]
    tasks: list[str]
    num_points: int
    letter_box: bool
    add_bkg_class: bool
    train_storage: list[str]
    val_storage: list[str]
    def __init__(self, shape: list[int] | None = None, train_images: str | None = None,
                 val_images: str | None = None, train_annotations: str | None = None,
                 val_annotations: str | None = None, labels: list[str] | None = None,
                 tasks: list[str] | None = None, num_points: int = 300, letter_box: bool = True,
                 add_bkg_class: bool = True) -> None: ...
    def get_num_segmentation_classes(self) -> int: ...
    def get_num_train_samples(self) -> int: ...
    def validate_tasks(self, tasks: list[str] | None = None) -> None: ...
    def validate_path(self, path: str | None = None) -> None: ...
    def apply_augmentation(self, image: np.ndarray, mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]: ...
    def tf_apply_augmentation(self, image: _Tensor, mask: _Tensor) -> tuple[_Tensor, _Tensor]: ...
    def build_train_iterator(self, batch_size: int = 10, prefetch: int = 10, *,
                             repeat_threshold: float | None = None,
                             start: tuple[int, int] | None = None,
                             augment: bool = True) -> _Dataset: ...
    def build_gt_mask(self, data: Any) -> tuple[_Tensor, _Tensor]: ...
    def read_data(self, annotation_file: Any, train: bool = True) -> Any: ...
    def build_val_iterator(self, prefetch: int = 10) -> _Dataset: ...
    def describe(self) -> DatasetDescription: ...

class SegmentationDatasetYaml(SegmentationDataset):
    def __init__(self, info_file: str | None = None, shape: list[int] | None = None,
                 letter_box: bool = True, num_points: int = 300, add_bkg_class: bool = True,
                 tasks: list[str] | None = None) -> None: ...

class SegmentationDatasetTFRecord(SegmentationDataset):
    info_file: str
    num_training_samples: int | None
    num_validation_samples: int | None
    def __init__(self, info_file: str | None = None, shape: list[int] | None = None,
                 letter_box: bool = True, num_points: int = 300, add_bkg_class: bool = True,
                 tasks: list[str] | None = None) -> None: ...
    def get_num_train_samples(self) -> int | None: ...  # type: ignore[override]
    def get_num_val_samples(self) -> int | None: ...
    def read_sample(self, record: Any, train: bool = True) -> Any: ...
    def build_train_iterator(self, batch_size: int = 10, prefetch: int = 10, *,
                             repeat_threshold: float | None = None,
                             start: tuple[int, int] | None = None,
                             augment: bool = True) -> _Dataset: ...

class SegmentationDatasetJsonCOCO:
    train_ann_file: str
    val_ann_file: str | None
    train_images: str
    val_images: str | None
    shape: list[int]
    labels: list[str]
    train_storage_images: list[Any]
    train_images_id: list[Any]
    train_storage_ann: dict[Any, list[dict[str, Any]]]
    crowd: str
    ignore_value: int
    def __init__(self, train_json_file: str | None = None, val_json_file: str | None = None,
                 train_images: str | None = None, val_images: str | None = None,
                 shape: list[int] | None = None, letter_box: bool = True, num_points: int = 300,
                 add_bkg_class: bool = True, tasks: list[str] | None = None, *,
                 crowd: str = "object", ignore_value: int = 255) -> None: ...
    def get_num_train_samples(self) -> int: ...
    def get_num_segmentation_classes(self) -> int: ...
    def read_data(self, image_id: Any) -> Any: ...
    def build_gt_mask(self, data: Any) -> tuple[_Tensor, _Tensor]: ...
    def apply_augmentation(self, image: np.ndarray, mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]: ...
    def tf_apply_augmentation(self, image: _Tensor, mask: _Tensor) -> tuple[_Tensor, _Tensor]: ...
    def build_train_iterator(self, batch_size: int = 10, prefetch: int = 10, *,
                             repeat_threshold: float | None = None,
                             start: tuple[int, int] | None = None,
                             augment: bool = True) -> _Dataset: ...
    def build_val_iterator(self, batch_size: int = 10, prefetch: int = 10) -> None: ...
    def describe(self) -> DatasetDescription: ...
