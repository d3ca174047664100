// Pixel work of the detection augmentation engine: the warp of one view,
// the mix-up blend and the HSV gains. Every value is computed the same way
// by the baseline and the AVX2 code (integer arithmetic, or single-precision
// IEEE operations in the same order, no fused multiply-add), so both give
// the same bytes.
#include <algorithm>
#include <climits>
#include <cstddef>
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

// Output pixel x is the pixel x places before src's, for n pixels (a
// mirrored row).
void reverse_baseline(const uint8_t *src, uint8_t *dst, int n) {
    for (int x = 0; x < n; ++x) std::memcpy(dst + size_t(x) * 3, src - ptrdiff_t(x) * 3, 3);
}
#if DETAUG_X86
DETAUG_AVX2 void reverse_avx2(const uint8_t *src, uint8_t *dst, int n) {
    // Five pixels a step from the 16 bytes that end one byte past pixel -x
    // (inside the row from x = 1 on); the 16th byte stored is rewritten by
    // the next step or the tail.
    const __m128i mirror = _mm_setr_epi8(12, 13, 14, 9, 10, 11, 6, 7, 8, 3, 4, 5, 0, 1, 2, 15);
    if (n < 1) return;
    std::memcpy(dst, src, 3);
    int x = 1;
    for (; x + 6 <= n; x += 5) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(src - ptrdiff_t(x + 4) * 3));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + size_t(x) * 3), _mm_shuffle_epi8(v, mirror));
    }
    reverse_baseline(src - ptrdiff_t(x) * 3, dst + size_t(x) * 3, n - x);
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
        // byte, eight bytes (a pixel and its right neighbour) at a time.
        images_ = g.images;
        limit_ = int64_t(g.k) * W * H * 3;
        gather_ = W >= 2 && limit_ >= 8 && limit_ <= INT32_MAX;
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

    // A single-tile view whose every column takes one whole source pixel
    // (no horizontal weight), each the next or each the previous: identity
    // and flips. Its rows without a vertical weight are copies.
    if (t.xc != INT32_MAX) return;
    const int step = W == 1 ? 1 : (off_[1] - off_[0]) / 3;
    if (step != 1 && step != -1) return;
    for (int x = 0; x < W; ++x)
        if (wts_[x] != kWOne || off_[x] != off_[0] + 3 * step * x || off_[x] < 3 || off_[x] >= 2 * side) return;
    copy_step_ = step;
    copy_from_ = off_[0] / 3 - 1;
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
    if (copy_step_ != 0 && fy == 0) {
        // Whole pixels of row y0 (here in 0..h - 1): the weighted sums
        // would give their bytes back unchanged.
        const uint8_t *src = t.src[0] + (size_t(y0) * W + copy_from_) * 3;
        if (copy_step_ > 0) {
            std::memcpy(dst, src, size_t(W) * 3);
            return;
        }
#if DETAUG_X86
        if (avx2) return reverse_avx2(src, dst, W);
#endif
        return reverse_baseline(src, dst, W);
    }
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

// Eight bytes at base + off for the four offsets of `off`: a pixel and its
// right neighbour.
DETAUG_AVX2 inline __m256i fetch8(const uint8_t *base, __m128i off) {
    return _mm256_i32gather_epi64(reinterpret_cast<const long long *>(base), off, 1);
}

// The same where an offset may pass `last`, the last offset that may start
// an 8-byte read (by at most 2, at the end of the group's bytes): read at
// `last` and shift, so that byte off still comes first.
DETAUG_AVX2 inline __m256i fetch8_end(const uint8_t *base, __m128i off, __m128i last) {
    const __m128i at = _mm_min_epi32(off, last);
    return _mm256_srlv_epi64(fetch8(base, at), _mm256_slli_epi64(_mm256_cvtepu32_epi64(_mm_sub_epi32(off, at)), 3));
}

