// Pixel work of the detection augmentation engine: the warp of one view,
// the mix-up blend and the HSV gains. Every value is computed the same way
// by the baseline and the AVX2 code (integer arithmetic, or single-precision
// IEEE operations in the same order, no fused multiply-add), so both give
// the same bytes.
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "detaug/kernels.h"

#if DETAUG_X86
#include <immintrin.h>
#endif

namespace trellisk {
namespace detaug {

namespace {

constexpr int kBits = 8;  // sub-pixel bits of source coordinates
constexpr int kOne = 1 << kBits;
constexpr int kHalf = kOne / 2;
// Bits of each bilinear weight: a vertically blended value (at most
// 255 * 128) stays a signed 16-bit number, so the horizontal step is one
// multiply-add of 16-bit pairs.
constexpr int kWBits = 7;
constexpr int kWOne = 1 << kWBits;
constexpr int kShift = 2 * kWBits;
constexpr int kRound = 1 << (kShift - 1);
constexpr double kLimit = double(1 << 29);  // coordinates beyond are outside any source

inline int32_t fixed(double v) { return int32_t(std::lrint(std::clamp(v * kOne, -kLimit, kLimit))); }
inline int weight(int32_t s) { return (s & (kOne - 1)) >> (kBits - kWBits); }

using Tiles = ViewWarp::Tiles;

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
    const int fx = weight(sx), fy = weight(sy);
    const int xa = std::max(x0, 0) * 3, xb = std::min(x0 + 1, t.w - 1) * 3;
    const int ya = std::max(y0, 0), yb = std::min(y0 + 1, t.h - 1);
    const uint8_t *ra = t.src[k] + size_t(ya) * t.w * 3, *rb = t.src[k] + size_t(yb) * t.w * 3;
    for (int c = 0; c < 3; ++c) {
        const int a = ra[xa + c] * (kWOne - fy) + rb[xa + c] * fy;
        const int b = ra[xb + c] * (kWOne - fy) + rb[xb + c] * fy;
        out[c] = uint8_t((a * (kWOne - fx) + b * fx + kRound) >> kShift);
    }
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

// Vertical step of the separable warp, straight into the horizontal
// step's pairs: out[i] holds byte i of the two source rows blended with
// weights (kWOne - fy, fy), beside byte i + 3 (the pixel to its right).
inline void pairs_body(const uint8_t *__restrict a, const uint8_t *__restrict b, int fy, uint32_t *__restrict out,
                       int n) {
    const uint32_t wa = uint32_t(kWOne - fy), wb = uint32_t(fy);
    for (int i = 0; i < n; ++i) out[i] = (a[i] * wa + b[i] * wb) | (a[i + 3] * wa + b[i + 3] * wb) << 16;
}
void pairs_baseline(const uint8_t *a, const uint8_t *b, int fy, uint32_t *out, int n) { pairs_body(a, b, fy, out, n); }
inline uint8_t horizontal(uint32_t pair, int32_t w) {
    const int32_t acc = int32_t(pair & 0xffff) * (w & 0xffff) + int32_t(pair >> 16) * (w >> 16);
    return uint8_t((acc + kRound) >> kShift);
}
// Output pixel x: the three pairs from off[x] on, weights w[x].
void horizontal_baseline(const uint32_t *pairs, const int32_t *off, const int32_t *wts, uint8_t *dst, int n) {
    for (int x = 0; x < n; ++x)
        for (int c = 0; c < 3; ++c) dst[x * 3 + c] = horizontal(pairs[off[x] + c], wts[x]);
}
#if DETAUG_X86
DETAUG_AVX2 void pairs_avx2(const uint8_t *a, const uint8_t *b, int fy, uint32_t *out, int n) {
    pairs_body(a, b, fy, out, n);
}

// Pixels x and x + 4 as 32-bit values (three channels and one left over
// per 128-bit lane): each pixel's pairs are adjacent, so one plain load each.
DETAUG_AVX2 inline __m256i horizontal2(const uint32_t *pairs, const int32_t *off, const int32_t *wts, int x) {
    const __m256i p = _mm256_inserti128_si256(
        _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(pairs + off[x]))),
        _mm_loadu_si128(reinterpret_cast<const __m128i *>(pairs + off[x + 4])), 1);
    const __m256i w = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi32(wts[x])), _mm_set1_epi32(wts[x + 4]), 1);
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_madd_epi16(p, w), _mm256_set1_epi32(kRound)), kShift);
}

