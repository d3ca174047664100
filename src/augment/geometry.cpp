// Geometric entries: flip, affine warps (Lanczos and nearest neighbour),
// the piecewise-affine warp, and crop-and-resize. Coordinates are rounded the
// way the augmentation library's OpenCV and scikit-image calls round them,
// so that the results agree pixel for pixel.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "augment/kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if TRELLISK_X86
#include <immintrin.h>
#endif
#include <climits>

namespace trellisk {
namespace augment {
namespace detail {

namespace {

constexpr int kAbBits = 10;  // fixed-point bits of the affine coordinates
constexpr int kAbScale = 1 << kAbBits;
constexpr int kInterBits = 5;  // sub-pixel phases of the Lanczos table
constexpr int kInterTab = 1 << kInterBits;
constexpr int kCoefBits = 15;
constexpr int kCoefScale = 1 << kCoefBits;

// Round half to even, saturated to int (as the warp's saturate_cast).
inline int round_int(double v) {
    if (!(v > -2147483648.0)) return std::numeric_limits<int>::min();
    if (!(v < 2147483647.0)) return std::numeric_limits<int>::max();
    return int(std::nearbyint(v));
}

// 8 x 8 Lanczos weights per sub-pixel phase pair, in 1/32768, rows summing
// exactly to 32768 after the same correction the warp applies.
struct LanczosTable {
    int16_t w[kInterTab * kInterTab][64];
    LanczosTable() {
        float tab[kInterTab][8];
        for (int i = 0; i < kInterTab; ++i) coefficients(i * (1.f / kInterTab), tab[i]);
        for (int i = 0; i < kInterTab; ++i)
            for (int j = 0; j < kInterTab; ++j) {
                int16_t *it = w[i * kInterTab + j];
                int isum = 0;
                for (int k1 = 0; k1 < 8; ++k1) {
                    const float vy = tab[i][k1];
                    for (int k2 = 0; k2 < 8; ++k2) {
                        const float v = vy * tab[j][k2];
                        const int q = std::clamp(int(std::nearbyint(v * kCoefScale)), -32768, 32767);
                        it[k1 * 8 + k2] = int16_t(q);
                        isum += q;
                    }
                }
                if (isum != kCoefScale) {
                    const int diff = isum - kCoefScale;
                    int mk1 = 4, mk2 = 4, Mk1 = 4, Mk2 = 4;
                    for (int k1 = 4; k1 < 6; ++k1)
                        for (int k2 = 4; k2 < 6; ++k2) {
                            if (it[k1 * 8 + k2] < it[mk1 * 8 + mk2])
                                mk1 = k1, mk2 = k2;
                            else if (it[k1 * 8 + k2] > it[Mk1 * 8 + Mk2])
                                Mk1 = k1, Mk2 = k2;
                        }
                    if (diff < 0)
                        it[Mk1 * 8 + Mk2] = int16_t(it[Mk1 * 8 + Mk2] - diff);
                    else
                        it[mk1 * 8 + mk2] = int16_t(it[mk1 * 8 + mk2] - diff);
                }
            }
    }
    static void coefficients(float x, float *c) {
        static const double s45 = 0.70710678118654752440084436210485;
        static const double cs[8][2] = {{1, 0},  {-s45, -s45}, {0, 1},  {s45, -s45},
                                        {-1, 0}, {s45, s45},   {0, -1}, {-s45, s45}};
        const double pi = 3.1415926535897932384626433832795;
        float sum = 0;
        const double y0 = -(x + 3) * pi * 0.25, s0 = std::sin(y0), c0 = std::cos(y0);
        for (int i = 0; i < 8; ++i) {
            const float y0_ = (x + 3 - i);
            if (std::fabs(y0_) >= 1e-6f) {
                const double y = -y0_ * pi * 0.25;
                c[i] = float((cs[i][0] * s0 + cs[i][1] * c0) / (y * y));
            } else {
                c[i] = 1e30f;
            }
            sum += c[i];
        }
        sum = 1.f / sum;
        for (int i = 0; i < 8; ++i) c[i] *= sum;
    }
};

const LanczosTable &lanczos_table() {
    static const LanczosTable table;
    return table;
}

// The same weights with rows 2k and 2k + 1 interleaved (w[2k][j], w[2k+1][j]
// side by side), to match planes whose rows are interleaved likewise.
struct PairedTable {
    int16_t w[kInterTab * kInterTab][64];
    PairedTable() {
        const LanczosTable &t = lanczos_table();
        for (int p = 0; p < kInterTab * kInterTab; ++p)
            for (int k = 0; k < 4; ++k)
                for (int j = 0; j < 8; ++j) {
                    w[p][16 * k + 2 * j] = t.w[p][16 * k + j];
                    w[p][16 * k + 2 * j + 1] = t.w[p][16 * k + 8 + j];
                }
    }
};

const PairedTable &paired_table() {
    static const PairedTable table;
    return table;
}

// Source coordinates of destination row y: for each x the fixed-point
// values the warp computes (integer part in `shift` bits). Row origins are
// 64-bit so that a saturated coordinate cannot overflow.
struct AffineRows {
    std::vector<int> adelta, bdelta;
    const double *m;
    int round_delta;
    int max_delta = 0;  // largest |adelta| or |bdelta|
    AffineRows(const double inv[6], int w, bool nearest)
        : adelta(w), bdelta(w), m(inv), round_delta(nearest ? kAbScale / 2 : kAbScale / kInterTab / 2) {
        for (int x = 0; x < w; ++x) {
            adelta[x] = round_int(m[0] * x * kAbScale);
            bdelta[x] = round_int(m[3] * x * kAbScale);
            max_delta = std::max({max_delta, std::abs(std::max(adelta[x], -INT_MAX)),
                                  std::abs(std::max(bdelta[x], -INT_MAX))});
        }
    }
    int64_t x0(int y) const { return int64_t(round_int((m[1] * y + m[2]) * kAbScale)) + round_delta; }
    int64_t y0(int y) const { return int64_t(round_int((m[4] * y + m[5]) * kAbScale)) + round_delta; }
    // Whether row y's sums fit in 32 bits (the vector path adds in int32).
    bool small(int64_t X0, int64_t Y0) const {
        constexpr int64_t lim = int64_t(1) << 30;
        return max_delta < lim && X0 > -lim && X0 < lim && Y0 > -lim && Y0 < lim;
    }
};

// Sum of an 8 x 8 window (rows `stride` apart) times the 8 x 8 weights.
inline int dot8x8(const int16_t *s, int stride, const int16_t *w) {
#if defined(__SSE2__)
    __m128i acc = _mm_setzero_si128();
    for (int r = 0; r < 8; ++r, s += stride)
        acc = _mm_add_epi32(acc, _mm_madd_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(s)),
                                                _mm_loadu_si128(reinterpret_cast<const __m128i *>(w + 8 * r))));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(1, 0, 3, 2)));
    acc = _mm_add_epi32(acc, _mm_shuffle_epi32(acc, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtsi128_si32(acc);
#else
    int sum = 0;
    for (int r = 0; r < 8; ++r, s += stride)
        for (int k = 0; k < 8; ++k) sum += int(s[k]) * int(w[8 * r + k]);
    return sum;
#endif
}

// Copies source pixel idx[x] of image and mask (either may be null) into
// destination pixel x of one row, or the border where idx[x] < 0.
void gather_row(const uint8_t *src, const int32_t *mask, const int32_t *idx, int w, uint8_t border,
                int32_t mask_border, uint8_t *d, int32_t *md) {
    if (src)
        for (int x = 0; x < w; ++x, d += 3) {
            const int32_t i = idx[x];
            if (i >= 0) {
                const uint8_t *s = src + 3 * size_t(i);
                d[0] = s[0], d[1] = s[1], d[2] = s[2];
            } else {
                d[0] = d[1] = d[2] = border;
            }
        }
    if (mask)
        for (int x = 0; x < w; ++x) md[x] = idx[x] >= 0 ? mask[idx[x]] : mask_border;
}

#if TRELLISK_X86
// The same with gathers (`n`: the source's pixel count). Image pixels are
// read as 32-bit words at 3 * i, moved back one byte for the last pixel so
// that no read leaves the source.
TRELLISK_AVX2 void gather_row_avx2(const uint8_t *src, const int32_t *mask, const int32_t *idx, int w, size_t n,
                                   uint8_t border, int32_t mask_border, uint8_t *d, int32_t *md) {
    int x = 0;
    const __m256i none = _mm256_set1_epi32(-1);
    if (src && n >= 2) {
        const __m256i last = _mm256_set1_epi32(int(3 * n - 4));
        const __m256i fill = _mm256_set1_epi32(border * 0x010101);
        const __m256i pack = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4, 5,
                                              6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);
        const int *base = reinterpret_cast<const int *>(src);
        // Each step stores 28 bytes for 24: stop early enough to stay in the row.
        for (; x + 10 <= w; x += 8) {
            const __m256i i = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(idx + x));
            const __m256i ok = _mm256_cmpgt_epi32(i, none);
            const __m256i off = _mm256_add_epi32(i, _mm256_add_epi32(i, i));
            const __m256i at = _mm256_min_epi32(off, last);
            __m256i v = _mm256_mask_i32gather_epi32(fill, base, at, ok, 1);
            v = _mm256_srlv_epi32(v, _mm256_slli_epi32(_mm256_sub_epi32(off, at), 3));
            v = _mm256_blendv_epi8(fill, v, ok);
            v = _mm256_shuffle_epi8(v, pack);
            uint8_t *o = d + 3 * size_t(x);
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o), _mm256_castsi256_si128(v));
            _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 12), _mm256_extracti128_si256(v, 1));
        }
    }
    if (src) gather_row(src, nullptr, idx + x, w - x, border, 0, d + 3 * size_t(x), nullptr);
    if (mask) {
        const __m256i fill = _mm256_set1_epi32(mask_border);
        int y = 0;
        for (; y + 8 <= w; y += 8) {
            const __m256i i = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(idx + y));
            const __m256i v = _mm256_mask_i32gather_epi32(fill, mask, i, _mm256_cmpgt_epi32(i, none), 4);
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(md + y), v);
        }
        gather_row(nullptr, mask, idx + y, w - y, 0, mask_border, nullptr, md + y);
    }
}