// Four pixels from the two rows' neighbour pairs (a: upper row, b: lower;
// qword i holds pixel i's left and right neighbour, channels c0 c1 c2 then
// c0 c1 c2 and two more bytes). wy and wx hold every pixel's weight pairs,
// dwords in the order 0 1 4 5 | 2 3 6 7; S picks pixels 0|2 (S = 0) or
// 4|6 (S = 2) of the eight. Out: pixels (0|2) and (1|3) of these four as
// dwords (c0, c1, c2, -) before rounding.
template <int S>
DETAUG_AVX2 inline void blend_pairs(__m256i a, __m256i b, __m256i wy, __m256i wx, __m256i &lo, __m256i &hi) {
    // Each qword's bytes as (left, right) neighbours per channel.
    const __m256i order = _mm256_setr_epi8(0, 3, 1, 4, 2, 5, 6, 7, 8, 11, 9, 12, 10, 13, 14, 15,
                                           0, 3, 1, 4, 2, 5, 6, 7, 8, 11, 9, 12, 10, 13, 14, 15);
    a = _mm256_shuffle_epi8(a, order), b = _mm256_shuffle_epi8(b, order);
    // Vertical: byte pairs (upper, lower) times the row weights, 16-bit
    // (left, right) pairs per channel; horizontal: one multiply-add.
    const __m256i u = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(a, b), _mm256_shuffle_epi32(wy, S * 0x55));
    const __m256i v = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(a, b), _mm256_shuffle_epi32(wy, (S + 1) * 0x55));
    lo = _mm256_madd_epi16(u, _mm256_shuffle_epi32(wx, S * 0x55));
    hi = _mm256_madd_epi16(v, _mm256_shuffle_epi32(wx, (S + 1) * 0x55));
}

}  // namespace

