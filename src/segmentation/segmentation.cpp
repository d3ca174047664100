// quorvane.trellisk.datasets.segmentation: semantic-segmentation datasets
// served as tf.data pipelines of RGB images and int32 class masks.
#include "annotation.h"
#include "augmentation.h"
#include "classids.h"
#include "coco.h"
#include "descriptions.h"
#include "idioms.h"
#include "image.h"
#include "mask.h"
#include "outline.h"
#include "pipeline.h"
#include "records.h"
#include "ranges.h"
#include "vertices.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {
namespace py = pybind11;
using pyglue::Call;
using pyglue::Kind;
using pyglue::MethodDef;
using pyglue::fmt;
using pyglue::truthy;
using pyglue::unpack;

// The files, keys and features of each format, from the module that holds
// them for the readers and `check` alike.
py::object rule(const char *name) {
    return pyglue::import_from("quorvane.trellisk.datasets.formats", name);
}

// ------------------------------------------------------ SegmentationDataset

const char *const kDatasetDoc =
    "Semantic-segmentation dataset stored as folders of images and of per-image\n"
    "JSON annotation files, one pair of folders for training and one for\n"
    "validation.\n"
    "\n"
    "An annotation file is a JSON object: \"image\" names the image file (only\n"
    "its last path component is used, looked up in the split's image folder)\n"
    "and \"segment\" lists the objects, each a list of parts\n"
    "{\"polygon\": [[x, y], ...], \"class\": k} with x and y normalised to 0..1\n"
    "by the image width and height and k the 0-based index into labels.\n"
    "\n"
    "Args:\n"
    "    shape (list): network input [height, width, channels].\n"
    "    train_images, val_images (str): folders of the images.\n"
    "    train_annotations, val_annotations (str): folders of the *.json files.\n"
    "    labels (list): class names, in class-id order.\n"
    "    tasks (list): task names, each \"segment\" or \"boxes\"; polygons are\n"
    "        read only with \"segment\".\n"
    "    num_points (int): points every polygon is resampled to. Default 300.\n"
    "    letter_box (bool): letterbox (True) or stretch (False) images to shape.\n"
    "    add_bkg_class (bool): class_offset is 1 when true, else 0.\n"
    "\n"
    "build_train_iterator() yields shuffled, augmented batches (uint8 images\n"
    "[B, H, W, 3], int32 masks [B, H, W]); build_val_iterator() yields single\n"
    "(image, mask, image path) samples in file order.";

py::object validate_path(Call &c) {
    py::object path = c[0];
    if (!path.is_none() && truthy(c.g("exists")(path))) return path;
    pyglue::raise(PyExc_FileNotFoundError, fmt("Provided path does not exist at: {}", path));
}

py::object validate_tasks(Call &c) {
    py::object tasks = c[0];
    if (tasks.is_none())
        pyglue::raise(PyExc_ValueError, "tasks should be a list of strings: None is not allowed");
    py::object valid = c.self.attr("tasks");
    for (py::handle t : tasks) {
        int in = PySequence_Contains(valid.ptr(), t.ptr());
        if (in < 0) throw py::error_already_set();
        if (!in) pyglue::raise(PyExc_ValueError, fmt("``{}`` is not a valid task", t));
    }
    return tasks;
}

py::object dataset_init(Call &c) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::list known;
    known.append("segment");
    known.append("boxes");
    self.attr("tasks") = known;
    self.attr("shape") = c[0];
    py::object validate = self.attr("validate_path");
    self.attr("train_images") = validate(c[1]);
    self.attr("val_images") = validate(c[2]);
    self.attr("train_annotations") = validate(c[3]);
    self.attr("val_annotations") = validate(c[4]);
    self.attr("tasks") = self.attr("validate_tasks")(c[6]);
    self.attr("labels") = c[5];
    self.attr("num_points") = c[7];
    self.attr("letter_box") = c[8];
    self.attr("class_offset") = py::int_(truthy(c[9]) ? 1 : 0);
    self.attr("_augmentation_pipeline") = seg::build_augmentation_pipeline(c, true);

    py::object glob = c.g("glob"), join = c.g("join");
    py::object list_files = rule("annotation_files");
    py::object train_annotations = self.attr("train_annotations");
    py::object train_storage = list_files(train_annotations, glob, join);
    self.attr("train_storage") = train_storage;
    py::object val_storage = list_files(self.attr("val_annotations"), glob, join);
    self.attr("val_storage") = val_storage;
    if (py::len(train_storage) == 0)
        pyglue::raise(PyExc_ValueError,
                  fmt("Current dataset has 0 annotation files in the provided folder: {}", train_annotations));
    self.attr("num_training_samples") = py::int_(py::len(train_storage));
    self.attr("num_validation_samples") = py::int_(py::len(val_storage));
    return py::none();
}