// Source positions of pixels x..x+7 of one affine row, in fixed point with
// the row's bits less `Shift`.
template <int Shift>
TRELLISK_AVX2 inline void affine_lanes(const AffineRows &rows, __m256i vx0, __m256i vy0, int x, __m256i *X,
                                       __m256i *Y) {
    *X = _mm256_srai_epi32(
        _mm256_add_epi32(vx0, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&rows.adelta[x]))), Shift);
    *Y = _mm256_srai_epi32(
        _mm256_add_epi32(vy0, _mm256_loadu_si256(reinterpret_cast<const __m256i *>(&rows.bdelta[x]))), Shift);
}

// Source indices of one affine row in int32 lanes (the caller checked that
// the sums fit).
TRELLISK_AVX2 void nearest_index_avx2(const AffineRows &rows, int64_t X0, int64_t Y0, int h, int w, int xa,
                                      int xb, int32_t *idx) {
    const __m256i vx0 = _mm256_set1_epi32(int(X0)), vy0 = _mm256_set1_epi32(int(Y0));
    const __m256i vw = _mm256_set1_epi32(w), vh = _mm256_set1_epi32(h), none = _mm256_set1_epi32(-1);
    int x = xa;
    for (; x + 8 <= xb; x += 8) {
        __m256i X, Y;
        affine_lanes<kAbBits>(rows, vx0, vy0, x, &X, &Y);
        const __m256i in = _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(X, none), _mm256_cmpgt_epi32(vw, X)),
                                            _mm256_and_si256(_mm256_cmpgt_epi32(Y, none), _mm256_cmpgt_epi32(vh, Y)));
        const __m256i i = _mm256_add_epi32(_mm256_mullo_epi32(Y, vw), X);
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(idx + x), _mm256_blendv_epi8(none, i, in));
    }
    for (; x < xb; ++x) {
        const int64_t X = (X0 + rows.adelta[x]) >> kAbBits, Y = (Y0 + rows.bdelta[x]) >> kAbBits;
        idx[x] = X >= 0 && X < w && Y >= 0 && Y < h ? int32_t(Y * w + X) : -1;
    }
}
#endif

