// SegmentationDatasetTFRecord: the segmentation recipe of the folder layouts
// (outlines resampled, painted, augmented by the same engine) over record
// shards that carry every object's outline, read lazily through the checked
// record stream.
#include "records.h"

#include "augmentation.h"
#include "descriptions.h"
#include "idioms.h"
#include "image.h"
#include "outline.h"
#include "pipeline.h"
#include "vertices.h"

#include <string>
#include <vector>

namespace {
namespace py = pybind11;
using pyglue::Call;
using pyglue::Kind;
using pyglue::MethodDef;
using pyglue::fmt;
using pyglue::getitem;
using pyglue::truthy;

namespace ty = rules::tfrecord_yaml;

py::object rule(const char *name) { return pyglue::import_from("quorvane.trellisk.datasets.formats", name); }

const char *const kDoc =
    "Semantic-segmentation dataset stored as record shards, as\n"
    "`python -m quorvane.trellisk pack` writes them: a tfrecord.yaml\n"
    "description beside a folder of *.tfrecord files per split.\n"
    "\n"
    "    type: tfrecord\n"
    "    classes: [person, car]\n"
    "    train:      {path: /data/packed/train, samples: 900}\n"
    "    validation: {path: /data/packed/validation, samples: 100}\n"
    "\n"
    "Each record holds the JPEG picture and every object's class and outline\n"
    "(normalised polygons, see quorvane.trellisk.datasets.formats.OUTLINE_FEATURES).\n"
    "The samples are what SegmentationDatasetYaml gives for the same pictures and\n"
    "outlines: polygons resampled to num_points, painted into the class mask,\n"
    "training samples augmented by the same pipeline. A record whose objects\n"
    "have no outlines (packed boxes only) is an error naming the record.\n"
    "\n"
    "Args:\n"
    "    info_file (str): path of the tfrecord.yaml description.\n"
    "    shape, letter_box, num_points, add_bkg_class, tasks: as for\n"
    "        SegmentationDataset.";

py::object section(py::handle desc, const char *key) {
    py::object value = desc.attr("get")(key, py::none());
    if (value.is_none() || !py::isinstance<py::dict>(value))
        pyglue::raise(PyExc_ValueError, std::string("``") + key + "`` section with a ``" + ty::kPath +
                                            "`` is missing in the description");
    return value;
}

// The record files of one split (directory order), refusing a missing
// folder and, for training, one without records.
py::object split_files(Call &c, py::handle split, const char *name, bool need_records) {
    py::object path = split.attr("get")(ty::kPath, py::none());
    if (path.is_none() || !PyUnicode_Check(path.ptr()))
        pyglue::raise(PyExc_ValueError,
                      std::string("``") + ty::kPath + "`` of the ``" + name + "`` section must be a folder");
    if (!truthy(c.g("exists")(path)))
        pyglue::raise(PyExc_FileNotFoundError,
                      fmt((std::string("Records folder of the ``") + name + "`` section does not exist: {}").c_str(),
                          path));
    py::object files = rule("record_files")(path, c.g("glob"), c.g("join"));
    if (need_records && py::len(files) == 0) pyglue::raise(PyExc_ValueError, ty::kNoRecords);
    return files;
}

py::object init(Call &c) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object yaml = py::module_::import("yaml");
    py::object f = py::module_::import("builtins").attr("open")(c[0], "rb");
    py::object desc = pyglue::closing(f, [&] { return yaml.attr("full_load")(f); });
    if (!py::isinstance<py::dict>(desc))
        pyglue::raise(PyExc_ValueError, fmt("The description must be a mapping, got: {}", desc));
    py::object type = desc.attr("get")(ty::kType, py::none());
    if (!pyglue::equals(type, py::str(ty::kTypeValue))) pyglue::raise(PyExc_ValueError, fmt(ty::kBadType, type));
    py::object classes = desc.attr("get")(ty::kClasses, py::none());
    if (classes.is_none() || !PyList_Check(classes.ptr()) || py::len(classes) == 0)
        pyglue::raise(PyExc_ValueError, ty::kNoClasses);
    py::object train = section(desc, ty::kTrain), validation = section(desc, ty::kValidation);

