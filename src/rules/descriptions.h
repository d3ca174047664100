// The two YAML descriptions a dataset can be named by: their keys, the
// sections and keys they need, and the messages that say what is wrong with
// one. The dataset constructors raise the constructor messages; `check`
// (quorvane.trellisk.validate, through datasets._rules) reports the check
// messages, and `pack` writes descriptions with these keys. Messages are
// str.format templates.
#pragma once

namespace rules {

// Segmentation YAML: "classes" (names), and the sections "train" and
// "validation", each with an "images" and an "annotations" folder.
namespace segmentation_yaml {

inline constexpr const char *kClasses = "classes";
inline constexpr const char *kTrain = "train";
inline constexpr const char *kValidation = "validation";
inline constexpr const char *kImages = "images";
inline constexpr const char *kAnnotations = "annotations";
inline constexpr const char *kSections[] = {kTrain, kValidation};
inline constexpr const char *kSectionKeys[] = {kImages, kAnnotations};

// Raised by SegmentationDatasetYaml (ValueError, or FileNotFoundError for
// a folder). kBadClasses (also for classes that are not a list) is the first
// item of the error's arguments, the value the second.
inline constexpr const char *kBadClasses = "Incorrect values for class was detected: ";
inline constexpr const char *kMissingSection = "``{}`` section is missing on the configuration file";
inline constexpr const char *kMissingKey = "``{}`` section is missing on the ``{}`` section";
inline constexpr const char *kNoTrainImages =
    "Images folder provided in ``train`` section does not exist in the current location: {}";
inline constexpr const char *kNoValImages =
    "Images folder provided in ``validation`` section does not exist in the current location: {}";
inline constexpr const char *kNoTrainAnnotations =
    "Annotations folder provided in ``train`` section does not exist in the current location: {}";
inline constexpr const char *kNoValAnnotations =
    "Annotations folder provided in ``validation`` section does not exist in the current "
    "location: {}";

// Reported by check.
inline constexpr const char *kCheckBadClasses = "\"classes\" must be a non-empty list of names, got {}";
inline constexpr const char *kCheckMissingSection = "``{}`` section is missing";
inline constexpr const char *kCheckMissingKey = "``{}`` is missing in the ``{}`` section";
inline constexpr const char *kCheckNoFolder = "{} {} folder does not exist: {}";
inline constexpr const char *kCheckNoFiles = "no annotation files (*.json) in the {} folder";

}  // namespace segmentation_yaml

// TFRecord YAML: "type" ("tfrecord"), "classes" (names), and the sections
// "train" and "validation", each with a "path" folder of record files and
// optionally a "samples" count. The older layout has no "type" and names
// the folder "images".
namespace tfrecord_yaml {

inline constexpr const char *kType = "type";
inline constexpr const char *kTypeValue = "tfrecord";
inline constexpr const char *kClasses = "classes";
inline constexpr const char *kTrain = "train";
inline constexpr const char *kValidation = "validation";
inline constexpr const char *kPath = "path";
inline constexpr const char *kOlderPath = "images";
inline constexpr const char *kSamples = "samples";
inline constexpr const char *kBackground = "background";
inline constexpr const char *kSections[] = {kTrain, kValidation};

// Raised by TFRecordDatasetYaml and TFRecordDataset (ValueError).
inline constexpr const char *kEmptySamples =
    "[ERROR]: Trellisk trainer does not support empty samples in either train or validation sets";
inline constexpr const char *kBadSamples =
    "[ERROR]: ``samples`` of the ``{}`` section must be a positive integer, got {}";
inline constexpr const char *kNoClasses = "[ERROR]: Invalid dataset with no annotation classes was found";
inline constexpr const char *kBadType =
    "[ERROR]: Incompatible dataset type was found: {} is different than ``tfrecord``";
inline constexpr const char *kNoFolder =
    "[ERROR]: This dataset does not contain the ``type`` key and it is not compatible with older "
    "TFRecord format neither";
inline constexpr const char *kNoRecords = "[ERROR]: Empty train or validation samples are not allowed.";

// Reported by check.
inline constexpr const char *kCheckBadType = "\"type\" is {}; only \"tfrecord\" is understood";
inline constexpr const char *kCheckBadClasses = "\"classes\" must be a list of names, got {}";
inline constexpr const char *kCheckMissingSection = "``{}`` section is missing";
inline constexpr const char *kCheckNoFolderKey = "``{}`` has no ``{}`` folder";
inline constexpr const char *kCheckNoFolder = "{} folder does not exist: {}";
inline constexpr const char *kCheckBadSamples = "{} ``samples`` must be a positive count, got {}";
inline constexpr const char *kCheckNoFiles = "no *.tfrecord files in the {} folder";
inline constexpr const char *kCheckCountMismatch = "{} ``samples`` is {} but the files hold {} records";

}  // namespace tfrecord_yaml

}  // namespace rules
