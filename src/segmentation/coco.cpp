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
#include "ranges.h"
#include "regions.h"
#include "rle.h"

#include <pybind11/numpy.h>

#include <algorithm>
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
    "    crowd (str, keyword-only): what the masks make of crowd regions\n"
    "        (\"iscrowd\" 1, polygons or RLE): \"object\" (default) paints them\n"
    "        with their class, \"ignore\" with `ignore_value`, \"skip\" leaves\n"
    "        them out.\n"
    "    ignore_value (int, keyword-only): the mask value of crowd regions\n"
    "        under crowd=\"ignore\". Default 255; it must not be a class value\n"
    "        (0..len(labels)).\n"
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
    "    - A \"segmentation\" may be polygons or an RLE object (\"size\"\n"
    "      [height, width] and \"counts\", a list of run lengths or the\n"
    "      compressed text, runs down the columns starting with background).\n"
    "      RLE regions are decoded when a sample is read, mapped into the\n"
    "      output by the image's letterbox or stretch (nearest neighbour) and\n"
    "      painted in file order with the polygons, the last one on top. A\n"
    "      broken RLE (runs that do not add up to height x width, undecodable\n"
    "      text, a size other than the image entry's) fails naming the\n"
    "      annotation id.\n"
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

// The cyclic garbage collector paused while the index is built: the file
// makes hundreds of thousands of containers, none of them garbage, and
// each collection would walk all of them again. Restored on every exit.
class GcPaused {
  public:
    GcPaused() : gc_(py::module_::import("gc")), was_(pyglue::truthy(gc_.attr("isenabled")())) {
        if (was_) gc_.attr("disable")();
    }
    ~GcPaused() {
        if (!was_) return;
        PyObject *type, *value, *trace;
        PyErr_Fetch(&type, &value, &trace);  // an error on its way out stays as it is
        PyObject *r = PyObject_CallMethod(gc_.ptr(), "enable", nullptr);
        Py_XDECREF(r);
        if (!r) PyErr_Clear();
        PyErr_Restore(type, value, trace);
    }

  private:
    py::object gc_;
    bool was_;
};

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

// The crowd policy: "object", "ignore" or "skip".
std::string crowd_policy(py::handle value) {
    if (PyUnicode_Check(value.ptr())) {
        std::string v = value.cast<std::string>();
        if (v == "object" || v == "ignore" || v == "skip") return v;
    }
    pyglue::raise(PyExc_ValueError, "crowd must be 'object', 'ignore' or 'skip', got " +
                                        pyglue::text(pyglue::excerpt(value, 80, true)));
}