py::object get_num_segmentation_classes(Call &c) {
    return py::int_(py::len(c.self.attr("labels")) + 1);
}

py::object get_num_train_samples(Call &c) { return c.self.attr("num_training_samples"); }

py::object describe(Call &c) {
    py::handle self = c.self;
    py::object formats = py::module_::import("quorvane.trellisk.datasets.formats");
    py::dict channel_ops;
    channel_ops["channel_ops"] = py::bool_(true);
    py::object tasks = self.attr("tasks");
    return formats.attr("DatasetDescription")(
        py::arg("kind") = "folders", py::arg("shape") = self.attr("shape"),
        py::arg("letterbox") = py::bool_(truthy(self.attr("letter_box"))),
        py::arg("class_offset") = self.attr("class_offset"), py::arg("classes") = self.attr("labels"),
        py::arg("train_files") = self.attr("train_storage"),
        py::arg("val_files") = self.attr("val_storage"),
        py::arg("train_images") = self.attr("train_images"),
        py::arg("val_images") = self.attr("val_images"), py::arg("num_points") = self.attr("num_points"),
        py::arg("segments") = py::bool_(!tasks.is_none() && tasks.contains("segment")),
        py::arg("num_train_samples") = self.attr("num_training_samples"),
        py::arg("num_val_samples") = self.attr("num_validation_samples"),
        py::arg("augmentation") = channel_ops,
        // What a pipeline with repeat-factor sampling worked out, once asked.
        py::arg("class_presence") = py::getattr(self, "_class_presence", py::none()));
}

// ------------------------------------------------------------------ reader

// The path of an annotation file as bytes: the value of a string tensor, or
// a str / bytes / path-like object.
py::bytes fs_path(py::handle value) {
    py::object v = py::reinterpret_borrow<py::object>(value);
    if (!PyBytes_Check(v.ptr()) && !PyUnicode_Check(v.ptr()) && py::hasattr(v, "numpy"))
        v = v.attr("numpy")();
    if (PyBytes_Check(v.ptr())) return py::reinterpret_borrow<py::bytes>(v);
    PyObject *fs = PyOS_FSPath(v.ptr());
    if (!fs) throw py::error_already_set();
    py::object p = py::reinterpret_steal<py::object>(fs);
    if (PyBytes_Check(fs)) return py::reinterpret_borrow<py::bytes>(p);
    PyObject *b = PyUnicode_EncodeFSDefault(fs);
    if (!b) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(b);
}

// The file list for a dataset of paths: str entries as file-system bytes,
// which TensorFlow takes as they are, where it would refuse a str holding an
// undecodable name (a file named caf\xe9.json); for other names the bytes
// are the ones TensorFlow makes of the str.
py::object storage_tensor_input(py::handle storage) {
    if (!PyList_Check(storage.ptr())) return py::reinterpret_borrow<py::object>(storage);
    py::list out;
    for (py::handle e : storage) {
        if (PyUnicode_Check(e.ptr()))
            out.append(fs_path(e));
        else
            out.append(e);
    }
    return std::move(out);
}

// The whole file, read without the GIL. Errors are the OSError that open()
// would raise, naming `path`.
py::bytes read_file(const py::bytes &path) {
    char *name = nullptr;
    Py_ssize_t len = 0;
    if (PyBytes_AsStringAndSize(path.ptr(), &name, &len) < 0) throw py::error_already_set();
    if (std::strlen(name) != static_cast<std::size_t>(len))
        pyglue::raise(PyExc_ValueError, "embedded null byte");
    std::string data;
    int err = 0;
    pyglue::without_gil([&] {
        std::FILE *f = std::fopen(name, "rb");
        if (!f) {
            err = errno;
        } else {
            char buf[1 << 16];
            std::size_t got;
            while ((got = std::fread(buf, 1, sizeof buf, f)) > 0) data.append(buf, got);
            if (std::ferror(f)) err = errno ? errno : EIO;
            std::fclose(f);
        }
    });
    if (err) {
        errno = err;
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path.ptr());
        throw py::error_already_set();
    }
    return py::bytes(data);
}

