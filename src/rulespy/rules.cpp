// quorvane.trellisk.datasets._rules: the readers' rules for class ids,
// record labels, vertex counts, box layout and annotation keys, for Python
// code that checks data (`check`, `formats`) without a dataset object.
#include "annotation.h"
#include "boxes/boxes.h"
#include "categories.h"
#include "classids.h"
#include "descriptions.h"
#include "ranges.h"
#include "vertices.h"

namespace py = pybind11;

namespace {

// A namespace object of (NAME, value) pairs.
py::object names(std::initializer_list<std::pair<const char *, py::object>> items) {
    py::dict d;
    for (const auto &item : items) d[item.first] = item.second;
    return py::module_::import("types").attr("SimpleNamespace")(**d);
}

template <std::size_t N>
py::tuple strings(const char *const (&items)[N]) {
    py::tuple out(N);
    for (std::size_t i = 0; i < N; ++i) out[i] = py::str(items[i]);
    return out;
}

py::object segmentation_yaml() {
    namespace y = rules::segmentation_yaml;
    auto s = [](const char *v) { return py::object(py::str(v)); };
    return names({{"CLASSES", s(y::kClasses)}, {"TRAIN", s(y::kTrain)},
                  {"VALIDATION", s(y::kValidation)}, {"IMAGES", s(y::kImages)},
                  {"ANNOTATIONS", s(y::kAnnotations)}, {"SECTIONS", strings(y::kSections)},
                  {"SECTION_KEYS", strings(y::kSectionKeys)},
                  {"BAD_CLASSES", s(y::kBadClasses)}, {"MISSING_SECTION", s(y::kMissingSection)},
                  {"MISSING_KEY", s(y::kMissingKey)},
                  {"CHECK_BAD_CLASSES", s(y::kCheckBadClasses)},
                  {"CHECK_MISSING_SECTION", s(y::kCheckMissingSection)},
                  {"CHECK_MISSING_KEY", s(y::kCheckMissingKey)},
                  {"CHECK_NO_FOLDER", s(y::kCheckNoFolder)},
                  {"CHECK_NO_FILES", s(y::kCheckNoFiles)}});
}

py::object tfrecord_yaml() {
    namespace y = rules::tfrecord_yaml;
    auto s = [](const char *v) { return py::object(py::str(v)); };
    return names({{"TYPE", s(y::kType)}, {"TYPE_VALUE", s(y::kTypeValue)},
                  {"CLASSES", s(y::kClasses)}, {"TRAIN", s(y::kTrain)},
                  {"VALIDATION", s(y::kValidation)}, {"PATH", s(y::kPath)},
                  {"OLDER_PATH", s(y::kOlderPath)}, {"SAMPLES", s(y::kSamples)},
                  {"BACKGROUND", s(y::kBackground)}, {"SECTIONS", strings(y::kSections)},
                  {"CHECK_BAD_TYPE", s(y::kCheckBadType)},
                  {"CHECK_BAD_CLASSES", s(y::kCheckBadClasses)},
                  {"CHECK_MISSING_SECTION", s(y::kCheckMissingSection)},
                  {"CHECK_NO_FOLDER_KEY", s(y::kCheckNoFolderKey)},
                  {"CHECK_NO_FOLDER", s(y::kCheckNoFolder)},
                  {"CHECK_BAD_SAMPLES", s(y::kCheckBadSamples)},
                  {"CHECK_NO_FILES", s(y::kCheckNoFiles)},
                  {"CHECK_COUNT_MISMATCH", s(y::kCheckCountMismatch)}});
}

}  // namespace

PYBIND11_MODULE(_rules, m) {
    m.doc() = "Class-id and label ranges, vertex counts, the box layout and annotation keys,\n"
              "as the readers apply them.";
    m.attr("MAX_CLASS_ID") = py::int_(rules::kMaxClassId);
    // A part of a per-image annotation file with fewer vertices is dropped.
    m.attr("MIN_PART_VERTICES") = py::int_(rules::kMinPartVertices);
    // An outline (any layout, COCO polygons included) with fewer vertices is left out.
    m.attr("MIN_OUTLINE_VERTICES") = py::int_(rules::kMinOutlineVertices);
    // Values per object in a record's "bboxes"; columns of a decoded box row.
    m.attr("BOX_VALUES") = py::int_(boxes::kValues);
    m.attr("BOX_COLUMNS") = py::int_(boxes::kColumns);
    m.attr("JSON_IMAGE") = py::str(annotation::keys::image);
    m.attr("JSON_SEGMENT") = py::str(annotation::keys::segment);
    m.attr("JSON_POLYGON") = py::str(annotation::keys::polygon);
    m.attr("JSON_CLASS") = py::str(annotation::keys::class_);
    m.def(
        "is_class_id",
        [](py::handle value) {
            long long unused;
            return pyglue::class_id(value, unused);
        },
        py::arg("value"),
        "True when the readers accept `value` (a JSON \"class\") as a class id:\n"
        "an int, or a float without a fraction (not a bool), from 0 to MAX_CLASS_ID.");
    // The keys, sections and messages of the two YAML descriptions.
    m.attr("SEGMENTATION_YAML") = segmentation_yaml();
    m.attr("TFRECORD_YAML") = tfrecord_yaml();
    m.def(
        "coco_category_classes",
        [](py::handle categories) {
            py::list labels;
            py::dict positions;
            pyglue::coco_categories(categories, labels, positions);
            return py::make_tuple(labels, positions);
        },
        py::arg("categories"),
        "(labels, {category id: class id}) of a COCO file's \"categories\" list, as\n"
        "the COCO reader numbers them: every category whose id is not 0 adds its\n"
        "name to labels (a repeated id too); an id's class is the position of its\n"
        "first listing; an unhashable id gets no class. A category that is not a\n"
        "JSON object is a TypeError, as in the reader.");
    m.def(
        "max_label", [](std::int64_t class_offset) { return rules::max_label(class_offset); },
        py::arg("class_offset"),
        "The largest record label a TFRecord dataset with this class_offset accepts.");
}
