// Image resizing and letterboxing on raw uint8 buffers (no Python).
//
// resize_linear gives the pixels of OpenCV's bilinear resize of 8-bit images
// (cv2.resize with INTER_LINEAR, its default): the same source coordinates,
// the same 11-bit fixed-point weights and the same rounding, so the result is
// identical byte for byte. letterbox() is the package's letterbox(): the
// picture scaled by one ratio, rounded to whole pixels, centred on a grey
// canvas.
#pragma once

#include <cstddef>
#include <cstdint>

namespace imaging {

// An interleaved 8-bit image: `height` rows of `width` pixels of `channels`
// bytes, rows `stride` bytes apart.
struct View {
    std::uint8_t *data;
    int height, width, channels;
    std::ptrdiff_t stride;
};

struct ConstView {
    const std::uint8_t *data;
    int height, width, channels;
    std::ptrdiff_t stride;
};

// Resizes src into dst (same channel count, both sizes at least 1).
void resize_linear(const ConstView &src, const View &dst);

// Where the scaled picture lies in a letterboxed image, and the numbers that
// map normalised coordinates onto it: x_pixel = w * x + padw, likewise y.
struct Frame {
    int out_height, out_width;       // the output image
    int scaled_height, scaled_width; // the picture inside it
    int left, top;                   // its offset
    double w, h, padw, padh;         // ratio * source size, and the offsets
};

// Geometry of letterboxing a src_height x src_width image into target_height
// x target_width (all at least 1): ratio = min(th / h, tw / w), the scaled
// size rounded half to even (at least 1 pixel), centred with the smaller half
// of the padding on the top and left.
Frame letterbox_frame(int src_height, int src_width, int target_height, int target_width);

// Geometry of stretching to the target size: w, h the target size, no
// offsets.
Frame stretch_frame(int target_height, int target_width);

// Writes the letterboxed image (frame.out_height x frame.out_width) into dst:
// the source resized to the scaled size (copied when the size is unchanged)
// and the border filled with 114 in the first three channels, 0 in others.
void letterbox(const ConstView &src, const Frame &frame, const View &dst);

}  // namespace imaging
