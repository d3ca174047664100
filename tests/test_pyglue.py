"""The native method machinery, tested once through the modules' real methods:
binding, signatures, docstrings, argument rules, subclassing, tf.function."""

import inspect

import pytest
import tensorflow as tf

from quorvane.trellisk.datasets.tfrecord import TFRecordDatasetYaml
from quorvane.trellisk.losses import attitude
from quorvane.trellisk.losses.attitude import AttitudeLoss

T = tf.constant([[0.0, 0.0, 0.0]])
P = tf.constant([[1.0, 2.0, 3.0]])

# (callable, args, kwargs, exception type, exact message)
ARGUMENT_RULES = [
    (AttitudeLoss, (1, 2, 3, 4), {}, TypeError,
     "__init__() takes at most 4 positional arguments (5 given)"),
    (AttitudeLoss, (), {"w_yaw": 1, "bogus": 2}, TypeError,
     "__init__() got an unexpected keyword argument 'bogus'"),
    (AttitudeLoss, (1.0,), {"w_yaw": 2.0}, TypeError,
     "__init__() got multiple values for keyword argument 'w_yaw'"),
    (AttitudeLoss, ("x",), {}, TypeError, "must be real number, not str"),
    (AttitudeLoss, (None,), {}, TypeError, "must be real number, not NoneType"),
    (lambda *a, **k: AttitudeLoss().compute_loss(*a, **k), (T,), {}, TypeError,
     "compute_loss() takes exactly 3 positional arguments (2 given)"),
    (lambda *a, **k: AttitudeLoss().compute_loss(*a, **k), (T, P, P), {}, TypeError,
     "compute_loss() takes exactly 3 positional arguments (4 given)"),
    (lambda *a, **k: AttitudeLoss().compute_loss(*a, **k), (), {"y_pred": P}, TypeError,
     "compute_loss() takes exactly 3 positional arguments (1 given)"),
    (lambda *a, **k: AttitudeLoss().set_weights(*a, **k), ((("y_weight", 1.0),),), {},
     TypeError, "Argument 'loss_weights' has incorrect type (expected dict, got tuple)"),
    (lambda *a, **k: AttitudeLoss().set_weights(*a, **k), ([],), {}, TypeError,
     "Argument 'loss_weights' has incorrect type (expected dict, got list)"),
    (lambda *a, **k: AttitudeLoss().set_weights(*a, **k), (), {"loss_weights": {}, "x": 1},
     TypeError, "set_weights() got an unexpected keyword argument 'x'"),
    # Exact str / list / dict checks run in parameter order before the body.
    (TFRecordDatasetYaml, (b"info.yaml",), {}, TypeError,
     "Argument 'info_file' has incorrect type (expected str, got bytes)"),
    (TFRecordDatasetYaml, ("info.yaml", (32, 32, 3)), {"aug_cfg": []}, TypeError,
     "Argument 'shape' has incorrect type (expected list, got tuple)"),
    (TFRecordDatasetYaml, (), {"aug_cfg": [("flip", 0.5)]}, TypeError,
     "Argument 'aug_cfg' has incorrect type (expected dict, got list)"),
    (TFRecordDatasetYaml, (None, None, True, True, None, 1), {}, TypeError,
     "__init__() takes at most 6 positional arguments (7 given)"),
    (lambda *a: TFRecordDatasetYaml.build_and_load_base_iterator(None, *a), ("a.tfrecord",), {}, TypeError,
     "Argument 'storage' has incorrect type (expected list, got str)"),
    (lambda *a: TFRecordDatasetYaml.build_and_load_base_iterator(None, *a), (), {}, TypeError,
     "build_and_load_base_iterator() takes at least 2 positional arguments (1 given)"),
]


class DictSubclass(dict):
    pass


@pytest.mark.parametrize("fn,args,kwargs,exc,message", ARGUMENT_RULES)
def test_argument_rules(fn, args, kwargs, exc, message):
    with pytest.raises(exc) as info:
        fn(*args, **kwargs)
    assert str(info.value) == message


