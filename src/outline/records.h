// The outline features of one record, checked (no Python, no TensorFlow).
//
// A record may carry, beside its detection features, every object's class
// and outline in normalised coordinates, as four flat lists:
//   classes[m]      the class of object m
//   parts[m]        how many parts (polygons) object m has (0: none)
//   vertices[p]     how many vertices part p has, parts in object order
//   xy[2 v]         the vertices (x, y) as fractions of the picture, parts
//                   in order
// Every reader (both detection pipelines, the segmentation records dataset)
// and `check` go through check_record_outlines, so a damaged record is
// refused the same way everywhere.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace outline {

struct RecordOutlines {
    const std::int64_t *classes = nullptr;
    std::int64_t num_classes = 0;   // entries of classes (objects)
    const std::int64_t *parts = nullptr;
    std::int64_t num_parts = 0;     // entries of parts (one per object)
    const std::int64_t *vertices = nullptr;
    std::int64_t num_vertices = 0;  // entries of vertices (one per part)
    const float *xy = nullptr;
    std::int64_t num_xy = 0;        // entries of xy (two per vertex)
};

// One checked part: its object and its vertex rows first .. first + count.
struct Part {
    std::int32_t object, first, count;
};

// Checks the four lists against each other and against the record: counts
// agree, coordinates finite and inside 0..1, classes in 0..max_class. When
// `objects` is not null (the record's detection "objects", num_objects of
// them) and the record has both objects and outlines, there is one outline
// object per detection object, of the same class; with `require`, a record with
// objects must have their outlines (a reader that needs the outlines tells
// a record packed without them from one with nothing in it). Returns an
// empty string and fills `out` with the parts (in order), or a message
// saying what is wrong.
std::string check_record_outlines(const RecordOutlines &r, std::int64_t max_class, const std::int64_t *objects,
                                  std::int64_t num_objects, bool require, std::vector<Part> *out);

// A record may also carry COCO RLE regions, two lists of one entry per
// region: region_objects[r], the outline object it belongs to (one region
// per object, objects in increasing order), and region_counts[r], its
// compressed RLE text at the record's height x width. Checks them: the
// lists agree, objects in 0..num_objects - 1 and increasing, every text
// decodes to runs that cover height x width. Returns an empty string, or a
// message saying what is wrong.
std::string check_record_regions(const std::int64_t *objects, std::int64_t num_region_objects,
                                 const std::vector<std::string_view> &counts, std::int64_t num_objects,
                                 std::int64_t height, std::int64_t width);

}  // namespace outline
