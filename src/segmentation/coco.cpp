// SegmentationDatasetJsonCOCO: a COCO instances file and its image folder
// served as the same training batches as SegmentationDataset.
#include "coco.h"

#include "categories.h"

#include "augmentation.h"
#include "idioms.h"
#include "image.h"
#include "mask.h"
#include "outline.h"
#include "pipeline.h"

#include <string>
#include <vector>

namespace {
namespace py = pybind11;
using pyglue::Call;
using pyglue::Kind;
using pyglue::MethodDef;
using pyglue::describe;
using pyglue::fmt;

const char *const kClassDoc =
    "Semantic-segmentation training data from a COCO instances file.\n"
    "\n"
    "The training file is read once, in the constructor, into an index from\n"
    "image id to polygon records; each sample is read lazily: the image file,\n"
    "letterbox or resize to `shape`, and every polygon resampled to\n"
    "`num_points` points along its outline. Only training data is served:\n"
    "the validation file and folder are stored but never read, and\n"
    "build_val_iterator returns None.\n"
    "\n"
    "Args:\n"
    "    train_json_file (str): the COCO file of the training split.\n"
    "    val_json_file (str): stored only.\n"
    "    train_images (str): folder holding the training images; each image's\n"
    "        \"file_name\" is joined to it as written.\n"
    "    val_images (str): stored only.\n"
    "    shape (list): network input [height, width, channels].\n"
    "    letter_box (bool): letterbox (True) or stretch (False) the images;\n"
    "        stored as the attribute `letterbox`.\n"
    "    num_points (int): points per resampled polygon. Default 300.\n"
    "    add_bkg_class (bool): stored only.\n"
    "    tasks (list): stored only.\n"
    "\n"
    "Class numbering: `labels` lists the names of the categories whose id is\n"
    "not 0, in file order. A polygon of the category at position i of\n"
    "`labels` gets class i, which the mask paints as i + 1, so mask values\n"
    "stay below get_num_segmentation_classes(). Polygon records in\n"
    "`train_storage_ann` keep the file's \"category_id\" as their \"class\";\n"
    "polygons of category 0 or of a category not listed in \"categories\" are\n"
    "left out of the samples.\n"
    "\n"
    "Also note:\n"
    "    - An image without annotations is still a training sample, with no\n"
    "      polygons: its mask is all background.\n"
    "    - Crowd regions stored as RLE (a \"segmentation\" object with\n"
    "      \"counts\" and \"size\") are skipped; one warning after indexing\n"
    "      says how many. Polygon lists are read.\n"
    "    - Outlines of total length 0 (a single point, or one point repeated)\n"
    "      are left out with their class; repeated consecutive vertices are\n"
    "      harmless. No NaN or infinite coordinate reaches the mask.\n"
    "    - When image ids repeat, every entry is a sample and all of them\n"
    "      read the first entry's file.\n"
    "\n"
    "Errors from reading a sample name the image id and file (exception\n"
    "notes, where the interpreter has them) and surface through TensorFlow\n"
    "when the batch is drawn.\n";


// `mapping.get(key, dflt)` for the dict-like entries of the file (a TypeError
// for an entry that is not a JSON object).
py::object get(py::handle mapping, py::handle key, py::object dflt = py::none()) {
    return pyglue::json_get(mapping, key, std::move(dflt));
}

// A key of the COCO format, from the module that holds each format's rules
// for the readers and `check` alike.
py::object key(const char *name) {
    return pyglue::import_from("quorvane.trellisk.datasets.formats", name);
}

using pyglue::set_first;

// d[key] or a null object when absent or unhashable.
py::object find(py::handle d, py::handle key) {
    PyObject *v = PyDict_GetItemWithError(d.ptr(), key.ptr());  // borrowed
    if (!v) {
        if (PyErr_Occurred()) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
            PyErr_Clear();
        }
        return py::object();
    }
    return py::reinterpret_borrow<py::object>(v);
}

// --------------------------------------------------------------- constructor