    py::list known;
    known.append("segment");
    known.append("boxes");
    self.attr("tasks") = known;
    self.attr("info_file") = c[0];
    self.attr("shape") = c[1];
    self.attr("tasks") = self.attr("validate_tasks")(c[5]);
    self.attr("labels") = classes;
    self.attr("num_points") = c[3];
    self.attr("letter_box") = c[2];
    self.attr("class_offset") = py::int_(truthy(c[4]) ? 1 : 0);
    self.attr("_augmentation_pipeline") = seg::build_augmentation_pipeline(c, true);
    self.attr("train_storage") = split_files(c, train, ty::kTrain, true);
    self.attr("val_storage") = split_files(c, validation, ty::kValidation, false);
    // The counts pack wrote; None when the description has none (the records
    // are not counted up front).
    self.attr("num_training_samples") = train.attr("get")(ty::kSamples, py::none());
    self.attr("num_validation_samples") = validation.attr("get")(ty::kSamples, py::none());
    return py::none();
}

py::object get_num_val_samples(Call &c) { return c.self.attr("num_validation_samples"); }
py::object describe(Call &c) {
    py::handle self = c.self;
    py::dict channel_ops;
    channel_ops["channel_ops"] = py::bool_(true);
    py::object tasks = self.attr("tasks");
    auto count = [](py::handle v) { return v.is_none() ? py::object(py::int_(0)) : py::reinterpret_borrow<py::object>(v); };
    return rule("DatasetDescription")(
        py::arg("kind") = rule("RECORD_SEGMENTATION"), py::arg("shape") = self.attr("shape"),
        py::arg("letterbox") = py::bool_(truthy(self.attr("letter_box"))),
        py::arg("class_offset") = self.attr("class_offset"), py::arg("classes") = self.attr("labels"),
        py::arg("train_files") = self.attr("train_storage"), py::arg("val_files") = self.attr("val_storage"),
        py::arg("num_points") = self.attr("num_points"),
        py::arg("segments") = py::bool_(!tasks.is_none() && tasks.contains("segment")),
        py::arg("num_train_samples") = count(self.attr("num_training_samples")),
        py::arg("num_val_samples") = count(self.attr("num_validation_samples")),
        py::arg("info_file") = self.attr("info_file"), py::arg("augmentation") = channel_ops,
        py::arg("class_presence") = py::getattr(self, "_class_presence", py::none()));
}

// ------------------------------------------------------------------ reader

