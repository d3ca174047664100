// quorvane.trellisk.losses.attitude: the weighted yaw/pitch/roll loss.
#include "pyglue.h"

#include <cmath>

namespace {
namespace py = pybind11;
using pyglue::Call;
using pyglue::Kind;
using pyglue::MethodDef;

const char *const kClassDoc =
    "Weighted squared-error loss over three attitude angles.\n"
    "\n"
    "The last axis of the true and predicted tensors holds the angles in the\n"
    "order pitch (0), yaw (1), roll (2); further entries are ignored.\n"
    "\n"
    "Args:\n"
    "    w_yaw (float): value that weights the angular loss for yaw. Default 1.0.\n"
    "    w_pitch (float): value that weights the angular loss for pitch. Default 1.0.\n"
    "    w_roll (float): value that weights the angular loss for roll. Default 1.0.\n"
    "\n"
    "With Keras: model.compile(loss=loss.keras_loss(), metrics=loss.keras_metrics())\n"
    "trains on \"total-loss\" and reports the three parts as metrics.\n";

py::object init(Call &c) {
    c.super().attr("__init__")();
    c.self.attr("w_yaw") = c[0];
    c.self.attr("w_pitch") = c[1];
    c.self.attr("w_roll") = c[2];
    py::object losses = c.g("tf").attr("keras").attr("losses");
    c.self.attr("angle_loss") =
        losses.attr("SparseCategoricalCrossentropy")(py::arg("from_logits") = true,
                                                     py::arg("reduction") = "none");
    c.self.attr("cce") = losses.attr("CategoricalCrossentropy")();
    c.self.attr("mse") = losses.attr("MeanSquaredError")();
    return py::none();
}

struct WeightKey {
    const char *key;
    const char *attr;
    const char *warning;
};
const WeightKey kWeightKeys[] = {
    {"y_weight", "w_yaw", "A valid weight for ``yaw`` is missing. Using default value: 1.0"},
    {"p_weight", "w_pitch", "A valid weight for ``pitch`` is missing. Using default value: 1.0"},
    {"r_weight", "w_roll", "A valid weight for ``roll`` is missing. Using default value: 1.0"},
};

py::object set_weights(Call &c) {
    py::object weights = c[0];
    if (weights.is_none())
        pyglue::raise(PyExc_ValueError, "``None`` is not a valid dictionary for weights");
    py::dict d = py::reinterpret_borrow<py::dict>(weights);
    py::object warn = c.g("warnings").attr("warn");
    for (const WeightKey &k : kWeightKeys)
        if (!d.contains(k.key)) warn(k.warning);

    py::object values[3];
    for (int i = 0; i < 3; ++i)
        values[i] = d.contains(kWeightKeys[i].key) ? py::object(d[kWeightKeys[i].key])
                                                  : py::object(py::float_(1.0));
    // Every value is checked before any is stored, so a refused set leaves the
    // weights the loss was using untouched.
    py::int_ zero(0);
    py::float_ infinity(HUGE_VAL);
    for (int i = 0; i < 3; ++i) {
        const py::object &v = values[i];
        int lt = PyObject_RichCompareBool(v.ptr(), zero.ptr(), Py_LT);
        if (lt < 0) pyglue::raise_from_python();
        if (lt)
            pyglue::raise(PyExc_ValueError,
                          "A valid loss weight should be larger or equals to 0. Negative values "
                          "are not allowed");
        // NaN is neither below 0 nor at or above it, and makes every loss NaN.
        int ge = PyObject_RichCompareBool(v.ptr(), zero.ptr(), Py_GE);
        if (ge < 0) pyglue::raise_from_python();
        if (!ge)
            pyglue::raise(PyExc_ValueError,
                          std::string("A valid loss weight should be larger or equals to 0. NaN "
                                      "is not allowed (\"") +
                              kWeightKeys[i].key + "\")");
        // An infinite weight makes the loss infinite, or NaN where that
        // angle's error is 0.
        int inf = PyObject_RichCompareBool(v.ptr(), infinity.ptr(), Py_EQ);
        if (inf < 0) pyglue::raise_from_python();
        if (inf)
            pyglue::raise(PyExc_ValueError,
                          std::string("A valid loss weight should be finite. Infinity is not "
                                      "allowed (\"") +
                              kWeightKeys[i].key + "\")");
    }
    for (int i = 0; i < 3; ++i) c.self.attr(kWeightKeys[i].attr) = values[i];
    return py::none();
}

py::object angle_slice(py::handle t, long start) {
    py::tuple index = py::make_tuple(py::ellipsis(), py::slice(start, start + 1, 1));
    PyObject *r = PyObject_GetItem(t.ptr(), index.ptr());
    if (!r) pyglue::raise_from_python();
    return py::reinterpret_steal<py::object>(r);
}

py::object compute_loss(Call &c) {
    py::object tf = c.g("tf");
    py::object y_true = c[0];
    if (PyTuple_Check(y_true.ptr())) y_true = y_true[py::int_(0)];
    py::object pitch_true = angle_slice(y_true, 0);
    py::object yaw_true = angle_slice(y_true, 1);
    py::object roll_true = angle_slice(y_true, 2);

    py::object y_pred = c[1];
    if (PyTuple_Check(y_pred.ptr())) y_pred = tf.attr("convert_to_tensor")(y_pred);
    py::object pitch_pred = angle_slice(y_pred, 0);
    py::object yaw_pred = angle_slice(y_pred, 1);
    py::object roll_pred = angle_slice(y_pred, 2);

    // Looked up at each call (a caller may rebind it): Keras 2's
    // tf.keras.metrics.mean_squared_error, else Keras 3's own.
    py::object mse = py::module_::import("quorvane.trellisk._compat").attr("mean_squared_error")(tf);
    py::object pitch = mse(pitch_true, pitch_pred);
    py::object yaw = mse(yaw_true, yaw_pred);
    py::object roll = mse(roll_true, roll_pred);

    py::object mean = tf.attr("reduce_mean");
    py::object yaw_loss = mean(yaw) * c.self.attr("w_yaw");
    py::object pitch_loss = mean(pitch) * c.self.attr("w_pitch");
    py::object roll_loss = mean(roll) * c.self.attr("w_roll");

    py::dict out;
    out["total-loss"] = (yaw_loss + pitch_loss) + roll_loss;
    out["yaw-loss"] = yaw_loss;
    out["pitch-loss"] = pitch_loss;
    out["roll-loss"] = roll_loss;
    return std::move(out);
}

const MethodDef kInit{
    "__init__",
    {{"w_yaw", Kind::Float, "1.0"}, {"w_pitch", Kind::Float, "1.0"}, {"w_roll", Kind::Float, "1.0"}},
    init,
    "Store the three weights (as floats) and create the Keras losses kept for callers."};

const MethodDef kSetWeights{
    "set_weights",
    {{"loss_weights", Kind::Dict, "None"}},
    set_weights,
    "Replace the weights from a dict with the keys \"y_weight\", \"p_weight\" and \"r_weight\".\n"
    "\n"
    "A missing key warns and uses 1.0. Raises ValueError for None or for a\n"
    "negative, NaN or infinite weight; nothing is changed when it raises."};

const MethodDef kComputeLoss{
    "compute_loss",
    {{"y_true"}, {"y_pred"}},
    compute_loss,
    "Return {\"total-loss\", \"yaw-loss\", \"pitch-loss\", \"roll-loss\"} as scalar tensors.\n"
    "\n"
    "y_true: tensor of true angles [..., (pitch, yaw, roll)], or a tuple whose\n"
    "first element is that tensor. y_pred: tensor of predicted angles, or a\n"
    "tuple converted with tf.convert_to_tensor. Each loss is the batch mean of\n"
    "the squared error of its angle times its weight."};

void body(py::module_ &m) {
    py::dict ns = m.attr("__dict__");
    ns["TrelliskLoss"] = py::module_::import("quorvane.trellisk.losses.core").attr("TrelliskLoss");
    ns["tf"] = py::module_::import("tensorflow");
    ns["warnings"] = py::module_::import("warnings");
    py::object cls = pyglue::make_class(ns, "AttitudeLoss", py::make_tuple(ns["TrelliskLoss"]),
                                        kClassDoc, {&kInit, &kSetWeights, &kComputeLoss});
    // The entries besides the total, for keras_metrics().
    cls.attr("parts") = py::make_tuple("yaw-loss", "pitch-loss", "roll-loss");
}

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "quorvane.trellisk.losses.attitude",
                       "The weighted yaw/pitch/roll loss of attitude-estimation networks.", -1,
                       nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_attitude() { return pyglue::init_module(&kModule, body); }