DETAUG_AVX2 void horizontal_avx2(const uint32_t *pairs, const int32_t *off, const int32_t *wts, uint8_t *dst, int n) {
    // Per lane after the packs: four pixels of four bytes; keep three of each.
    const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                             0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    int x = 0;
    // Each step stores 28 bytes from dst + 3x (the last 4 rewritten by the next step).
    for (; (x + 8) * 3 + 4 <= n * 3; x += 8) {
        const __m256i a = horizontal2(pairs, off, wts, x), b = horizontal2(pairs, off, wts, x + 1);
        const __m256i c = horizontal2(pairs, off, wts, x + 2), d = horizontal2(pairs, off, wts, x + 3);
        const __m256i bytes = _mm256_shuffle_epi8(
            _mm256_packus_epi16(_mm256_packs_epi32(a, b), _mm256_packs_epi32(c, d)), squeeze);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x * 3), _mm256_castsi256_si128(bytes));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x * 3 + 12), _mm256_extracti128_si256(bytes, 1));
    }
    horizontal_baseline(pairs, off + x, wts + x, dst + x * 3, n - x);
}
#endif

}  // namespace

ViewWarp::ViewWarp(const Config &c, const View &v, const Group &g) : width_(c.width) {
    const int W = c.width, H = c.height;
    if (!invert(v.m, inv_)) {
        blank_ = true;
        return;
    }
    Tiles &t = t_;
    t.w = W, t.h = H, t.wmax = W * kOne, t.hmax = H * kOne;
    for (int k = 0; k < 4; ++k) {
        const int tile = v.tiles == 4 ? k : 0;
        t.src[k] = g.images + size_t(v.member[tile]) * W * H * 3;
        t.ou[k] = v.ox[tile] * kOne;
        t.ov[k] = v.oy[tile] * kOne;
    }
    t.xc = v.tiles == 4 ? v.xc * kOne : INT32_MAX;
    t.yc = v.tiles == 4 ? v.yc * kOne : INT32_MAX;
    lo_[0] = lo_[1] = W, hi_[0] = hi_[1] = -2;  // no column reads either side yet
    du_.resize(W), dv_.resize(W);
    for (int x = 0; x < W; ++x) du_[x] = fixed(inv_[0] * (x + 0.5)), dv_[x] = fixed(inv_[3] * (x + 0.5));
    separable_ = inv_[1] == 0 && inv_[3] == 0;
    if (!separable_) {
        // The vector path reads with 32-bit offsets from the group's first
        // byte, four bytes at a time.
        images_ = g.images;
        limit_ = int64_t(g.k) * W * H * 3;
        gather_ = limit_ >= 4 && limit_ <= INT32_MAX;
        for (int k = 0; k < 4 && gather_; ++k) tile_off_[k] = int32_t(t.src[k] - g.images);
        return;
    }

    // The source column of every output column is the same on every row.
    // Side s of the split (left or right tiles) keeps its pairs at
    // s * side; the border pair comes last.
    const int side = (W + 1) * 3;
    const int32_t bu = fixed(inv_[2]);
    off_.resize(W), wts_.resize(W);
    for (int x = 0; x < W; ++x) {
        const int32_t U = bu + du_[x];
        const int kx = int(U >= t.xc);
        const int32_t lu = U - t.ou[kx];
        int32_t o = 2 * side, w = kWOne;  // outside every tile: the border pairs
        if (uint32_t(lu) < uint32_t(t.wmax)) {
            const int32_t sx = lu - kHalf;
            const int x0 = sx >> kBits, fx = weight(sx);  // x0 in -1..W-1
            o = kx * side + (x0 + 1) * 3;
            w = (kWOne - fx) | (fx << 16);
            lo_[kx] = std::min(lo_[kx], x0);
            hi_[kx] = std::max(hi_[kx], x0);
        }
        off_[x] = o, wts_[x] = w;
    }
    // The border's three pairs, and one more value that the vector loads read past a pixel.
    pairs_.assign(size_t(side) * 2 + 4, 0);
    std::fill(pairs_.begin() + 2 * side, pairs_.begin() + 2 * side + 3, uint32_t(kBorder * kWOne) * 0x10001u);
}

