// Detection boxes of one record, on plain floats (no Python, no TensorFlow).
//
// A record's "bboxes" holds kValues numbers per object: x-centre, y-centre,
// width and height as fractions of the image. The readers give one row of
// kColumns per object, [x1, y1, x2, y2, label]: for training in pixels of
// the output image through the letterbox or stretch frame, clipped to it;
// for validation as fractions of the stored image, clipped to [0, 1].
//
// The op computes the corners here. The extension module computes them with
// the utility module's xywhn2xyxy and np.clip (names a caller may rebind)
// and takes from here only the layout: values per box, which side bounds
// which column, the clip bounds.
#pragma once

#include <cmath>

namespace boxes {

constexpr int kValues = 4;   // per object in "bboxes"
constexpr int kColumns = 5;  // x1, y1, x2, y2, label
constexpr int kLabelColumn = 4;

// The image side that bounds each corner column (and, for validation,
// divides it).
enum class Side { width, height };
constexpr Side kSide[kValues] = {Side::width, Side::height, Side::width, Side::height};

// Corners are clipped from kLow up to the output side (training), or up to
// kHighFraction once divided by the stored side (validation).
constexpr int kLow = 0;
constexpr int kHighFraction = 1;

// Normalised x maps to w * x + padw, y to h * y + padh.
struct Frame {
    float w, h, padw, padh;
};

// Why the x-centre, y-centre, width, height of one record box cannot be
// trusted, or nullptr when it can. NaN or infinity survives clipping and
// reaches the loss; a negative width or height gives x1 > x2 (y1 > y2),
// which clipping keeps and the augmentation would silently reorder. Zero is
// a size (a box clipped to a border has it). Out-of-image values are not a
// fault here: they are clipped.
inline const char *problem(const float *xywh) {
    for (int k = 0; k < kValues; ++k)
        if (!std::isfinite(xywh[k])) return "non-finite box values (NaN or infinity)";
    if (xywh[2] < 0.f || xywh[3] < 0.f) return "a negative box width or height (an inverted box)";
    return nullptr;
}

inline float clip(float v, float lo, float hi) { return v < lo ? lo : (v > hi ? hi : v); }

inline float side(Side s, float width, float height) { return s == Side::width ? width : height; }

// The corners of one box: size * (centre -/+ extent / 2) + offset, in
// float32 arithmetic as on the record's float32 values.
inline void corners(const float *xywh, const Frame &f, float out[kValues]) {
    out[0] = f.w * (xywh[0] - xywh[2] / 2.f) + f.padw;
    out[1] = f.h * (xywh[1] - xywh[3] / 2.f) + f.padh;
    out[2] = f.w * (xywh[0] + xywh[2] / 2.f) + f.padw;
    out[3] = f.h * (xywh[1] + xywh[3] / 2.f) + f.padh;
}

// A training box in pixels of the width x height output image.
inline void training_box(const float *xywh, const Frame &f, float width, float height, float out[kValues]) {
    corners(xywh, f, out);
    for (int k = 0; k < kValues; ++k) out[k] = clip(out[k], float(kLow), side(kSide[k], width, height));
}

// A validation box as fractions of the stored width x height image.
inline void validation_box(const float *xywh, float width, float height, float out[kValues]) {
    corners(xywh, Frame{width, height, 0.f, 0.f}, out);
    for (int k = 0; k < kValues; ++k)
        out[k] = clip(out[k] / side(kSide[k], width, height), float(kLow), float(kHighFraction));
}

}  // namespace boxes
