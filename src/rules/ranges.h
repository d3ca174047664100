// Which numbers are class ids and record labels. Every reader, the mask
// painter, the op library and `check` ask these, so they cannot drift apart.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

namespace rules {

// Masks are int32 and paint class k as k + 1 (0 is the background), so the
// largest class id is one below int32's maximum: id 2147483647 would need a
// mask value int32 cannot hold.
constexpr std::int64_t kMaxClassId = std::numeric_limits<std::int32_t>::max() - 1;

inline bool class_id(std::int64_t v) { return v >= 0 && v <= kMaxClassId; }

// A JSON number: whole (2.0 counts, 2.7 does not; cutting it would paint
// another class) and in range. NaN fails every comparison.
inline bool class_id(double v) {
    return v >= 0.0 && v <= static_cast<double>(kMaxClassId) && v == std::floor(v);
}

// The mask value of a checked class id.
inline std::int32_t mask_value(std::int64_t id) { return static_cast<std::int32_t>(id + 1); }

// For messages: what a class id may be.
inline std::string class_id_range() {
    return "an integer from 0 to " + std::to_string(kMaxClassId);
}

// Record labels: label + class_offset travels as an int32 class index, which
// would otherwise wrap (2**32 to 0: another class, silently). Labels past the
// dataset's classes are kept as written (`check` reports them).
inline std::int64_t max_label(std::int64_t class_offset) {
    return std::numeric_limits<std::int32_t>::max() - (class_offset > 0 ? class_offset : 0);
}

inline bool label(std::int64_t v, std::int64_t class_offset) { return v >= 0 && v <= max_label(class_offset); }

}  // namespace rules