// Source indices of pixels [xa, xb) of row y.
void nearest_index(const AffineRows &rows, int y, int h, int w, int xa, int xb, int32_t *idx, bool avx2) {
    const int64_t X0 = rows.x0(y), Y0 = rows.y0(y);
#if TRELLISK_X86
    if (avx2 && rows.small(X0, Y0)) return nearest_index_avx2(rows, X0, Y0, h, w, xa, xb, idx);
#else
    (void)avx2;
#endif
    for (int x = xa; x < xb; ++x) {
        const int64_t X = (X0 + rows.adelta[x]) >> kAbBits, Y = (Y0 + rows.bdelta[x]) >> kAbBits;
        idx[x] = X >= 0 && X < w && Y >= 0 && Y < h ? int32_t(Y * w + X) : -1;
    }
}

// gather_row on the chosen path; `n` is the source's pixel count.
void copy_row(const uint8_t *src, const int32_t *mask, const int32_t *idx, int w, size_t n, uint8_t border,
              int32_t mask_border, uint8_t *d, int32_t *md, bool avx2) {
#if TRELLISK_X86
    if (avx2) return gather_row_avx2(src, mask, idx, w, n, border, mask_border, d, md);
#else
    (void)avx2;
    (void)n;
#endif
    gather_row(src, mask, idx, w, border, mask_border, d, md);
}

constexpr int kPad = 8;  // border frame of the Lanczos planes

// One destination row of the Lanczos warp, one channel at a time (baseline).
void lanczos_row(const int16_t *planes, int pw, int ph, int h, int w, int xa, int xb, int64_t X0, int64_t Y0,
                 const AffineRows &rows, uint8_t border, uint8_t *d) {
    const LanczosTable &table = lanczos_table();
    constexpr int shift = kAbBits - kInterBits;
    d += 3 * size_t(xa);
    for (int x = xa; x < xb; ++x, d += 3) {
        const int64_t X = (X0 + rows.adelta[x]) >> shift;
        const int64_t Y = (Y0 + rows.bdelta[x]) >> shift;
        const int64_t sx = (X >> kInterBits) - 3, sy = (Y >> kInterBits) - 3;
        if (sx >= w || sx + 8 <= 0 || sy >= h || sy + 8 <= 0) {
            d[0] = d[1] = d[2] = border;
            continue;
        }
        const int16_t *wt = table.w[(Y & (kInterTab - 1)) * kInterTab + (X & (kInterTab - 1))];
        for (int c = 0; c < 3; ++c) {
            const int16_t *s = planes + (size_t(c) * ph + size_t(sy + kPad)) * pw + size_t(sx + kPad);
            const int v = (dot8x8(s, pw, wt) + (1 << (kCoefBits - 1))) >> kCoefBits;
            d[c] = uint8_t(std::clamp(v, 0, 255));
        }
    }
}

#if TRELLISK_X86
// Sums of one pixel's 8 x 8 windows in the three paired planes times the
// paired weights: one load and one multiply-add per two window rows, as
// three vectors of partial sums.
TRELLISK_AVX2 inline void lanczos_sums(const int16_t *s, size_t pair_row, size_t plane, const int16_t *wt,
                                       __m256i acc[3]) {
    const __m256i w0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(wt));
    const __m256i w1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(wt + 16));
    const __m256i w2 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(wt + 32));
    const __m256i w3 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(wt + 48));
    auto at = [](const int16_t *p) { return reinterpret_cast<const __m256i *>(p); };
    for (int c = 0; c < 3; ++c, s += plane) {
        const __m256i a = _mm256_add_epi32(_mm256_madd_epi16(_mm256_loadu_si256(at(s)), w0),
                                           _mm256_madd_epi16(_mm256_loadu_si256(at(s + 2 * pair_row)), w1));
        const __m256i b = _mm256_add_epi32(_mm256_madd_epi16(_mm256_loadu_si256(at(s + 4 * pair_row)), w2),
                                           _mm256_madd_epi16(_mm256_loadu_si256(at(s + 6 * pair_row)), w3));
        acc[c] = _mm256_add_epi32(a, b);
    }
}

// Paired planes: row y of each holds rows y and y + 1 of the padded plane
// interleaved value by value.
TRELLISK_AVX2 void pair_planes(const int16_t *planes, int pw, int ph, int16_t *pairs) {
    for (int c = 0; c < 3; ++c)
        for (int y = 0; y + 1 < ph; ++y) {
            const int16_t *a = planes + (size_t(c) * ph + y) * pw, *b = a + pw;
            int16_t *o = pairs + (size_t(c) * (ph - 1) + y) * 2 * pw;
            int x = 0;
            for (; x + 8 <= pw; x += 8) {
                const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i *>(a + x));
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(b + x));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 2 * x), _mm_unpacklo_epi16(u, v));
                _mm_storeu_si128(reinterpret_cast<__m128i *>(o + 2 * x + 8), _mm_unpackhi_epi16(u, v));
            }
            for (; x < pw; ++x) o[2 * x] = a[x], o[2 * x + 1] = b[x];
        }
}

