// Pixel work of the detection augmentation engine (internal to src/detaug).
// Each entry has an AVX2 path and a baseline (plain C++, which the compiler
// may vectorise with SSE2); `avx2` true runs the former (the caller has
// checked the CPU). Both give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>

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

// The view's pixels (mosaic tiles, affine, flips through one inverse map,
// bilinear in 1/256 pixel) into dst, H x W x 3.
void warp_view(const Config &c, const View &v, const Group &g, uint8_t *dst, bool avx2);

// dst = dst * ratio + other * (1 - ratio), ratio in 1/256.
void blend(uint8_t *dst, const uint8_t *other, size_t n, double ratio, bool avx2);

// HSV gains on n pixels in place (math in render.cpp).
void hsv(uint8_t *pixels, size_t n, double hue, double sat, double val, bool avx2);

}  // namespace detaug
}  // namespace trellisk
