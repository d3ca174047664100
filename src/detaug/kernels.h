// Pixel work of the detection augmentation engine (internal to src/detaug).
// Each entry has an AVX2 path and a baseline (plain C++, which the compiler
// may vectorise with SSE2); `avx2` true runs the former (the caller has
// checked the CPU). Both give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "detaug/engine.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define DETAUG_X86 1
#define DETAUG_AVX2 __attribute__((target("avx2")))
#else
#define DETAUG_X86 0
#define DETAUG_AVX2
#endif

namespace trellisk {
namespace detaug {

// The pixels of one view (mosaic tiles, affine, flips through one inverse
// map, bilinear), prepared once and then produced row by row, so that
// mix-up and HSV can follow each row while it is in cache. A map that keeps
// the axes apart (no rotation, no shear) shares per-column tables between
// all rows and blends each needed source row pair once; any other map
// samples pixel by pixel. Both give the same bytes for the same map.
class ViewWarp {
public:
    ViewWarp(const Config &c, const View &v, const Group &g);
    // Output row y (W x 3 bytes) into dst.
    void row(int y, uint8_t *dst, bool avx2);

    struct Tiles {
        const uint8_t *src[4];
        int32_t ou[4], ov[4];  // tile origins in fixed point
        int32_t xc, yc;        // tile split in fixed point (INT32_MAX: one tile)
        int w, h;
        int32_t wmax, hmax;    // w and h in fixed point
    };

private:
    void separable_row(int y, uint8_t *dst, bool avx2);
    void general_row(int y, uint8_t *dst, bool avx2);
    // Pixels from x on while whole vector steps fit; x advances past them.
    // Tiled: the view has a mosaic split.
    template <bool Tiled>
    void general_avx2(int y, uint8_t *dst, int32_t bu, int32_t bv, int &x);

    int width_ = 0;
    bool blank_ = false, separable_ = false;
    double inv_[6] = {};
    Tiles t_{};
    std::vector<int32_t> du_, dv_;  // general: per-column steps of the source coordinates
    const uint8_t *images_ = nullptr;  // general, vector path: the group's bytes, their count,
    int64_t limit_ = 0;                // each tile's offset among them
    int32_t tile_off_[4] = {};
    bool gather_ = false;
    // Separable: per output column, the index of its first pair in pairs_
    // (one per channel, adjacent) and the two weights (low and high 16
    // bits); per side of the mosaic split, the range of pixel pairs the
    // columns read.
    std::vector<int32_t> off_, wts_;
    int lo_[2] = {0, 0}, hi_[2] = {-1, -1};  // empty when hi < lo
    std::vector<uint32_t> pairs_;   // both sides' (left, right) neighbour pairs, then the border pair
    // Separable, one tile, whole pixels: 1 when output column x is source
    // column copy_from_ + x, -1 when it is copy_from_ - x, else 0.
    int copy_step_ = 0, copy_from_ = 0;
};

// dst = dst * ratio + other * (1 - ratio), ratio in 1/256.
void blend(uint8_t *dst, const uint8_t *other, size_t n, double ratio, bool avx2);

// HSV gains (math in render.cpp), prepared once per call.
class HsvGains {
public:
    HsvGains(double hue, double sat, double val);
    // On n pixels in place.
    void apply(uint8_t *pixels, size_t n, bool avx2) const;

    int32_t sat_q;     // saturation gain in 1/16384
    int32_t shift_q;   // hue shift in 1/4096 sextant, in [-3, 3) sextants
    int32_t val_q;     // value gain in 1/32768
};

}  // namespace detaug
}  // namespace trellisk