// Eight pixels per step, the baseline's sample() lane by lane: tile by the
// split (Tiled: a mosaic view), border outside, edge neighbours repeated.
// Each pixel reads its two neighbour pairs with one 8-byte read per row
// (four gathers of four).
template <bool Tiled>
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
    const __m256i frac = _mm256_set1_epi32(kOne - 1), wone = _mm256_set1_epi32(kWOne);
    const __m256i whalf = _mm256_set1_epi32(kWOne / 2 * 0x101);
    const __m256i wpair = _mm256_set1_epi32(W - 2), hlast = _mm256_set1_epi32(t.h - 1), row = _mm256_set1_epi32(W * 3);
    const __m256i last = _mm256_set1_epi32(int32_t(limit_ - 8));
    const __m256i round = _mm256_set1_epi32(kRound);
    const __m256i border = _mm256_set1_epi8(char(kBorder));
    const __m256i squeeze = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1,
                                             0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
    // Dword orders: 0 1 4 5 | 2 3 6 7 (the weights, so that the in-lane
    // shuffles of blend_pairs find them) and back.
    const __m256i split = _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7);
    // Source coordinates are taken relative to the (only) tile's origin
    // and shifted by half a pixel once here, not per pixel.
    const __m256i vbu = _mm256_set1_epi32(Tiled ? bu : bu - t.ou[0] - kHalf);
    const __m256i vbv = _mm256_set1_epi32(Tiled ? bv : bv - t.ov[0] - kHalf);
    const __m256i lim_u = _mm256_set1_epi32(t.wmax - kHalf), lim_v = _mm256_set1_epi32(t.hmax - kHalf);
    const __m256i low = _mm256_set1_epi32(-kHalf - 1), half = _mm256_set1_epi32(kHalf);
    const __m256i only_tile = _mm256_set1_epi32(tile_off_[0]);
    (void)y;
    for (; (x + 8) * 3 + 4 <= W * 3; x += 8) {
        const __m256i U = _mm256_add_epi32(vbu, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(du_.data() + x)));
        const __m256i V = _mm256_add_epi32(vbv, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(dv_.data() + x)));
        __m256i sx, sy, inside, tile;  // sx, sy: source position less half a pixel, in the tile
        if (Tiled) {
            const __m256i k = _mm256_or_si256(_mm256_and_si256(_mm256_cmpgt_epi32(U, xc1), one),
                                              _mm256_and_si256(_mm256_cmpgt_epi32(V, yc1), two));
            const __m256i lu = _mm256_sub_epi32(U, _mm256_permutevar8x32_epi32(ou, k));
            const __m256i lv = _mm256_sub_epi32(V, _mm256_permutevar8x32_epi32(ov, k));
            inside = _mm256_and_si256(
                _mm256_and_si256(_mm256_cmpgt_epi32(lu, minus), _mm256_cmpgt_epi32(wmax, lu)),
                _mm256_and_si256(_mm256_cmpgt_epi32(lv, minus), _mm256_cmpgt_epi32(hmax, lv)));
            sx = _mm256_sub_epi32(lu, half), sy = _mm256_sub_epi32(lv, half);
            tile = _mm256_permutevar8x32_epi32(base, k);
        } else {
            sx = U, sy = V;
            inside = _mm256_and_si256(
                _mm256_and_si256(_mm256_cmpgt_epi32(sx, low), _mm256_cmpgt_epi32(lim_u, sx)),
                _mm256_and_si256(_mm256_cmpgt_epi32(sy, low), _mm256_cmpgt_epi32(lim_v, sy)));
            tile = only_tile;
        }
        const __m256i x0 = _mm256_srai_epi32(sx, kBits), y0 = _mm256_srai_epi32(sy, kBits);
        __m256i fx = _mm256_srli_epi32(_mm256_and_si256(sx, frac), kBits - kWBits);
        const __m256i fy = _mm256_srli_epi32(_mm256_and_si256(sy, frac), kBits - kWBits);
        // Columns: the pair (x0, x0 + 1) kept inside the picture. At the
        // left edge (x0 = -1) both neighbours are pixel 0: read (0, 1), all
        // weight on the first; at the right (x0 = W - 1), read (W - 2,
        // W - 1), all weight on the second. The sums are the baseline's.
        const __m256i xs = _mm256_min_epi32(_mm256_max_epi32(x0, zero), wpair);
        fx = _mm256_andnot_si256(_mm256_cmpgt_epi32(zero, x0), fx);
        fx = _mm256_blendv_epi8(fx, wone, _mm256_cmpgt_epi32(x0, wpair));
        // Rows: the lower row is the next one unless y0 is outside 0..h - 2,
        // where both are the same edge row. A weight of 128 does not fit the
        // signed bytes of the vertical multiply-add: at fy = 0 read the upper
        // row twice with (64, 64) instead, the same sum.
        const __m256i flat = _mm256_cmpeq_epi32(fy, zero);
        const __m256i ya = _mm256_max_epi32(y0, zero);
        const __m256i step = _mm256_and_si256(
            _mm256_andnot_si256(flat, _mm256_and_si256(_mm256_cmpgt_epi32(y0, minus), _mm256_cmpgt_epi32(hlast, y0))), row);
        __m256i wy = _mm256_blendv_epi8(_mm256_or_si256(_mm256_sub_epi32(wone, fy), _mm256_slli_epi32(fy, 8)), whalf, flat);
        wy = _mm256_or_si256(wy, _mm256_slli_epi32(wy, 16));
        const __m256i wx = _mm256_or_si256(_mm256_sub_epi32(wone, fx), _mm256_slli_epi32(fx, 16));
        // Offsets of pixels outside every tile are garbage: read at 0 instead.
        const __m256i col = _mm256_add_epi32(xs, _mm256_add_epi32(xs, xs));
        const __m256i at = _mm256_add_epi32(_mm256_add_epi32(tile, _mm256_mullo_epi32(ya, row)), col);
        const __m256i ra = _mm256_and_si256(at, inside), rb = _mm256_and_si256(_mm256_add_epi32(at, step), inside);
        const uint8_t *src = images_;
        __m256i a0, a1, b0, b1;
        // Only a read near the end of the group's bytes needs the shift.
        if (_mm256_testz_si256(_mm256_cmpgt_epi32(rb, last), _mm256_cmpgt_epi32(rb, last))) {
            a0 = fetch8(src, _mm256_castsi256_si128(ra)), a1 = fetch8(src, _mm256_extracti128_si256(ra, 1));
            b0 = fetch8(src, _mm256_castsi256_si128(rb)), b1 = fetch8(src, _mm256_extracti128_si256(rb, 1));
        } else {
            const __m128i end = _mm256_castsi256_si128(last);
            a0 = fetch8_end(src, _mm256_castsi256_si128(ra), end);
            a1 = fetch8_end(src, _mm256_extracti128_si256(ra, 1), end);
            b0 = fetch8_end(src, _mm256_castsi256_si128(rb), end);
            b1 = fetch8_end(src, _mm256_extracti128_si256(rb, 1), end);
        }
        const __m256i wys = _mm256_permutevar8x32_epi32(wy, split), wxs = _mm256_permutevar8x32_epi32(wx, split);
        __m256i r[4];
        blend_pairs<0>(a0, b0, wys, wxs, r[0], r[1]);  // pixels 0|2, 1|3
        blend_pairs<2>(a1, b1, wys, wxs, r[2], r[3]);  // pixels 4|6, 5|7
        for (int i = 0; i < 4; ++i) r[i] = _mm256_srai_epi32(_mm256_add_epi32(r[i], round), kShift);
        // Dwords 0 1 4 5 | 2 3 6 7 after the packs; put pixel i at dword i, as in `inside`.
        __m256i bytes = _mm256_permutevar8x32_epi32(
            _mm256_packus_epi16(_mm256_packs_epi32(r[0], r[1]), _mm256_packs_epi32(r[2], r[3])), split);
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
    if (avx2 && gather_) {
        if (t_.xc == INT32_MAX && t_.yc == INT32_MAX)
            general_avx2<false>(y, dst, bu, bv, x);
        else
            general_avx2<true>(y, dst, bu, bv, x);
    }
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

