"""The pinned libraries accept every call the modules make with these exact keywords."""

import tomllib
from importlib import metadata
from pathlib import Path

import numpy as np
import pytest
import tensorflow as tf
from packaging.requirements import Requirement


def _augmentation_library():
    """The optional augmentation library, when the release installed is one
    the package's extra admits (both lock files pin one)."""
    try:
        version = metadata.version("albumentations")
    except metadata.PackageNotFoundError:
        pytest.skip("the optional augmentation library is not installed")
    pyproject = tomllib.loads((Path(__file__).resolve().parent.parent / "pyproject.toml").read_text())
    (extra,) = pyproject["project"]["optional-dependencies"]["albumentations"]
    if not Requirement(extra).specifier.contains(version):
        pytest.skip("albumentations {} is not the 1.3 release the library pipeline uses".format(version))
    import albumentations

    return albumentations


def test_augmentation_library_accepts_the_pipeline_keywords():
    A = _augmentation_library()
    H, W = 64, 48
    transforms = [
        A.ShiftScaleRotate(always_apply=True, p=0.5, shift_limit_x=(-0.5, 0.5), shift_limit_y=(-0.5, 0.5),
                           scale_limit=(-0.3, 1.2), rotate_limit=(-20, 20), interpolation=4, border_mode=0,
                           value=(114, 114, 114), mask_value=None),
        A.ChannelDropout(always_apply=False, p=0.3, channel_drop_range=(1, 1), fill_value=0),
        A.Defocus(always_apply=False, p=0.05, radius=(3, 10), alias_blur=(0.1, 0.5)),
        A.ElasticTransform(always_apply=False, p=0.2, alpha=1.0, sigma=50.0, alpha_affine=50.0, interpolation=0,
                           border_mode=0, value=(114, 114, 114), mask_value=None, approximate=False,
                           same_dxdy=False),
        A.PiecewiseAffine(always_apply=False, p=0.2, scale=(0.03, 0.05), nb_rows=(4, 4), nb_cols=(4, 4),
                          interpolation=0, mask_interpolation=0, cval=0, cval_mask=0, mode="constant",
                          absolute_scale=0, keypoints_threshold=0.01),
        A.RandomSizedCrop(always_apply=False, p=0.2, min_max_height=(H // 5, H // 2), height=H, width=W,
                          w2h_ratio=1.0, interpolation=0),
    ]
    # The keywords must take effect, not be swallowed.
    ssr, _, _, elastic, piecewise, crop = transforms
    assert ssr.always_apply is True and ssr.value == (114, 114, 114) and ssr.mask_value is None
    assert elastic.alpha_affine == 50.0 and elastic.approximate is False and elastic.same_dxdy is False
    assert piecewise.keypoints_threshold == 0.01
    assert crop.min_max_height == (H // 5, H // 2) and (crop.height, crop.width) == (H, W)
    image = np.full((H, W, 3), 200, np.uint8)
    mask = np.zeros((H, W), np.int32)
    for t in transforms:
        t.p = 1.0
        out = t(image=image, mask=mask)
        assert out["image"].shape == (H, W, 3) and out["mask"].shape == (H, W)


@pytest.mark.parametrize("factory", [
    lambda: tf.keras.losses.SparseCategoricalCrossentropy(from_logits=True, reduction="none"),
    lambda: tf.py_function,
    lambda: tf.numpy_function,
    lambda: tf.io.parse_single_example,
])
def test_tensorflow_offers_the_calls_used(factory):
    assert factory() is not None
