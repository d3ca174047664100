// quorvane.trellisk.datasets.tfrecord: detection datasets stored as TFRecord
// files of serialized tf.train.Example records, described by a YAML file
// (TFRecordDatasetYaml) or by a dict (TFRecordDataset). The base class of
// quorvane.trellisk.datasets.core drives construction and batching; this
// module supplies the description check, the record files, the record
// stream and the per-record decoding.
//
// Every library name is looked up in the module namespace at call time
// (c.g), so a caller that rebinds e.g. `letterbox` or `glob` on the module
// is obeyed. The methods run on several tf.data worker threads at once for
// one object: they keep nothing between calls and only read attributes.
#include "boxes/boxes.h"
#include "descriptions.h"
#include "framing.h"
#include "idioms.h"
#include "ranges.h"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace {
namespace py = pybind11;
using pyglue::Call;
using pyglue::Kind;
using pyglue::MethodDef;

// ------------------------------------------------------------ helpers

using pyglue::getitem;
using pyglue::import_from;
using pyglue::make_slice;
using pyglue::setitem;
using pyglue::truthy;
using pyglue::unpack;

// `v == 0` with the interpreter's equality (0, 0.0 and False qualify, None
// does not).
bool equals_zero(py::handle v) { return pyglue::compare(v, py::int_(0), Py_EQ); }

bool greater_than_zero(py::handle v) { return pyglue::compare(v, py::int_(0), Py_GT); }

// The index `[:, col]` of an N x k array.
py::object column(long col) { return py::make_tuple(make_slice(py::none(), py::none()), col); }

// Framing scan of the file at `path` (str, bytes or path-like), without the
// GIL; `text` gets the path as given, for messages.
recordio::FramingResult scan_framing(py::handle path, py::object *text) {
    PyObject *fs = PyOS_FSPath(path.ptr());
    if (!fs) pyglue::raise_from_python();
    *text = py::reinterpret_steal<py::object>(fs);
    PyObject *raw = PyUnicode_Check(fs) ? PyUnicode_EncodeFSDefault(fs) : (Py_INCREF(fs), fs);
    if (!raw) pyglue::raise_from_python();
    std::string p = py::reinterpret_steal<py::bytes>(raw);
    if (p.find('\0') != std::string::npos)
        pyglue::raise(PyExc_ValueError, "[ERROR]: TFRecord file path contains a NUL byte");
    return pyglue::without_gil([&] { return recordio::check_file(p); });
}

// ------------------------------------------------- TFRecordDatasetYaml

const char *const kYamlClassDoc =
    "Detection dataset of TFRecord files, described by a YAML file.\n"
    "\n"
    "The description holds \"type\" (\"tfrecord\"), \"classes\" (list of names) and\n"
    "the splits \"train\" and \"validation\", each with \"path\" (folder of\n"
    "*.tfrecord files) and optionally \"samples\" (record count). Without \"type\"\n"
    "the older layout is read, with \"images\" in place of \"path\".\n"
    "\n"
    "Args:\n"
    "    info_file (str): path of the YAML file that describes the dataset.\n"
    "    shape (list): network input [height, width, channels]; training images\n"
    "        are letterboxed or resized to it.\n"
    "    letter_box (bool): keep the aspect ratio of training images and pad\n"
    "        them (True, default) or stretch them to `shape` (False).\n"
    "    add_bkg_class (bool): reserve class 0 for the background (default\n"
    "        True): labels are shifted by one and \"background\" heads `classes`.\n"
    "    aug_cfg (dict): frequency of each augmentation technique and its\n"
    "        strength settings, used by the base class to augment training samples\n"
    "        (keys: help(quorvane.trellisk.datasets._detaug.DetectionAugmentConfig));\n"
    "        a bad key or value is a ValueError. Default None: no augmentation.\n";

