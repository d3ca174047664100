// Geometric entries: flip, affine warps (Lanczos and nearest neighbour),
// the piecewise-affine warp, and crop-and-resize. Coordinates are rounded the
// way the augmentation library's OpenCV and scikit-image calls round them,
// so that the results agree pixel for pixel.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <vector>

#include "augment/kernels.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

// Source coordinates of destination row y: for each x the fixed-point
// values the warp computes (integer part in `shift` bits).
struct AffineRows {
    std::vector<int> adelta, bdelta;
    const double *m;
    int round_delta;
    AffineRows(const double inv[6], int w, bool nearest)
        : adelta(w), bdelta(w), m(inv), round_delta(nearest ? kAbScale / 2 : kAbScale / kInterTab / 2) {
        for (int x = 0; x < w; ++x) {
            adelta[x] = round_int(m[0] * x * kAbScale);
            bdelta[x] = round_int(m[3] * x * kAbScale);
        }
    }
    int x0(int y) const { return round_int((m[1] * y + m[2]) * kAbScale) + round_delta; }
    int y0(int y) const { return round_int((m[4] * y + m[5]) * kAbScale) + round_delta; }
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

template <class T>
void warp_nearest_impl(const T *src, int h, int w, int cn, const double inv[6], T border, T *dst) {
    AffineRows rows(inv, w, true);
    for (int y = 0; y < h; ++y) {
        const int64_t X0 = rows.x0(y), Y0 = rows.y0(y);
        T *d = dst + size_t(y) * w * cn;
        for (int x = 0; x < w; ++x, d += cn) {
            const int64_t X = (X0 + rows.adelta[x]) >> kAbBits;
            const int64_t Y = (Y0 + rows.bdelta[x]) >> kAbBits;
            if (X >= 0 && X < w && Y >= 0 && Y < h) {
                const T *s = src + (size_t(Y) * w + size_t(X)) * cn;
                for (int c = 0; c < cn; ++c) d[c] = s[c];
            } else {
                for (int c = 0; c < cn; ++c) d[c] = border;
            }
        }
    }
}

}  // namespace