// Where pixel x of one affine row reads (offset of its window in the paired
// planes, or -1 when the window misses the image) and with which weights.
inline void lanczos_coord(const AffineRows &rows, int64_t X0, int64_t Y0, int h, int w, int pw, int x,
                          int32_t *off, int32_t *wi) {
    constexpr int shift = kAbBits - kInterBits;
    const int64_t X = (X0 + rows.adelta[x]) >> shift;
    const int64_t Y = (Y0 + rows.bdelta[x]) >> shift;
    const int64_t sx = (X >> kInterBits) - 3, sy = (Y >> kInterBits) - 3;
    const bool in = !(sx >= w || sx + 8 <= 0 || sy >= h || sy + 8 <= 0);
    off[x] = in ? int32_t((sy + kPad) * 2 * pw + 2 * (sx + kPad)) : -1;
    wi[x] = int32_t((Y & (kInterTab - 1)) * kInterTab + (X & (kInterTab - 1)));
}

// Where each pixel of one row reads (offset of its window in the paired
// planes, or -1 when the window misses the image) and with which weights,
// eight pixels at a time in 32-bit lanes (the caller checked that the sums
// fit).
TRELLISK_AVX2 void lanczos_coords_avx2(const AffineRows &rows, int64_t X0, int64_t Y0, int h, int w, int xa,
                                       int xb, int pw, int32_t *off, int32_t *wi) {
    constexpr int shift = kAbBits - kInterBits;
    const __m256i vx0 = _mm256_set1_epi32(int(X0)), vy0 = _mm256_set1_epi32(int(Y0));
    const __m256i vw = _mm256_set1_epi32(w), vh = _mm256_set1_epi32(h), m8 = _mm256_set1_epi32(-8);
    const __m256i three = _mm256_set1_epi32(3), pad = _mm256_set1_epi32(kPad), row = _mm256_set1_epi32(2 * pw);
    const __m256i phase = _mm256_set1_epi32(kInterTab - 1), none = _mm256_set1_epi32(-1);
    int x = xa;
    for (; x + 8 <= xb; x += 8) {
        __m256i X, Y;
        affine_lanes<shift>(rows, vx0, vy0, x, &X, &Y);
        const __m256i sx = _mm256_sub_epi32(_mm256_srai_epi32(X, kInterBits), three);
        const __m256i sy = _mm256_sub_epi32(_mm256_srai_epi32(Y, kInterBits), three);
        const __m256i in = _mm256_and_si256(_mm256_and_si256(_mm256_cmpgt_epi32(vw, sx), _mm256_cmpgt_epi32(sx, m8)),
                                            _mm256_and_si256(_mm256_cmpgt_epi32(vh, sy), _mm256_cmpgt_epi32(sy, m8)));
        const __m256i o = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_add_epi32(sy, pad), row),
                                           _mm256_slli_epi32(_mm256_add_epi32(sx, pad), 1));
        const __m256i i = _mm256_add_epi32(_mm256_slli_epi32(_mm256_and_si256(Y, phase), kInterBits),
                                           _mm256_and_si256(X, phase));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(off + x), _mm256_blendv_epi8(none, o, in));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(wi + x), i);
    }
    for (; x < xb; ++x) {
        lanczos_coord(rows, X0, Y0, h, w, pw, x, off, wi);
    }
}

// The two halves added, rounded and scaled down to pixel values.
TRELLISK_AVX2 inline __m128i fold_halves(__m256i u, __m128i half) {
    const __m128i v = _mm_add_epi32(_mm256_castsi256_si128(u), _mm256_extracti128_si256(u, 1));
    return _mm_srai_epi32(_mm_add_epi32(v, half), kCoefBits);
}

// One pixel: its window `s` (null: the border) into d[0..2].
TRELLISK_AVX2 inline void lanczos_one_avx2(const int16_t *s, size_t pair_row, size_t plane, const int16_t *wt,
                                           __m128i half, uint8_t border, uint8_t *d) {
    if (!s) {
        d[0] = d[1] = d[2] = border;
        return;
    }
    __m256i a[3];
    lanczos_sums(s, pair_row, plane, wt, a);
    const __m256i t = _mm256_hadd_epi32(_mm256_hadd_epi32(a[0], a[1]), _mm256_hadd_epi32(a[2], a[2]));
    __m128i v = _mm_add_epi32(_mm256_castsi256_si128(t), _mm256_extracti128_si256(t, 1));
    v = _mm_srai_epi32(_mm_add_epi32(v, half), kCoefBits);
    v = _mm_packus_epi16(_mm_packs_epi32(v, v), v);
    const uint32_t px = uint32_t(_mm_cvtsi128_si32(v));
    d[0] = uint8_t(px), d[1] = uint8_t(px >> 8), d[2] = uint8_t(px >> 16);
}