py::object yaml_init(Call &c) {
    c.super().attr("__init__")(c[0], py::arg("shape") = c[1], py::arg("letter_box") = c[2],
                               py::arg("add_bkg_class") = c[3], py::arg("aug_cfg") = c[4]);
    // Folder-dataset attributes the package's trainers look for; a TFRecord
    // dataset has none of them.
    py::handle self = c.self;
    self.attr("path_train_images") = py::none();
    self.attr("path_train_annotations") = py::none();
    self.attr("path_val_images") = py::none();
    self.attr("path_val_annotations") = py::none();
    self.attr("train_images") = py::none();
    self.attr("val_images") = py::none();
    self.attr("train_annotations") = py::none();
    self.attr("val_annotations") = py::list();
    return py::none();
}

py::object validate_info_file_content(Call &c) {
    namespace y = rules::tfrecord_yaml;
    py::handle self = c.self;
    py::object info = c[0];
    py::object get = info.attr("get");
    py::object ds_type = get(y::kType);
    py::object train = get(y::kTrain);
    py::object val = get(y::kValidation);

    self.attr("classes") = get(y::kClasses);
    if (greater_than_zero(self.attr("class_offset"))) {
        py::list head;
        head.append(y::kBackground);
        // A new list: the description's own list is left as it is.
        PyObject *joined = PyNumber_Add(head.ptr(), self.attr("classes").ptr());
        if (!joined) pyglue::raise_from_python();
        self.attr("classes") = py::reinterpret_steal<py::object>(joined);
    }

    self.attr("num_train_samples") = train.attr("get")(y::kSamples);
    self.attr("num_val_samples") = val.attr("get")(y::kSamples);
    if (equals_zero(self.attr("num_train_samples")) || equals_zero(self.attr("num_val_samples")))
        pyglue::raise(PyExc_ValueError, y::kEmptySamples);
    // A count that is not a positive integer ("3", -1, true) would size the
    // epochs wrongly: refused as check refuses it.
    for (int i = 0; i < 2; ++i) {
        py::object n = self.attr(i ? "num_val_samples" : "num_train_samples");
        if (n.is_none()) continue;
        if (!PyLong_Check(n.ptr()) || PyBool_Check(n.ptr()) || !greater_than_zero(n))
            pyglue::raise(PyExc_ValueError,
                          py::str(y::kBadSamples).format(y::kSections[i], pyglue::excerpt(n, 200, true)));
    }

    if (py::len(self.attr("classes")) == 0)
        pyglue::raise(PyExc_ValueError, y::kNoClasses);

    const char *folder_key = y::kPath;
    if (ds_type.is_none()) {
        folder_key = y::kOlderPath;
    } else {
        py::str current(y::kTypeValue);
        int ne = PyObject_RichCompareBool(ds_type.ptr(), current.ptr(), Py_NE);
        if (ne < 0) pyglue::raise_from_python();
        if (ne) {
            py::str msg = py::str(y::kBadType).format(pyglue::excerpt(ds_type));
            PyErr_SetObject(PyExc_ValueError, msg.ptr());
            pyglue::raise_from_python();
        }
    }
    self.attr("train_storage") = train.attr("get")(folder_key);
    self.attr("val_storage") = val.attr("get")(folder_key);
    if (self.attr("train_storage").is_none() || self.attr("val_storage").is_none())
        pyglue::raise(PyExc_ValueError, y::kNoFolder);
    return py::none();
}

// The files and features of the format, from the module that holds them for
// the reader and `check` alike.
py::object rule(const char *name) {
    return pyglue::import_from("quorvane.trellisk.datasets.formats", name);
}

// The *.tfrecord files directly inside `folder`, in directory-listing order;
// a folder name holding glob characters ("run[1]") names that folder only.
py::object list_records(Call &c, py::handle folder) {
    return rule("record_files")(folder, c.g("glob").attr("glob"), c.g("join"));
}