void flip(const uint8_t *src, const int32_t *mask, int h, int w, uint8_t *dst, int32_t *mask_dst) {
    for (int y = 0; y < h; ++y) {
        const uint8_t *s = src + size_t(y) * w * 3;
        uint8_t *d = dst + size_t(y) * w * 3;
        for (int x = 0; x < w; ++x) std::memcpy(d + 3 * (w - 1 - x), s + 3 * x, 3);
        if (mask) {
            const int32_t *ms = mask + size_t(y) * w;
            int32_t *md = mask_dst + size_t(y) * w;
            for (int x = 0; x < w; ++x) md[w - 1 - x] = ms[x];
        }
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

void warp_nearest(const uint8_t *src, int h, int w, const double inv[6], uint8_t border, uint8_t *dst) {
    warp_nearest_impl<uint8_t>(src, h, w, 3, inv, border, dst);
}

void warp_nearest(const int32_t *src, int h, int w, const double inv[6], int32_t border, int32_t *dst) {
    warp_nearest_impl<int32_t>(src, h, w, 1, inv, border, dst);
}

void warp_lanczos(const uint8_t *src, int h, int w, const double inv[6], uint8_t border, uint8_t *dst) {
    const LanczosTable &table = lanczos_table();
    // Planar copy framed by 8 border pixels: every 8 x 8 window that touches
    // the image then reads the border value where it leaves the image, which
    // is what the constant border gives.
    constexpr int P = 8;
    const int pw = w + 2 * P, ph = h + 2 * P;
    std::vector<int16_t> planes(size_t(3) * pw * ph, int16_t(border));
    for (int y = 0; y < h; ++y) {
        const uint8_t *s = src + size_t(y) * w * 3;
        for (int c = 0; c < 3; ++c) {
            int16_t *p = planes.data() + (size_t(c) * ph + y + P) * pw + P;
            for (int x = 0; x < w; ++x) p[x] = s[3 * x + c];
        }
    }
    AffineRows rows(inv, w, false);
    constexpr int shift = kAbBits - kInterBits;
    for (int y = 0; y < h; ++y) {
        const int64_t X0 = rows.x0(y), Y0 = rows.y0(y);
        uint8_t *d = dst + size_t(y) * w * 3;
        for (int x = 0; x < w; ++x, d += 3) {
            const int64_t X = (X0 + rows.adelta[x]) >> shift;
            const int64_t Y = (Y0 + rows.bdelta[x]) >> shift;
            const int64_t sx = (X >> kInterBits) - 3, sy = (Y >> kInterBits) - 3;
            if (sx >= w || sx + 8 <= 0 || sy >= h || sy + 8 <= 0) {
                d[0] = d[1] = d[2] = border;
                continue;
            }
            const int16_t *wt = table.w[(Y & (kInterTab - 1)) * kInterTab + (X & (kInterTab - 1))];
            for (int c = 0; c < 3; ++c) {
                const int16_t *s = planes.data() + (size_t(c) * ph + size_t(sy + P)) * pw + size_t(sx + P);
                const int v = (dot8x8(s, pw, wt) + (1 << (kCoefBits - 1))) >> kCoefBits;
                d[c] = uint8_t(std::clamp(v, 0, 255));
            }
        }
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

void piecewise(const uint8_t *src, const int32_t *mask, int h, int w, const double pts[16][2],
               Diagonals diagonals, uint8_t *dst, int32_t *mask_dst) {
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
    // Grid points clipped to the border map border pixels onto it up to
    // rounding noise; a tolerance keeps those pixels.
    constexpr double eps = 1e-9;
    for (int y = 0; y < h; ++y) {
        int r = 0;
        while (r < 2 && y >= gy[r + 1]) ++r;
        const double v = (y - gy[r]) / (gy[r + 1] - gy[r]);
        int x = 0;
        for (int c = 0; c < 3; ++c) {
            const int x_end = c == 2 ? w : int(std::ceil(gx[c + 1]));
            const double dxc = gx[c + 1] - gx[c];
            const bool main_diag = diagonals & (1u << (r * 3 + c));
            // Upper-right triangle from x >= gx + v * dx; upper-left up to
            // x <= gx + (1 - v) * dx.
            const double split = main_diag ? gx[c] + v * dxc : gx[c] + (1 - v) * dxc;
            for (; x < x_end; ++x) {
                const bool first = main_diag ? x >= split : x <= split;
                const double *m = maps[r * 3 + c][first ? 0 : 1];
                const double sx = m[0] * x + m[1] * y + m[2], sy = m[3] * x + m[4] * y + m[5];
                const size_t o = size_t(y) * w + x;
                if (sx >= -eps && sx <= w - 1 + eps && sy >= -eps && sy <= h - 1 + eps) {
                    // floor(v + 0.5) by truncation: v + 0.5 is positive here.
                    const size_t i = size_t(std::min(int(sy + 0.5), h - 1)) * w + size_t(std::min(int(sx + 0.5), w - 1));
                    std::memcpy(dst + 3 * o, src + 3 * i, 3);
                    if (mask) mask_dst[o] = mask[i];
                } else {
                    dst[3 * o] = dst[3 * o + 1] = dst[3 * o + 2] = 0;
                    if (mask) mask_dst[o] = 0;
                }
            }
        }
    }
}

template <class T>
void crop_resize(const T *src, int h, int w, int cn, int y0, int x0, int ch, int cw, int oh, int ow, T *dst) {
    (void)h;
    // Nearest neighbour: source index floor(i * (src / dst)), as the resize does.
    const double ifx = 1. / (double(ow) / cw), ify = 1. / (double(oh) / ch);
    std::vector<int> xs(ow);
    for (int x = 0; x < ow; ++x) xs[x] = std::min(int(std::floor(x * ifx)), cw - 1);
    for (int y = 0; y < oh; ++y) {
        const int sy = std::min(int(std::floor(y * ify)), ch - 1);
        const T *s = src + (size_t(y0 + sy) * w + x0) * cn;
        T *d = dst + size_t(y) * ow * cn;
        for (int x = 0; x < ow; ++x)
            for (int c = 0; c < cn; ++c) d[size_t(x) * cn + c] = s[size_t(xs[x]) * cn + c];
    }
}
template void crop_resize<uint8_t>(const uint8_t *, int, int, int, int, int, int, int, int, int, uint8_t *);
template void crop_resize<int32_t>(const int32_t *, int, int, int, int, int, int, int, int, int, int32_t *);

}  // namespace detail
}  // namespace augment
}  // namespace trellisk