py::object init(Call &c) {
    // Needed only while a COCO file is indexed, so imported here.
    py::object json = py::module_::import("json");
    py::object tqdm = py::module_::import("tqdm").attr("tqdm");
    py::object np = c.g("np");
    py::handle self = c.self;
    const py::object k_images = key("COCO_IMAGES"), k_annotations = key("COCO_ANNOTATIONS"),
                     k_categories = key("COCO_CATEGORIES"), k_id = key("COCO_ID"),
                     k_file_name = key("COCO_FILE_NAME"),
                     k_image_id = key("COCO_IMAGE_ID"), k_category_id = key("COCO_CATEGORY_ID"),
                     k_segmentation = key("COCO_SEGMENTATION"), k_iscrowd = key("COCO_ISCROWD");

    self.attr("train_ann_file") = c[0];
    self.attr("val_ann_file") = c[1];
    self.attr("train_images") = c[2];
    self.attr("val_images") = c[3];
    self.attr("shape") = c[4];
    self.attr("letterbox") = c[5];
    self.attr("num_points") = c[6];
    self.attr("add_bkg_class") = c[7];
    self.attr("tasks") = c[8];
    self.attr("_augmentation_pipeline") = seg::build_augmentation_pipeline(c, /*channel_ops=*/false);

    py::list images_names, images_ids, labels;
    py::dict storage_ann;
    self.attr("train_storage_images") = images_names;
    self.attr("train_images_id") = images_ids;
    self.attr("train_storage_ann") = storage_ann;
    self.attr("labels") = labels;
    self.attr("train_storage") = py::list();
    // Lookups built once here: image id -> first position in
    // train_images_id, category id -> position in labels.
    py::dict image_positions, category_positions;
    self.attr("_image_positions") = image_positions;
    self.attr("_category_positions") = category_positions;

    py::object path = c[0];
    if (path.is_none() || !pyglue::truthy(path) || !pyglue::truthy(c.g("exists")(path)))
        // The message as a str object: a path holding undecodable bytes
        // (surrogate escapes) has no UTF-8 form.
        pyglue::raise(PyExc_FileNotFoundError,
                      fmt("Annotation file for training was not found in the given location: {}",
                          path));

    // JSON text is UTF-8 whatever the locale.
    py::object f = py::module_::import("io").attr("open")(path, "r", py::arg("encoding") = "utf-8");
    py::object content = pyglue::closing(f, [&] { return json.attr("load")(f); });

    py::object images = get(content, k_images, py::list());
    if (py::len(images) == 0)
        pyglue::raise(PyExc_ValueError, "No training images were found in this dataset");

    py::int_ zero(0);
    pyglue::coco_categories(get(content, k_categories, py::list()), labels, category_positions);

    // disable=None: bars only on a terminal, so a log file gets no frames.
    Py_ssize_t position = 0;
    for (py::handle image :
         tqdm(images, py::arg("desc") = "Reading images", py::arg("disable") = py::none())) {
        py::object id = get(image, k_id);
        images_names.append(get(image, k_file_name));
        images_ids.append(id);
        set_first(image_positions, id, py::int_(position++));
    }

    py::object annotations = get(content, k_annotations, py::list());
    if (py::len(annotations) == 0)
        pyglue::raise(PyExc_ValueError, "No training annotations were found in this dataset");

    py::object array = np.attr("array");
    py::tuple pairs = py::make_tuple(-1, 2);
    Py_ssize_t index = 0, rle_crowd = 0, rle_other = 0;
    for (py::handle ann : tqdm(annotations, py::arg("desc") = "Parsing annotations",
                               py::arg("disable") = py::none())) {
        try {
            py::object image_id = get(ann, k_image_id, zero);
            py::object segmentation = get(ann, k_segmentation);
            // Run-length encodings are not read: crowd regions usually, but
            // some tools store ordinary objects that way too.
            if (PyDict_Check(segmentation.ptr())) {
                ++(pyglue::truthy(get(ann, k_iscrowd, zero)) ? rle_crowd : rle_other);
                ++index;
                continue;
            }
            py::object cls = get(ann, k_category_id, zero);
            for (py::handle polygon : segmentation) {
                py::dict record;
                record["class"] = cls;
                record["polygon"] = array(polygon).attr("reshape")(pairs);
                py::object records = find(storage_ann, image_id);
                if (records)
                    records.attr("append")(record);
                else
                    storage_ann[image_id] = py::list(py::make_tuple(record));
            }
        } catch (py::error_already_set &e) {
            std::string id;
            try {
                id = describe(get(ann, k_id));
            } catch (py::error_already_set &) {
                id = "?";
            }
            pyglue::add_note(e, "while parsing annotation " + std::to_string(index) + " (id " + id +
                                 ") of " + describe(path));
            throw;
        }
        ++index;
    }

    if (rle_crowd || rle_other)
        py::module_::import("warnings")
            .attr("warn")(py::str("Skipped {} segmentation(s) stored as RLE ({} crowd region(s), "
                                  "{} other object(s), which will not be painted): only polygon "
                                  "segmentations are read")
                              .format(rle_crowd + rle_other, rle_crowd, rle_other));
    return py::none();
}