// HSV gains, per pixel (r, g, b in 0..255), all in integers but one factor:
//   V = max, C = max - min, V' = V * val rounded and clipped to 255 (val in
//   1/32768); hue h in sextants by the usual hexagon (r max: (g - b) / C;
//   g max: 2 + (b - r) / C; b max: 4 + (r - g) / C), shifted by the drawn
//   fraction of the circle and held in units of C / 16, so no division:
//   X = 16 * (C * base + num) + round(16 * C * shift), taken into [0, 96 C).
//   Each channel is V' - C' * t with t = clamp(d - 1, 0, 1), d the distance
//   round the circle from X to the channel's own hue (r 0, g 2, b 4
//   sextants): no sector, no branch. C' = C * gain, gain = min(sat * V' / V,
//   V' / C) (saturation times sat, at most 1, and value times val), from one
//   single-precision division per pixel, kept in 1/16384. Grey pixels
//   (C = 0) get t = 0, so V' in every channel. The vector path holds all
//   but the gain in 16-bit lanes (every term here fits).
HsvGains::HsvGains(double hue, double s, double v) {
    sat_q = int32_t(std::clamp(std::lrint(s * 16384), 0L, 32767L));
    // The shift in [-3, 3) sextants keeps every hue position in 16 bits.
    double sh = std::fmod(6 * hue, 6.0);
    if (sh >= 3) sh -= 6;
    if (sh < -3) sh += 6;
    shift_q = int32_t(std::lrint(sh * 4096));
    val_q = int32_t(std::clamp(std::lrint(v * 32768), 0L, 65535L));
}

