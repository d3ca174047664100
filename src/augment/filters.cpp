// Filtering entries: the defocus blur and the elastic displacement field.
#include <algorithm>
#include <cmath>
#include <vector>

#include "augment/kernels.h"
#include "augment/random.h"
#include "augment/recipe.h"

#if TRELLISK_X86
#include <immintrin.h>
#endif

namespace trellisk {
namespace augment {
namespace detail {

namespace {

// Mirror index without repeating the edge (d c b | a b c d | c b a), for
// any distance outside [0, len).
int reflect101(int p, int len) {
    if (len == 1) return 0;
    while (p < 0 || p >= len) p = p < 0 ? -p : 2 * len - 2 - p;
    return p;
}

// Mirror index repeating the edge (c b a | a b c | c b a), for any distance.
int reflect(int p, int len) {
    const int period = 2 * len;
    int m = p % period;
    if (m < 0) m += period;
    return m >= len ? period - 1 - m : m;
}

// The defocus kernel: a disk of `radius` in a (2 * max(8, radius) + 1)
// square, normalised, then blurred by a 3 x 3 (radius <= 8) or 5 x 5
// Gaussian of sigma `alias_blur` with mirrored edges, all in float32.
std::vector<float> defocus_kernel(int radius, double alias_blur, int *size) {
    const int half = std::max(8, radius), n = 2 * half + 1;
    std::vector<float> disk(size_t(n) * n);
    int count = 0;
    for (int y = -half; y <= half; ++y)
        for (int x = -half; x <= half; ++x) {
            const bool in = x * x + y * y <= radius * radius;
            disk[size_t(y + half) * n + (x + half)] = in ? 1.f : 0.f;
            count += in;
        }
    const float total = float(count);
    for (float &v : disk) v /= total;

    const int k = radius <= 8 ? 3 : 5, kh = k / 2;
    std::vector<float> g(k);
    double sum = 0;
    const double scale2 = -0.5 / (alias_blur * alias_blur);
    for (int i = 0; i < k; ++i) {
        const double x = i - (k - 1) * 0.5;
        g[i] = float(std::exp(scale2 * x * x));
        sum += g[i];
    }
    for (float &v : g) v = float(v * (1. / sum));

    std::vector<float> rows(disk.size()), out(disk.size());
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            float s = 0;
            for (int i = 0; i < k; ++i) s += g[i] * disk[size_t(y) * n + reflect101(x + i - kh, n)];
            rows[size_t(y) * n + x] = s;
        }
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) {
            float s = 0;
            for (int i = 0; i < k; ++i) s += g[i] * rows[size_t(reflect101(y + i - kh, n)) * n + x];
            out[size_t(y) * n + x] = s;
        }
    *size = n;
    return out;
}

// One axis of a Gaussian filter (sigma, radius 4 sigma, mirrored edges
// repeating the edge pixel), in double, in place over `lines` lines of
// `len` values `stride` apart.
void gaussian_axis(std::vector<double> &data, int lines, int len, size_t line_step, size_t stride,
                   const std::vector<double> &weights) {
    const int radius = int(weights.size() / 2);
    std::vector<double> line(len);
    for (int l = 0; l < lines; ++l) {
        double *p = data.data() + size_t(l) * line_step;
        for (int i = 0; i < len; ++i) line[i] = p[size_t(i) * stride];
        for (int i = 0; i < len; ++i) {
            double s = 0;
            for (int j = -radius; j <= radius; ++j) s += weights[j + radius] * line[reflect(i + j, len)];
            p[size_t(i) * stride] = s;
        }
    }
}

// The defocus blur's inner loops (auto-vectorised; an AVX2 copy where the
// CPU has it).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define TRELLISK_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TRELLISK_CLONES
#endif

// acc += w * (a + b)
TRELLISK_CLONES
void accumulate2(float *__restrict acc, const float *__restrict a, const float *__restrict b, float w, int n) {
    for (int i = 0; i < n; ++i) acc[i] += w * (a[i] + b[i]);
}

// acc += w * a
TRELLISK_CLONES
void accumulate(float *__restrict acc, const float *__restrict a, float w, int n) {
    for (int i = 0; i < n; ++i) acc[i] += w * a[i];
}

// out = a + b
TRELLISK_CLONES
void add_rows(float *__restrict out, const float *__restrict a, const float *__restrict b, int n) {
    for (int i = 0; i < n; ++i) out[i] = a[i] + b[i];
}

struct Tap {
    int dy, dx;
    float w;
};

// One output row of the defocus blur from its folded input rows: every
// weight in turn, acc += w * (a + b) (or w * a on the centre column), then
// rounded to the nearest byte.
void defocus_row(const float *folded, int pad_len, int n, int R, const std::vector<Tap> &taps, int row_len,
                 float *acc, uint8_t *d) {
    std::fill(acc, acc + row_len, 0.f);
    for (const Tap &t : taps) {
        const float *row = folded + size_t(t.dy) * pad_len;
        if (t.dx < R)
            accumulate2(acc, row + 3 * t.dx, row + 3 * (n - 1 - t.dx), t.w, row_len);
        else
            accumulate(acc, row + 3 * t.dx, t.w, row_len);
    }
    for (int i = 0; i < row_len; ++i) d[i] = uint8_t(std::clamp(std::lrint(acc[i]), 0L, 255L));
}

#if TRELLISK_X86
// The same, 64 outputs at a time held in registers across all the weights:
// each output sees the same operations in the same order.
TRELLISK_AVX2 void defocus_row_avx2(const float *folded, int pad_len, int n, int R, const std::vector<Tap> &taps,
                                    int row_len, float *acc, uint8_t *d) {
    constexpr int kBlock = 64, kRegs = kBlock / 8;
    int i = 0;
    for (; i + kBlock <= row_len; i += kBlock) {
        __m256 a[kRegs];
        for (auto &v : a) v = _mm256_setzero_ps();
        for (const Tap &t : taps) {
            const float *row = folded + size_t(t.dy) * pad_len + i;
            const __m256 wv = _mm256_set1_ps(t.w);
            if (t.dx < R) {
                const float *p = row + 3 * t.dx, *q = row + 3 * (n - 1 - t.dx);
                for (int k = 0; k < kRegs; ++k)
                    a[k] = _mm256_add_ps(
                        a[k], _mm256_mul_ps(wv, _mm256_add_ps(_mm256_loadu_ps(p + 8 * k), _mm256_loadu_ps(q + 8 * k))));
            } else {
                const float *p = row + 3 * t.dx;
                for (int k = 0; k < kRegs; ++k) a[k] = _mm256_add_ps(a[k], _mm256_mul_ps(wv, _mm256_loadu_ps(p + 8 * k)));
            }
        }
        // Nearest integer (ties to even, as lrint), saturated to a byte.
        for (int k = 0; k < kRegs; k += 4) {
            const __m256i lo = _mm256_packs_epi32(_mm256_cvtps_epi32(a[k]), _mm256_cvtps_epi32(a[k + 1]));
            const __m256i hi = _mm256_packs_epi32(_mm256_cvtps_epi32(a[k + 2]), _mm256_cvtps_epi32(a[k + 3]));
            // packs/packus work per 128-bit lane: put the 4-byte groups back in order.
            const __m256i o = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(lo, hi),
                                                          _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
            _mm256_storeu_si256(reinterpret_cast<__m256i *>(d + i + 8 * k), o);
        }
    }
    if (i < row_len) {
        // The last partial block through the baseline loops, on the same
        // folded rows shifted by i.
        std::fill(acc, acc + (row_len - i), 0.f);
        for (const Tap &t : taps) {
            const float *row = folded + size_t(t.dy) * pad_len + i;
            if (t.dx < R)
                accumulate2(acc, row + 3 * t.dx, row + 3 * (n - 1 - t.dx), t.w, row_len - i);
            else
                accumulate(acc, row + 3 * t.dx, t.w, row_len - i);
        }
        for (int k = 0; k < row_len - i; ++k) d[i + k] = uint8_t(std::clamp(std::lrint(acc[k]), 0L, 255L));
    }
}
#endif

#if TRELLISK_X86
// Four pixels per byte shuffle; returns how many pixels it did (it stops
// where a 16-byte load or store would leave the buffers).
TRELLISK_AVX2 size_t channels_avx2(const uint8_t *src, size_t n, const int pick[3], uint8_t *dst) {
    alignas(16) int8_t ctl[16];
    for (int j = 0; j < 16; ++j) ctl[j] = -1;
    for (int j = 0; j < 4; ++j)
        for (int c = 0; c < 3; ++c) ctl[3 * j + c] = int8_t(pick[c] < 0 ? -1 : 3 * j + pick[c]);
    const __m128i m = _mm_load_si128(reinterpret_cast<const __m128i *>(ctl));
    size_t i = 0;
    for (; i + 6 <= n; i += 4)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(dst + 3 * i),
                         _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(src + 3 * i)), m));
    return i;
}
#endif

}  // namespace