py::object load_storage(Call &c) {
    py::handle self = c.self;
    py::object exists = c.g("exists");
    if (truthy(exists(self.attr("train_storage"))))
        self.attr("train_storage") = list_records(c, self.attr("train_storage"));
    if (truthy(exists(self.attr("val_storage"))))
        self.attr("val_storage") = list_records(c, self.attr("val_storage"));

    // A storage folder that does not exist stays a (non-empty) string here
    // and is refused when it is used as a file list. No record is read here:
    // the stream checks each frame as it reads it.
    const size_t n_val = py::len(self.attr("val_storage"));
    const size_t n_train = py::len(self.attr("train_storage"));
    if (n_val == 0 || n_train == 0)
        pyglue::raise(PyExc_ValueError, rules::tfrecord_yaml::kNoRecords);
    return py::none();
}

// Every label must be a class index (rules::label).
void check_labels(py::handle self, py::handle objects, py::handle sample) {
    using Labels = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
    Labels labels = Labels::ensure(objects);
    if (!labels) throw py::error_already_set();
    long long offset = 0;
    {
        py::object o = self.attr("class_offset");
        int overflow = 0;
        PyObject *as_int = PyNumber_Index(o.ptr());
        if (as_int) {
            offset = PyLong_AsLongLongAndOverflow(as_int, &overflow);
            Py_DECREF(as_int);
        }
        if (!as_int || overflow || (offset == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            offset = 0;  // not an integer: the addition below reports it
        }
    }
    const std::int64_t *p = labels.data();
    for (py::ssize_t i = 0; i < labels.size(); ++i) {
        if (rules::label(p[i], offset)) continue;
        py::object name = sample.attr("get")("image_name");
        if (!name.is_none() && py::hasattr(name, "numpy")) name = name.attr("numpy")();
        pyglue::raise(PyExc_ValueError,
                      "record " + pyglue::describe_path(name) + ": label " + std::to_string(p[i]) +
                          " of object " + std::to_string(i) +
                          " is not a class index (an integer from 0 to " + std::to_string(rules::max_label(offset)) + ")");
    }
}

py::object load_instance(Call &c) {
    py::handle self = c.self;
    py::object tf = c.g("tf");
    py::object np = c.g("np");
    py::object tf_io = tf.attr("io");

    py::object feature_description = rule("record_features")(tf);

    py::object sample = tf_io.attr("parse_single_example")(c[0], feature_description);
    py::object img = tf_io.attr("decode_jpeg")(getitem(sample, py::str("image"))).attr("numpy")();
    // The JPEG's own size; the record's "width"/"height" only have to exist.
    std::vector<py::object> dims = unpack(img.attr("shape"), 3);
    py::object oH = dims[0], oW = dims[1];

    const bool training = truthy(c[1]);
    py::object w, h, padw, padh;
    if (training) {
        if (truthy(self.attr("letter_box"))) {
            py::object target = getitem(self.attr("shape"), make_slice(py::none(), py::int_(2)));
            std::vector<py::object> lb =
                unpack(c.g("letterbox")(img, target, py::arg("auto") = false), 3);
            img = lb[0];
            py::object ratio = lb[1], pad = lb[2];
            w = getitem(ratio, 0) * oW;
            h = getitem(ratio, 1) * oH;
            padw = getitem(pad, 0);
            padh = getitem(pad, 1);
        } else {
            py::object shape = self.attr("shape");
            py::object size = py::make_tuple(getitem(shape, 1), getitem(shape, 0));
            py::object resized = c.g("cv2").attr("resize")(img, size);
            // OpenCV drops the channel axis of a one-channel image; keep the
            // rows x columns x channels layout of every other sample.
            if (py::len(resized.attr("shape")) == 2)
                resized = np.attr("expand_dims")(resized, py::arg("axis") = 2);
            img = resized;
            w = getitem(shape, 1);
            h = getitem(shape, 0);
            padw = py::int_(0);
            padh = py::int_(0);
        }
    }

    py::object to_dense = tf.attr("sparse").attr("to_dense");
    py::object objects = to_dense(getitem(sample, py::str("objects"))).attr("numpy")();
    check_labels(self, objects, sample);
    py::object labels = objects.attr("astype")(np.attr("int32")) + self.attr("class_offset");

    if (equals_zero(labels.attr("size"))) {
        // No objects: one all-zero row, so every sample has at least one box.
        py::list row;
        for (int i = 0; i < boxes::kColumns; ++i) row.append(0);
        py::list rows;
        rows.append(row);
        py::object none_box = np.attr("array")(rows, py::arg("dtype") = np.attr("float32"));
        if (training) return py::make_tuple(img, none_box);
        return py::make_tuple(img, none_box, sample.attr("get")("image_name"));
    }

    py::object values = to_dense(getitem(sample, py::str("bboxes"))).attr("numpy")();
    // The same refusals as the op (boxes.h), each naming the record: a
    // count mismatch would otherwise be NumPy's reshape or concatenate error.
    {
        using Floats = py::array_t<float, py::array::c_style | py::array::forcecast>;
        Floats flat = Floats::ensure(values);
        if (!flat) throw py::error_already_set();
        const py::ssize_t n_values = flat.size(), n_objects = py::len(objects);
        std::string why;
        if (n_values % boxes::kValues != 0)
            why = "\"bboxes\" holds " + std::to_string(n_values) + " values, not a multiple of " +
                  std::to_string(boxes::kValues);
        for (py::ssize_t i = 0; why.empty() && i + boxes::kValues <= n_values; i += boxes::kValues)
            if (const char *p = boxes::problem(flat.data() + i))
                why = "box " + std::to_string(i / boxes::kValues) + " has " + p;
        if (why.empty() && n_values / boxes::kValues != n_objects)
            why = std::to_string(n_objects) + " \"objects\" but " + std::to_string(n_values / boxes::kValues) +
                  " boxes in \"bboxes\"";
        if (!why.empty()) {
            py::object name = getitem(sample, py::str("image_name")).attr("numpy")();
            py::str msg = py::str("record {}: {}").format(
                pyglue::excerpt(name.attr("decode")("utf-8", "replace")), why);
            PyErr_SetObject(PyExc_ValueError, msg.ptr());
            pyglue::raise_from_python();
        }
    }
    py::object bboxes = values.attr("reshape")(py::make_tuple(-1, boxes::kValues));
    // The corners through the module's xywhn2xyxy and np.clip, the bounds
    // of each column as the op clips them (boxes.h).
    py::object clip = np.attr("clip");
    const py::int_ low(boxes::kLow), high(boxes::kHighFraction);
    if (training) {
        bboxes = c.g("xywhn2xyxy")(bboxes, w, h, py::arg("padw") = padw, py::arg("padh") = padh);
        // Clipped to the output image; the bounds are its width and height.
        for (long col = 0; col < boxes::kValues; ++col) {
            py::object key = column(col);
            py::object bound = getitem(self.attr("shape"), boxes::kSide[col] == boxes::Side::width ? 1 : 0);
            setitem(bboxes, key, clip(getitem(bboxes, key), low, bound));
        }
    } else {
        bboxes = c.g("xywhn2xyxy")(bboxes, oW, oH, py::arg("padw") = 0, py::arg("padh") = 0);
        // Back to fractions of the stored image, clipped to [0, 1].
        for (long col = 0; col < boxes::kValues; ++col) {
            py::object key = column(col);
            py::object size = boxes::kSide[col] == boxes::Side::width ? oW : oH;
            setitem(bboxes, key, clip(getitem(bboxes, key) / size, low, high));
        }
    }

    py::list parts;
    parts.append(bboxes);
    parts.append(np.attr("expand_dims")(labels, py::arg("axis") = 1));
    bboxes = np.attr("concatenate")(parts, py::arg("axis") = 1).attr("astype")(np.attr("float32"));
    if (training) return py::make_tuple(img, bboxes);
    return py::make_tuple(img, bboxes, sample.attr("get")("image_name"));
}

py::object build_and_load_base_iterator(Call &c) {
    // Nothing is opened here: the checked reader opens each file when the
    // stream reaches it and checks every frame before trusting its length.
    py::object iterator = import_from("quorvane.trellisk.ops", "checked_records")(
        c[0], py::arg("num_parallel_reads") = rule("RECORD_READ_CYCLE"), py::arg("positions") = truthy(c[2]));
    if (truthy(c[1]))
        iterator = iterator.attr("shuffle")(rule("RECORD_SHUFFLE_BUFFER"), py::arg("reshuffle_each_iteration") = true);
    return iterator;
}

const MethodDef kYamlInit{
    "__init__",
    {{"info_file", Kind::Str, "None"},
     {"shape", Kind::List, "None"},
     {"letter_box", Kind::Any, "True"},
     {"add_bkg_class", Kind::Any, "True"},
     {"aug_cfg", Kind::Dict, "None"}},
    yaml_init,
    "Read the YAML description `info_file`, check it and list the record files\n"
    "of both splits (through the base class). See the class docstring."};

const MethodDef kValidateInfoFileContent{
    "validate_info_file_content",
    {{"info_dataset", Kind::Dict, "None"}},
    validate_info_file_content,
    "Check the dataset description `info_dataset` and store its content.\n"
    "\n"
    "Sets `classes` (\"background\" first when class_offset > 0),\n"
    "`num_train_samples`, `num_val_samples` (\"samples\" of each split, None\n"
    "when missing) and `train_storage`, `val_storage` (the split folders).\n"
    "Raises ValueError for a zero sample count, no classes, a \"type\" other\n"
    "than \"tfrecord\", or a split without its folder."};

const MethodDef kLoadStorage{
    "load_storage",
    {},
    load_storage,
    "Replace each existing split folder by the list of its *.tfrecord files\n"
    "(not recursive; dot files skipped; listing order). Raises ValueError when\n"
    "a split ends up empty. A folder that does not exist is left as given. No\n"
    "record data is read."};

const MethodDef kLoadInstance{
    "load_instance",
    {{"data"}, {"training", Kind::Any, "True"}},
    load_instance,
    "Decode one serialized tf.train.Example (an eager scalar string tensor).\n"
    "\n"
    "Returns (image, boxes) when `training`, else (image, boxes, image_name).\n"
    "image: uint8 array rows x columns x channels; for training letterboxed or\n"
    "resized to `shape`, for validation at its stored size. boxes: float32\n"
    "N x 5 [x1, y1, x2, y2, label], label = class index + class_offset; for\n"
    "training in pixels of the returned image, for validation fractions of the\n"
    "stored size, both clipped to the image. A record without objects gives\n"
    "the single row [0, 0, 0, 0, 0]. image_name is the record's string tensor.\n"
    "Must be called eagerly (e.g. inside tf.py_function)."};

const MethodDef kBuildAndLoadBaseIterator{
    "build_and_load_base_iterator",
    {{"storage", Kind::List, nullptr}, {"shuffle", Kind::Any, "True"}, {"positions", Kind::Any, "False", true}},
    build_and_load_base_iterator,
    "Return a tf.data stream of the serialized records of the files in\n"
    "`storage` (a list of paths), read in parallel; shuffled through a buffer\n"
    "of 200 records, anew at every pass, when `shuffle` is true. With\n"
    "`positions` each element is a pair (record, where): `where` a string\n"
    "\"<file> record <k>\" (k counted from 0 in its file). Nothing is\n"
    "read until the stream is iterated. Every frame is checked as it is read:\n"
    "a damaged one fails with DataLoss naming the file and byte offset when\n"
    "the stream reaches it, a missing file with NotFound."};

// ----------------------------------------------------- TFRecordDataset

const char *const kDictClassDoc =
    "Detection dataset of TFRecord files, described by a dict.\n"
    "\n"
    "The dict has the layout of TFRecordDatasetYaml's description; its \"type\"\n"
    "entry is set to \"tfrecord\" (in the caller's dict), so each split needs a\n"
    "\"path\". A split whose \"samples\" count is 0 when its iterator is first\n"
    "requested is counted by one pass over that iterator.\n"
    "\n"
    "Args:\n"
    "    info_dataset (dict): the dataset description.\n"
    "    shape (list): network input [height, width, channels]; training images\n"
    "        are letterboxed or resized to it.\n"
    "    letter_box (bool): keep the aspect ratio of training images and pad\n"
    "        them (True, default) or stretch them to `shape` (False).\n"
    "    add_bkg_class (bool): reserve class 0 for the background (default\n"
    "        True): labels are shifted by one and \"background\" heads `classes`.\n"
    "    aug_cfg (dict): frequency of each augmentation technique and its\n"
    "        strength settings, used by the base class to augment training samples\n"
    "        (keys: help(quorvane.trellisk.datasets._detaug.DetectionAugmentConfig));\n"
    "        a bad key or value is a ValueError. Default None: no augmentation.\n";

py::object dict_init(Call &c) {
    c.self.attr("info_dataset") = c[0];
    py::dict current;
    current[rules::tfrecord_yaml::kType] = rules::tfrecord_yaml::kTypeValue;
    c.self.attr("info_dataset").attr("update")(current);
    c.super().attr("__init__")(py::arg("info_file") = py::none(), py::arg("shape") = c[1],
                               py::arg("letter_box") = c[2], py::arg("aug_cfg") = c[4],
                               py::arg("add_bkg_class") = c[3]);
    return py::none();
}

py::object validate_info_file(Call &c) { return c.self.attr("info_dataset"); }

// One pass over `ds` when the count named `attr` is 0. The total is stored
// only when the pass completes: a pass cut short by a bad record leaves the
// count at 0, so that a later request counts again instead of keeping a
// partial total as if it were the split's size.
bool count_samples(py::handle self, const char *attr, py::handle ds) {
    py::object total = self.attr(attr);
    if (!equals_zero(total)) return false;
    py::object it = py::reinterpret_steal<py::object>(PyObject_GetIter(ds.ptr()));
    if (!it) pyglue::raise_from_python();
    for (;;) {
        PyObject *el = PyIter_Next(it.ptr());
        if (!el) {
            if (PyErr_Occurred()) pyglue::raise_from_python();
            break;
        }
        py::object element = py::reinterpret_steal<py::object>(el);
        std::vector<py::object> items = unpack(element, 2);
        py::object batch = items[1];
        total = total + getitem(getitem(batch, 0).attr("shape"), 0);
    }
    self.attr(attr) = total;
    return true;
}

py::object dict_build_val_iterator(Call &c) {
    py::object ds_iter = c.super().attr("build_val_iterator")(py::arg("batch_size") = c[0]);
    count_samples(c.self, "num_val_samples", ds_iter);
    return ds_iter;
}

py::object dict_build_train_iterator(Call &c) {
    // `plain`: one pass over every record once, from pass 0 (for counting).
    auto build = [&c](bool plain) {
        return c.super().attr("build_train_iterator")(
            py::arg("batch_size") = c[0], py::arg("prefetch") = c[1], py::arg("seed") = c[2],
            py::arg("repeat_threshold") = plain ? py::none() : c[3],
            py::arg("start") = plain ? py::none() : c[4]);
    };
    py::object ds_iter = build(false);  // checks the arguments before any counting
    const bool plain = c[3].is_none() && c[4].is_none();
    // The training pipeline numbers its passes (the augmentation's keys, the
    // pass at which mosaic stops): the counting pass is not one the model
    // sees, so the caller gets a pipeline whose first pass is still pass 0.
    if (count_samples(c.self, "num_train_samples", plain ? ds_iter : build(true)))
        ds_iter = build(false);
    return ds_iter;
}

const MethodDef kDictInit{
    "__init__",
    {{"info_dataset", Kind::Dict, "None"},
     {"shape", Kind::List, "None"},
     {"letter_box", Kind::Any, "True"},
     {"add_bkg_class", Kind::Any, "True"},
     {"aug_cfg", Kind::Dict, "None"}},
    dict_init,
    "Keep `info_dataset` (its \"type\" set to \"tfrecord\"), check it and list the\n"
    "record files of both splits. See the class docstring."};

const MethodDef kValidateInfoFile{
    "validate_info_file",
    {{"info_file", Kind::Str, nullptr}},
    validate_info_file,
    "Return the description dict given to the constructor; `info_file` is\n"
    "not used (no file is read)."};

const MethodDef kDictBuildValIterator{
    "build_val_iterator",
    {{"batch_size", Kind::Any, "1"}},
    dict_build_val_iterator,
    "The base class's validation iterator; when `num_val_samples` is 0 it is\n"
    "run once first and the samples it yields are counted into it."};

const MethodDef kDictBuildTrainIterator{
    "build_train_iterator",
    {{"batch_size", Kind::Any, nullptr},
     {"prefetch", Kind::Any, "10"},
     {"seed", Kind::Any, "None"},
     {"repeat_threshold", Kind::Any, "None", true},
     {"start", Kind::Any, "None", true}},
    dict_build_train_iterator,
    "The base class's training iterator (`seed` fixes its order and\n"
    "augmentation; keyword-only `repeat_threshold` and `start` as there);\n"
    "when `num_train_samples` is 0 a plain pipeline (every record once) is\n"
    "run once first and the samples it yields are counted into it."};

// ------------------------------------------------------------- module

void body(py::module_ &m) {
    py::dict ns = m.attr("__dict__");
    ns["letterbox"] = import_from("quorvane.trellisk.datasets.utils", "letterbox");
    ns["xywhn2xyxy"] = import_from("quorvane.trellisk.datasets.utils", "xywhn2xyxy");
    ns["BaseDetectionDataset"] = import_from("quorvane.trellisk.datasets.core", "BaseDetectionDataset");
    ns["tf"] = py::module_::import("tensorflow");
    ns["join"] = import_from("os.path", "join");
    ns["exists"] = import_from("os.path", "exists");
    ns["np"] = py::module_::import("numpy");
    ns["glob"] = py::module_::import("glob");
    ns["cv2"] = py::module_::import("cv2");
    py::object yaml_cls = pyglue::make_class(
        ns, "TFRecordDatasetYaml", py::make_tuple(ns["BaseDetectionDataset"]), kYamlClassDoc,
        {&kYamlInit, &kValidateInfoFileContent, &kLoadStorage, &kLoadInstance,
         &kBuildAndLoadBaseIterator});
    pyglue::make_class(ns, "TFRecordDataset", py::make_tuple(yaml_cls), kDictClassDoc,
                       {&kDictInit, &kValidateInfoFile, &kDictBuildValIterator,
                        &kDictBuildTrainIterator});
    m.def(
        "scan_record_file",
        [](py::object path) -> py::tuple {
            py::object text;
            recordio::FramingResult r = scan_framing(path, &text);
            if (r.ok) return py::make_tuple(r.records, py::none(), py::none());
            return py::make_tuple(r.records, r.offset, py::str(r.problem));
        },
        py::arg("path"),
        "Check the record framing of one TFRecord file: each frame's declared\n"
        "length against the bytes left in the file, and both masked CRC32C\n"
        "checksums. Returns (records, offset, problem): the number of sound\n"
        "records before the first damaged frame (all of them when the file is\n"
        "sound), that frame's byte offset and what is wrong with it (both None\n"
        "for a sound file).");
}

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "quorvane.trellisk.datasets.tfrecord",
                       "Detection datasets stored as TFRecord files of tf.train.Example records:\n"
                       "TFRecordDatasetYaml (YAML description) and TFRecordDataset (dict).",
                       -1, nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_tfrecord() {
    return pyglue::init_module(&kModule, body);
}
