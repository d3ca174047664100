#include "outline/records.h"

#include "rle.h"

#include <cmath>
#include <limits>

namespace outline {

namespace {

std::string at(const char *what, std::int64_t i) { return std::string(what) + "[" + std::to_string(i) + "]"; }

std::string object_count(std::int64_t n) { return std::to_string(n) + (n == 1 ? " object" : " objects"); }

}  // namespace

std::string check_record_outlines(const RecordOutlines &r, std::int64_t max_class, const std::int64_t *objects,
                                  std::int64_t num_objects, bool require, std::vector<Part> *out) {
    out->clear();
    if (require && objects != nullptr && num_objects > 0 && r.num_classes == 0)
        return "no outlines (the record has " + object_count(num_objects) + " but no outline features: boxes only)";
    if (r.num_parts != r.num_classes)
        return "outline_parts has " + std::to_string(r.num_parts) + " entries for " + object_count(r.num_classes) +
               " in outline_classes";
    // A record whose objects are outlines only (no boxes) pairs nothing.
    if (objects != nullptr && num_objects == 0) objects = nullptr;
    if (objects != nullptr && r.num_classes > 0 && r.num_classes != num_objects)
        return "outline_classes has " + object_count(r.num_classes) + " but \"objects\" has " +
               std::to_string(num_objects);
    // The vertex rows are addressed with 32 bits in the pipelines.
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    std::int64_t total_parts = 0;
    for (std::int64_t m = 0; m < r.num_classes; ++m) {
        const std::int64_t c = r.classes[m];
        if (c < 0 || c > max_class)
            return at("outline_classes", m) + " = " + std::to_string(c) + " is not a class index (0 to " +
                   std::to_string(max_class) + ")";
        if (objects != nullptr && objects[m] != c)
            return "object " + std::to_string(m) + " is class " + std::to_string(objects[m]) +
                   " in \"objects\" but " + std::to_string(c) + " in outline_classes";
        const std::int64_t p = r.parts[m];
        if (p < 0 || p > r.num_vertices - total_parts)
            return at("outline_parts", m) + " = " + std::to_string(p) + " exceeds the " +
                   std::to_string(r.num_vertices) + " parts listed in outline_vertices";
        total_parts += p;
    }
    if (total_parts != r.num_vertices)
        return "outline_parts adds up to " + std::to_string(total_parts) + " parts but outline_vertices lists " +
               std::to_string(r.num_vertices);
    if (r.num_xy % 2 != 0) return "outline_xy holds " + std::to_string(r.num_xy) + " values, not (x, y) pairs";
    const std::int64_t points = r.num_xy / 2;
    if (points > kMax) return "outline_xy holds too many vertices";
    out->reserve(size_t(total_parts));
    std::int64_t first = 0, part = 0;
    for (std::int64_t m = 0; m < r.num_classes; ++m) {
        for (std::int64_t k = 0; k < r.parts[m]; ++k, ++part) {
            const std::int64_t n = r.vertices[part];
            if (n < 1 || n > points - first)
                return at("outline_vertices", part) + " = " + std::to_string(n) +
                       (n < 1 ? ": a part needs at least one vertex" : " runs past the vertices in outline_xy");
            out->push_back(Part{std::int32_t(m), std::int32_t(first), std::int32_t(n)});
            first += n;
        }
    }
    if (first != points)
        return "outline_vertices adds up to " + std::to_string(first) + " vertices but outline_xy holds " +
               std::to_string(points);
    for (std::int64_t i = 0; i < r.num_xy; ++i) {
        const float v = r.xy[i];
        // NaN fails both comparisons.
        if (!(v >= 0.f && v <= 1.f))
            return at("outline_xy", i) + " = " + std::to_string(v) + " is not a fraction of the picture (0 to 1)";
    }
    return {};
}

std::string check_record_regions(const std::int64_t *objects, std::int64_t num_region_objects,
                                 const std::vector<std::string_view> &counts, std::int64_t num_objects,
                                 std::int64_t height, std::int64_t width) {
    const std::int64_t n = static_cast<std::int64_t>(counts.size());
    if (num_region_objects != n)
        return "region_objects has " + std::to_string(num_region_objects) + " entries but region_counts has " +
               std::to_string(n);
    std::vector<std::int64_t> decoded;
    for (std::int64_t r = 0; r < n; ++r) {
        const std::int64_t m = objects[r];
        if (m < 0 || m >= num_objects)
            return at("region_objects", r) + " = " + std::to_string(m) + " is not an outline object (the record has " +
                   object_count(num_objects) + ")";
        // One region per object, in object order: the readers paint object by object.
        if (r > 0 && m <= objects[r - 1])
            return at("region_objects", r) + " = " + std::to_string(m) + " does not come after " +
                   at("region_objects", r - 1) + " = " + std::to_string(objects[r - 1]);
        rle::Error e = rle::decode_text(counts[size_t(r)].data(), counts[size_t(r)].size(), decoded);
        if (!e) e = rle::check(decoded.data(), decoded.size(), height, width);
        if (e)
            return at("region_counts", r) + " (object " + std::to_string(m) + ") does not decode at the record's " +
                   std::to_string(height) + " x " + std::to_string(width) + " pixels: " + e.reason;
    }
    return {};
}

}  // namespace outline