void defocus(const uint8_t *src, int h, int w, int radius, double alias_blur, uint8_t *dst, int y0, int y1,
             std::vector<float> &pad, bool avx2) {
    int n = 0;
    const std::vector<float> kernel = defocus_kernel(radius, alias_blur, &n);
    const int R = n / 2;
    // Mirrored copy in float with an R-pixel frame, so that each output row
    // is a sum of shifted input rows weighted by the kernel taps.
    const int pw = w + 2 * R, ph = h + 2 * R;
    pad.resize(size_t(ph) * pw * 3);
    std::vector<int> xmap(pw);
    for (int x = 0; x < pw; ++x) xmap[x] = reflect101(x - R, w);
    for (int y = 0; y < ph; ++y) {
        const uint8_t *s = src + size_t(reflect101(y - R, h)) * w * 3;
        float *p = pad.data() + size_t(y) * pw * 3;
        for (int x = 0; x < pw; ++x)
            for (int c = 0; c < 3; ++c) p[3 * x + c] = s[3 * xmap[x] + c];
    }
    // The kernel is symmetric about its centre row and column: rows i and
    // n - 1 - i of the input are added first, then columns j and n - 1 - j,
    // so each weight of the upper-left quadrant multiplies once.
    std::vector<Tap> taps;
    for (int i = 0; i <= R; ++i)
        for (int j = 0; j <= R; ++j)
            if (kernel[size_t(i) * n + j] != 0.f) taps.push_back({i, j, kernel[size_t(i) * n + j]});
    const int row_len = 3 * w, pad_len = 3 * pw;
    std::vector<float> acc(row_len), folded(size_t(R + 1) * pad_len);
    for (int y = y0; y < y1; ++y) {
        for (int i = 0; i < R; ++i)
            add_rows(folded.data() + size_t(i) * pad_len, pad.data() + size_t(y + i) * pad_len,
                     pad.data() + size_t(y + n - 1 - i) * pad_len, pad_len);
        std::copy_n(pad.data() + size_t(y + R) * pad_len, pad_len, folded.data() + size_t(R) * pad_len);
        uint8_t *d = dst + size_t(y) * row_len;
#if TRELLISK_X86
        if (avx2) {
            defocus_row_avx2(folded.data(), pad_len, n, R, taps, row_len, acc.data(), d);
            continue;
        }
#else
        (void)avx2;
#endif
        defocus_row(folded.data(), pad_len, n, R, taps, row_len, acc.data(), d);
    }
}