// The same as lanczos_row on paired planes: the coordinates of the row
// first, then the windows, the twelve channel sums of four pixels reduced
// together. Integer sums, so the order of the additions does not
// change them.
TRELLISK_AVX2 void lanczos_row_avx2(const int16_t *pairs, int pw, int ph, int h, int w, int xa, int xb, int64_t X0,
                                    int64_t Y0,
                                    const AffineRows &rows, uint8_t border, uint8_t *d, int32_t *off, int32_t *wi) {
    const PairedTable &table = paired_table();
    constexpr int shift = kAbBits - kInterBits;
    const size_t pair_row = size_t(2) * pw, plane = size_t(ph - 1) * pair_row;
    if (rows.small(X0, Y0)) {
        lanczos_coords_avx2(rows, X0, Y0, h, w, xa, xb, pw, off, wi);
    } else {
        for (int x = xa; x < xb; ++x) {
            lanczos_coord(rows, X0, Y0, h, w, pw, x, off, wi);
        }
    }
    // Four neighbours at a time where all four windows meet the image (the
    // inside of a row is one run of pixels); the rest pixel by pixel.
    const __m128i half = _mm_set1_epi32(1 << (kCoefBits - 1));
    auto window = [&](int x) { return pairs + off[x]; };
    int x = xa;
    for (; x + 4 <= xb; x += 4) {
        if ((off[x] | off[x + 1] | off[x + 2] | off[x + 3]) < 0) {
            for (int q = x; q < x + 4; ++q) lanczos_one_avx2(off[q] < 0 ? nullptr : window(q), pair_row, plane,
                                                              table.w[wi[q]], half, border, d + 3 * q);
            continue;
        }
        // Reduced as they come, so that few sums are live at once. Per
        // 128-bit half: [a0 a1 a2 b0], [b1 b2 c0 c1], [c2 e0 e1 e2].
        __m256i a[3], b[3];
        lanczos_sums(window(x), pair_row, plane, table.w[wi[x]], a);
        lanczos_sums(window(x + 1), pair_row, plane, table.w[wi[x + 1]], b);
        const __m256i u0 = _mm256_hadd_epi32(_mm256_hadd_epi32(a[0], a[1]), _mm256_hadd_epi32(a[2], b[0]));
        const __m256i t1 = _mm256_hadd_epi32(b[1], b[2]);
        lanczos_sums(window(x + 2), pair_row, plane, table.w[wi[x + 2]], a);
        const __m256i u1 = _mm256_hadd_epi32(t1, _mm256_hadd_epi32(a[0], a[1]));
        const __m256i t2 = a[2];
        lanczos_sums(window(x + 3), pair_row, plane, table.w[wi[x + 3]], b);
        const __m256i u2 = _mm256_hadd_epi32(_mm256_hadd_epi32(t2, b[0]), _mm256_hadd_epi32(b[1], b[2]));
        const __m128i v0 = fold_halves(u0, half), v1 = fold_halves(u1, half), v2 = fold_halves(u2, half);
        const __m128i px = _mm_packus_epi16(_mm_packs_epi32(v0, v1), _mm_packs_epi32(v2, v2));
        uint8_t *p = d + 3 * x;  // the four pixels' twelve bytes in order
        _mm_storel_epi64(reinterpret_cast<__m128i *>(p), px);
        const uint32_t last = uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(px, 8)));
        std::memcpy(p + 8, &last, 4);
    }
    for (; x < xb; ++x)
        lanczos_one_avx2(off[x] < 0 ? nullptr : window(x), pair_row, plane, table.w[wi[x]], half, border, d + 3 * x);
}
#endif

}  // namespace

namespace {

// Columns [xa, xb) of one flipped row: pixel x from pixel w - 1 - x.
void flip_row(const uint8_t *s, const int32_t *ms, int w, int xa, int xb, uint8_t *d, int32_t *md) {
    if (s)
        for (int x = xa; x < xb; ++x) std::memcpy(d + 3 * x, s + 3 * (w - 1 - x), 3);
    if (ms)
        for (int x = xa; x < xb; ++x) md[x] = ms[w - 1 - x];
}

#if TRELLISK_X86
// Five pixels per byte shuffle (the 16-byte load starts one byte before
// them, so it never reads past the row's last pixel), eight mask values
// per lane permutation.
TRELLISK_AVX2 void flip_row_avx2(const uint8_t *s, const int32_t *ms, int w, int xa, int xb, uint8_t *d,
                                 int32_t *md) {
    const __m128i rev = _mm_setr_epi8(13, 14, 15, 10, 11, 12, 7, 8, 9, 4, 5, 6, 1, 2, 3, -1);
    int x = xa;
    // Stores are 16 bytes for 15: stop while the extra byte is still ours to write.
    for (; x + 6 <= xb && w - 5 - x >= 1; x += 5) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * (w - 5 - x) - 1));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(d + 3 * x), _mm_shuffle_epi8(v, rev));
    }
    flip_row(s, nullptr, w, x, xb, d, nullptr);
    if (!ms) return;
    const __m256i back = _mm256_setr_epi32(7, 6, 5, 4, 3, 2, 1, 0);
    x = xa;
    for (; x + 8 <= xb; x += 8)
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(md + x),
                            _mm256_permutevar8x32_epi32(
                                _mm256_loadu_si256(reinterpret_cast<const __m256i *>(ms + (w - 8 - x))), back));
    flip_row(nullptr, ms, w, x, xb, nullptr, md);
}
#endif

}  // namespace

void flip(const uint8_t *src, const int32_t *mask, int h, int w, uint8_t *dst, int32_t *mask_dst, const Region &r,
          bool avx2) {
    (void)h;
    for (int y = r.y0; y < r.y1; ++y) {
        const size_t o = size_t(y) * w;
        const int32_t *ms = mask ? mask + o : nullptr;
        int32_t *md = mask ? mask_dst + o : nullptr;
#if TRELLISK_X86
        if (avx2) {
            flip_row_avx2(src + 3 * o, ms, w, r.x0, r.x1, dst + 3 * o, md);
            continue;
        }
#else
        (void)avx2;
#endif
        flip_row(src + 3 * o, ms, w, r.x0, r.x1, dst + 3 * o, md);
    }
}

void invert_affine(const double m[6], double inv[6]) {
    double D = m[0] * m[4] - m[1] * m[3];
    D = D != 0 ? 1. / D : 0;
    const double A11 = m[4] * D, A22 = m[0] * D, A12 = -m[1] * D, A21 = -m[3] * D;
    const double b1 = -A11 * m[2] - A12 * m[5];
    const double b2 = -A21 * m[2] - A22 * m[5];
    inv[0] = A11, inv[1] = A12, inv[2] = b1;
    inv[3] = A21, inv[4] = A22, inv[5] = b2;
}

