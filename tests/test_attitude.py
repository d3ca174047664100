"""AttitudeLoss: weights, warnings, losses and their failure modes."""

import gc
import sys
import warnings

import numpy as np
import pytest
import tensorflow as tf

from quorvane.trellisk import _compat
from quorvane.trellisk.losses import attitude
from quorvane.trellisk.losses.attitude import AttitudeLoss
from quorvane.trellisk.losses.core import TrelliskLoss

YAW_MSG = "A valid weight for ``yaw`` is missing. Using default value: 1.0"
PITCH_MSG = "A valid weight for ``pitch`` is missing. Using default value: 1.0"
ROLL_MSG = "A valid weight for ``roll`` is missing. Using default value: 1.0"
NEG_MSG = "A valid loss weight should be larger or equals to 0. Negative values are not allowed"
NONE_MSG = "``None`` is not a valid dictionary for weights"


def losses_of(result):
    return {k: float(v) for k, v in result.items()}


def test_import_bindings_and_attributes():
    assert attitude.TrelliskLoss is TrelliskLoss and attitude.tf is tf
    assert issubclass(AttitudeLoss, TrelliskLoss)
    loss = AttitudeLoss()
    assert (loss.w_yaw, loss.w_pitch, loss.w_roll) == (1.0, 1.0, 1.0)
    assert isinstance(loss.angle_loss, tf.keras.losses.SparseCategoricalCrossentropy)
    assert loss.angle_loss.reduction == "none"
    assert isinstance(loss.cce, tf.keras.losses.CategoricalCrossentropy)
    assert isinstance(loss.mse, tf.keras.losses.MeanSquaredError)


def test_constructor_converts_to_float():
    loss = AttitudeLoss(2, 0, 1)
    assert (loss.w_yaw, loss.w_pitch, loss.w_roll) == (2.0, 0.0, 1.0)
    assert all(type(w) is float for w in (loss.w_yaw, loss.w_pitch, loss.w_roll))
    assert AttitudeLoss(np.float32(0.5)).w_yaw == 0.5


@pytest.mark.parametrize("weights,expected_warnings,expected", [
    ({}, [YAW_MSG, PITCH_MSG, ROLL_MSG], (1.0, 1.0, 1.0)),
    ({"y_weight": 2}, [PITCH_MSG, ROLL_MSG], (2, 1.0, 1.0)),
    ({"p_weight": 0.0, "r_weight": 3.0}, [YAW_MSG], (1.0, 0.0, 3.0)),
    ({"y_weight": 0.5, "p_weight": 0.25, "r_weight": 0, "other": -5}, [], (0.5, 0.25, 0)),
])
def test_set_weights(weights, expected_warnings, expected):
    loss = AttitudeLoss(9, 9, 9)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert loss.set_weights(weights) is None
    assert [str(w.message) for w in caught] == expected_warnings
    assert all(w.category is UserWarning for w in caught)
    assert (loss.w_yaw, loss.w_pitch, loss.w_roll) == expected
    # Stored as given, not converted.
    assert type(loss.w_yaw) is type(expected[0])


@pytest.mark.parametrize("weights,exc,message", [
    ({"y_weight": 1.0, "p_weight": -0.5, "r_weight": 1.0}, ValueError, NEG_MSG),
    ({"y_weight": -1, "p_weight": 1.0, "r_weight": 1.0}, ValueError, NEG_MSG),
    ({"y_weight": 1.0, "p_weight": 1.0, "r_weight": -1e-9}, ValueError, NEG_MSG),
    ({"y_weight": 1.0, "p_weight": "heavy", "r_weight": 1.0}, TypeError, "'<' not supported"),
    # NaN compares false both ways and would make every loss NaN.
    ({"y_weight": float("nan"), "p_weight": 1.0, "r_weight": 1.0}, ValueError, "NaN.*y_weight"),
    ({"y_weight": 1.0, "p_weight": 1.0, "r_weight": np.float32("nan")}, ValueError, "NaN.*r_weight"),
    # Infinity gives an infinite loss, NaN where the angle's error is 0.
    ({"y_weight": 1.0, "p_weight": float("inf"), "r_weight": 1.0}, ValueError, "Infinity.*p_weight"),
    ({"y_weight": np.float64("inf"), "p_weight": 1, "r_weight": 1}, ValueError, "Infinity.*y_weight"),
])
def test_refused_weights_leave_previous_weights(weights, exc, message):
    loss = AttitudeLoss(2.0, 3.0, 4.0)
    with pytest.raises(exc, match=message):
        loss.set_weights(weights)
    assert (loss.w_yaw, loss.w_pitch, loss.w_roll) == (2.0, 3.0, 4.0)
    assert losses_of(loss.compute_loss(tf.zeros((1, 3)), tf.ones((1, 3))))["total-loss"] == 9.0


