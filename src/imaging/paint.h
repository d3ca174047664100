// Class masks painted from polygons on a raw int32 canvas (no Python).
//
// fill_polygon paints what OpenCV's cv2.fillPoly paints for one polygon of
// integer vertices with its defaults (8-connected edges, no sub-pixel shift):
// the outline drawn as 8-connected lines plus the scan-converted interior,
// both clipped to the canvas.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imaging {

struct Canvas {
    std::int32_t *data;  // height rows of width values, contiguous
    int height, width;
};

// Paints the polygon of `n` vertices (x, y interleaved) with `value`.
void fill_polygon(const Canvas &canvas, const std::int32_t *xy, std::size_t n, std::int32_t value);

// Vertices in pixels, truncated toward zero as a cast to int32 does, pinned
// to the int32 range. Returns false for a NaN or infinite coordinate.
bool truncate_vertices(const float *src, std::size_t count, std::int32_t *dst);
bool truncate_vertices(const double *src, std::size_t count, std::int32_t *dst);

}  // namespace imaging
