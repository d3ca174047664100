// COCO run-length encoded regions on raw buffers (no Python).
//
// A region is a height x width binary mask stored as run lengths over its
// pixels in column-major order (down the first column, then the next),
// starting with a run of background (which may be 0 long). The runs come
// either as plain numbers or as the compressed text form, decoded here.
// Painting maps the region from its own size into an output frame by
// nearest neighbour, so only the one value given is ever written.
#pragma once

#include "paint.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace rle {

// What is wrong with a region, for the front ends to turn into their own
// error (a ValueError, an InvalidArgument) with the annotation it came from.
struct Error {
    enum Kind { kNone = 0, kBadText, kBadRuns, kBadSize } kind = kNone;
    std::string reason;
    explicit operator bool() const { return kind != kNone; }
};

// Largest height or width taken: beyond it, height * width could not be
// counted in runs of int64 without care, and no picture is that large.
constexpr std::int64_t kMaxSide = std::int64_t(1) << 24;

// Run lengths from the compressed text form: each run is a little-endian
// sequence of 6-bit groups written as characters 48 + group; bit 0x20 of a
// group says another group follows, bit 0x10 of the last group is the sign;
// from the fourth run on, the value is a difference to the run two before.
Error decode_text(const char *text, std::size_t length, std::vector<std::int64_t> &runs);

// The same runs in the compressed text form (the inverse of decode_text).
std::string encode_text(const std::int64_t *runs, std::size_t count);

// Checks a region's size and runs: both sides in 0..kMaxSide, every run
// >= 0, and the runs add up to height * width.
Error check(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width);

// check() after comparing the region's size with the size of the image
// entry it belongs to (expected_height and expected_width; either below 0
// when the entry gives none).
Error check_for_image(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width,
                      std::int64_t expected_height, std::int64_t expected_width);

// The region as a row-major height x width mask of 0 and 1 (runs checked).
void to_mask(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width,
             std::uint8_t *out);

// Run lengths of a row-major height x width mask (nonzero is foreground).
std::vector<std::int64_t> from_mask(const std::uint8_t *mask, std::int64_t height, std::int64_t width);

// Bounding box of the foreground in pixels, x, y, width, height (the
// extent of whole pixels); false when the region is empty. Runs checked.
bool extent(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width,
            std::int64_t box[4]);

// Foreground pixels (runs checked).
std::int64_t area(const std::int64_t *runs, std::size_t count);

// Where the source picture lies in the output: it covers w x h output
// pixels from (padw, padh), as polygons are placed (x_out = x / W * w + padw).
struct Placement {
    double w, h, padw, padh;
};

// One region ready to paint (runs checked), with its mask value and the
// number of polygons painted before it.
struct Region {
    const std::int64_t *runs;
    std::size_t count;
    std::int64_t height, width;
    std::int32_t value;
    std::int64_t after;
};

// Paints the region's foreground with `value`: output pixel (x, y) whose
// centre lies on the picture takes the nearest source pixel, source pixel
// (i, j) standing at (i * w / width + padw, j * h / height + padh) as a
// polygon vertex (i, j) would.
void paint(const imaging::Canvas &canvas, const Region &region, const Placement &at);

// Regions travel between a reader and the mask painter as one int64 vector:
// per region [height, width, value, after, count, runs...].
void pack(const Region &region, std::vector<std::int64_t> &packed);
Error unpack(const std::int64_t *packed, std::size_t length, std::vector<Region> &regions);

// Paints polygons and regions in drawing order: region r after the first
// regions[r].after polygons (and after the regions before it), the rest of
// the polygons last. paint_polygon(i) paints polygon i.
template <class PaintPolygon>
void paint_in_order(const imaging::Canvas &canvas, std::size_t polygons, const std::vector<Region> &regions,
                    const Placement &at, PaintPolygon &&paint_polygon) {
    std::size_t next = 0;
    for (const Region &r : regions) {
        const std::size_t upto =
            r.after < 0 ? 0 : static_cast<std::size_t>(r.after) < polygons ? static_cast<std::size_t>(r.after) : polygons;
        for (; next < upto; ++next) paint_polygon(next);
        paint(canvas, r, at);
    }
    for (; next < polygons; ++next) paint_polygon(next);
}

}  // namespace rle