void ViewWarp::row(int y, uint8_t *dst, bool avx2) {
    if (blank_) {
        std::memset(dst, kBorder, size_t(width_) * 3);
    } else if (separable_) {
        separable_row(y, dst, avx2);
    } else {
        general_row(y, dst, avx2);
    }
}

void ViewWarp::separable_row(int y, uint8_t *dst, bool avx2) {
    const Tiles &t = t_;
    const int W = t.w, side = (W + 1) * 3;
    const int32_t V = fixed(inv_[4] * (y + 0.5) + inv_[5]);
    const int ky = int(V >= t.yc);
    const int32_t lv = V - t.ov[ky * 2];
    if (uint32_t(lv) >= uint32_t(t.hmax)) {
        std::memset(dst, kBorder, size_t(W) * 3);
        return;
    }
    const int32_t sy = lv - kHalf;
    const int y0 = sy >> kBits, fy = weight(sy);
    const int ya = std::max(y0, 0), yb = std::min(y0 + 1, t.h - 1);
    const uint32_t wa = uint32_t(kWOne - fy), wb = uint32_t(fy);
    for (int s = 0; s < 2; ++s) {
        if (hi_[s] < lo_[s]) continue;
        const uint8_t *src = t.src[ky * 2 + s];
        const uint8_t *ra = src + size_t(ya) * W * 3, *rb = src + size_t(yb) * W * 3;
        uint32_t *pairs = pairs_.data() + size_t(s) * side;  // pairs[(p + 1) * 3 + c]: pixels p and p + 1
        // The pairs inside the picture; at its edges a pixel pairs with itself.
        const int a = std::max(lo_[s], 0), b = std::min(hi_[s], W - 2);
        if (a <= b) {
#if DETAUG_X86
            if (avx2)
                pairs_avx2(ra + a * 3, rb + a * 3, fy, pairs + (a + 1) * 3, (b - a + 1) * 3);
            else
#endif
                pairs_baseline(ra + a * 3, rb + a * 3, fy, pairs + (a + 1) * 3, (b - a + 1) * 3);
        }
        for (int c = 0; c < 3; ++c) {
            if (lo_[s] < 0) pairs[c] = (ra[c] * wa + rb[c] * wb) * 0x10001u;
            const int e = (W - 1) * 3 + c;
            if (hi_[s] >= W - 1) pairs[W * 3 + c] = (ra[e] * wa + rb[e] * wb) * 0x10001u;
        }
    }
#if DETAUG_X86
    if (avx2) return horizontal_avx2(pairs_.data(), off_.data(), wts_.data(), dst, W);
#endif
    horizontal_baseline(pairs_.data(), off_.data(), wts_.data(), dst, W);
}

#if DETAUG_X86
namespace {

// Per pixel (dword i of `w`) the weight pair, as four 16-bit pairs per
// 128-bit lane for pixels i and i + 4.
template <int I>
DETAUG_AVX2 inline __m256i spread(__m256i w) {
    return _mm256_shuffle_epi32(w, I * 0x55);
}

// Bytes (c0, c1, c2, -) of two neighbours blended per channel with the
// pixel's weight pairs: pixels (0|4), (1|5), (2|6), (3|7) in out[0..3].
DETAUG_AVX2 inline void blend4(__m256i p, __m256i q, __m256i w, __m256i out[4]) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i plo = _mm256_unpacklo_epi8(p, zero), qlo = _mm256_unpacklo_epi8(q, zero);
    const __m256i phi = _mm256_unpackhi_epi8(p, zero), qhi = _mm256_unpackhi_epi8(q, zero);
    out[0] = _mm256_madd_epi16(_mm256_unpacklo_epi16(plo, qlo), spread<0>(w));
    out[1] = _mm256_madd_epi16(_mm256_unpackhi_epi16(plo, qlo), spread<1>(w));
    out[2] = _mm256_madd_epi16(_mm256_unpacklo_epi16(phi, qhi), spread<2>(w));
    out[3] = _mm256_madd_epi16(_mm256_unpackhi_epi16(phi, qhi), spread<3>(w));
}