py::object read_sample(Call &c, const py::bytes &path, bool train) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    // JSON is UTF-8 whatever the locale: json.loads decodes bytes itself.
    py::object ann = c.g("json").attr("loads")(read_file(path));
    py::object folder = self.attr(train ? "train_images" : "val_images");
    // The annotation kernel's keys, which the op library reads too.
    const py::str k_image(annotation::keys::image), k_segment(annotation::keys::segment),
        k_polygon(annotation::keys::polygon), k_class(annotation::keys::class_);
    py::object image_path = c.g("join")(folder, c.g("basename")(pyglue::getitem(ann, k_image)));
    seg::Fitted fitted = seg::fit_to_shape(c, seg::open_rgb(c, image_path), truthy(self.attr("letter_box")));

    py::object segment;
    if (PyDict_Check(ann.ptr())) {
        PyObject *v = PyDict_GetItemWithError(ann.ptr(), k_segment.ptr());
        if (!v && PyErr_Occurred()) throw py::error_already_set();
        segment = v ? py::reinterpret_borrow<py::object>(v) : py::object(py::list());
    } else {
        segment = ann.attr("get")(k_segment, py::list());
    }

    py::object masks, classes;
    const Py_ssize_t n_objects = PyObject_Size(segment.ptr());
    if (n_objects < 0) throw py::error_already_set();
    int wanted = 0;
    if (n_objects > 0) {
        wanted = PySequence_Contains(self.attr("tasks").ptr(), py::str("segment").ptr());
        if (wanted < 0) throw py::error_already_set();
    }
    if (wanted) {
        py::object mask_padding = c.g("mask_padding");
        std::vector<py::object> outlines, part_classes;
        std::size_t object_index = 0;
        for (py::handle object : segment) {
            std::size_t part_index = 0;
            for (py::handle part : object) {
                py::object polygon_value = pyglue::getitem(part, k_polygon);
                py::object cls = pyglue::getitem(part, k_class);
                // Through the int32 array a fraction would be cut (2.7 to 2)
                // and a large id wrapped (2**32 to 0): another class, silently.
                // Ids past the labels stay as written (`check` reports them).
                long long k = 0;
                if (!pyglue::class_id(cls, k))
                    pyglue::raise(PyExc_ValueError,
                                  "object " + std::to_string(object_index) + " part " +
                                      std::to_string(part_index) + ": \"class\" " +
                                      pyglue::describe(cls) + " is not a class id (" +
                                      rules::class_id_range() + ")");
                ++part_index;
                py::object polygon = seg::polygon_array(c, polygon_value);
                if (!rules::part_vertices(py::len(polygon))) continue;
                outlines.push_back(mask_padding(polygon, fitted.w, fitted.h, fitted.padw, fitted.padh));
                part_classes.push_back(py::int_(k));
            }
            ++object_index;
        }
        seg::Resampled r = seg::resample_outlines(c, outlines, self.attr("num_points"));
        std::vector<py::object> kept_classes;
        kept_classes.reserve(r.kept.size());
        for (std::size_t k : r.kept) kept_classes.push_back(part_classes[k]);
        masks = r.masks;
        classes = seg::int32_array(c, kept_classes);
    } else {
        py::object np = c.g("np");
        masks = np.attr("zeros")(0, py::arg("dtype") = np.attr("float32"));
        classes = np.attr("zeros")(0, py::arg("dtype") = np.attr("int32"));
    }
    if (train) return py::make_tuple(fitted.image, masks, classes);
    return py::make_tuple(fitted.image, masks, classes, image_path);
}

py::object read_data_plain(Call &c) {
    py::bytes path = fs_path(c[0]);
    const bool train = truthy(c[1]);
    const std::string note = "while reading annotation file: " + pyglue::describe_path(path);
    return pyglue::with_note(note, [&] { return read_sample(c, path, train); });
}