py::object read_record(Call &c, py::handle record, bool train, std::string &note) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object tf = c.g("tf"), np = c.g("np");
    py::object sample = tf.attr("io").attr("parse_single_example")(
        record, rule("record_features")(tf, py::arg("outlines") = true));
    py::object name = getitem(sample, py::str("image_name"));
    note = "while reading record " + pyglue::describe(name.attr("numpy")());
    // The outlines checked by the op library's kernel, as the graph pipeline
    // checks them: counts agree, vertices in 0..1, classes among the labels.
    py::object ops = py::module_::import("quorvane.trellisk.ops");
    std::vector<py::object> out = pyglue::unpack(
        ops.attr("record_outlines")(sample, py::len(self.attr("labels")) - 1, py::arg("source") = name,
                                    py::arg("require") = true),
        3);
    // PIL decodes the picture, as the folder layouts read their files.
    py::object data = getitem(sample, py::str("image")).attr("numpy")();
    py::object picture = seg::open_rgb(c, py::module_::import("io").attr("BytesIO")(data));
    seg::Fitted fitted = seg::fit_to_shape(c, picture, truthy(self.attr("letter_box")));

    py::object masks, classes;
    py::object parts = out[1].attr("numpy")();
    int wanted = 0;
    if (py::len(parts) > 0) {
        wanted = PySequence_Contains(self.attr("tasks").ptr(), py::str("segment").ptr());
        if (wanted < 0) throw py::error_already_set();
    }
    if (wanted) {
        py::object points = out[0].attr("numpy")().attr("astype")(np.attr("float64"));
        py::object object_classes = out[2].attr("numpy")().attr("tolist")();
        py::object mask_padding = c.g("mask_padding");
        std::vector<py::object> outlines, part_classes;
        for (py::handle row : parts.attr("tolist")()) {
            const long object = row[py::int_(0)].cast<long>(), first = row[py::int_(1)].cast<long>(),
                       count = row[py::int_(2)].cast<long>();
            // Parts too short to outline anything are dropped, as the folder reader drops them.
            if (!rules::part_vertices(static_cast<std::size_t>(count))) continue;
            py::object polygon = getitem(points, pyglue::make_slice(py::int_(first), py::int_(first + count)));
            outlines.push_back(mask_padding(polygon, fitted.w, fitted.h, fitted.padw, fitted.padh));
            part_classes.push_back(getitem(object_classes, object));
        }
        seg::Resampled r = seg::resample_outlines(c, outlines, self.attr("num_points"));
        std::vector<py::object> kept;
        kept.reserve(r.kept.size());
        for (std::size_t k : r.kept) kept.push_back(part_classes[k]);
        masks = r.masks;
        classes = seg::int32_array(c, kept);
    } else {
        masks = np.attr("zeros")(0, py::arg("dtype") = np.attr("float32"));
        classes = np.attr("zeros")(0, py::arg("dtype") = np.attr("int32"));
    }
    if (train) return py::make_tuple(fitted.image, masks, classes);
    return py::make_tuple(fitted.image, masks, classes, name);
}

py::object read_data_plain(Call &c) {
    const bool train = truthy(c[1]);
    std::string note = "while reading a record";
    return pyglue::with_note(note, [&] { return read_record(c, c[0], train, note); });
}

// --------------------------------------------------------------- iterators

// The records of `files` as (record, where) pairs, `where` naming the file
// and the record's position in it, checked as they stream; for training the
// files in a new order each pass, interleaved, and the records through a
// shuffle buffer (the records are never all in memory).
py::object record_stream(Call &c, py::handle files, bool train) {
    py::object tf = c.g("tf");
    py::object ops = py::module_::import("quorvane.trellisk.ops");
    if (!train) return ops.attr("checked_records")(files, py::arg("positions") = true);
    py::object list = tf.attr("data").attr("Dataset").attr("from_tensor_slices")(
        tf.attr("constant")(files, py::arg("dtype") = tf.attr("string"), py::arg("shape") = py::make_tuple(py::len(files))));
    list = list.attr("shuffle")(py::len(files), py::arg("reshuffle_each_iteration") = true);
    py::object records = ops.attr("checked_records")(list, py::arg("num_parallel_reads") = tf.attr("data").attr("AUTOTUNE"),
                                                     py::arg("positions") = true);
    return records.attr("shuffle")(rule("RECORD_SHUFFLE_BUFFER"), py::arg("reshuffle_each_iteration") = true);
}

// read_data(record, train) as fn(record, where), its errors InvalidArgument
// naming `where`.
py::object named_reader(py::object self, bool train) {
    py::cpp_function read([self, train](py::object record) { return self.attr("read_data")(record, train); });
    return pyglue::import_from("quorvane.trellisk.datasets.graph", "_named")(read);
}

py::object build_train_iterator(Call &c) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object tf = c.g("tf");
    // Resuming or repeating by class needs each record's place in a pass:
    // the records are then read in keyed blocks instead of a shuffle buffer.
    if (!c[2].is_none() || !c[3].is_none()) {
        py::object build = pyglue::import_from("quorvane.trellisk.datasets._sampling",
                                               "record_segmentation_train_iterator");
        return build(self, c[0], c[1], c[2], c[3], py::arg("augment") = truthy(c[4]));
    }
    py::object ds = record_stream(c, self.attr("train_storage"), true);
    ds = ds.attr("map")(named_reader(self, true), py::arg("num_parallel_calls") = tf.attr("data").attr("AUTOTUNE"));
    return seg::train_tail(c, ds, c[0], c[1], truthy(c[4]));
}