// Four bytes at base + off (off <= last, the last byte offset that may
// start a 4-byte read), shifted so that byte off comes first.
DETAUG_AVX2 inline __m256i fetch(const uint8_t *base, __m256i off, __m256i last) {
    const __m256i at = _mm256_min_epi32(off, last);
    const __m256i v = _mm256_i32gather_epi32(reinterpret_cast<const int *>(base), at, 1);
    return _mm256_srlv_epi32(v, _mm256_slli_epi32(_mm256_sub_epi32(off, at), 3));
}

}  // namespace

// Eight pixels per step, the baseline's sample() lane by lane: tile by
// the split, border outside, edge neighbours repeated, four gathers.
DETAUG_AVX2 void ViewWarp::general_avx2(int y, uint8_t *dst, int32_t bu, int32_t bv, int &x) {
    const Tiles &t = t_;
    const int W = t.w;
    const __m256i ou = _mm256_setr_epi32(t.ou[0], t.ou[1], t.ou[2], t.ou[3], 0, 0, 0, 0);
    const __m256i ov = _mm256_setr_epi32(t.ov[0], t.ov[1], t.ov[2], t.ov[3], 0, 0, 0, 0);
    const __m256i base = _mm256_setr_epi32(tile_off_[0], tile_off_[1], tile_off_[2], tile_off_[3], 0, 0, 0, 0);
    const __m256i xc1 = _mm256_set1_epi32(t.xc == INT32_MAX ? INT32_MAX : t.xc - 1);
    const __m256i yc1 = _mm256_set1_epi32(t.yc == INT32_MAX ? INT32_MAX : t.yc - 1);
    const __m256i one = _mm256_set1_epi32(1), two = _mm256_set1_epi32(2), zero = _mm256_setzero_si256();
    const __m256i wmax = _mm256_set1_epi32(t.wmax), hmax = _mm256_set1_epi32(t.hmax), minus = _mm256_set1_epi32(-1);
    const __m256i half = _mm256_set1_epi32(kHalf), frac = _mm256_set1_epi32(kOne - 1), wone = _mm256_set1_epi32(kWOne);
    const __m256i wlast = _mm256_set1_epi32(W - 1), hlast = _mm256_set1_epi32(t.h - 1), row = _mm256_set1_epi32(W * 3);
    const __m256i last = _mm256_set1_epi32(int32_t(limit_ - 4)), round = _mm256_set1_epi32(kRound);
    const __m256i border = _mm256_set1_epi8(char(kBorder));
    const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                             0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    const __m256i vbu = _mm256_set1_epi32(bu), vbv = _mm256_set1_epi32(bv);
    (void)y;
    for (; (x + 8) * 3 + 4 <= W * 3; x += 8) {
        const __m256i U = _mm256_add_epi32(vbu, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(du_.data() + x)));
        const __m256i V = _mm256_add_epi32(vbv, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(dv_.data() + x)));
        const __m256i k = _mm256_or_si256(_mm256_and_si256(_mm256_cmpgt_epi32(U, xc1), one),
                                          _mm256_and_si256(_mm256_cmpgt_epi32(V, yc1), two));
        const __m256i lu = _mm256_sub_epi32(U, _mm256_permutevar8x32_epi32(ou, k));
        const __m256i lv = _mm256_sub_epi32(V, _mm256_permutevar8x32_epi32(ov, k));
        const __m256i inside = _mm256_and_si256(
            _mm256_and_si256(_mm256_cmpgt_epi32(lu, minus), _mm256_cmpgt_epi32(wmax, lu)),
            _mm256_and_si256(_mm256_cmpgt_epi32(lv, minus), _mm256_cmpgt_epi32(hmax, lv)));
        const __m256i sx = _mm256_sub_epi32(lu, half), sy = _mm256_sub_epi32(lv, half);
        const __m256i x0 = _mm256_srai_epi32(sx, kBits), y0 = _mm256_srai_epi32(sy, kBits);
        const __m256i fx = _mm256_srli_epi32(_mm256_and_si256(sx, frac), kBits - kWBits);
        const __m256i fy = _mm256_srli_epi32(_mm256_and_si256(sy, frac), kBits - kWBits);
        const __m256i xa = _mm256_max_epi32(x0, zero), xb = _mm256_min_epi32(_mm256_add_epi32(x0, one), wlast);
        const __m256i ya = _mm256_max_epi32(y0, zero), yb = _mm256_min_epi32(_mm256_add_epi32(y0, one), hlast);
        const __m256i tile = _mm256_permutevar8x32_epi32(base, k);
        // Offsets of pixels outside every tile are garbage: read at 0 instead.
        const __m256i ra = _mm256_and_si256(_mm256_add_epi32(tile, _mm256_mullo_epi32(ya, row)), inside);
        const __m256i rb = _mm256_and_si256(_mm256_add_epi32(tile, _mm256_mullo_epi32(yb, row)), inside);
        const __m256i ca = _mm256_and_si256(_mm256_add_epi32(xa, _mm256_add_epi32(xa, xa)), inside);
        const __m256i cb = _mm256_and_si256(_mm256_add_epi32(xb, _mm256_add_epi32(xb, xb)), inside);
        const uint8_t *src = images_;
        const __m256i aa = fetch(src, _mm256_add_epi32(ra, ca), last), ab = fetch(src, _mm256_add_epi32(ra, cb), last);
        const __m256i ba = fetch(src, _mm256_add_epi32(rb, ca), last), bb = fetch(src, _mm256_add_epi32(rb, cb), last);
        const __m256i wy = _mm256_or_si256(_mm256_sub_epi32(wone, fy), _mm256_slli_epi32(fy, 16));
        const __m256i wx = _mm256_or_si256(_mm256_sub_epi32(wone, fx), _mm256_slli_epi32(fx, 16));
        __m256i va[4], vb[4], r[4];
        blend4(aa, ba, wy, va);
        blend4(ab, bb, wy, vb);
        r[0] = _mm256_madd_epi16(_mm256_or_si256(va[0], _mm256_slli_epi32(vb[0], 16)), spread<0>(wx));
        r[1] = _mm256_madd_epi16(_mm256_or_si256(va[1], _mm256_slli_epi32(vb[1], 16)), spread<1>(wx));
        r[2] = _mm256_madd_epi16(_mm256_or_si256(va[2], _mm256_slli_epi32(vb[2], 16)), spread<2>(wx));
        r[3] = _mm256_madd_epi16(_mm256_or_si256(va[3], _mm256_slli_epi32(vb[3], 16)), spread<3>(wx));
        for (int i = 0; i < 4; ++i) r[i] = _mm256_srai_epi32(_mm256_add_epi32(r[i], round), kShift);
        // Dword i of the packed bytes is pixel i again, as in `inside`.
        __m256i bytes = _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), _mm256_packs_epi32(r[2], r[3]));
        bytes = _mm256_shuffle_epi8(_mm256_blendv_epi8(border, bytes, inside), squeeze);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x * 3), _mm256_castsi256_si128(bytes));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + x * 3 + 12), _mm256_extracti128_si256(bytes, 1));
    }
}
#endif

