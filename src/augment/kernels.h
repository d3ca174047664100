// The entries of the engine, each on raw buffers (internal to src/augment).
// Images are h x w x 3 uint8, masks h x w int32; src and dst never overlap.
#pragma once

#include <cstdint>

#include "augment/engine.h"

namespace trellisk {
namespace augment {
namespace detail {

void flip(const uint8_t *src, const int32_t *mask, int h, int w, uint8_t *dst, int32_t *mask_dst);

// Inverse of a 2 x 3 forward matrix, computed as the affine warp does.
void invert_affine(const double m[6], double inv[6]);

// Affine warps with the destination -> source matrix `inv`, coordinates in
// the warp's fixed point (1/1024 pixel, then 1/32 for the Lanczos phase).
void warp_lanczos(const uint8_t *src, int h, int w, const double inv[6], uint8_t border,
                  uint8_t *dst);
void warp_nearest(const uint8_t *src, int h, int w, const double inv[6], uint8_t border,
                  uint8_t *dst);
void warp_nearest(const int32_t *src, int h, int w, const double inv[6], int32_t border,
                  int32_t *dst);

// The forward matrix mapping the three points `from` onto `to` (x, y).
void affine_from_points(const float from[3][2], const float to[3][2], double m[6]);

// Elastic displacement field (dx, dy) of an h x w input, smoothed with a
// Gaussian of sigma 50 (reflected borders), as float32 maps x + dx, y + dy.
void elastic_maps(uint64_t key, int h, int w, float *map_x, float *map_y);
template <class T>
void remap_nearest(const T *src, int h, int w, int cn, const float *map_x, const float *map_y,
                   T border, T *dst);

void piecewise(const uint8_t *src, const int32_t *mask, int h, int w, const double dst_pts[16][2],
               Diagonals diagonals, uint8_t *dst, int32_t *mask_dst);

void defocus(const uint8_t *src, int h, int w, int radius, double alias_blur, uint8_t *dst);

template <class T>
void crop_resize(const T *src, int h, int w, int cn, int y0, int x0, int ch, int cw, int oh,
                 int ow, T *dst);

}  // namespace detail
}  // namespace augment
}  // namespace trellisk