def test_missing_key_warnings_come_before_refusal():
    loss = AttitudeLoss()
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(ValueError, match=NEG_MSG):
            loss.set_weights({"p_weight": -1.0})
    assert [str(w.message) for w in caught] == [YAW_MSG, ROLL_MSG]


@pytest.mark.parametrize("call", [lambda l: l.set_weights(None), lambda l: l.set_weights()])
def test_set_weights_none(call):
    loss = AttitudeLoss(2.0)
    with pytest.raises(ValueError) as info:
        call(loss)
    assert str(info.value) == NONE_MSG
    assert loss.w_yaw == 2.0


@pytest.mark.parametrize("y_true,y_pred", [
    (tf.constant([[0.0, 0.0, 0.0]]), tf.constant([[1.0, 2.0, 3.0]])),
    (tf.constant([[0.0, 0.0, 0.0, 7.0]]), tf.constant([[1.0, 2.0, 3.0, -5.0]])),  # extra entry ignored
    ((tf.constant([[0.0, 0.0, 0.0]]),), tf.constant([[1.0, 2.0, 3.0]])),  # y_true as a tuple
    (tf.constant([[0.0, 0.0, 0.0]]), ((1.0, 2.0, 3.0),)),  # y_pred as nested tuples
])
def test_compute_loss_worked_example(y_true, y_pred):
    out = AttitudeLoss().compute_loss(y_true, y_pred)
    assert list(out) == ["total-loss", "yaw-loss", "pitch-loss", "roll-loss"]
    assert losses_of(out) == {"total-loss": 14.0, "yaw-loss": 4.0, "pitch-loss": 1.0, "roll-loss": 9.0}
    assert all(v.shape == () for v in out.values())


def test_compute_loss_weights_and_batch_mean():
    y_true = tf.constant([[[0.0, 0.0, 0.0]], [[1.0, 1.0, 1.0]]])  # leading axes (2, 1)
    y_pred = tf.constant([[[2.0, 0.0, 1.0]], [[1.0, 3.0, 1.0]]])
    out = losses_of(AttitudeLoss(w_yaw=0.5, w_pitch=2.0, w_roll=0.0).compute_loss(y_true, y_pred))
    assert out["pitch-loss"] == pytest.approx(2.0 * (4 + 0) / 2)
    assert out["yaw-loss"] == pytest.approx(0.5 * (0 + 4) / 2)
    assert out["roll-loss"] == 0.0
    assert out["total-loss"] == pytest.approx(out["yaw-loss"] + out["pitch-loss"])


def test_weights_read_at_each_call():
    loss = AttitudeLoss()
    loss.w_roll = 2.0
    assert losses_of(loss.compute_loss(tf.zeros((1, 3)), tf.ones((1, 3))))["roll-loss"] == 2.0


@pytest.mark.parametrize("y_true,y_pred", [(None, tf.zeros((1, 3))), (tf.zeros((1, 3)), None)])
def test_none_tensors(y_true, y_pred):
    with pytest.raises(TypeError) as info:
        AttitudeLoss().compute_loss(y_true, y_pred)
    assert str(info.value) == "'NoneType' object is not subscriptable"


def test_tensorflow_errors_pass_through():
    with pytest.raises((tf.errors.InvalidArgumentError, ValueError)):
        AttitudeLoss().compute_loss(tf.zeros((2, 3)), tf.zeros((3, 3)))


def test_inside_tf_function_and_gradients():
    loss = AttitudeLoss(w_yaw=2.0)

    @tf.function
    def traced(y_true, y_pred):
        return loss.compute_loss(y_true, y_pred)["total-loss"]

    assert float(traced(tf.zeros((1, 3)), tf.constant([[1.0, 2.0, 3.0]]))) == pytest.approx(18.0)

    tf.random.set_seed(0)
    model = tf.keras.Sequential([tf.keras.Input((4,)), tf.keras.layers.Dense(3)])
    opt = tf.keras.optimizers.SGD(0.05)
    x = tf.random.normal((32, 4))
    y = tf.matmul(x, tf.random.normal((4, 3)))

    @tf.function
    def step():
        with tf.GradientTape() as tape:
            total = loss(y, model(x))["total-loss"]
        grads = tape.gradient(total, model.trainable_variables)
        opt.apply_gradients(zip(grads, model.trainable_variables))
        return total, grads

    first, grads = step()
    assert all(g is not None and float(tf.reduce_sum(tf.abs(g))) > 0 for g in grads)
    for _ in range(30):
        last, _ = step()
    assert float(last) < float(first)


