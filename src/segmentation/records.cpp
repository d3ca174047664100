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
#include "rle.h"
#include "vertices.h"

#include <pybind11/numpy.h>

#include <algorithm>
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
    "(normalised polygons, see quorvane.trellisk.datasets.formats.OUTLINE_FEATURES);\n"
    "an object packed from a COCO RLE region carries that region instead\n"
    "(formats.REGION_FEATURES). The samples are what SegmentationDatasetYaml gives\n"
    "for the same pictures and outlines: polygons resampled to num_points,\n"
    "painted into the class mask object by object (an object's polygons, then\n"
    "its region, placed by the picture's letterbox or stretch as the COCO\n"
    "dataset places regions), training samples augmented by the same pipeline.\n"
    "A record whose objects have no outlines (packed boxes only) is an error\n"
    "naming the record.\n"
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

// Reads one record: (image, polygons, classes), with `with_regions` its RLE
// regions packed for the mask painter (int64, rle::pack; each after its
// object's polygons and those before) and the frame (float64 w, h, padw,
// padh) after them, and the record's image name last when not training.
py::object read_record(Call &c, py::handle record, bool train, bool with_regions, std::string &note) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object tf = c.g("tf"), np = c.g("np");
    py::object sample = tf.attr("io").attr("parse_single_example")(
        record, rule("record_features")(tf, py::arg("outlines") = true));
    py::object name = getitem(sample, py::str("image_name"));
    note = "while reading record " + pyglue::describe(name.attr("numpy")());
    // The outlines and regions checked by the op library's kernels, as the
    // graph pipeline checks them: counts agree, vertices in 0..1, classes
    // among the labels, regions of existing objects that decode.
    py::object ops = py::module_::import("quorvane.trellisk.ops");
    std::vector<py::object> out = pyglue::unpack(
        ops.attr("record_outlines")(sample, py::len(self.attr("labels")) - 1, py::arg("source") = name,
                                    py::arg("require") = true),
        3);
    py::array_t<std::int64_t, py::array::c_style | py::array::forcecast> regions(
        with_regions ? ops.attr("record_regions")(sample, out[2], py::arg("source") = name).attr("numpy")()
                     : np.attr("zeros")(py::make_tuple(0, 7), py::arg("dtype") = np.attr("int64")));
    // PIL decodes the picture, as the folder layouts read their files.
    py::object data = getitem(sample, py::str("image")).attr("numpy")();
    py::object picture = seg::open_rgb(c, py::module_::import("io").attr("BytesIO")(data));
    seg::Fitted fitted = seg::fit_to_shape(c, picture, truthy(self.attr("letter_box")));

    py::object masks, classes;
    py::object parts = out[1].attr("numpy")();
    int wanted = 0;
    if (py::len(parts) > 0 || regions.shape(0) > 0) {
        wanted = PySequence_Contains(self.attr("tasks").ptr(), py::str("segment").ptr());
        if (wanted < 0) throw py::error_already_set();
    }
    std::vector<std::int64_t> packed;
    if (wanted) {
        py::object points = out[0].attr("numpy")().attr("astype")(np.attr("float64"));
        py::object object_classes = out[2].attr("numpy")().attr("tolist")();
        py::object mask_padding = c.g("mask_padding");
        std::vector<py::object> outlines, part_classes;
        std::vector<std::int64_t> part_objects;
        for (py::handle row : parts.attr("tolist")()) {
            const long object = row[py::int_(0)].cast<long>(), first = row[py::int_(1)].cast<long>(),
                       count = row[py::int_(2)].cast<long>();
            // Parts too short to outline anything are dropped, as the folder reader drops them.
            if (!rules::part_vertices(static_cast<std::size_t>(count))) continue;
            py::object polygon = getitem(points, pyglue::make_slice(py::int_(first), py::int_(first + count)));
            outlines.push_back(mask_padding(polygon, fitted.w, fitted.h, fitted.padw, fitted.padh));
            part_classes.push_back(getitem(object_classes, object));
            part_objects.push_back(object);
        }
        seg::Resampled r = seg::resample_outlines(c, outlines, self.attr("num_points"));
        std::vector<py::object> kept;
        std::vector<std::int64_t> kept_objects;
        kept.reserve(r.kept.size());
        for (std::size_t k : r.kept) {
            kept.push_back(part_classes[k]);
            kept_objects.push_back(part_objects[k]);
        }
        masks = r.masks;
        classes = seg::int32_array(c, kept);
        if (regions.shape(0) > 0) {
            py::list texts = tf.attr("sparse").attr("to_dense")(getitem(sample, py::str(rule("REGION_COUNTS"))))
                                 .attr("numpy")()
                                 .attr("tolist")();
            std::vector<std::int64_t> runs;
            for (py::ssize_t k = 0; k < regions.shape(0); ++k) {
                // (compressed, height, width, height, width, class + 1, object), checked by the kernel.
                const std::int64_t *row = regions.data() + 7 * k;
                const std::string text = texts[static_cast<std::size_t>(k)].cast<std::string>();
                if (rle::Error e = rle::decode_text(text.data(), text.size(), runs))
                    pyglue::raise(PyExc_ValueError, "region " + std::to_string(k) + ": " + e.reason);
                const std::int64_t after =
                    std::upper_bound(kept_objects.begin(), kept_objects.end(), row[6]) - kept_objects.begin();
                rle::pack(rle::Region{runs.data(), runs.size(), row[1], row[2], static_cast<std::int32_t>(row[5]), after},
                          packed);
            }
        }
    } else {
        masks = np.attr("zeros")(0, py::arg("dtype") = np.attr("float32"));
        classes = np.attr("zeros")(0, py::arg("dtype") = np.attr("int32"));
    }
    py::list sample_out = pyglue::list_of({fitted.image, masks, classes});
    if (with_regions) {
        py::array_t<std::int64_t> packed_array(static_cast<py::ssize_t>(packed.size()));
        std::copy(packed.begin(), packed.end(), packed_array.mutable_data());
        sample_out.append(packed_array);
        sample_out.append(np.attr("array")(py::make_tuple(fitted.w, fitted.h, fitted.padw, fitted.padh),
                                           py::arg("dtype") = np.attr("float64")));
    }
    if (!train) sample_out.append(name);
    return py::tuple(sample_out);
}