def test_exact_type_refuses_subclass_and_accepts_none():
    loss = AttitudeLoss()
    with pytest.raises(TypeError, match=r"expected dict, got DictSubclass"):
        loss.set_weights(DictSubclass(y_weight=1.0, p_weight=1.0, r_weight=1.0))
    with pytest.raises(ValueError):  # None passes the type rule, the body refuses it
        loss.set_weights(None)


def test_keyword_and_positional_forms_agree():
    a = AttitudeLoss(2, 3, 4)
    b = AttitudeLoss(w_roll=4, w_pitch=3, w_yaw=2)
    c = AttitudeLoss(2, w_roll=4, w_pitch=3)
    assert (a.w_yaw, a.w_pitch, a.w_roll) == (b.w_yaw, b.w_pitch, b.w_roll) == (c.w_yaw, c.w_pitch, c.w_roll)
    r1 = a.compute_loss(T, P)
    r2 = a.compute_loss(y_pred=P, y_true=T)
    assert float(r1["total-loss"]) == float(r2["total-loss"])


def test_class_surface():
    assert AttitudeLoss.__module__ == "quorvane.trellisk.losses.attitude"
    assert AttitudeLoss.__qualname__ == "AttitudeLoss"
    assert "yaw" in AttitudeLoss.__doc__
    meth = AttitudeLoss.compute_loss
    assert meth.__name__ == "compute_loss"
    assert meth.__qualname__ == "AttitudeLoss.compute_loss"
    assert meth.__module__ == "quorvane.trellisk.losses.attitude"
    assert meth.__doc__ and "total-loss" in meth.__doc__
    assert inspect.ismethoddescriptor(meth)
    import pydoc
    assert "total-loss" in pydoc.render_doc(AttitudeLoss)


@pytest.mark.parametrize("method,expected", [
    (AttitudeLoss.__init__, "(self, w_yaw: float = 1.0, w_pitch: float = 1.0, w_roll: float = 1.0)"),
    (AttitudeLoss.set_weights, "(self, loss_weights: dict = None)"),
    (AttitudeLoss.compute_loss, "(self, y_true, y_pred)"),
])
def test_signatures(method, expected):
    assert str(inspect.signature(method)) == expected


def test_binding_and_bound_signature():
    loss = AttitudeLoss()
    bound = loss.compute_loss
    assert bound.__self__ is loss
    assert str(inspect.signature(bound)) == "(y_true, y_pred)"
    assert AttitudeLoss.compute_loss.__get__(None, AttitudeLoss) is AttitudeLoss.compute_loss


def test_subclass_overrides_and_super():
    class Scaled(AttitudeLoss):
        def __init__(self, scale, **kw):
            super().__init__(**kw)
            self.scale = scale

        def compute_loss(self, y_true, y_pred):
            out = super().compute_loss(y_true, y_pred)
            return {k: v * self.scale for k, v in out.items()}

    s = Scaled(2.0, w_yaw=1)
    assert isinstance(s, AttitudeLoss) and s.w_yaw == 1.0
    assert float(s.compute_loss(T, P)["total-loss"]) == pytest.approx(28.0)
    # The base's __call__ dispatches to the override.
    assert float(s(T, P)["total-loss"]) == pytest.approx(28.0)


def test_tf_function_wraps_a_native_method():
    class Traced(AttitudeLoss):
        traced = tf.function(AttitudeLoss.compute_loss)

    loss = Traced()
    assert float(loss.traced(T, P)["total-loss"]) == pytest.approx(14.0)
    other = Traced(w_yaw=0.0)
    assert float(other.traced(T, P)["yaw-loss"]) == 0.0
    assert float(loss.traced(T, P)["yaw-loss"]) == pytest.approx(4.0)


def test_python_exception_passes_through_unchanged():
    class Boom(Exception):
        pass

    class Bad:
        def __getitem__(self, item):
            raise Boom("from python")

    with pytest.raises(Boom, match="from python"):
        AttitudeLoss().compute_loss(Bad(), P)


def test_module_names_are_looked_up_at_call_time(monkeypatch):
    calls = []

    class FakeWarnings:
        @staticmethod
        def warn(msg):
            calls.append(msg)

    monkeypatch.setattr(attitude, "warnings", FakeWarnings)
    AttitudeLoss().set_weights({})
    assert len(calls) == 3