py::object read_data_tf(Call &c) {
    py::object tf = c.g("tf");
    return seg::train_or_val_reader(c, "_read_data",
                                    pyglue::list_of({tf.attr("uint8"), tf.attr("float32"), tf.attr("int32")}));
}

// --------------------------------------------------------------- iterators

py::object build_train_iterator(Call &c) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object tf = c.g("tf");
    py::object keyed = seg::keyed_train_iterator(c, [&] {
        py::object paths = tf.attr("constant")(storage_tensor_input(self.attr("train_storage")),
                                               py::arg("dtype") = tf.attr("string"));
        return py::cpp_function([self, tf, paths](py::object index) {
            return self.attr("read_data")(tf.attr("gather")(paths, index), true);
        });
    });
    if (keyed) return keyed;
    py::object ds = tf.attr("data").attr("Dataset").attr("from_tensor_slices")(
        storage_tensor_input(self.attr("train_storage")));
    ds = ds.attr("shuffle")(py::arg("buffer_size") = ds.attr("cardinality")(),
                            py::arg("reshuffle_each_iteration") = true);
    py::cpp_function read([self](py::object x) { return self.attr("read_data")(x, true); });
    ds = ds.attr("map")(read, py::arg("num_parallel_calls") = tf.attr("data").attr("AUTOTUNE"));
    return seg::train_tail(c, ds, c[0], c[1], truthy(c[4]));
}

py::object build_val_iterator(Call &c) {
    py::object tf = c.g("tf");
    py::object ds = tf.attr("data").attr("Dataset").attr("from_tensor_slices")(
        storage_tensor_input(c.self.attr("val_storage")));
    return seg::val_tail(c, ds, c[0]);
}

const MethodDef kInit{
    "__init__",
    {{"shape", Kind::List, "None"},
     {"train_images", Kind::Str, "None"},
     {"val_images", Kind::Str, "None"},
     {"train_annotations", Kind::Str, "None"},
     {"val_annotations", Kind::Str, "None"},
     {"labels", Kind::List, "None"},
     {"tasks", Kind::List, "None"},
     {"num_points", Kind::Any, "300"},
     {"letter_box", Kind::Any, "True"},
     {"add_bkg_class", Kind::Any, "True"}},
    dataset_init,
    "Check the four folders and the tasks, build the augmentation pipeline and\n"
    "list the *.json annotation files of both splits (unsorted, not recursive).\n"
    "The pipeline is the augmentation library's Compose with a 1.3 release of\n"
    "albumentations, otherwise the native AugmentationEngine (one warning).\n"
    "\n"
    "Raises FileNotFoundError for a missing folder, ValueError for bad tasks or\n"
    "an empty training annotation folder."};

const MethodDef kGetNumSegmentationClasses{
    "get_num_segmentation_classes", {}, get_num_segmentation_classes,
    "Number of labels plus one (class 0 is the background)."};

const MethodDef kGetNumTrainSamples{"get_num_train_samples", {}, get_num_train_samples,
                                    "Number of training annotation files."};

const MethodDef kDescribe{
    "describe", {}, describe,
    "What the pipelines and tools need to know of this dataset, as a\n"
    "quorvane.trellisk.datasets.formats.DatasetDescription (kind \"folders\"; the\n"
    "annotation files of both splits, the image folders, shape, letterbox,\n"
    "labels, num_points)."};

const MethodDef kValidateTasks{
    "validate_tasks",
    {{"tasks", Kind::List, "None"}},
    validate_tasks,
    "Return tasks if every element is one of self.tasks; raise ValueError otherwise\n"
    "(also for None)."};

const MethodDef kValidatePath{
    "validate_path",
    {{"path", Kind::Str, "None"}},
    validate_path,
    "Return path if it exists (file or folder); raise FileNotFoundError otherwise."};

const std::string kTrainDoc =
    std::string("The training tf.data.Dataset: all annotation files shuffled anew on each\n"
                "pass, read, masked, augmented and batched to (uint8 [B, H, W, C], int32\n"
                "[B, H, W]); the last incomplete batch is dropped; prefetch counts batches.\n"
                "augment=False (keyword-only) leaves out the augmentation: the samples as\n"
                "read, in the same order and batches.") +
    seg::kKeyedTrainDoc;