// The mask value of ignored crowd regions: a whole number that a mask can
// hold as a class value + 1 (so ignored polygons go through the painter as
// class ignore_value - 1).
long long checked_ignore_value(py::handle value) {
    long long v = 0;
    bool ok = !PyBool_Check(value.ptr()) && PyIndex_Check(value.ptr());
    if (ok) {
        int overflow = 0;
        py::object i = py::reinterpret_steal<py::object>(PyNumber_Index(value.ptr()));
        if (!i) throw py::error_already_set();
        v = PyLong_AsLongLongAndOverflow(i.ptr(), &overflow);
        ok = !overflow && v >= 1 && v <= rules::kMaxClassId + 1;
    }
    if (!ok)
        pyglue::raise(PyExc_ValueError, "ignore_value must be a whole number from 1 to " +
                                            std::to_string(rules::kMaxClassId + 1) + ", got " +
                                            pyglue::text(pyglue::excerpt(value, 80, true)));
    return v;
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
    const std::string crowd = crowd_policy(c[9]);
    const long long ignore_value = checked_ignore_value(c[10]);
    self.attr("crowd") = py::str(crowd);
    self.attr("ignore_value") = py::int_(ignore_value);
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
    // image id -> RLE regions, decoded only when the sample is read.
    py::dict regions;
    self.attr("_regions") = regions;

    py::object path = c[0];
    if (path.is_none() || !pyglue::truthy(path) || !pyglue::truthy(c.g("exists")(path)))
        // The message as a str object: a path holding undecodable bytes
        // (surrogate escapes) has no UTF-8 form.
        pyglue::raise(PyExc_FileNotFoundError,
                      fmt("Annotation file for training was not found in the given location: {}",
                          path));

    GcPaused paused;
    // JSON text is UTF-8 whatever the locale.
    py::object f = py::module_::import("io").attr("open")(path, "r", py::arg("encoding") = "utf-8");
    py::object content = pyglue::closing(f, [&] { return json.attr("load")(f); });

    py::object images = get(content, k_images, py::list());
    if (py::len(images) == 0)
        pyglue::raise(PyExc_ValueError, "No training images were found in this dataset");

    py::int_ zero(0);
    pyglue::coco_categories(get(content, k_categories, py::list()), labels, category_positions);
    // The ignore value must not be read back as a class (or the background).
    if (crowd == "ignore" && ignore_value <= static_cast<long long>(py::len(labels)))
        pyglue::raise(PyExc_ValueError, "ignore_value " + std::to_string(ignore_value) +
                                            " is a class value of this dataset (0.." + std::to_string(py::len(labels)) +
                                            "): choose one above " + std::to_string(py::len(labels)));

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
    const py::object k_counts = key("COCO_COUNTS"), k_size = key("COCO_SIZE"), k_height = key("COCO_HEIGHT"),
                     k_width = key("COCO_WIDTH");
    py::object no_crowd = py::bool_(false), is_crowd = py::bool_(true);
    const py::str k_class("class"), k_polygon("polygon"), k_crowd("crowd");  // the record's keys
    Py_ssize_t index = 0;
    for (py::handle ann : tqdm(annotations, py::arg("desc") = "Parsing annotations",
                               py::arg("disable") = py::none())) {
        try {
            py::object image_id = get(ann, k_image_id, zero);
            py::object segmentation = get(ann, k_segmentation);
            py::object cls = get(ann, k_category_id, zero);
            py::object crowd_flag = pyglue::truthy(get(ann, k_iscrowd, zero)) ? is_crowd : no_crowd;
            if (rlepy::is_rle(segmentation)) {
                // Kept as written (text or runs): decoded when read, so the
                // index stays small. `after`: the polygons painted before it.
                py::object records = find(storage_ann, image_id);
                py::object size = get(segmentation, k_size), counts = get(segmentation, k_counts);
                py::object expected = py::none();
                py::object position = find(image_positions, image_id);
                if (position) {
                    py::object entry = images[position];
                    py::object height = get(entry, k_height), width = get(entry, k_width);
                    if (!height.is_none() && !width.is_none()) expected = py::make_tuple(height, width);
                }
                py::tuple region = py::make_tuple(py::int_(records ? py::len(records) : 0), cls, crowd_flag,
                                                  get(ann, k_id), segmentation, expected);
                py::object list = find(regions, image_id);
                if (list)
                    list.attr("append")(region);
                else
                    regions[image_id] = py::list(py::make_tuple(region));
                ++index;
                continue;
            }
            for (py::handle polygon : segmentation) {
                py::object points;
                if (PyList_CheckExact(polygon.ptr()))
                    points = seg::number_pairs(PySequence_Fast_ITEMS(polygon.ptr()), PyList_GET_SIZE(polygon.ptr()));
                if (!points) points = array(polygon).attr("reshape")(pairs);
                py::dict record;
                if (PyDict_SetItem(record.ptr(), k_class.ptr(), cls.ptr()) < 0 ||
                    PyDict_SetItem(record.ptr(), k_polygon.ptr(), points.ptr()) < 0 ||
                    PyDict_SetItem(record.ptr(), k_crowd.ptr(), crowd_flag.ptr()) < 0)
                    throw py::error_already_set();
                py::object records = find(storage_ann, image_id);
                if (records && PyList_CheckExact(records.ptr())) {
                    if (PyList_Append(records.ptr(), record.ptr()) < 0) throw py::error_already_set();
                } else if (records) {
                    records.attr("append")(record);
                } else {
                    storage_ann[image_id] = py::list(py::make_tuple(record));
                }
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
        self.attr("train_storage_ann"), self.attr("_category_positions"), py::arg("join") = c.g("join"),
        py::arg("regions") = self.attr("_regions"), py::arg("crowd") = self.attr("crowd"),
        py::arg("ignore_value") = self.attr("ignore_value"));
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
        py::arg("augmentation") = channel_ops, py::arg("crowd") = self.attr("crowd"),
        py::arg("ignore_value") = self.attr("ignore_value"),
        // What a pipeline with repeat-factor sampling worked out, once asked.
        py::arg("class_presence") = py::getattr(self, "_class_presence", py::none()));
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

// The mask value of a crowd region's class (a position in labels) under the
// policy; false when the policy leaves it out.
bool crowd_value(const std::string &policy, long long ignore_value, long long &value) {
    if (policy == "skip") return false;
    if (policy == "ignore") value = ignore_value;
    return true;
}

// Reads one sample: (image, polygons, classes, regions, frame). regions:
// the image's RLE regions packed for the mask painter (int64, rle::pack),
// `after` counting the polygons returned; frame: float64 (w, h, padw, padh).
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

    const std::string policy = crowd_policy(self.attr("crowd"));
    const long long ignore_value = checked_ignore_value(self.attr("ignore_value"));
    py::dict categories = self.attr("_category_positions");
    std::vector<py::object> outlines, classes;
    std::vector<std::size_t> record_of;  // record index of each outline
    // An image without annotations has no key: no polygons, all background.
    // By the reader's own id: one that crossed a tensor may be its bytes.
    py::object own_id = self.attr("train_images_id")[position];
    py::object records = self.attr("train_storage_ann").attr("get")(own_id);
    if (!records.is_none()) {
        py::object size = np.attr("array")(py::make_tuple(oW, oH), py::arg("dtype") = np.attr("float32"));
        py::object mask_padding = c.g("mask_padding");
        std::size_t k = 0;
        for (py::handle record : records) {
            const std::size_t index = k++;
            // Mask values are positions in labels (+ 1); polygons of a
            // category that labels does not list have no class to paint.
            py::object cls = find(categories, record["class"]);
            if (!cls) continue;
            PyObject *crowd = PyDict_Check(record.ptr()) ? PyDict_GetItemString(record.ptr(), "crowd") : nullptr;
            if (crowd && PyObject_IsTrue(crowd) == 1) {
                long long value = cls.cast<long long>() + 1;
                if (!crowd_value(policy, ignore_value, value)) continue;
                cls = py::int_(value - 1);  // painted as class + 1
            }
            py::object polygon = py::object(record["polygon"]) / size;
            outlines.push_back(mask_padding(polygon, fitted.w, fitted.h, fitted.padw, fitted.padh));
            classes.push_back(cls);
            record_of.push_back(index);
        }
    }
    seg::Resampled r = seg::resample_outlines(c, outlines, self.attr("num_points"));
    std::vector<py::object> kept;
    std::vector<std::size_t> kept_records;
    kept.reserve(r.kept.size());
    for (std::size_t k : r.kept) {
        kept.push_back(classes[k]);
        kept_records.push_back(record_of[k]);
    }

    std::vector<std::int64_t> packed;
    py::object regions = find(self.attr("_regions"), image_id);
    if (regions) {
        for (py::handle region : regions) {
            // (records before it, category id, crowd, annotation id, RLE, (height, width) or None)
            py::tuple t = py::reinterpret_borrow<py::tuple>(region);
            py::object cls = find(categories, t[1]);
            if (!cls) continue;
            long long value = cls.cast<long long>() + 1;
            if (pyglue::truthy(t[2]) && !crowd_value(policy, ignore_value, value)) continue;
            std::int64_t eh = -1, ew = -1;
            if (!t[5].is_none()) {
                eh = py::int_(t[5][py::int_(0)]).cast<std::int64_t>();
                ew = py::int_(t[5][py::int_(1)]).cast<std::int64_t>();
            }
            rlepy::Runs runs;
            try {
                runs = rlepy::parse(t[4], eh, ew);
            } catch (py::value_error &e) {
                pyglue::raise(PyExc_ValueError, "annotation " + describe(t[3]) + ": " + e.what());
            }
            const std::size_t before = t[0].cast<std::size_t>();
            const std::int64_t after =
                std::lower_bound(kept_records.begin(), kept_records.end(), before) - kept_records.begin();
            rle::pack(rle::Region{runs.runs.data(), runs.runs.size(), runs.height, runs.width,
                                  static_cast<std::int32_t>(value), after},
                      packed);
        }
    }
    py::array_t<std::int64_t> packed_array(static_cast<py::ssize_t>(packed.size()));
    std::copy(packed.begin(), packed.end(), packed_array.mutable_data());
    py::object frame = np.attr("array")(py::make_tuple(fitted.w, fitted.h, fitted.padw, fitted.padh),
                                        py::arg("dtype") = np.attr("float64"));
    return py::make_tuple(fitted.image, r.masks, seg::int32_array(c, kept), packed_array, frame);
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

py::object read_sample_plain(Call &c) {
    std::string note = "while reading image id " + describe_id(c[0]);
    return pyglue::with_note(note, [&] { return read_sample(c, c[0], note); });
}

py::object read_data_plain(Call &c) {
    py::tuple sample = read_sample_plain(c);
    return py::make_tuple(sample[0], sample[1], sample[2]);
}

py::list sample_types(py::object tf) {
    return pyglue::list_of({tf.attr("uint8"), tf.attr("float32"), tf.attr("int32"), tf.attr("int64"), tf.attr("float64")});
}

py::list data_types(py::object tf) {
    return pyglue::list_of({tf.attr("uint8"), tf.attr("float32"), tf.attr("int32")});
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

// fn(position tensor) -> what `method` gives for train_images_id[position],
// through tf.numpy_function with output types `tout`. For ids a tensor
// cannot carry as they are: a string id "img-1" would reach the reader as
// b'img-1', which is no id of the file. Holds the dataset weakly, as a
// traced graph keeps the function.
py::object read_by_position(py::handle self, py::object tf, const char *method, py::list tout) {
    py::object read = pyglue::weak_method(self, method);
    py::object ids_of = pyglue::weak_method(self, "__getattribute__");
    py::object read_at = py::cpp_function([read, ids_of](py::object position) {
        py::object id = pyglue::getitem(ids_of("train_images_id"), py::int_(position));
        return read(id);
    });
    return py::cpp_function([tf, read_at, tout](py::object position) -> py::object {
        return tf.attr("numpy_function")(read_at, pyglue::list_of({position}), py::arg("Tout") = tout);
    });
}

// Reads training entry `position` with its RLE regions (image, polygons,
// classes, regions, frame), painted together by build_gt_mask.
py::object position_reader(py::object self, py::object tf) {
    return read_by_position(self, tf, "_read_sample", sample_types(tf));
}

py::object read_data_tf(Call &c) {
    py::object tf = c.g("tf");
    if (!ids_fit_int64(pyglue::list_of({c[0]})) && !py::isinstance(c[0], tf.attr("Tensor"))) {
        // The reader's own id, looked up now: an unknown one fails here,
        // with the note that names it.
        std::string note = "while reading image id " + describe_id(c[0]);
        py::object position = pyglue::with_note(note, [&] { return image_position(c.self, c[0]); });
        return read_by_position(c.self, tf, "_read_data", data_types(tf))(position);
    }
    py::list inp;
    inp.append(c[0]);
    return tf.attr("numpy_function")(pyglue::weak_method(c.self, "_read_data"), inp,
                                     py::arg("Tout") = data_types(tf));
}

// --------------------------------------------------------------- iterators

py::object build_train_iterator(Call &c) {
    py::object self = py::reinterpret_borrow<py::object>(c.self);
    py::object tf = c.g("tf");
    py::object keyed = seg::keyed_train_iterator(c, [&] { return position_reader(self, tf); });
    if (keyed) return keyed;
    py::object ids = self.attr("train_images_id");
    py::object autotune = tf.attr("data").attr("AUTOTUNE");
    py::object Dataset = tf.attr("data").attr("Dataset");
    py::object ds;
    if (ids_fit_int64(ids)) {
        ds = Dataset.attr("from_tensor_slices")(ids);
        ds = ds.attr("shuffle")(py::arg("buffer_size") = py::int_(py::len(ids)),
                                py::arg("reshuffle_each_iteration") = true);
        // The reader's samples with their RLE regions (image, polygons,
        // classes, regions, frame), painted together by build_gt_mask.
        py::object read = pyglue::weak_method(self, "_read_sample");
        py::cpp_function read_tensor([tf, read](py::object id) -> py::object {
            return tf.attr("numpy_function")(read, pyglue::list_of({id}), py::arg("Tout") = sample_types(tf));
        });
        ds = ds.attr("map")(read_tensor, py::arg("num_parallel_calls") = autotune);
    } else {
        // String ids (or a mix): a tensor would turn "139" into b'139',
        // which is no id of the file. The elements are positions in
        // train_images_id instead, each read by the id found there.
        ds = Dataset.attr("range")(py::len(ids));
        ds = ds.attr("shuffle")(py::arg("buffer_size") = py::int_(py::len(ids)),
                                py::arg("reshuffle_each_iteration") = true);
        ds = ds.attr("map")(position_reader(self, tf), py::arg("num_parallel_calls") = autotune);
    }
    return seg::train_tail(c, ds, c[0], c[1], pyglue::truthy(c[4]));
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
     {"tasks", Kind::List, "None"},
     {"crowd", Kind::Any, "'object'", true},
     {"ignore_value", Kind::Any, "255", true}},
    init,
    "Read and index the training COCO file (see the class docstring).\n"
    "\n"
    "Raises FileNotFoundError when train_json_file is empty, None or missing,\n"
    "ValueError for an unknown crowd policy, an ignore_value that is a class\n"
    "value, or a file that lists no images or no annotations; a file that\n"
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

const std::string kTrainDoc =
    std::string("Training tf.data.Dataset of (uint8 images [batch, H, W, 3], int32 masks\n"
                "[batch, H, W]): every image entry once per pass, reshuffled each pass,\n"
                "read, masked (polygons and RLE regions), augmented, batched (remainder\n"
                "dropped) and prefetched. augment=False (keyword-only) leaves out the\n"
                "augmentation: the samples as read, in the same order and batches.") +
    seg::kKeyedTrainDoc;

const MethodDef kReadSample{
    "_read_sample",
    {{"image_id"}},
    read_sample_plain,
    "_read_data's sample with the image's RLE regions: (image, polygons,\n"
    "classes, regions int64, frame float64 (w, h, padw, padh)), regions packed\n"
    "as _build_gt_mask(..., regions=, frame=) paints them. Crowd regions\n"
    "follow the crowd policy; a broken RLE raises ValueError naming the\n"
    "annotation id."};

const MethodDef kBuildTrainIterator{
    "build_train_iterator",
    {{"batch_size", Kind::Any, "10"}, {"prefetch", Kind::Any, "10"}, SEG_KEYED_TRAIN_PARAMS,
     {"augment", Kind::Any, "True", true}},
    build_train_iterator,
    kTrainDoc.c_str()};

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
                        &kReadDataPlain, &kReadSample, &seg::kBuildGtMask, &seg::kBuildGtMaskPlain,
                        &seg::kApplyAugmentation, &seg::kTfApplyAugmentation,
                        &kBuildTrainIterator, &kBuildValIterator, &kDescribe});
}

}  // namespace seg
