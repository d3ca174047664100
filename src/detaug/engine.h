// Detection augmentation engine: mosaic, mix-up, one affine warp (rotation,
// scale, translation, shear), HSV gains and flips on raw buffers, with the
// boxes carried through every geometric step. No Python, no shared mutable
// state.
//
// Thread safety: a Config is immutable after make_config(); draw(),
// render() and apply() only read it and keep every per-call value on the
// caller's stack, so any number of threads may use one Config at once.
//
// Randomness: each call takes a 64-bit key (call_key(seed, pass, index))
// and derives its own generator from it alone: the same config, group,
// main member and key give the same bytes on any thread.
//
// Buffers of one call (a GROUP of k >= 1 samples, all of the output size):
//   images  uint8   k x H x W x 3, contiguous, channels treated alike
//   boxes   float32 k x N x 5, rows [x1, y1, x2, y2, label] in pixels of
//           their image; rows at and beyond counts[j] are ignored, and so is
//           a row whose four coordinates are all 0 (the no-object row)
//   counts  int32   k, each in 0..N
//   outline_xy     float32 k x V x 2, optional: vertices (x, y) in pixels of
//                  their image
//   outline_parts  int32 k x P x 3, optional: one part (polygon) per row,
//                  (box row, first vertex, vertex count); a row with count 0
//                  is padding. A box with parts is an outlined object.
// Output: image uint8 H x W x 3 and boxes float32 M x 5 in output pixels;
// no box left gives exactly one row [0, 0, 0, 0, 0].
//
// Geometry: coordinates are continuous, pixel (i, j) covers [j, j + 1) x
// [i, i + 1) and is sampled at its centre. Every geometric step of an output
// is folded into one forward matrix (source -> output); pixels are fetched
// through its inverse with bilinear interpolation, and boxes are mapped
// through the matrix itself: an outlined object's box is the extent of its
// warped outline clipped to the picture (tight under rotation and shear),
// any other box encloses its four warped corners.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace trellisk {
namespace detaug {

// One value of the user's aug_cfg, as the front end found it.
struct Value {
    enum class Kind { none, boolean, number, list, other };
    Kind kind = Kind::none;
    std::vector<double> numbers;  // number: one; list: its items (all numbers)
    bool integral = false;        // number: given as an integer
    std::string type_name;        // other (or a list with a non-number): what it was
    static Value number(double v, bool integral = false) {
        Value x;
        x.kind = Kind::number;
        x.numbers = {v};
        x.integral = integral;
        return x;
    }
};
using Items = std::vector<std::pair<std::string, Value>>;

enum Technique { kMosaic, kMixup, kAffine, kHsv, kHflip, kVflip, kTechniques };

struct Config {
    int height = 0, width = 0;        // output size (and size of every input)
    double freq[kTechniques] = {};    // probability that a technique is applied
    double scale_lo = 0.5, scale_hi = 1.5;  // affine zoom factor range
    double translate = 0.1;           // affine shift: up to this fraction of the size
    double degrees = 0.0;             // affine rotation: uniform in [-degrees, degrees]
    double shear = 0.0;               // affine shear (degrees, each axis): [-shear, shear]
    double hsv_h = 0.015;             // hue shift: up to this fraction of the hue circle
    double hsv_s = 0.7;               // saturation gain in [1 - hsv_s, 1 + hsv_s]
    double hsv_v = 0.4;               // value gain in [1 - hsv_v, 1 + hsv_v]
    double mixup_alpha = 32.0;        // mix-up ratio ~ Beta(alpha, alpha)
    double min_box_size = 2.0;        // pixels, width and height after clipping
    double min_visibility = 0.1;      // visible fraction of the warped box
    double max_aspect_ratio = 20.0;   // max(w / h, h / w)
    int64_t mosaic_stop_pass = -1;    // mosaic off from this pass on; -1: never

