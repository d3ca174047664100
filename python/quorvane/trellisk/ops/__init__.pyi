# Type stubs of the op library's Python face (checked by tests/test_stubs.py).
from typing import Any, Sequence

# TensorFlow ships no type information: tensors, datasets and the loaded op
# module are Any here.
_Tensor = Any
_Dataset = Any

LIBRARY_PATH: str
BUILD_INFO_PATH: str
REBUILD: str
DEFAULT_BUFFER_SIZE: int

def load() -> Any: ...
def letterbox(image: _Tensor, shape: Sequence[int], letter_box: bool = True,
              source: str | _Tensor = "") -> _Tensor: ...
def read_annotation(path: str | _Tensor, image_dir: str | _Tensor,
                    segments: bool = True) -> Any: ...
def resample_outlines(vertices: _Tensor, splits: _Tensor, classes: _Tensor, frame: _Tensor,
                      num_points: int, source: str | _Tensor = "") -> Any: ...
def paint_mask(polygons: _Tensor, classes: _Tensor, shape: Sequence[int]) -> _Tensor: ...
def detection_boxes(objects: _Tensor, bboxes: _Tensor, frame: _Tensor, image_size: _Tensor,
                    shape: Sequence[int], class_offset: int, training: bool = True,
                    source: str | _Tensor = "") -> _Tensor: ...
def checked_records(filenames: str | Sequence[str] | _Tensor | _Dataset,
                    num_parallel_reads: int | None = None, buffer_size: int | None = None,
                    deterministic: bool | None = None) -> _Dataset: ...
def augment(image: _Tensor, mask: _Tensor, epoch: int | _Tensor, index: int | _Tensor,
            seed: int | _Tensor, shape: Sequence[int], channel_ops: bool = True,
            diagonals: int = -1) -> tuple[_Tensor, _Tensor]: ...
def detection_augment(images: _Tensor, boxes: _Tensor, counts: _Tensor, main: int | _Tensor,
                      seed: int | _Tensor, pass_number: int | _Tensor, index: int | _Tensor,
                      config: Any, *, outline_xy: _Tensor | None = ...,
                      outline_parts: _Tensor | None = ...) -> tuple[_Tensor, _Tensor]: ...
def record_outlines(sample: Any, max_class: int, image_size: _Tensor | None = ...,
                    shape: Any = ..., letter_box: bool = ..., match_objects: bool = ...,
                    source: Any = ..., require: bool = ...) -> tuple[_Tensor, _Tensor, _Tensor]: ...
def tf_int64(value: Any) -> _Tensor: ...