py::object read_data_plain(Call &c) {
    const bool train = truthy(c[1]);
    std::string note = "while reading a record";
    return pyglue::with_note(note, [&] { return read_record(c, c[0], train, false, note); });
}

py::object read_sample_plain(Call &c) {
    const bool train = truthy(c[1]);
    std::string note = "while reading a record";
    return pyglue::with_note(note, [&] { return read_record(c, c[0], train, true, note); });
}

// read_sample(record, train) through tf.py_function: (image, polygons,
// classes, regions, frame), and the name when not training.
py::object read_sample_tf(Call &c) {
    py::object tf = c.g("tf");
    return seg::train_or_val_reader(c, "_read_sample",
                                    pyglue::list_of({tf.attr("uint8"), tf.attr("float32"), tf.attr("int32"),
                                                     tf.attr("int64"), tf.attr("float64")}));
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

// read_sample(record, train) as fn(record, where), its errors InvalidArgument
// naming `where`.
py::object named_reader(py::object self, bool train) {
    py::cpp_function read([self, train](py::object record) { return self.attr("read_sample")(record, train); });
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

const MethodDef kReadSamplePlain{
    "_read_sample",
    {{"record"}, {"train", Kind::Any, "True"}},
    read_sample_plain,
    "_read_data's sample with the record's RLE regions: (image, polygons,\n"
    "classes, regions int64, frame float64 (w, h, padw, padh)), plus the image\n"
    "name when train is false; regions packed as _build_gt_mask(...,\n"
    "regions=, frame=) paints them, each after its object's polygons (and\n"
    "those of the objects before it). A region of no outline object, out of\n"
    "object order, or whose RLE does not decode at the record's height x width\n"
    "is InvalidArgumentError naming the record."};

const MethodDef kReadSample{
    "read_sample",
    {{"record"}, {"train", Kind::Any, "True"}},
    read_sample_tf,
    "_read_sample as a TensorFlow op (tf.py_function), without static shapes.",
    true};

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
                       {&kInit, &kGetNumTrainSamples, &kGetNumValSamples, &kDescribe, &kReadDataPlain, &kReadSamplePlain,
                        &kReadSample, &kBuildTrainIterator, &kBuildValIterator});
}

}  // namespace seg