py::object get_num_train_samples(Call &c) {
    return py::int_(py::len(c.self.attr("train_images_id")));
}

py::object get_num_segmentation_classes(Call &c) {
    return py::int_(py::len(c.self.attr("labels")) + 1);
}

py::object describe(Call &c) {
    py::handle self = c.self;
    py::object formats = py::module_::import("quorvane.trellisk.datasets.formats");
    py::object index = formats.attr("coco_index")(
        self.attr("train_images_id"), self.attr("train_storage_images"), self.attr("train_images"),
        self.attr("train_storage_ann"), self.attr("_category_positions"), py::arg("join") = c.g("join"));
    py::dict channel_ops;
    channel_ops["channel_ops"] = py::bool_(false);  // no channel dropout or shuffle
    return formats.attr("DatasetDescription")(
        py::arg("kind") = "coco", py::arg("shape") = self.attr("shape"),
        py::arg("letterbox") = py::bool_(pyglue::truthy(self.attr("letterbox"))),
        py::arg("class_offset") = py::int_(pyglue::truthy(self.attr("add_bkg_class")) ? 1 : 0),
        py::arg("classes") = self.attr("labels"), py::arg("train_files") = index.attr("image_paths"),
        py::arg("train_images") = self.attr("train_images"),
        py::arg("val_images") = self.attr("val_images"), py::arg("num_points") = self.attr("num_points"),
        // Its reader paints every polygon segmentation, whatever the tasks.
        py::arg("segments") = true,
        py::arg("num_train_samples") = py::len(self.attr("train_images_id")),
        py::arg("info_file") = self.attr("train_ann_file"), py::arg("coco") = index,
        py::arg("augmentation") = channel_ops);
}

// ------------------------------------------------------------------- reading

// Position of image_id in train_images_id: the hashed index built by the
// constructor, else the list's own search (which also raises the error for
// an unknown id).
py::object image_position(py::handle self, py::handle image_id) {
    py::object pos = find(self.attr("_image_positions"), image_id);
    if (pos) return pos;
    // A string id that crossed a tensor comes back as bytes (NumPy's bytes_).
    if (PyBytes_Check(image_id.ptr())) {
        PyObject *text = PyUnicode_DecodeUTF8(PyBytes_AS_STRING(image_id.ptr()), PyBytes_GET_SIZE(image_id.ptr()), nullptr);
        if (!text) PyErr_Clear();
        py::object id = py::reinterpret_steal<py::object>(text);
        if (id && (pos = find(self.attr("_image_positions"), id))) return pos;
    }
    return self.attr("train_images_id").attr("index")(image_id);
}

py::object read_sample(Call &c, py::handle image_id, std::string &note) {
    py::handle self = c.self;
    py::object np = c.g("np");
    py::object position = image_position(self, image_id);
    py::object file_name = self.attr("train_storage_images")[position];
    py::object image_path = c.g("join")(self.attr("train_images"), file_name);
    note += " (" + describe(image_path) + ")";

    py::object image = seg::open_rgb(c, image_path);
    py::object dims = image.attr("shape");
    py::object oH = dims[py::int_(0)], oW = dims[py::int_(1)];
    seg::Fitted fitted = seg::fit_to_shape(c, image, pyglue::truthy(self.attr("letterbox")));

    std::vector<py::object> outlines, classes;
    // An image without annotations has no key: no polygons, all background.
    // By the reader's own id: one that crossed a tensor may be its bytes.
    py::object own_id = self.attr("train_images_id")[position];
    py::object records = self.attr("train_storage_ann").attr("get")(own_id);
    if (!records.is_none()) {
        py::dict categories = self.attr("_category_positions");
        py::object size = np.attr("array")(py::make_tuple(oW, oH), py::arg("dtype") = np.attr("float32"));
        py::object mask_padding = c.g("mask_padding");
        for (py::handle record : records) {
            // Mask values are positions in labels (+ 1); polygons of a
            // category that labels does not list have no class to paint.
            py::object cls = find(categories, record["class"]);
            if (!cls) continue;
            py::object polygon = py::object(record["polygon"]) / size;
            outlines.push_back(mask_padding(polygon, fitted.w, fitted.h, fitted.padw, fitted.padh));
            classes.push_back(cls);
        }
    }
    seg::Resampled r = seg::resample_outlines(c, outlines, self.attr("num_points"));
    std::vector<py::object> kept;
    kept.reserve(r.kept.size());
    for (std::size_t k : r.kept) kept.push_back(classes[k]);
    return py::make_tuple(fitted.image, r.masks, seg::int32_array(c, kept));
}