def _block_growth(fn, n):
    fn(n // 10)
    gc.collect()
    before = sys.getallocatedblocks()
    fn(n)
    gc.collect()
    return sys.getallocatedblocks() - before


def test_no_reference_leaks_in_weights_and_errors():
    p = tf.ones((2, 3))

    def work(n):
        for _ in range(n):
            loss = AttitudeLoss(1, 2.0, w_roll=3)
            loss.set_weights({"y_weight": 1.0, "p_weight": 2.0, "r_weight": 3.0})
            for bad in ({"y_weight": -1.0, "p_weight": 1.0, "r_weight": 1.0}, None, (1,)):
                try:
                    loss.set_weights(bad)
                except (ValueError, TypeError):
                    pass
            try:
                AttitudeLoss(1, 2, 3, 4)
            except TypeError:
                pass
            try:
                loss.compute_loss(None, p)
            except TypeError:
                pass

    # One leaked reference per call would leave tens of thousands of blocks.
    assert _block_growth(work, 5000) < 1000


def test_compute_loss_allocates_no_more_than_the_same_tensorflow_calls():
    # Eager TensorFlow itself keeps some blocks per call; the loss must add none.
    t, p = tf.zeros((2, 3)), tf.ones((2, 3))
    loss = AttitudeLoss()
    mse, mean = _compat.mean_squared_error(tf), tf.reduce_mean

    def native(n):
        for _ in range(n):
            loss.compute_loss(t, p)

    def reference(n):
        for _ in range(n):
            a = mean(mse(t[..., 0:1], p[..., 0:1])) * 1.0
            b = mean(mse(t[..., 1:2], p[..., 1:2])) * 1.0
            c = mean(mse(t[..., 2:3], p[..., 2:3])) * 1.0
            {"total-loss": b + a + c, "yaw-loss": b, "pitch-loss": a, "roll-loss": c}

    assert _block_growth(native, 2000) - _block_growth(reference, 2000) < 1000


def test_keras_trains_on_the_total_and_reports_the_parts():
    loss = AttitudeLoss(w_yaw=2.0, w_pitch=1.0, w_roll=0.5)
    x = np.ones((4, 1), np.float32)
    y = np.array([[1.0, 2.0, 3.0]] * 4, np.float32)
    model = tf.keras.Sequential([tf.keras.layers.Dense(3, kernel_initializer="zeros",
                                                       bias_initializer="zeros", input_shape=(1,))])
    model.compile(optimizer=tf.keras.optimizers.SGD(0.0), loss=loss.keras_loss(),
                  metrics=loss.keras_metrics())
    logs = model.evaluate(x, y, batch_size=4, verbose=0, return_dict=True)
    # Predictions are 0: pitch 1, yaw 4 and roll 9 squared errors, weighted.
    assert logs == pytest.approx({"loss": 8.0 + 1.0 + 4.5, "yaw-loss": 8.0, "pitch-loss": 1.0,
                                  "roll-loss": 4.5})
    # Keras traces the loss once per compile: new weights need a new compile.
    loss.set_weights({"y_weight": 0.0, "p_weight": 0.0, "r_weight": 1.0})
    model.compile(optimizer=tf.keras.optimizers.SGD(0.0), loss=loss.keras_loss(),
                  metrics=loss.keras_metrics())
    assert model.evaluate(x, y, batch_size=4, verbose=0) == pytest.approx([9.0, 0.0, 0.0, 9.0])


def test_keras_fit_lowers_the_total_and_logs_each_part():
    tf.keras.utils.set_random_seed(0)
    loss = AttitudeLoss(w_yaw=2.0, w_pitch=1.0, w_roll=0.5)
    x = np.random.default_rng(0).normal(size=(32, 4)).astype(np.float32)
    y = x[:, :3] * np.float32(0.5)
    model = tf.keras.Sequential([tf.keras.Input((4,)), tf.keras.layers.Dense(3)])
    model.compile(optimizer=tf.keras.optimizers.SGD(0.1), loss=loss.keras_loss(),
                  metrics=loss.keras_metrics())
    history = model.fit(x, y, batch_size=8, epochs=5, verbose=0).history
    assert set(history) == {"loss", "yaw-loss", "pitch-loss", "roll-loss"}
    assert history["loss"][-1] < 0.5 * history["loss"][0]
    # The total is the sum of the weighted parts (Keras averages each over the epoch).
    last = {k: v[-1] for k, v in history.items()}
    assert last["loss"] == pytest.approx(last["yaw-loss"] + last["pitch-loss"] + last["roll-loss"],
                                         rel=1e-4)


def test_mean_squared_error_is_looked_up_at_each_call(monkeypatch):
    loss = AttitudeLoss()
    before = losses_of(loss.compute_loss(tf.zeros((1, 3)), tf.ones((1, 3))))
    # Binding Keras 2's name is heard on either Keras.
    monkeypatch.setattr(tf.keras.metrics, "mean_squared_error",
                        lambda t, p: tf.reduce_sum(tf.abs(t - p), axis=-1) * 10.0, raising=False)
    after = losses_of(loss.compute_loss(tf.zeros((1, 3)), tf.ones((1, 3))))
    assert before["total-loss"] == 3.0 and after["total-loss"] == 30.0


def _fit_history(loss_arg, metrics=None, epochs=3):
    tf.keras.utils.set_random_seed(0)
    x = np.random.default_rng(0).normal(size=(32, 4)).astype(np.float32)
    y = x[:, :3] * np.float32(0.5)
    model = tf.keras.Sequential([tf.keras.Input((4,)), tf.keras.layers.Dense(3)])
    model.compile(optimizer="adam", loss=loss_arg, metrics=metrics)
    return model.fit(x, y, batch_size=8, epochs=epochs, verbose=0).history


def test_compile_with_the_loss_object_trains_like_keras_loss():
    loss = AttitudeLoss(w_yaw=2.0, w_pitch=1.0, w_roll=0.5)
    history = _fit_history(loss)["loss"]
    assert history == pytest.approx(_fit_history(loss.keras_loss())["loss"], rel=1e-5)
    assert history[-1] < history[0]


def test_compile_with_the_class():
    import keras

    if int(keras.__version__.split(".")[0]) >= 3:
        # Keras 3 makes an instance with the default weights.
        assert _fit_history(AttitudeLoss)["loss"] == pytest.approx(
            _fit_history(AttitudeLoss().keras_loss())["loss"], rel=1e-5)
    else:
        # Keras 2 calls the class with the tensors.
        with pytest.raises(TypeError, match=r"AttitudeLoss is a class and got tensors: give Keras "
                                            r"an instance, model.compile\(loss=AttitudeLoss\(\)\)"):
            _fit_history(AttitudeLoss)
    assert AttitudeLoss(np.float32(2.0)).w_yaw == 2.0


def test_saving_a_model_compiled_with_the_loss_says_what_to_do(tmp_path):
    model = tf.keras.Sequential([tf.keras.Input((3,)), tf.keras.layers.Dense(3)])
    model.compile(optimizer="adam", loss=AttitudeLoss())
    with pytest.raises(TypeError) as info:
        model.save(str(tmp_path / "model.keras"))
    assert str(info.value) == ("AttitudeLoss is not saved with a model: save with "
                               "model.save_weights(...) and compile again after rebuilding the model")


def test_calling_the_loss_still_gives_the_parts_and_converts_to_the_total():
    values = AttitudeLoss()(tf.zeros((1, 3)), tf.constant([[1.0, 2.0, 3.0]]))
    assert losses_of(values) == {"total-loss": 14.0, "yaw-loss": 4.0, "pitch-loss": 1.0, "roll-loss": 9.0}
    assert float(tf.convert_to_tensor(values)) == 14.0
    # compute_loss itself is the plain dict.
    assert type(AttitudeLoss().compute_loss(tf.zeros((1, 3)), tf.zeros((1, 3)))) is dict


def test_the_loss_object_as_a_metric_follows_the_total():
    loss = AttitudeLoss(w_yaw=2.0)
    history = _fit_history(loss, metrics=[AttitudeLoss(w_yaw=2.0)] + loss.keras_metrics(), epochs=2)
    parts = sum(history[k][-1] for k in ("yaw-loss", "pitch-loss", "roll-loss"))
    assert history["attitude_loss"][-1] == pytest.approx(parts, rel=1e-4)


def test_tensors_of_another_backend_fail_in_one_line():
    jnp = pytest.importorskip("jax.numpy", reason="JAX is installed on the current stack only")
    with pytest.raises(TypeError) as info:
        AttitudeLoss()(jnp.zeros((1, 3)), jnp.ones((1, 3)))
    message = str(info.value)
    assert "\n" not in message and "KERAS_BACKEND=tensorflow" in message and "jax" in message