const MethodDef kBuildTrainIterator{
    "build_train_iterator",
    {{"batch_size", Kind::Any, "10"}, {"prefetch", Kind::Any, "10"}, SEG_KEYED_TRAIN_PARAMS,
     {"augment", Kind::Any, "True", true}},
    build_train_iterator,
    kTrainDoc.c_str()};

const MethodDef kReadData{
    "read_data",
    {{"annotation_file"}, {"train", Kind::Any, "True"}},
    read_data_tf,
    "_read_data as a TensorFlow op (tf.py_function). With train true: (image\n"
    "uint8, polygons float32, classes int32); otherwise the image path\n"
    "(tf.string) follows. train must be a Python constant.",
    true};

const MethodDef kReadDataPlain{
    "_read_data",
    {{"annotation_file"}, {"train", Kind::Any, "True"}},
    read_data_plain,
    "Read one annotation file (a string tensor, str or bytes path).\n"
    "\n"
    "Returns (image, polygons, classes), plus the image path when train is\n"
    "false: image uint8 shape[0] x shape[1] x 3 (letterboxed or stretched);\n"
    "polygons float32 M x num_points x 2 in output pixels, resampled evenly\n"
    "along each outline (first to last vertex), or an empty array; classes int32\n"
    "M, as written in the file. Parts with fewer than three vertices or with an\n"
    "outline of length 0 are dropped with their class. An error names the\n"
    "annotation file in an exception note."};

const MethodDef kBuildValIterator{
    "build_val_iterator",
    {{"prefetch", Kind::Any, "10"}},
    build_val_iterator,
    "The validation tf.data.Dataset: (image uint8, mask int32, image path) per\n"
    "annotation file, in file order, not batched, not augmented."};

// --------------------------------------------------- SegmentationDatasetYaml

const char *const kYamlDoc =
    "SegmentationDataset described by one YAML file:\n"
    "\n"
    "    classes: [person, car]\n"
    "    train:\n"
    "      images: /data/train/images\n"
    "      annotations: /data/train/annotations\n"
    "    validation:\n"
    "      images: /data/val/images\n"
    "      annotations: /data/val/annotations\n"
    "\n"
    "Args:\n"
    "    info_file (str): path of the YAML file.\n"
    "    shape, letter_box, num_points, add_bkg_class, tasks: as for\n"
    "        SegmentationDataset.";

py::object get_key(py::handle mapping, const char *key) {
    return mapping.attr("get")(key, py::none());
}

py::object yaml_init(Call &c) {
    py::object yaml = py::module_::import("yaml");
    // Binary, so that the YAML reader decodes the file as YAML says (UTF-8
    // unless a BOM tells otherwise), not in the locale's encoding.
    py::object f = py::module_::import("builtins").attr("open")(c[0], "rb");
    py::object desc = pyglue::closing(f, [&] { return yaml.attr("full_load")(f); });

    namespace y = rules::segmentation_yaml;
    py::object classes = get_key(desc, y::kClasses);
    // Not a list (a single name would be read letter by letter): refused.
    if (!PyList_Check(classes.ptr()) || py::len(classes) == 0) {
        PyErr_SetObject(PyExc_ValueError, py::make_tuple(y::kBadClasses, classes).ptr());
        throw py::error_already_set();
    }
    // Each section, then each of its keys, in the order the description
    // lists them: the first one missing is the one named.
    py::object sections[2], values[2][2];
    for (int i = 0; i < 2; ++i) {
        sections[i] = get_key(desc, y::kSections[i]);
        if (sections[i].is_none())
            pyglue::raise(PyExc_ValueError, py::str(y::kMissingSection).format(y::kSections[i]));
    }
    for (int i = 0; i < 2; ++i)
        for (int k = 0; k < 2; ++k) {
            values[i][k] = get_key(sections[i], y::kSectionKeys[k]);
            if (values[i][k].is_none())
                pyglue::raise(PyExc_ValueError,
                              py::str(y::kMissingKey).format(y::kSectionKeys[k], y::kSections[i]));
        }
    py::object train_images = values[0][0], train_annotations = values[0][1];
    py::object val_images = values[1][0], val_annotations = values[1][1];

    py::object exists = c.g("exists");
    struct Folder {
        py::handle path;
        const char *msg;
    } folders[] = {
        {train_images, y::kNoTrainImages},
        {val_images, y::kNoValImages},
        {train_annotations, y::kNoTrainAnnotations},
        {val_annotations, y::kNoValAnnotations},
    };
    for (const Folder &d : folders)
        if (!truthy(exists(d.path))) pyglue::raise(PyExc_FileNotFoundError, fmt(d.msg, d.path));

    c.super().attr("__init__")(py::arg("shape") = c[1], py::arg("train_images") = train_images,
                               py::arg("train_annotations") = train_annotations,
                               py::arg("val_images") = val_images,
                               py::arg("val_annotations") = val_annotations, py::arg("labels") = classes,
                               py::arg("tasks") = c[5], py::arg("num_points") = c[3],
                               py::arg("letter_box") = c[2], py::arg("add_bkg_class") = c[4]);
    return py::none();
}