// The id as the note shows it: a pipeline hands it over as a NumPy scalar,
// which the compatibility module turns into the plain value.
std::string describe_id(py::handle id) {
    try {
        return describe(py::module_::import("quorvane.trellisk._compat").attr("plain_id")(id));
    } catch (py::error_already_set &) {
        return describe(id);
    }
}

py::object read_data_plain(Call &c) {
    std::string note = "while reading image id " + describe_id(c[0]);
    return pyglue::with_note(note, [&] { return read_sample(c, c[0], note); });
}

// True when every id is an int that fits a tensor of int64, so that the
// ids themselves can be the dataset's elements.
bool ids_fit_int64(py::handle ids) {
    for (py::handle id : ids) {
        if (!PyLong_Check(id.ptr()) || PyBool_Check(id.ptr())) return false;
        int overflow = 0;
        PyLong_AsLongLongAndOverflow(id.ptr(), &overflow);
        if (overflow) return false;
    }
    return true;
}

// fn(position tensor) -> the sample of train_images_id[position] through
// tf.numpy_function. For ids a tensor cannot carry as they are: a string id
// "img-1" would reach the reader as b'img-1', which is no id of the file.
// Holds the dataset weakly, as a traced graph keeps the function.
py::object read_by_position(py::handle self, py::object tf) {
    py::object read = pyglue::weak_method(self, "_read_data");
    py::object ids_of = pyglue::weak_method(self, "__getattribute__");
    py::object read_at = py::cpp_function([read, ids_of](py::object position) {
        py::object id = pyglue::getitem(ids_of("train_images_id"), py::int_(position));
        return read(id);
    });
    return py::cpp_function([tf, read_at](py::object position) -> py::object {
        py::list tout = pyglue::list_of({tf.attr("uint8"), tf.attr("float32"), tf.attr("int32")});
        return tf.attr("numpy_function")(read_at, pyglue::list_of({position}), py::arg("Tout") = tout);
    });
}

py::object read_data_tf(Call &c) {
    py::object tf = c.g("tf");
    if (!ids_fit_int64(pyglue::list_of({c[0]})) && !py::isinstance(c[0], tf.attr("Tensor"))) {
        // The reader's own id, looked up now: an unknown one fails here,
        // with the note that names it.
        std::string note = "while reading image id " + describe_id(c[0]);
        py::object position = pyglue::with_note(note, [&] { return image_position(c.self, c[0]); });
        return read_by_position(c.self, tf)(position);
    }
    py::list inp, tout;
    inp.append(c[0]);
    tout.append(tf.attr("uint8"));
    tout.append(tf.attr("float32"));
    tout.append(tf.attr("int32"));
    return tf.attr("numpy_function")(pyglue::weak_method(c.self, "_read_data"), inp, py::arg("Tout") = tout);
}

// --------------------------------------------------------------- iterators

py::object build_train_iterator(Call &c) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object tf = c.g("tf");
    py::object ids = self.attr("train_images_id");
    py::object autotune = tf.attr("data").attr("AUTOTUNE");
    py::object Dataset = tf.attr("data").attr("Dataset");
    py::object ds;
    if (ids_fit_int64(ids)) {
        ds = Dataset.attr("from_tensor_slices")(ids);
        ds = ds.attr("shuffle")(py::arg("buffer_size") = py::int_(py::len(ids)),
                                py::arg("reshuffle_each_iteration") = true);
        ds = ds.attr("map")(self.attr("read_data"), py::arg("num_parallel_calls") = autotune);
    } else {
        // String ids (or a mix): a tensor would turn "139" into b'139',
        // which is no id of the file. The elements are positions in
        // train_images_id instead, each read by the id found there.
        ds = Dataset.attr("range")(py::len(ids));
        ds = ds.attr("shuffle")(py::arg("buffer_size") = py::int_(py::len(ids)),
                                py::arg("reshuffle_each_iteration") = true);
        ds = ds.attr("map")(read_by_position(self, tf), py::arg("num_parallel_calls") = autotune);
    }
    return seg::train_tail(c, ds, c[0], c[1]);
}

