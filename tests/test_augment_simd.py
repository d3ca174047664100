"""The engine's vector paths against its baseline, and a whole pass against
its entries run one at a time."""

import pickle

import numpy as np
import pytest

from quorvane.trellisk.datasets import _augment

KEYS = ["flip", "shift_scale_rotate", "channel_dropout", "channel_shuffle", "defocus", "elastic",
        "piecewise_affine", "crop"]
# Odd widths and heights reach every vector loop's tail; 1-pixel sides the
# edge cases of the gathers and shuffles.
SIZES = [(320, 320), (37, 53), (9, 7), (1, 40), (40, 1), (2, 3), (1, 1)]


def inputs(h, w, seed):
    rng = np.random.default_rng(seed)
    return (rng.integers(0, 256, (h, w, 3), dtype=np.uint8),
            rng.integers(-(2**31), 2**31 - 1, (h, w), dtype=np.int64).astype(np.int32))


def plans(h, w, seed, count):
    """Drawn plans for an h x w input, each entry also alone."""
    engine = _augment.Engine(max(h, 5), max(w, 5), seed=seed)
    drawn = []
    for i in range(count * 4):
        try:
            drawn.append(engine.plan(h, w, i))
        except ValueError:  # a crop larger than a tiny input
            continue
    out = drawn[:count]
    for key in KEYS:
        firing = [p for p in drawn if p[key] is not None and p[key] is not False]
        out += [{key: p[key], "out_shape": p["out_shape"], "field_key": 7} for p in firing[:3]]
    return out


def same(a, b):
    return a[0].tobytes() == b[0].tobytes() and (a[1] is None) == (b[1] is None) and (
        a[1] is None or a[1].tobytes() == b[1].tobytes())


@pytest.mark.skipif(not _augment.avx2, reason="this CPU has no AVX2: only the baseline runs")
@pytest.mark.parametrize("h, w", SIZES)
def test_avx2_and_baseline_give_the_same_bytes(h, w):
    image, mask = inputs(h, w, h * 1000 + w)
    for i, params in enumerate(plans(h, w, seed=h + w, count=24)):
        m = None if i % 5 == 0 else mask
        fast = _augment.render_plan(image, m, params)
        base = _augment.render_plan(image, m, params, baseline=True)
        assert same(fast, base), params


def chained(image, mask, params, baseline):
    """The entries of `params` one render_plan call each, in pipeline order."""
    groups = [["flip"], ["shift_scale_rotate"], ["channel_dropout", "channel_shuffle"], ["defocus"],
              ["elastic", "field_key"], ["piecewise_affine"], ["crop", "out_shape"]]
    for group in groups:
        step = {k: params[k] for k in group if params.get(k) is not None and params.get(k) is not False}
        if step.keys() & set(KEYS):
            image, mask = _augment.render_plan(image, mask, step, baseline=baseline)
    return image, mask


@pytest.mark.parametrize("baseline", [False, True])
@pytest.mark.parametrize("h, w", [(64, 48), (7, 11)])
def test_a_pass_equals_its_entries_one_at_a_time(h, w, baseline):
    # Catches one entry's buffers overwriting what a later one still reads,
    # and entries before a crop computing too little of their output.
    image, mask = inputs(h, w, 5)
    engine = _augment.Engine(h, w, seed=3)
    several = 0
    for i in range(300):
        params = engine.plan(h, w, i)
        params["field_key"] = i
        several += sum(params[k] is not None and params[k] is not False for k in KEYS) >= 3
        assert same(_augment.render_plan(image, mask, params, baseline=baseline),
                    chained(image, mask, params, baseline)), params
    assert several > 30


def test_an_unpickled_image_is_accepted():
    image, mask = inputs(12, 10, 0)
    again = pickle.loads(pickle.dumps(image))
    assert same(_augment.render_plan(again, mask, {"flip": True}), _augment.render_plan(image, mask, {"flip": True}))