void affine_from_points(const float from[3][2], const float to[3][2], double m[6]) {
    // Solve [x y 1] * (a b c) = x' and = y' for the three points (Cramer).
    const double x0 = from[0][0], y0 = from[0][1], x1 = from[1][0], y1 = from[1][1],
                 x2 = from[2][0], y2 = from[2][1];
    const double det = x0 * (y1 - y2) - y0 * (x1 - x2) + (x1 * y2 - x2 * y1);
    for (int r = 0; r < 2; ++r) {
        const double v0 = to[0][r], v1 = to[1][r], v2 = to[2][r];
        if (det == 0) {
            m[3 * r] = m[3 * r + 1] = m[3 * r + 2] = 0;
            continue;
        }
        m[3 * r + 0] = (v0 * (y1 - y2) - y0 * (v1 - v2) + (v1 * y2 - v2 * y1)) / det;
        m[3 * r + 1] = (x0 * (v1 - v2) - v0 * (x1 - x2) + (x1 * v2 - x2 * v1)) / det;
        m[3 * r + 2] = (x0 * (y1 * v2 - y2 * v1) - y0 * (x1 * v2 - x2 * v1) + v0 * (x1 * y2 - x2 * y1)) / det;
    }
}

void warp_nearest(const uint8_t *src, const int32_t *mask, int h, int w, const double inv[6], uint8_t border,
                  int32_t mask_border, uint8_t *dst, int32_t *mask_dst, const Region &r, bool avx2) {
    // One source index per destination pixel serves image and mask alike.
    AffineRows rows(inv, w, true);
    std::vector<int32_t> idx(w);
    const size_t n = size_t(h) * w;
    for (int y = r.y0; y < r.y1; ++y) {
        nearest_index(rows, y, h, w, r.x0, r.x1, idx.data(), avx2);
        const size_t o = size_t(y) * w + r.x0;
        copy_row(src, mask, idx.data() + r.x0, r.x1 - r.x0, n, border, mask_border, src ? dst + 3 * o : nullptr,
                 mask ? mask_dst + o : nullptr, avx2);
    }
}

namespace {

// Splits image row `s` into three int16 plane rows.
void split_row(const uint8_t *s, int w, int16_t *p0, int16_t *p1, int16_t *p2) {
    for (int x = 0; x < w; ++x) p0[x] = s[3 * x], p1[x] = s[3 * x + 1], p2[x] = s[3 * x + 2];
}

#if TRELLISK_X86
TRELLISK_AVX2 void split_row_avx2(const uint8_t *s, int w, int16_t *p0, int16_t *p1, int16_t *p2) {
    // Sixteen pixels at a time: bytes of one channel picked from the three
    // 16-byte blocks, then widened.
    static const int8_t pick[3][3][16] = {
        {{0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 1, 4, 7, 10, 13}},
        {{1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 2, 5, 8, 11, 14}},
        {{2, 5, 8, 11, 14, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, 1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1},
         {-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 3, 6, 9, 12, 15}}};
    int16_t *out[3] = {p0, p1, p2};
    int x = 0;
    for (; x + 16 <= w; x += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * x));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * x + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 3 * x + 32));
        for (int k = 0; k < 3; ++k) {
            const __m128i v = _mm_or_si128(
                _mm_or_si128(_mm_shuffle_epi8(a, _mm_loadu_si128(reinterpret_cast<const __m128i *>(pick[k][0]))),
                             _mm_shuffle_epi8(b, _mm_loadu_si128(reinterpret_cast<const __m128i *>(pick[k][1])))),
                _mm_shuffle_epi8(c, _mm_loadu_si128(reinterpret_cast<const __m128i *>(pick[k][2]))));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(out[k] + x), _mm256_cvtepu8_epi16(v));
        }
    }
    split_row(s + 3 * x, w - x, p0 + x, p1 + x, p2 + x);
}
#endif

}  // namespace

void warp_lanczos(const uint8_t *src, int h, int w, const double inv[6], uint8_t border, uint8_t *dst,
                  std::vector<int16_t> &planes, const Region &r, bool avx2) {
    // Planar copy framed by 8 border pixels: every 8 x 8 window that touches
    // the image then reads the border value where it leaves the image, which
    // is what the constant border gives.
    const int pw = w + 2 * kPad, ph = h + 2 * kPad;
    const size_t plane = size_t(pw) * ph;
    // With AVX2, paired planes (pair_planes) follow the planes.
    planes.resize(3 * plane + (avx2 ? 3 * size_t(ph - 1) * 2 * pw : 0));
    int16_t *pl = planes.data();
    for (int c = 0; c < 3; ++c) {
        std::fill_n(pl + c * plane, size_t(kPad) * pw, int16_t(border));
        std::fill_n(pl + c * plane + size_t(kPad + h) * pw, size_t(kPad) * pw, int16_t(border));
        for (int y = 0; y < h; ++y) {
            int16_t *row = pl + c * plane + size_t(y + kPad) * pw;
            std::fill_n(row, kPad, int16_t(border));
            std::fill_n(row + kPad + w, kPad, int16_t(border));
        }
    }
    for (int y = 0; y < h; ++y) {
        const uint8_t *s = src + size_t(y) * w * 3;
        int16_t *p = pl + size_t(y + kPad) * pw + kPad;
#if TRELLISK_X86
        if (avx2) {
            split_row_avx2(s, w, p, p + plane, p + 2 * plane);
            continue;
        }
#endif
        split_row(s, w, p, p + plane, p + 2 * plane);
    }
    AffineRows rows(inv, w, false);
#if TRELLISK_X86
    if (avx2) {
        int16_t *pairs = pl + 3 * plane;
        pair_planes(pl, pw, ph, pairs);
        std::vector<int32_t> off(w), wi(w);
        for (int y = r.y0; y < r.y1; ++y)
            lanczos_row_avx2(pairs, pw, ph, h, w, r.x0, r.x1, rows.x0(y), rows.y0(y), rows, border,
                             dst + size_t(y) * w * 3, off.data(), wi.data());
        return;
    }
#endif
    for (int y = r.y0; y < r.y1; ++y) {
        uint8_t *d = dst + size_t(y) * w * 3;
        lanczos_row(pl, pw, ph, h, w, r.x0, r.x1, rows.x0(y), rows.y0(y), rows, border, d);
    }
}