py::object build_val_iterator(Call &) { return py::none(); }

// ------------------------------------------------------------------ methods

const MethodDef kInit{
    "__init__",
    {{"train_json_file", Kind::Str, "None"},
     {"val_json_file", Kind::Str, "None"},
     {"train_images", Kind::Str, "None"},
     {"val_images", Kind::Str, "None"},
     {"shape", Kind::List, "None"},
     {"letter_box", Kind::Any, "True"},
     {"num_points", Kind::Any, "300"},
     {"add_bkg_class", Kind::Any, "True"},
     {"tasks", Kind::List, "None"}},
    init,
    "Read and index the training COCO file (see the class docstring).\n"
    "\n"
    "Raises FileNotFoundError when train_json_file is empty, None or missing,\n"
    "ValueError when the file lists no images or no annotations; a file that\n"
    "is not JSON raises the parser's error, and a malformed annotation raises\n"
    "with a note naming it."};

const MethodDef kGetNumTrainSamples{
    "get_num_train_samples", {}, get_num_train_samples,
    "Number of image entries of the training file (repeated ids count each time)."};

const MethodDef kGetNumSegmentationClasses{
    "get_num_segmentation_classes", {}, get_num_segmentation_classes,
    "len(labels) + 1: the categories plus the background (mask value 0)."};

const MethodDef kDescribe{
    "describe", {}, describe,
    "What the pipelines and tools need to know of this dataset, as a\n"
    "quorvane.trellisk.datasets.formats.DatasetDescription (kind \"coco\"; the\n"
    "image of each training entry, and in `coco` the entries' outlines and the\n"
    "class id of each category)."};

const MethodDef kReadData{
    "read_data",
    {{"image_id"}},
    read_data_tf,
    "_read_data as a TensorFlow op (tf.numpy_function): (image tf.uint8,\n"
    "polygons tf.float32, classes tf.int32), without static shapes.",
    true};

const MethodDef kReadDataPlain{
    "_read_data",
    {{"image_id"}},
    read_data_plain,
    "Read the sample of one image id.\n"
    "\n"
    "Returns (image uint8 shape[0] x shape[1] x 3, polygons float32\n"
    "P x num_points x 2 in output pixels (x, y) or an empty array, classes\n"
    "int32 P: positions in labels). When ids repeat the first entry's file is\n"
    "read; an unknown id raises ValueError."};

const MethodDef kBuildTrainIterator{
    "build_train_iterator",
    {{"batch_size", Kind::Any, "10"}, {"prefetch", Kind::Any, "10"}},
    build_train_iterator,
    "Training tf.data.Dataset of (uint8 images [batch, H, W, 3], int32 masks\n"
    "[batch, H, W]): every image entry once per pass, reshuffled each pass,\n"
    "read, masked, augmented, batched (remainder dropped) and prefetched."};

const MethodDef kBuildValIterator{
    "build_val_iterator",
    {{"batch_size", Kind::Any, "10"}, {"prefetch", Kind::Any, "10"}},
    build_val_iterator,
    "Always None: this dataset serves training data only."};

}  // namespace

namespace seg {

void add_coco_class(py::dict ns) {
    pyglue::make_class(ns, "SegmentationDatasetJsonCOCO",
                       py::make_tuple(py::handle((PyObject *)&PyBaseObject_Type)), kClassDoc,
                       {&kInit, &kGetNumTrainSamples, &kGetNumSegmentationClasses, &kReadData,
                        &kReadDataPlain, &seg::kBuildGtMask, &seg::kBuildGtMaskPlain,
                        &seg::kApplyAugmentation, &seg::kTfApplyAugmentation,
                        &kBuildTrainIterator, &kBuildValIterator, &kDescribe});
}

}  // namespace seg
