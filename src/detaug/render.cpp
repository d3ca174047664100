// Pixel work of the detection augmentation engine: the warp of one view,
// the mix-up blend and the HSV gains. Every value is computed the same way
// by the baseline and the AVX2 code (integer arithmetic, or single-precision
// IEEE operations in the same order, no fused multiply-add), so both give
// the same bytes.
#include <algorithm>
#include <climits>
#include <cmath>
#include <vector>

#include "detaug/kernels.h"

#if DETAUG_X86
#include <immintrin.h>
#endif

namespace trellisk {
namespace detaug {

namespace {

constexpr int kBits = 8;  // sub-pixel bits of source coordinates and weights
constexpr int kOne = 1 << kBits;
constexpr int kHalf = kOne / 2;
constexpr double kLimit = double(1 << 29);  // coordinates beyond are outside any source

inline int32_t fixed(double v) { return int32_t(std::lrint(std::clamp(v * kOne, -kLimit, kLimit))); }

// What one row of the warp needs: the tiles and the per-column steps.
struct Tiles {
    const uint8_t *src[4];
    int32_t ou[4], ov[4];  // tile origins in fixed point
    int32_t xc, yc;        // tile split in fixed point (INT_MAX: one tile)
    int w, h;
    int32_t wmax, hmax;  // w * kOne, h * kOne
};

// Pixel at source coordinates (U, V) (fixed point, continuous) into out[0..2].
inline void sample(const Tiles &t, int32_t U, int32_t V, uint8_t *out) {
    const int k = int(U >= t.xc) | (int(V >= t.yc) << 1);
    const int32_t lu = U - t.ou[k], lv = V - t.ov[k];
    if (uint32_t(lu) >= uint32_t(t.wmax) || uint32_t(lv) >= uint32_t(t.hmax)) {
        out[0] = out[1] = out[2] = kBorder;
        return;
    }
    // Neighbours beyond the picture's edge repeat the edge.
    const int32_t sx = lu - kHalf, sy = lv - kHalf;
    const int x0 = sx >> kBits, y0 = sy >> kBits;
    const int fx = sx & (kOne - 1), fy = sy & (kOne - 1);
    const int xa = std::max(x0, 0), xb = std::min(x0 + 1, t.w - 1);
    const int ya = std::max(y0, 0), yb = std::min(y0 + 1, t.h - 1);
    const uint8_t *ra = t.src[k] + size_t(ya) * t.w * 3, *rb = t.src[k] + size_t(yb) * t.w * 3;
    for (int c = 0; c < 3; ++c) {
        const int a = ra[xa * 3 + c] * (kOne - fx) + ra[xb * 3 + c] * fx;
        const int b = rb[xa * 3 + c] * (kOne - fx) + rb[xb * 3 + c] * fx;
        out[c] = uint8_t((a * (kOne - fy) + b * fy + (1 << (2 * kBits - 1))) >> (2 * kBits));
    }
}

void warp_row_baseline(const Tiles &t, const int32_t *du, const int32_t *dv, int32_t bu, int32_t bv, int x0, int x1,
                       uint8_t *out) {
    for (int x = x0; x < x1; ++x) sample(t, bu + du[x], bv + dv[x], out + size_t(x) * 3);
}

// Inverse of a forward 2 x 3 matrix; false when it is singular.
bool invert(const double m[6], double inv[6]) {
    const double det = m[0] * m[4] - m[1] * m[3];
    if (!(std::fabs(det) > 1e-12) || !std::isfinite(det)) return false;
    const double a = m[4] / det, b = -m[1] / det, d = -m[3] / det, e = m[0] / det;
    inv[0] = a, inv[1] = b, inv[2] = -(a * m[2] + b * m[5]);
    inv[3] = d, inv[4] = e, inv[5] = -(d * m[2] + e * m[5]);
    return true;
}

}  // namespace

void warp_view(const Config &c, const View &v, const Group &g, uint8_t *dst, bool avx2) {
    const int W = c.width, H = c.height;
    double inv[6];
    if (!invert(v.m, inv)) {
        std::fill(dst, dst + size_t(W) * H * 3, kBorder);
        return;
    }
    Tiles t;
    t.w = W, t.h = H, t.wmax = W * kOne, t.hmax = H * kOne;
    for (int k = 0; k < 4; ++k) {
        const int tile = v.tiles == 4 ? k : 0;
        t.src[k] = g.images + size_t(v.member[tile]) * W * H * 3;
        t.ou[k] = v.ox[tile] * kOne;
        t.ov[k] = v.oy[tile] * kOne;
    }
    t.xc = v.tiles == 4 ? v.xc * kOne : INT32_MAX;
    t.yc = v.tiles == 4 ? v.yc * kOne : INT32_MAX;
    std::vector<int32_t> du(W), dv(W);
    for (int x = 0; x < W; ++x) du[x] = fixed(inv[0] * (x + 0.5)), dv[x] = fixed(inv[3] * (x + 0.5));
    (void)avx2;
    for (int y = 0; y < H; ++y) {
        const int32_t bu = fixed(inv[1] * (y + 0.5) + inv[2]), bv = fixed(inv[4] * (y + 0.5) + inv[5]);
        warp_row_baseline(t, du.data(), dv.data(), bu, bv, 0, W, dst + size_t(y) * W * 3);
    }
}

void blend(uint8_t *dst, const uint8_t *other, size_t n, double ratio, bool avx2) {
    (void)avx2;
    const int w = int(std::lrint(std::clamp(ratio, 0.0, 1.0) * kOne));
    for (size_t i = 0; i < n; ++i) dst[i] = uint8_t((dst[i] * w + other[i] * (kOne - w) + kHalf) >> kBits);
}

// HSV gains, per pixel (r, g, b in 0..255):
//   V = max, C = max - min, hue h in [0, 6) by the usual hexagon
//   (r max: (g - b) / C; g max: 2 + (b - r) / C; b max: 4 + (r - g) / C);
//   V' = round(V * val) clipped to 255 (a table),
//   C' = min(V', C * sat * V' / V)     (saturation C / V times sat, at most 1),
//   h' = h + 6 * hue, wrapped into [0, 6),
//   then back: max V', min V' - C', middle channel min + C' * f or
//   min + C' * (1 - f) by sextant (f the fraction of h'), each rounded to
//   nearest (ties to even). Grey pixels (C = 0) get V' in all channels.
// Single precision throughout, in this order.
void hsv(uint8_t *px, size_t n, double hue, double sat, double val, bool avx2) {
    (void)avx2;
    uint8_t lut[256];
    for (int i = 0; i < 256; ++i) lut[i] = uint8_t(std::clamp(std::lrint(i * val), 0L, 255L));
    const float shift = float(6 * hue), gs = float(sat);
    for (size_t i = 0; i < n; ++i) {
        uint8_t *p = px + i * 3;
        const int r = p[0], g = p[1], b = p[2];
        const int V = std::max(r, std::max(g, b)), mn = std::min(r, std::min(g, b)), C = V - mn;
        const int Vn = lut[V];
        if (C == 0) {
            p[0] = p[1] = p[2] = uint8_t(Vn);
            continue;
        }
        const float fC = float(C), fV = float(V), fVn = float(Vn);
        float h = V == r ? float(g - b) / fC : V == g ? 2.0f + float(b - r) / fC : 4.0f + float(r - g) / fC;
        h = h + shift;
        if (h < 0.0f) h = h + 6.0f;
        if (h >= 6.0f) h = h - 6.0f;
        float cn = fC * gs * fVn / fV;
        cn = std::min(cn, fVn);
        const float lo = fVn - cn;
        const int sector = std::min(int(h), 5);
        const float f = h - float(sector);
        const float up = lo + cn * f, down = lo + cn * (1.0f - f);
        float rr, gg, bb;
        switch (sector) {
            case 0: rr = fVn, gg = up, bb = lo; break;
            case 1: rr = down, gg = fVn, bb = lo; break;
            case 2: rr = lo, gg = fVn, bb = up; break;
            case 3: rr = lo, gg = down, bb = fVn; break;
            case 4: rr = up, gg = lo, bb = fVn; break;
            default: rr = fVn, gg = lo, bb = down; break;
        }
        p[0] = uint8_t(std::clamp(std::lrint(rr), 0L, 255L));
        p[1] = uint8_t(std::clamp(std::lrint(gg), 0L, 255L));
        p[2] = uint8_t(std::clamp(std::lrint(bb), 0L, 255L));
    }
}

}  // namespace detaug
}  // namespace trellisk