namespace {

// The channel whose own hue is `centre` (X and centre in [0, 96 C)).
inline int hsv_channel(int X, int C, int centre, int Vn, int kq) {
    const int a = std::abs(X - centre), dist = std::min(a, 96 * C - a);
    const int T = std::min(16 * C, std::max(dist - 16 * C, 0));
    const int d = int((uint32_t(T << 4) * uint32_t(kq)) >> 16);
    return std::clamp(Vn - ((d + 32) >> 6), 0, 255);
}

// One pixel; branch-free, so that the block loop below vectorises.
inline void hsv_pixel(const HsvGains &k, int r, int g, int b, int &R, int &G, int &B) {
    const int V = std::max(r, std::max(g, b)), C = V - std::min(r, std::min(g, b));
    const int Vn = std::min(int(((uint32_t(V << 8) * uint32_t(k.val_q) >> 16) + 64) >> 7), 255);
    const int dC = std::max(C, 1), dV = std::max(V, 1);
    const int M = std::min((dC * 64 * k.sat_q + 16384) >> 15, dV * 32);  // 32 min(sat C, V)
    // Rounded half up by truncation (the value is not negative).
    const int kq = std::min(int(float(Vn * M * 512) / float(dC * dV) + 0.5f), 65535);
    const int num = V == r ? g - b : V == g ? 2 * C + b - r : 4 * C + r - g;
    int X = num * 16 + ((C * 128 * k.shift_q + 16384) >> 15);
    X += X < 0 ? 96 * C : 0;
    X -= X >= 96 * C ? 96 * C : 0;
    R = hsv_channel(X, C, 0, Vn, kq);
    G = hsv_channel(X, C, 32 * C, Vn, kq);
    B = hsv_channel(X, C, 64 * C, Vn, kq);
}

void hsv_baseline(const HsvGains &k, uint8_t *px, size_t n) {
    constexpr size_t kBlock = 32;
    int r[kBlock], g[kBlock], b[kBlock];
    for (size_t i0 = 0; i0 < n; i0 += kBlock) {
        const size_t m = std::min(kBlock, n - i0);
        uint8_t *p = px + i0 * 3;
        if (m < kBlock) std::fill_n(r, kBlock, 0), std::fill_n(g, kBlock, 0), std::fill_n(b, kBlock, 0);
        for (size_t j = 0; j < m; ++j) r[j] = p[3 * j], g[j] = p[3 * j + 1], b[j] = p[3 * j + 2];
        for (size_t j = 0; j < kBlock; ++j) hsv_pixel(k, r[j], g[j], b[j], r[j], g[j], b[j]);
        for (size_t j = 0; j < m; ++j) p[3 * j] = uint8_t(r[j]), p[3 * j + 1] = uint8_t(g[j]), p[3 * j + 2] = uint8_t(b[j]);
    }
}

#if DETAUG_X86
// One output channel, as hsv_channel (the packs clip).
DETAUG_AVX2 inline __m256i hsv_channel16(__m256i a, __m256i C16, __m256i C96, __m256i Vn, __m256i kq) {
    const __m256i T = _mm256_min_epi16(C16, _mm256_subs_epu16(_mm256_min_epi16(a, _mm256_sub_epi16(C96, a)), C16));
    const __m256i d = _mm256_mulhi_epu16(_mm256_slli_epi16(T, 4), kq);
    return _mm256_sub_epi16(Vn, _mm256_srli_epi16(_mm256_add_epi16(d, _mm256_set1_epi16(32)), 6));
}

// Eight pixels' r and g bytes (rg, r then g) and b bytes (low half of b8).
DETAUG_AVX2 inline void take8(const uint8_t *p, __m128i &rg, __m128i &b8) {
    const __m128i take_rg0 = _mm_setr_epi8(0, 3, 6, 9, 12, 15, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1);
    const __m128i take_rg1 = _mm_setr_epi8(-1, -1, -1, -1, -1, -1, 2, 5, -1, -1, -1, -1, -1, 0, 3, 6);
    const __m128i take_b0 = _mm_setr_epi8(2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i take_b1 = _mm_setr_epi8(-1, -1, -1, -1, -1, 1, 4, 7, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i x0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i x1 = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(p + 16));
    rg = _mm_or_si128(_mm_shuffle_epi8(x0, take_rg0), _mm_shuffle_epi8(x1, take_rg1));
    b8 = _mm_or_si128(_mm_shuffle_epi8(x0, take_b0), _mm_shuffle_epi8(x1, take_b1));
}

// The inverse of take8: 24 bytes back in r g b order.
DETAUG_AVX2 inline void put8(uint8_t *p, __m128i rg, __m128i b8) {
    const __m128i put_rg0 = _mm_setr_epi8(0, 8, -1, 1, 9, -1, 2, 10, -1, 3, 11, -1, 4, 12, -1, 5);
    const __m128i put_b0 = _mm_setr_epi8(-1, -1, 0, -1, -1, 1, -1, -1, 2, -1, -1, 3, -1, -1, 4, -1);
    const __m128i put_rg1 = _mm_setr_epi8(13, -1, 6, 14, -1, 7, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1);
    const __m128i put_b1 = _mm_setr_epi8(-1, 5, -1, -1, 6, -1, -1, 7, -1, -1, -1, -1, -1, -1, -1, -1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(p),
                     _mm_or_si128(_mm_shuffle_epi8(rg, put_rg0), _mm_shuffle_epi8(b8, put_b0)));
    _mm_storel_epi64(reinterpret_cast<__m128i *>(p + 16),
                     _mm_or_si128(_mm_shuffle_epi8(rg, put_rg1), _mm_shuffle_epi8(b8, put_b1)));
}

// The gain in 1/16384 of the eight pixels whose 32 min(sat C, V) * V' and
// C * V (both at least 1) are in num and den, as the baseline computes it.
DETAUG_AVX2 inline __m256i gain8(__m256i num, __m256i den) {
    const __m256 q = _mm256_div_ps(_mm256_cvtepi32_ps(_mm256_slli_epi32(num, 9)), _mm256_cvtepi32_ps(den));
    return _mm256_cvttps_epi32(_mm256_add_ps(q, _mm256_set1_ps(0.5f)));
}

// Sixteen pixels at a time, the baseline's operations lane by lane.
DETAUG_AVX2 void hsv_avx2(const HsvGains &k, uint8_t *px, size_t n) {
    const __m256i gs = _mm256_set1_epi16(int16_t(k.sat_q)), i1 = _mm256_set1_epi16(1);
    const __m256i val = _mm256_set1_epi16(int16_t(uint16_t(k.val_q)));
    const __m256i shift = _mm256_set1_epi16(int16_t(k.shift_q));
    const __m256i i64 = _mm256_set1_epi16(64), i255 = _mm256_set1_epi16(255), zero = _mm256_setzero_si256();
    size_t i = 0;
    for (; i + 16 <= n; i += 16) {
        uint8_t *p = px + i * 3;
        __m128i rgA, bA, rgB, bB;
        take8(p, rgA, bA);
        take8(p + 24, rgB, bB);
        const __m256i r = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(rgA, rgB));
        const __m256i g = _mm256_cvtepu8_epi16(_mm_unpackhi_epi64(rgA, rgB));
        const __m256i b = _mm256_cvtepu8_epi16(_mm_unpacklo_epi64(bA, bB));
        const __m256i V = _mm256_max_epi16(r, _mm256_max_epi16(g, b));
        const __m256i C = _mm256_sub_epi16(V, _mm256_min_epi16(r, _mm256_min_epi16(g, b)));
        const __m256i Vn = _mm256_min_epi16(
            _mm256_srli_epi16(_mm256_add_epi16(_mm256_mulhi_epu16(_mm256_slli_epi16(V, 8), val), i64), 7), i255);
        const __m256i dC = _mm256_max_epi16(C, i1), dV = _mm256_max_epi16(V, i1);
        const __m256i M = _mm256_min_epi16(_mm256_mulhrs_epi16(_mm256_slli_epi16(dC, 6), gs), _mm256_slli_epi16(dV, 5));
        // 32-bit products in the packs' lane order, so the pack puts them back.
        const __m256i nlo = _mm256_mullo_epi16(Vn, M), nhi = _mm256_mulhi_epu16(Vn, M);
        const __m256i den = _mm256_mullo_epi16(dC, dV);
        const __m256i kq = _mm256_packus_epi32(
            gain8(_mm256_unpacklo_epi16(nlo, nhi), _mm256_unpacklo_epi16(den, zero)),
            gain8(_mm256_unpackhi_epi16(nlo, nhi), _mm256_unpackhi_epi16(den, zero)));
        const __m256i is_r = _mm256_cmpeq_epi16(V, r);
        const __m256i is_g = _mm256_andnot_si256(is_r, _mm256_cmpeq_epi16(V, g));
        const __m256i C16 = _mm256_slli_epi16(C, 4), C32 = _mm256_slli_epi16(C, 5), C64 = _mm256_slli_epi16(C, 6);
        const __m256i C96 = _mm256_add_epi16(C64, C32);
        // 16 * (C * base + num): g max 32 C + 16 (b - r), b max 64 C + 16 (r - g).
        __m256i num = _mm256_blendv_epi8(_mm256_add_epi16(_mm256_slli_epi16(_mm256_sub_epi16(r, g), 4), C64),
                                         _mm256_add_epi16(_mm256_slli_epi16(_mm256_sub_epi16(b, r), 4), C32), is_g);
        num = _mm256_blendv_epi8(num, _mm256_slli_epi16(_mm256_sub_epi16(g, b), 4), is_r);
        __m256i X = _mm256_add_epi16(num, _mm256_mulhrs_epi16(_mm256_slli_epi16(C, 7), shift));
        X = _mm256_add_epi16(X, _mm256_and_si256(_mm256_cmpgt_epi16(zero, X), C96));
        X = _mm256_sub_epi16(X, _mm256_andnot_si256(_mm256_cmpgt_epi16(C96, X), C96));
        const __m256i R = hsv_channel16(X, C16, C96, Vn, kq);
        const __m256i G = hsv_channel16(_mm256_abs_epi16(_mm256_sub_epi16(X, C32)), C16, C96, Vn, kq);
        const __m256i B = hsv_channel16(_mm256_abs_epi16(_mm256_sub_epi16(X, C64)), C16, C96, Vn, kq);
        // Lanes: [r0-7 g0-7 | r8-15 g8-15] and [b0-7 0 | b8-15 0].
        const __m256i rg = _mm256_packus_epi16(R, G), bz = _mm256_packus_epi16(B, zero);
        put8(p, _mm256_castsi256_si128(rg), _mm256_castsi256_si128(bz));
        put8(p + 24, _mm256_extracti128_si256(rg, 1), _mm256_extracti128_si256(bz, 1));
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