template <class T>
void remap_nearest(const T *src, int h, int w, int cn, const float *map_x, const float *map_y, T border,
                   T *dst) {
    for (size_t i = 0, n = size_t(h) * w; i < n; ++i) {
        const long X = std::lrint(map_x[i]), Y = std::lrint(map_y[i]);
        T *d = dst + i * cn;
        if (X >= 0 && X < w && Y >= 0 && Y < h) {
            const T *s = src + (size_t(Y) * w + size_t(X)) * cn;
            for (int c = 0; c < cn; ++c) d[c] = s[c];
        } else {
            for (int c = 0; c < cn; ++c) d[c] = border;
        }
    }
}
template void remap_nearest<uint8_t>(const uint8_t *, int, int, int, const float *, const float *, uint8_t,
                                     uint8_t *);
template void remap_nearest<int32_t>(const int32_t *, int, int, int, const float *, const float *, int32_t,
                                     int32_t *);

namespace {

// The affine map taking triangle (a, b, c) of the grid onto (A, B, C):
// x' = m[0] x + m[1] y + m[2], y' = m[3] x + m[4] y + m[5].
void triangle_affine(const double a[2], const double b[2], const double c[2], const double *A,
                     const double *B, const double *C, double m[6]) {
    const double det = (b[0] - a[0]) * (c[1] - a[1]) - (c[0] - a[0]) * (b[1] - a[1]);
    for (int r = 0; r < 2; ++r) {
        // Gradient of the linear function with values A[r], B[r], C[r] at a, b, c.
        const double db = B[r] - A[r], dc = C[r] - A[r];
        const double gx = (db * (c[1] - a[1]) - dc * (b[1] - a[1])) / det;
        const double gy = (dc * (b[0] - a[0]) - db * (c[0] - a[0])) / det;
        m[3 * r] = gx;
        m[3 * r + 1] = gy;
        m[3 * r + 2] = A[r] - gx * a[0] - gy * a[1];
    }
}

}  // namespace

namespace {

// Grid points clipped to the border map border pixels onto it up to
// rounding noise; a tolerance keeps those pixels.
constexpr double kEdgeEps = 1e-9;

// Source indices of pixels [xa, xb) of row y under the triangle map m:
// the source pixel at m(x, y) rounded half up, or -1 outside the source.
void triangle_index(const double *m, int y, int xa, int xb, int h, int w, int32_t *idx) {
    for (int x = xa; x < xb; ++x) {
        const double sx = m[0] * x + m[1] * y + m[2], sy = m[3] * x + m[4] * y + m[5];
        if (sx >= -kEdgeEps && sx <= w - 1 + kEdgeEps && sy >= -kEdgeEps && sy <= h - 1 + kEdgeEps)
            // floor(v + 0.5) by truncation: v + 0.5 is positive here.
            idx[x] = std::min(int(sy + 0.5), h - 1) * w + std::min(int(sx + 0.5), w - 1);
        else
            idx[x] = -1;
    }
}

#if TRELLISK_X86
// The same four pixels at a time, each value computed with the same
// operations in the same order.
TRELLISK_AVX2 void triangle_index_avx2(const double *m, int y, int xa, int xb, int h, int w, int32_t *idx) {
    const __m256d m0 = _mm256_set1_pd(m[0]), m3 = _mm256_set1_pd(m[3]);
    const __m256d by = _mm256_set1_pd(m[1] * y), dy = _mm256_set1_pd(m[4] * y);
    const __m256d c2 = _mm256_set1_pd(m[2]), c5 = _mm256_set1_pd(m[5]);
    const __m256d lo = _mm256_set1_pd(-kEdgeEps), hx = _mm256_set1_pd(w - 1 + kEdgeEps),
                  hy = _mm256_set1_pd(h - 1 + kEdgeEps), half = _mm256_set1_pd(0.5);
    const __m128i wm = _mm_set1_epi32(w - 1), hm = _mm_set1_epi32(h - 1), vw = _mm_set1_epi32(w);
    const __m256d step = _mm256_set1_pd(4);
    __m256d vx = _mm256_setr_pd(xa, xa + 1, xa + 2, xa + 3);
    int x = xa;
    for (; x + 4 <= xb; x += 4, vx = _mm256_add_pd(vx, step)) {
        const __m256d sx = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m0, vx), by), c2);
        const __m256d sy = _mm256_add_pd(_mm256_add_pd(_mm256_mul_pd(m3, vx), dy), c5);
        const __m256d in = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(sx, lo, _CMP_GE_OQ), _mm256_cmp_pd(sx, hx, _CMP_LE_OQ)),
            _mm256_and_pd(_mm256_cmp_pd(sy, lo, _CMP_GE_OQ), _mm256_cmp_pd(sy, hy, _CMP_LE_OQ)));
        const __m128i ix = _mm_min_epi32(_mm256_cvttpd_epi32(_mm256_add_pd(sx, half)), wm);
        const __m128i iy = _mm_min_epi32(_mm256_cvttpd_epi32(_mm256_add_pd(sy, half)), hm);
        const __m128i i = _mm_add_epi32(_mm_mullo_epi32(iy, vw), ix);
        // The four 64-bit lane masks narrowed to 32 bits.
        const __m128i ok = _mm256_castsi256_si128(
            _mm256_permutevar8x32_epi32(_mm256_castpd_si256(in), _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(idx + x), _mm_blendv_epi8(_mm_set1_epi32(-1), i, ok));
    }
    triangle_index(m, y, x, xb, h, w, idx);
}
#endif

}  // namespace

