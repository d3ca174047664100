// Reading one per-image JSON annotation file of a segmentation dataset into
// plain arrays (no Python).
//
// The file is a JSON object: "image" names the image file (only its last path
// component counts), "segment" (optional) lists the objects, each a list of
// parts {"polygon": [[x, y], ...], "class": k} with x, y normalised to the
// image size. Parts with fewer than rules::kMinPartVertices (vertices.h)
// enclose nothing and are dropped together with their class; the others are
// kept in file order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace annotation {

// The keys of an annotation file; `formats.py` and `check` take them from here.
namespace keys {
constexpr const char *image = "image";
constexpr const char *segment = "segment";
constexpr const char *polygon = "polygon";
constexpr const char *class_ = "class";
}  // namespace keys

struct Sample {
    std::string image;                 // last path component of "image"
    std::vector<double> xy;            // vertices of the kept parts, (x, y) interleaved
    std::vector<std::int64_t> splits;  // part k holds vertices splits[k] .. splits[k+1]-1
    std::vector<std::int32_t> classes; // one per kept part
};

// Parses the annotation `text`. With `segments` false the parts are not read
// (the dataset does not train segmentation) and the sample has none. Returns
// false with a message saying what is wrong (without the file name) when the
// document does not parse or does not have this form.
bool read(const std::string &text, bool segments, Sample &out, std::string &error);

// The last component of a '/'-separated path, as os.path.basename gives it.
std::string basename(const std::string &path);

// os.path.join(folder, name) for a relative `name`; an absolute `name`
// replaces the folder.
std::string join(const std::string &folder, const std::string &name);

}  // namespace annotation
