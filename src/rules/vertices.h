// Which annotated outlines the segmentation readers keep, by vertex count.
// The annotation reader, the resampling kernel, the op library and `check`
// all ask these, so the layouts cannot drift apart.
#pragma once

#include <cstddef>

namespace rules {

// An outline needs two vertices to have a length; with fewer it is left out
// with its class. This is the only count test a COCO polygon meets (its
// reader keeps a two-vertex polygon and the mask paints it as a line).
constexpr std::size_t kMinOutlineVertices = 2;

// A part of a per-image annotation file needs three vertices to enclose an
// area; with fewer it is dropped with its class.
constexpr std::size_t kMinPartVertices = 3;

inline bool outline_vertices(std::size_t n) { return n >= kMinOutlineVertices; }
inline bool part_vertices(std::size_t n) { return n >= kMinPartVertices; }

}  // namespace rules