const MethodDef kYamlInit{
    "__init__",
    {{"info_file", Kind::Str, "None"},
     {"shape", Kind::List, "None"},
     {"letter_box", Kind::Any, "True"},
     {"num_points", Kind::Any, "300"},
     {"add_bkg_class", Kind::Any, "True"},
     {"tasks", Kind::List, "None"}},
    yaml_init,
    "Read the YAML description, check its sections and folders, then construct\n"
    "the SegmentationDataset from them.\n"
    "\n"
    "Raises ValueError for missing \"classes\", sections or keys, and\n"
    "FileNotFoundError for a folder that does not exist."};

// ------------------------------------------------------------------ module

void body(py::module_ &m) {
    py::dict ns = m.attr("__dict__");
    py::module_ os_path = py::module_::import("os.path");
    ns["exists"] = os_path.attr("exists");
    ns["join"] = os_path.attr("join");
    ns["basename"] = os_path.attr("basename");
    ns["interp1d"] = pyglue::import_from("scipy.interpolate", "interp1d");
    ns["letterbox"] = pyglue::import_from("quorvane.trellisk.datasets.utils", "letterbox");
    ns["mask_padding"] = pyglue::import_from("quorvane.trellisk.datasets.utils", "mask_padding");
    // The augmentation library is optional: None when it is missing or not a
    // release the pipeline can use (the datasets then augment natively).
    ns["A"] = py::module_::import("quorvane.trellisk._compat").attr("augmentation_library")()[py::int_(0)];
    ns["tf"] = py::module_::import("tensorflow");
    ns["glob"] = pyglue::import_from("glob", "glob");
    ns["Image"] = pyglue::import_from("PIL", "Image");
    ns["np"] = py::module_::import("numpy");
    ns["json"] = py::module_::import("json");
    ns["cv2"] = py::module_::import("cv2");
    seg::remember_fill_poly(ns["cv2"]);

    py::object dataset = pyglue::make_class(
        ns, "SegmentationDataset", py::make_tuple(py::handle((PyObject *)&PyBaseObject_Type)), kDatasetDoc,
        {&kInit, &kGetNumSegmentationClasses, &kGetNumTrainSamples, &kValidateTasks, &kValidatePath,
         &seg::kApplyAugmentation, &seg::kTfApplyAugmentation, &kBuildTrainIterator, &seg::kBuildGtMask,
         &seg::kBuildGtMaskPlain, &kReadData, &kReadDataPlain, &kBuildValIterator, &kDescribe});
    pyglue::make_class(ns, "SegmentationDatasetYaml", py::make_tuple(dataset), kYamlDoc, {&kYamlInit});
    seg::add_coco_class(ns);
    seg::add_records_class(ns, dataset);
}

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "quorvane.trellisk.datasets.segmentation",
                       "Semantic-segmentation datasets (JSON folders, YAML descriptions) as tf.data "
                       "pipelines of uint8 images and int32 class masks.",
                       -1, nullptr};

}  // namespace

extern "C" PYBIND11_EXPORT PyObject *PyInit_segmentation() {
    return pyglue::init_module(&kModule, body);
}