    bool enabled() const;
    // Consecutive samples a caller should group: 4 when mosaic or mix-up
    // may need partners, else 1.
    int group_size() const;
};

// What each key means, its default and what it accepts (for documentation
// and error messages). The order is the documented one.
struct KeyInfo {
    const char *name;
    const char *meaning;
    const char *default_text;
};
const std::vector<KeyInfo> &keys();
// "mosaic", "mixup", ... comma separated, for messages.
std::string valid_keys_text();

// Builds and validates a config from (key, value) pairs for an output of
// height x width. Missing keys keep their defaults. Returns an empty string,
// or a message naming the offending key and listing the valid keys (unknown
// key, wrong type, NaN or infinity, value out of range, inverted range).
std::string make_config(const Items &items, int height, int width, Config *out);

// The config as one line of text, every setting included;
// parse_serialized() gives an equal Config back.
std::string serialize(const Config &config);
std::string parse_serialized(const std::string &text, Config *out);
// Every setting with its value, in key order (the size is not included).
Items settings(const Config &config);

// The geometry of one rendered output: which members fill it and the
// forward matrix (source -> output).
struct View {
    bool mosaic = false;
    int tiles = 1;         // 1, or 4 for a mosaic
    int member[4] = {0, 0, 0, 0};  // group member of each tile
    int ox[4] = {0, 0, 0, 0}, oy[4] = {0, 0, 0, 0};  // tile origins on the canvas
    int xc = 0, yc = 0;    // mosaic centre on the 2W x 2H canvas
    bool affine = false;
    double angle = 0, scale = 1, shear_x = 0, shear_y = 0, tx = 0, ty = 0;  // tx, ty: output pixels
    bool hflip = false, vflip = false;
    double m[6] = {1, 0, 0, 0, 1, 0};  // forward matrix, x' = m0 x + m1 y + m2, y' = m3 x + m4 y + m5
};

struct Plan {
    int height = 0, width = 0, group = 0;
    View first;
    bool mixup = false;
    View second;          // the mix-up partner's own output
    double ratio = 1.0;   // first * ratio + second * (1 - ratio)
    bool hsv = false;
    double hue = 0, sat = 1, val = 1;  // hue shift (fraction of the circle), gains
};

// Keys of one call from the caller's seed, the pass number and the element
// index.
uint64_t call_key(uint64_t seed, uint64_t pass, uint64_t index);

// Draws the plan of one call for a group of `group` samples built around
// member `main` in pass `pass` (mosaic stops from mosaic_stop_pass on).
std::string draw(const Config &config, uint64_t key, int group, int main, int64_t pass, Plan *plan);

enum class Simd { best, baseline };
bool avx2_available();

struct Group {
    const uint8_t *images = nullptr;  // k x H x W x 3
    const float *boxes = nullptr;     // k x N x 5
    const int32_t *counts = nullptr;  // k
    int k = 0;
    int n = 0;  // box rows per member
    const float *outline_xy = nullptr;       // k x v x 2, or null
    const int32_t *outline_parts = nullptr;  // k x p x 3, or null
    int v = 0;  // outline vertex rows per member
    int p = 0;  // outline part rows per member
};

// Checks a group against a config: sizes, counts, finite box values; parts
// that name a box row in 0..counts - 1 and vertex rows inside 0..v, finite
// vertices.
std::string check(const Config &config, const Group &group);

// Renders the plan's pixels into out_image (H x W x 3) and appends the boxes
// that survive the box rules to out_boxes (M x 5 floats, at least the
// no-object row). The group must have passed check().
std::string render(const Config &config, const Plan &plan, const Group &group, uint8_t *out_image,
                   std::vector<float> *out_boxes, Simd simd = Simd::best);

// The boxes of one view alone (the part of render() that maps boxes), before
// the no-object row is added: tests and callers that need no pixels.
void map_boxes(const Config &config, const View &view, const Group &group, std::vector<float> *out);

// Largest accepted side, group and box rows.
constexpr int kMaxSide = 16384;
constexpr int kMaxGroup = 1024;
constexpr int kMaxBoxes = 1 << 20;
constexpr int kMaxVertices = 1 << 24;
// Grey of the area no source covers.
constexpr uint8_t kBorder = 114;

}  // namespace detaug
}  // namespace trellisk