void piecewise(const uint8_t *src, const int32_t *mask, int h, int w, const double pts[16][2],
               Diagonals diagonals, uint8_t *dst, int32_t *mask_dst, const Region &reg, bool avx2) {
    // Grid point (r, c) sits at (c * w / 3, r * h / 3), as linspace(0, n, 4)
    // places it; each output pixel takes the source pixel at the affine image
    // of its position under the triangle that contains it, rounded half up,
    // 0 outside the source.
    const double gx[4] = {0, w / 3.0, 2 * (w / 3.0), double(w)};
    const double gy[4] = {0, h / 3.0, 2 * (h / 3.0), double(h)};
    // Per cell: the map of its first triangle (above the diagonal, or left
    // of it) and of its second.
    double maps[9][2][6];
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) {
            const double tl[2] = {gx[c], gy[r]}, tr[2] = {gx[c + 1], gy[r]};
            const double bl[2] = {gx[c], gy[r + 1]}, br[2] = {gx[c + 1], gy[r + 1]};
            const double *TL = pts[r * 4 + c], *TR = pts[r * 4 + c + 1];
            const double *BL = pts[(r + 1) * 4 + c], *BR = pts[(r + 1) * 4 + c + 1];
            double(&m)[2][6] = maps[r * 3 + c];
            if (diagonals & (1u << (r * 3 + c))) {  // top-left to bottom-right
                triangle_affine(tl, tr, br, TL, TR, BR, m[0]);
                triangle_affine(tl, bl, br, TL, BL, BR, m[1]);
            } else {
                triangle_affine(tl, tr, bl, TL, TR, BL, m[0]);
                triangle_affine(tr, bl, br, TR, BL, BR, m[1]);
            }
        }
    auto index = [&](const double *m, int y, int xa, int xb, int32_t *idx) {
        xa = std::max(xa, reg.x0);
        xb = std::min(xb, reg.x1);
        if (xa >= xb) return;
#if TRELLISK_X86
        if (avx2) return triangle_index_avx2(m, y, xa, xb, h, w, idx);
#endif
        triangle_index(m, y, xa, xb, h, w, idx);
    };
    std::vector<int32_t> idx(w);
    const size_t n = size_t(h) * w;
    for (int y = reg.y0; y < reg.y1; ++y) {
        int r = 0;
        while (r < 2 && y >= gy[r + 1]) ++r;
        const double v = (y - gy[r]) / (gy[r + 1] - gy[r]);
        int x = 0;
        for (int c = 0; c < 3; ++c) {
            const int x_end = std::max(x, c == 2 ? w : int(std::ceil(gx[c + 1])));
            const double dxc = gx[c + 1] - gx[c];
            const bool main_diag = diagonals & (1u << (r * 3 + c));
            // Upper-right triangle from x >= gx + v * dx; upper-left up to
            // x <= gx + (1 - v) * dx. Each cell row is two runs of pixels,
            // split at the first integer past that bound.
            const double split = main_diag ? gx[c] + v * dxc : gx[c] + (1 - v) * dxc;
            const double bound = main_diag ? std::ceil(split) : std::floor(split) + 1;
            const int xs = !(bound > x) ? x : bound >= x_end ? x_end : int(bound);
            const double *before = maps[r * 3 + c][main_diag ? 1 : 0], *after = maps[r * 3 + c][main_diag ? 0 : 1];
            index(before, y, x, xs, idx.data());
            index(after, y, xs, x_end, idx.data());
            x = x_end;
        }
        const size_t o = size_t(y) * w + reg.x0;
        copy_row(src, mask, idx.data() + reg.x0, reg.x1 - reg.x0, n, 0, 0, dst + 3 * o, mask ? mask_dst + o : nullptr,
                 avx2);
    }
}

void crop_resize(const uint8_t *src, const int32_t *mask, int h, int w, int y0, int x0, int ch, int cw, int oh,
                 int ow, uint8_t *dst, int32_t *mask_dst, bool avx2) {
    // Nearest neighbour: source index floor(i * (src / dst)), as the resize does.
    const double ifx = 1. / (double(ow) / cw), ify = 1. / (double(oh) / ch);
    std::vector<int32_t> xs(ow), idx(ow);
    for (int x = 0; x < ow; ++x) xs[x] = std::min(int(std::floor(x * ifx)), cw - 1) + x0;
    const size_t n = size_t(h) * w;
    int prev = -1;
    for (int y = 0; y < oh; ++y) {
        const int sy = std::min(int(std::floor(y * ify)), ch - 1);
        uint8_t *d = dst + size_t(y) * ow * 3;
        int32_t *md = mask ? mask_dst + size_t(y) * ow : nullptr;
        if (sy == prev) {  // an enlarging crop repeats source rows: copy the row just made
            std::memcpy(d, d - size_t(ow) * 3, size_t(ow) * 3);
            if (md) std::memcpy(md, md - ow, size_t(ow) * sizeof(int32_t));
            continue;
        }
        prev = sy;
        const int32_t base = int32_t((y0 + sy) * w);
        for (int x = 0; x < ow; ++x) idx[x] = base + xs[x];
        copy_row(src, mask, idx.data(), ow, n, 0, 0, d, md, avx2);
    }
}

}  // namespace detail
}  // namespace augment
}  // namespace trellisk