void ViewWarp::general_row(int y, uint8_t *dst, bool avx2) {
    const int32_t bu = fixed(inv_[1] * (y + 0.5) + inv_[2]), bv = fixed(inv_[4] * (y + 0.5) + inv_[5]);
    int x = 0;
#if DETAUG_X86
    if (avx2 && gather_) general_avx2(y, dst, bu, bv, x);
#endif
    (void)avx2;
    for (; x < t_.w; ++x) sample(t_, bu + du_[x], bv + dv_[x], dst + size_t(x) * 3);
}

namespace {

inline void blend_body(uint8_t *__restrict dst, const uint8_t *__restrict other, size_t n, int w) {
    const uint16_t wa = uint16_t(w), wb = uint16_t(kOne - w);
    for (size_t i = 0; i < n; ++i) dst[i] = uint8_t(uint16_t(dst[i] * wa + other[i] * wb + kHalf) >> kBits);
}
void blend_baseline(uint8_t *dst, const uint8_t *other, size_t n, int w) { blend_body(dst, other, n, w); }
#if DETAUG_X86
DETAUG_AVX2 void blend_avx2(uint8_t *dst, const uint8_t *other, size_t n, int w) { blend_body(dst, other, n, w); }
#endif

}  // namespace

void blend(uint8_t *dst, const uint8_t *other, size_t n, double ratio, bool avx2) {
    const int w = int(std::lrint(std::clamp(ratio, 0.0, 1.0) * kOne));
#if DETAUG_X86
    if (avx2) return blend_avx2(dst, other, n, w);
#endif
    (void)avx2;
    blend_baseline(dst, other, n, w);
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
HsvGains::HsvGains(double hue, double s, double v) : shift(float(6 * hue)), sat(float(s)), val(float(v)) {
    for (int i = 0; i < 256; ++i) lut[i] = uint8_t(std::clamp(std::lrint(float(i) * val), 0L, 255L));
}

namespace {

void hsv_baseline(const HsvGains &k, uint8_t *px, size_t n) {
    const float shift = k.shift, gs = k.sat;
    for (size_t i = 0; i < n; ++i) {
        uint8_t *p = px + i * 3;
        const int r = p[0], g = p[1], b = p[2];
        const int V = std::max(r, std::max(g, b)), mn = std::min(r, std::min(g, b)), C = V - mn;
        const int Vn = k.lut[V];
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

#if DETAUG_X86
// Rounded to nearest (ties to even, as lrint) and clipped to 0..255.
DETAUG_AVX2 inline __m256i to_byte(__m256 v) {
    return _mm256_min_epi32(_mm256_max_epi32(_mm256_cvtps_epi32(v), _mm256_setzero_si256()), _mm256_set1_epi32(255));
}

// Eight pixels at a time, the baseline's operations lane by lane; V' from
// the same float product the table holds.
DETAUG_AVX2 void hsv_avx2(const HsvGains &k, uint8_t *px, size_t n) {
    const __m128i take_rg0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1);
    const __m128i take_rg1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, -1, -1, -1, -1, -1, 0, 3, 6);
    const __m128i take_b0 = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i take_b1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i put0_lo = _mm_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1);
    const __m128i put0_hi = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 1);
    const __m128i put1_hi = _mm_setr_epi8(5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m256 shift = _mm256_set1_ps(k.shift), gs = _mm256_set1_ps(k.sat), val = _mm256_set1_ps(k.val);
    const __m256 zero = _mm256_setzero_ps(), six = _mm256_set1_ps(6.0f), one = _mm256_set1_ps(1.0f);
    const __m256 two = _mm256_set1_ps(2.0f), four = _mm256_set1_ps(4.0f);
    const __m256i izero = _mm256_setzero_si256(), i5 = _mm256_set1_epi32(5);
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint8_t *p = px + i * 3;
        const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
        const __m128i x1 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 16));
        const __m128i rg = _mm_or_si128(_mm_shuffle_epi8(x0, take_rg0), _mm_shuffle_epi8(x1, take_rg1));
        const __m128i bb8 = _mm_or_si128(_mm_shuffle_epi8(x0, take_b0), _mm_shuffle_epi8(x1, take_b1));
        const __m256i r = _mm256_cvtepu8_epi32(rg), g = _mm256_cvtepu8_epi32(_mm_srli_si128(rg, 8));
        const __m256i b = _mm256_cvtepu8_epi32(bb8);
        const __m256i V = _mm256_max_epi32(r, _mm256_max_epi32(g, b));
        const __m256i C = _mm256_sub_epi32(V, _mm256_min_epi32(r, _mm256_min_epi32(g, b)));
        const __m256 fV = _mm256_cvtepi32_ps(V), fC = _mm256_cvtepi32_ps(C);
        // Grey lanes (C = 0, so num = 0) divide by 1 instead: hue 0 and C' = 0
        // then give V' in every channel, as the baseline's early exit does.
        const __m256 dC = _mm256_max_ps(fC, one), dV = _mm256_max_ps(fV, one);
        const __m256i Vn = to_byte(_mm256_mul_ps(fV, val));
        const __m256 fVn = _mm256_cvtepi32_ps(Vn);
        const __m256i is_r = _mm256_cmpeq_epi32(V, r);
        const __m256i is_g = _mm256_andnot_si256(is_r, _mm256_cmpeq_epi32(V, g));
        const __m256i num = _mm256_blendv_epi8(
            _mm256_blendv_epi8(_mm256_sub_epi32(r, g), _mm256_sub_epi32(b, r), is_g), _mm256_sub_epi32(g, b), is_r);
        const __m256 q = _mm256_div_ps(_mm256_cvtepi32_ps(num), dC);
        // r max: q alone (0 + q is q for every q this gives).
        __m256 h = _mm256_blendv_ps(_mm256_add_ps(_mm256_blendv_ps(four, two, _mm256_castsi256_ps(is_g)), q), q,
                                    _mm256_castsi256_ps(is_r));
        h = _mm256_add_ps(h, shift);
        h = _mm256_blendv_ps(h, _mm256_add_ps(h, six), _mm256_cmp_ps(h, zero, _CMP_LT_OQ));
        h = _mm256_blendv_ps(h, _mm256_sub_ps(h, six), _mm256_cmp_ps(h, six, _CMP_GE_OQ));
        __m256 cn = _mm256_div_ps(_mm256_mul_ps(_mm256_mul_ps(fC, gs), fVn), dV);
        cn = _mm256_blendv_ps(cn, fVn, _mm256_cmp_ps(fVn, cn, _CMP_LT_OQ));  // min as the baseline takes it
        const __m256 lo = _mm256_sub_ps(fVn, cn);
        const __m256i sector = _mm256_min_epi32(_mm256_cvttps_epi32(h), i5);
        const __m256 f = _mm256_sub_ps(h, _mm256_cvtepi32_ps(sector));
        const __m256 up = _mm256_add_ps(lo, _mm256_mul_ps(cn, f));
        const __m256 down = _mm256_add_ps(lo, _mm256_mul_ps(cn, _mm256_sub_ps(one, f)));
        __m256 sec[6];
        for (int s = 0; s < 6; ++s) sec[s] = _mm256_castsi256_ps(_mm256_cmpeq_epi32(sector, _mm256_set1_epi32(s)));
        __m256 rr = _mm256_blendv_ps(fVn, down, sec[1]);
        rr = _mm256_blendv_ps(rr, lo, _mm256_or_ps(sec[2], sec[3]));
        rr = _mm256_blendv_ps(rr, up, sec[4]);
        __m256 gg = _mm256_blendv_ps(lo, up, sec[0]);
        gg = _mm256_blendv_ps(gg, fVn, _mm256_or_ps(sec[1], sec[2]));
        gg = _mm256_blendv_ps(gg, down, sec[3]);
        __m256 bl = _mm256_blendv_ps(fVn, lo, _mm256_or_ps(sec[0], sec[1]));
        bl = _mm256_blendv_ps(bl, up, sec[2]);
        bl = _mm256_blendv_ps(bl, down, sec[5]);
        // Every value is in 0..V' already; the saturating packs clip as the baseline does.
        const __m256i R = _mm256_cvtps_epi32(rr), G = _mm256_cvtps_epi32(gg), B = _mm256_cvtps_epi32(bl);
        // Lanes: [r0-3 g0-3 b0-3 0 | r4-7 g4-7 b4-7 0], then back to r g b order.
        const __m256i bytes = _mm256_packus_epi16(_mm256_packus_epi32(R, G), _mm256_packus_epi32(B, izero));
        const __m128i lo4 = _mm256_castsi256_si128(bytes), hi4 = _mm256_extracti128_si256(bytes, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(p),
                         _mm_or_si128(_mm_shuffle_epi8(lo4, put0_lo), _mm_shuffle_epi8(hi4, put0_hi)));
        _mm_storel_epi64(reinterpret_cast<__m128i *>(p + 16), _mm_shuffle_epi8(hi4, put1_hi));
    }
    hsv_baseline(k, px + i * 3, n - i);
}
#endif

}  // namespace

void HsvGains::apply(uint8_t *px, size_t n, bool avx2) const {
#if DETAUG_X86
    if (avx2) return hsv_avx2(*this, px, n);
#endif
    (void)avx2;
    hsv_baseline(*this, px, n);
}

}  // namespace detaug
}  // namespace trellisk