py::object build_val_iterator(Call &c) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    return seg::val_tail(c, record_stream(c, self.attr("val_storage"), false), c[0], named_reader(self, false));
}

const MethodDef kInit{
    "__init__",
    {{"info_file", Kind::Str, "None"},
     {"shape", Kind::List, "None"},
     {"letter_box", Kind::Any, "True"},
     {"num_points", Kind::Any, "300"},
     {"add_bkg_class", Kind::Any, "True"},
     {"tasks", Kind::List, "None"}},
    init,
    "Read the tfrecord.yaml description, check the tasks and list the record\n"
    "files of both splits (unsorted, not recursive). No record is read here.\n"
    "\n"
    "Raises ValueError for a description whose type is not tfrecord, without\n"
    "classes or split sections, or whose training folder holds no *.tfrecord\n"
    "file; FileNotFoundError for a split folder that does not exist."};

py::object get_num_train_samples(Call &c) { return c.self.attr("num_training_samples"); }

const MethodDef kGetNumTrainSamples{"get_num_train_samples", {}, get_num_train_samples,
                                    "Training records, as the description counts them (None without a count)."};

const MethodDef kGetNumValSamples{"get_num_val_samples", {}, get_num_val_samples,
                                  "Validation records, as the description counts them (None without a count)."};

const MethodDef kDescribe{
    "describe", {}, describe,
    "What the pipelines and tools need to know of this dataset, as a\n"
    "quorvane.trellisk.datasets.formats.DatasetDescription (kind\n"
    "\"tfrecord-segmentation\"; the record files of both splits)."};

const MethodDef kReadDataPlain{
    "_read_data",
    {{"record"}, {"train", Kind::Any, "True"}},
    read_data_plain,
    "Read one serialized record (a scalar string tensor); read_data (inherited)\n"
    "runs it through tf.py_function.\n"
    "\n"
    "Returns (image, polygons, classes), plus the record's image name when\n"
    "train is false: as SegmentationDataset._read_data gives them for the same\n"
    "picture and outlines. A record with objects but no outlines, or with\n"
    "outline features that disagree, is InvalidArgumentError naming it."};

const MethodDef kBuildTrainIterator{
    "build_train_iterator",
    {{"batch_size", Kind::Any, "10"}, {"prefetch", Kind::Any, "10"}, SEG_KEYED_TRAIN_PARAMS,
     {"augment", Kind::Any, "True", /*keyword_only=*/true}},
    build_train_iterator,
    "The training tf.data.Dataset: the record files in a new order each pass,\n"
    "their records through a shuffle buffer, read, masked, augmented (unless\n"
    "augment=False) and batched to (uint8 [B, H, W, C], int32 [B, H, W]); the\n"
    "last incomplete batch is dropped; prefetch counts batches.\n"
    "\n"
    "repeat_threshold and start (keyword-only) as the other segmentation\n"
    "datasets take them; given either, the files are read in a fixed order and\n"
    "the records shuffled in blocks keyed by (seed, pass), so that a position\n"
    "in a pass names the same record again; records before the start are\n"
    "skipped unread. Class presence comes from the records' outline classes."};

const MethodDef kBuildValIterator{
    "build_val_iterator",
    {{"prefetch", Kind::Any, "10"}},
    build_val_iterator,
    "The validation tf.data.Dataset: (image uint8, mask int32, image name) per\n"
    "record, in record order, not batched, not augmented."};

}  // namespace

namespace seg {

void add_records_class(py::dict ns, py::handle base) {
    pyglue::make_class(ns, "SegmentationDatasetTFRecord", py::make_tuple(base), kDoc,
                       {&kInit, &kGetNumTrainSamples, &kGetNumValSamples, &kDescribe, &kReadDataPlain, &kBuildTrainIterator, &kBuildValIterator});
}

}  // namespace seg
