// The entries of the engine, each on raw buffers (internal to src/augment).
// Images are h x w x 3 uint8, masks h x w int32; src and dst never overlap.
// Entries that have a vector path take `avx2`: true runs the AVX2 code (the
// caller has checked the CPU), false the baseline (SSE2 or plain C++). Both
// give the same bytes.
#pragma once

#include <cstdint>
#include <vector>

#include "augment/engine.h"

#if (defined(__x86_64__) || defined(__i386__)) && defined(__GNUC__)
#define TRELLISK_X86 1
#define TRELLISK_AVX2 __attribute__((target("avx2")))
#else
#define TRELLISK_X86 0
#define TRELLISK_AVX2
#endif

namespace trellisk {
namespace augment {
namespace detail {

// Whether this CPU runs AVX2 (asked once; the answer never changes).
bool cpu_has_avx2();

// The part of an entry's output that is needed: rows [y0, y1), columns
// [x0, x1). Entries that take one compute only that part (a crop that
// follows reads no more); the rest of their output is left as it was.
struct Region {
    int y0, y1, x0, x1;
};

void flip(const uint8_t *src, const int32_t *mask, int h, int w, uint8_t *dst, int32_t *mask_dst,
          const Region &r, bool avx2);

// Inverse of a 2 x 3 forward matrix, computed as the affine warp does.
void invert_affine(const double m[6], double inv[6]);

// Affine warps with the destination -> source matrix `inv`, coordinates in
// the warp's fixed point (1/1024 pixel, then 1/32 for the Lanczos phase).
// `planes` is scratch space the Lanczos warp may grow.
void warp_lanczos(const uint8_t *src, int h, int w, const double inv[6], uint8_t border, uint8_t *dst,
                  std::vector<int16_t> &planes, const Region &r, bool avx2);
// Image and mask (either may be null) through one coordinate computation.
void warp_nearest(const uint8_t *src, const int32_t *mask, int h, int w, const double inv[6], uint8_t border,
                  int32_t mask_border, uint8_t *dst, int32_t *mask_dst, const Region &r, bool avx2);

// The forward matrix mapping the three points `from` onto `to` (x, y).
void affine_from_points(const float from[3][2], const float to[3][2], double m[6]);

// Elastic displacement field (dx, dy) of an h x w input, smoothed with a
// Gaussian of sigma 50 (reflected borders), as float32 maps x + dx, y + dy.
void elastic_maps(uint64_t key, int h, int w, float *map_x, float *map_y);
template <class T>
void remap_nearest(const T *src, int h, int w, int cn, const float *map_x, const float *map_y,
                   T border, T *dst);

void piecewise(const uint8_t *src, const int32_t *mask, int h, int w, const double dst_pts[16][2],
               Diagonals diagonals, uint8_t *dst, int32_t *mask_dst, const Region &r, bool avx2);

// out[c] = pick[c] < 0 ? 0 : in[pick[c]], for n pixels.
void channels(const uint8_t *src, size_t n, const int pick[3], uint8_t *dst, bool avx2);

// Rows [y0, y1) of the blur; `pad` is scratch space it may grow.
void defocus(const uint8_t *src, int h, int w, int radius, double alias_blur, uint8_t *dst, int y0, int y1,
             std::vector<float> &pad, bool avx2);

// Crop (y0, x0, ch x cw) of image and mask (mask may be null), resized to
// oh x ow by nearest neighbour.
void crop_resize(const uint8_t *src, const int32_t *mask, int h, int w, int y0, int x0, int ch, int cw, int oh,
                 int ow, uint8_t *dst, int32_t *mask_dst, bool avx2);

}  // namespace detail
}  // namespace augment
}  // namespace trellisk
