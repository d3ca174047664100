// Augmentation engine: the segmentation training augmentation (flip or
// shift-scale-rotate, channel dropout, channel shuffle, defocus, elastic or
// piecewise-affine warp, random sized crop) on raw buffers, with no Python
// and no shared mutable state.
//
// Thread safety: a Config is immutable after make_config(); draw(), render()
// and apply() only read it and keep every per-call value on the caller's
// stack, so any number of threads may call them at once with one Config.
//
// Randomness: each call takes a 64-bit key and derives its own generator
// from it alone, so the same key and the same input always give the same
// output, whatever other threads do. Callers derive keys from their own
// seed and a call or element index (derive_key()).
//
// Buffers: images are uint8, height x width x 3, rows contiguous (RGB order is
// irrelevant, channels are treated alike); masks are int32, height x width,
// class ids copied exactly (never clipped, never interpolated).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace trellisk {
namespace augment {

// The piecewise-affine warp splits each cell of its 4 x 4 control grid into
// two triangles. Bit (row * 3 + col) set: the cell is split along its
// top-left to bottom-right diagonal; clear: along the other one.
using Diagonals = uint16_t;
constexpr Diagonals kDefaultDiagonals = 0x1ff;

struct Config {
    int height = 0;           // output size of the crop entry (the dataset shape)
    int width = 0;
    int crop_min = 0;         // crop heights are drawn in [crop_min, crop_max]
    int crop_max = 0;
    bool channel_ops = true;  // channel dropout and channel shuffle entries
    // Triangulation used for inputs of exactly height x width; other sizes
    // use kDefaultDiagonals unless the caller passes its own to draw(). The
    // library's triangulation depends on the size in no simple way: Python
    // callers get it from quorvane.trellisk.datasets.augment.grid_diagonals
    // (h, w) and pass it in; with another one the warp only matches in
    // distribution.
    Diagonals diagonals = kDefaultDiagonals;
};

// Config for the dataset shape (height, width): crop heights height / 5 to
// height / 2. Returns an empty string, or a message when a size is < 1.
std::string make_config(int height, int width, bool channel_ops, Diagonals diagonals, Config *out);

// Every parameter of one pass: which entries fire and with what values.
// Filled by draw(); tests and callers may also fill it by hand.
struct Plan {
    int in_h = 0, in_w = 0;    // input size
    int out_h = 0, out_w = 0;  // output size (the crop entry resizes)

    bool flip = false;  // horizontal flip

    bool ssr = false;  // shift-scale-rotate: Lanczos image, nearest mask
    double angle = 0, scale = 1, dx = 0, dy = 0;  // degrees, factor, fractions of w and h

    int drop_channel = -1;  // channel set to 0, or -1

    bool shuffle = false;   // channel shuffle: out[c] = in[perm[c]]
    int perm[3] = {0, 1, 2};

    bool defocus = false;  // blurred-disk convolution
    int radius = 3;
    double alias_blur = 0.1;

    bool elastic = false;  // affine step (nearest) and, on small inputs, a smoothed field
    double elastic_m[6] = {1, 0, 0, 0, 1, 0};  // forward 2 x 3 matrix (source -> destination)
    uint64_t field_key = 0;  // generator of the displacement field

    bool piecewise = false;    // piecewise-affine warp (nearest, fill 0)
    double pa_dst[16][2] = {};  // destination of each grid point (x, y), row-major over the grid
    Diagonals pa_diagonals = kDefaultDiagonals;

    bool crop = false;  // random sized crop, nearest resize to (out_h, out_w)
    int crop_h = 0, crop_w = 0;
    double h_start = 0, w_start = 0;  // in [0, 1)
};

// Draws the plan of one call for an input of in_h x in_w from `key`.
// `diagonals` < 0 selects the config's (for its own size) or the default.
// Returns an empty string, or what is wrong (sizes, crop larger than input).
std::string draw(const Config &config, uint64_t key, int in_h, int in_w, Plan *plan,
                 int diagonals = -1);

// Vector instructions render() may use: the best this CPU runs, or only
// the baseline (SSE2 on x86-64). Both give the same bytes; the choice is
// per call so that tests can hold one against the other.
enum class Simd { best, baseline };
// Whether Simd::best means AVX2 on this CPU.
bool avx2_available();

// Runs a plan. `image` is in_h x in_w x 3, `mask` in_h x in_w (may be null:
// no mask); out_image is out_h x out_w x 3 and out_mask out_h x out_w (null
// when mask is null). Inputs and outputs must not overlap. Returns an empty
// string or what is wrong with the plan.
std::string render(const Plan &plan, const uint8_t *image, const int32_t *mask, uint8_t *out_image,
                   int32_t *out_mask, Simd simd = Simd::best);

// draw() and render() into vectors: the stateless entry point for callers
// that do not need to allocate their outputs themselves.
struct Result {
    int height = 0, width = 0;
    std::vector<uint8_t> image;  // height x width x 3
    std::vector<int32_t> mask;   // height x width
};
std::string apply(const Config &config, uint64_t key, const uint8_t *image, int h, int w,
                  const int32_t *mask, Result *out);

// A well-mixed key from a seed and an index (for example: seed, epoch and
// element index folded in by calling it twice).
uint64_t derive_key(uint64_t seed, uint64_t index);

// Largest accepted side, and largest accepted pixel count of an input.
constexpr int kMaxSide = 32767;
constexpr int64_t kMaxPixels = int64_t(1) << 28;

}  // namespace augment
}  // namespace trellisk