void channels(const uint8_t *src, size_t n, const int pick[3], uint8_t *dst, bool avx2) {
    size_t i = 0;
#if TRELLISK_X86
    if (avx2) i = channels_avx2(src, n, pick, dst);
#else
    (void)avx2;
#endif
    for (; i < n; ++i)
        for (int c = 0; c < 3; ++c) dst[3 * i + c] = pick[c] < 0 ? 0 : src[3 * i + pick[c]];
}

void elastic_maps(uint64_t key, int h, int w, float *map_x, float *map_y) {
    const double sigma = recipe::kElasticSigma;
    const int radius = int(4.0 * sigma + 0.5);
    std::vector<double> weights(2 * radius + 1);
    double sum = 0;
    for (int i = -radius; i <= radius; ++i) sum += weights[i + radius] = std::exp(-0.5 * i * i / (sigma * sigma));
    for (double &v : weights) v /= sum;
    Rng rng(key);
    for (int axis = 0; axis < 2; ++axis) {
        std::vector<double> field(size_t(h) * w);
        for (double &v : field) v = rng.uniform() * 2 - 1;
        gaussian_axis(field, w, h, 1, size_t(w), weights);  // along columns
        gaussian_axis(field, h, w, size_t(w), 1, weights);  // along rows
        float *map = axis == 0 ? map_x : map_y;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const float d = float(field[size_t(y) * w + x]);
                map[size_t(y) * w + x] = float(double(axis == 0 ? x : y) + double(d));
            }
    }
}

}  // namespace detail
}  // namespace augment
}  // namespace trellisk
