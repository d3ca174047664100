#include "resize.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace imaging {

namespace {

constexpr int kCoefBits = 11;
constexpr int kCoefScale = 1 << kCoefBits;

// Source index and fixed-point weights of one output coordinate along an
// axis of `src_size` samples scaled by `scale` (source / destination).
struct Tap {
    int index;        // first source sample
    bool single;      // only the first sample contributes (border)
    std::int16_t a0, a1;
};

std::int16_t to_short(float v) {
    // Rounded half to even, then saturated, as OpenCV's saturate_cast does.
    const long r = std::lrint(v);
    return static_cast<std::int16_t>(std::min<long>(32767, std::max<long>(-32768, r)));
}

// Along x the position is clamped to the image (weight 1 on the border
// sample); along y it is not: rows beyond the edge are the edge row, blended
// with the fractional weights (which rounds differently).
std::vector<Tap> taps(int src_size, int dst_size, bool clamp) {
    const double inv_scale = static_cast<double>(dst_size) / src_size;
    const double scale = 1.0 / inv_scale;
    std::vector<Tap> out(dst_size);
    for (int d = 0; d < dst_size; ++d) {
        float f = static_cast<float>((d + 0.5) * scale - 0.5);
        int s = static_cast<int>(std::floor(f));
        f -= static_cast<float>(s);
        bool single = false;
        if (!clamp) {
            out[d] = Tap{s, false, to_short((1.f - f) * kCoefScale), to_short(f * kCoefScale)};
            continue;
        }
        if (s < 0) {
            f = 0.f;
            s = 0;
        }
        if (s + 1 >= src_size) {
            single = true;
            if (s >= src_size - 1) {
                f = 0.f;
                s = src_size - 1;
            }
        }
        out[d] = Tap{s, single, to_short((1.f - f) * kCoefScale), to_short(f * kCoefScale)};
    }
    // OpenCV treats every position from the first border one on as border.
    bool border = false;
    for (int d = 0; d < dst_size; ++d) {
        border = border || out[d].single;
        out[d].single = border;
    }
    return out;
}

// One source row scaled horizontally into fixed-point sums (weight 2048 = 1),
// kept as sum >> 4 in 16 bits: the vertical pass uses no more of them.
// Border taps read one sample twice with weights (2048, 0), which is the
// same sum without a branch.
struct XTap {
    std::ptrdiff_t first, second;  // byte offsets of the two samples
    int a0, a1;
};

std::vector<XTap> xtaps(const std::vector<Tap> &xt, int channels) {
    std::vector<XTap> out(xt.size());
    for (std::size_t d = 0; d < xt.size(); ++d) {
        const Tap &t = xt[d];
        const std::ptrdiff_t first = static_cast<std::ptrdiff_t>(t.index) * channels;
        out[d] = t.single ? XTap{first, first, kCoefScale, 0} : XTap{first, first + channels, t.a0, t.a1};
    }
    return out;
}

// Fixed channel counts unroll the per-pixel loop; the sums are exact in int32.
template <int CN>
void horizontal_fixed(const std::uint8_t *row, const std::vector<XTap> &xt, std::int16_t *out) {
    const std::size_t dw = xt.size();
    for (std::size_t d = 0; d < dw; ++d) {
        const XTap t = xt[d];
        const std::uint8_t *p0 = row + t.first, *p1 = row + t.second;
        std::int16_t *o = out + d * CN;
        for (int k = 0; k < CN; ++k) o[k] = static_cast<std::int16_t>((p0[k] * t.a0 + p1[k] * t.a1) >> 4);
    }
}

void horizontal(const std::uint8_t *row, int channels, const std::vector<XTap> &xt, std::int16_t *out) {
    switch (channels) {
        case 1: return horizontal_fixed<1>(row, xt, out);
        case 3: return horizontal_fixed<3>(row, xt, out);
        case 4: return horizontal_fixed<4>(row, xt, out);
        default: break;
    }
    for (std::size_t d = 0; d < xt.size(); ++d) {
        const XTap t = xt[d];
        std::int16_t *o = out + d * channels;
        for (int k = 0; k < channels; ++k)
            o[k] = static_cast<std::int16_t>((row[t.first + k] * t.a0 + row[t.second + k] * t.a1) >> 4);
    }
}

// OpenCV's reduced-precision vertical pass: the high 16 bits of each 16-bit
// product, then (sum + 2) >> 2, saturated to 8 bits.
void vertical(const std::int16_t *r0, const std::int16_t *r1, int b0, int b1, std::uint8_t *o, std::size_t n) {
    std::size_t i = 0;
#ifdef __SSE2__
    const __m128i w0 = _mm_set1_epi16(static_cast<short>(b0)), w1 = _mm_set1_epi16(static_cast<short>(b1));
    const __m128i two = _mm_set1_epi16(2);
    for (; i + 16 <= n; i += 16) {
        __m128i lo = _mm_adds_epi16(_mm_mulhi_epi16(w0, _mm_loadu_si128(reinterpret_cast<const __m128i *>(r0 + i))),
                                    _mm_mulhi_epi16(w1, _mm_loadu_si128(reinterpret_cast<const __m128i *>(r1 + i))));
        __m128i hi = _mm_adds_epi16(
            _mm_mulhi_epi16(w0, _mm_loadu_si128(reinterpret_cast<const __m128i *>(r0 + i + 8))),
            _mm_mulhi_epi16(w1, _mm_loadu_si128(reinterpret_cast<const __m128i *>(r1 + i + 8))));
        lo = _mm_srai_epi16(_mm_adds_epi16(lo, two), 2);
        hi = _mm_srai_epi16(_mm_adds_epi16(hi, two), 2);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(o + i), _mm_packus_epi16(lo, hi));
    }
#endif
    for (; i < n; ++i) {
        const int v = (((b0 * r0[i]) >> 16) + ((b1 * r1[i]) >> 16) + 2) >> 2;
        o[i] = static_cast<std::uint8_t>(std::min(255, std::max(0, v)));
    }
}

}  // namespace

void resize_linear(const ConstView &src, const View &dst) {
    const int cn = src.channels;
    if (src.height == dst.height && src.width == dst.width) {
        const std::size_t bytes = static_cast<std::size_t>(src.width) * cn;
        for (int y = 0; y < src.height; ++y)
            std::memcpy(dst.data + y * dst.stride, src.data + y * src.stride, bytes);
        return;
    }
    const std::vector<XTap> xt = xtaps(taps(src.width, dst.width, true), cn);
    const std::vector<Tap> yt = taps(src.height, dst.height, false);
    const std::size_t row_len = static_cast<std::size_t>(dst.width) * cn;
    // The two most recent horizontally scaled source rows.
    std::vector<std::int16_t> buf(2 * row_len);
    int cached[2] = {-1, -1};
    auto row = [&](int sy) -> const std::int16_t * {
        for (int k = 0; k < 2; ++k)
            if (cached[k] == sy) return buf.data() + k * row_len;
        // Replace the row not needed by the current pair (the older one).
        const int slot = (cached[0] == -1 || (cached[1] != -1 && cached[0] < cached[1])) ? 0 : 1;
        cached[slot] = sy;
        std::int16_t *out = buf.data() + slot * row_len;
        horizontal(src.data + sy * src.stride, cn, xt, out);
        return out;
    };
    for (int d = 0; d < dst.height; ++d) {
        const Tap &t = yt[d];
        const int y0 = std::min(std::max(t.index, 0), src.height - 1);
        const int y1 = std::min(std::max(t.index + 1, 0), src.height - 1);
        const std::int16_t *r0 = row(y0);
        const std::int16_t *r1 = row(y1);
        vertical(r0, r1, t.a0, t.a1, dst.data + d * dst.stride, row_len);
    }
}

Frame letterbox_frame(int src_height, int src_width, int target_height, int target_width) {
    const double r = std::min(static_cast<double>(target_height) / src_height,
                              static_cast<double>(target_width) / src_width);
    // round() of the scaled size, half to even as the interpreter's round.
    const int nw = std::max(1, static_cast<int>(std::nearbyint(src_width * r)));
    const int nh = std::max(1, static_cast<int>(std::nearbyint(src_height * r)));
    Frame f;
    f.out_height = target_height;
    f.out_width = target_width;
    f.scaled_height = nh;
    f.scaled_width = nw;
    f.left = (target_width - nw) / 2;
    f.top = (target_height - nh) / 2;
    f.w = static_cast<double>(nw) / src_width * src_width;
    f.h = static_cast<double>(nh) / src_height * src_height;
    f.padw = f.left;
    f.padh = f.top;
    return f;
}

Frame stretch_frame(int target_height, int target_width) {
    Frame f;
    f.out_height = f.scaled_height = target_height;
    f.out_width = f.scaled_width = target_width;
    f.left = f.top = 0;
    f.w = target_width;
    f.h = target_height;
    f.padw = f.padh = 0.0;
    return f;
}

void letterbox(const ConstView &src, const Frame &frame, const View &dst) {
    const int cn = src.channels;
    // One row of border colour, copied in spans.
    std::vector<std::uint8_t> fill(static_cast<std::size_t>(frame.out_width) * cn, 0);
    for (int x = 0; x < frame.out_width; ++x)
        for (int k = 0; k < cn && k < 3; ++k) fill[static_cast<std::size_t>(x) * cn + k] = 114;
    const std::size_t left = static_cast<std::size_t>(frame.left) * cn;
    const std::size_t right = static_cast<std::size_t>(frame.left + frame.scaled_width) * cn;
    for (int y = 0; y < frame.out_height; ++y) {
        std::uint8_t *o = dst.data + y * dst.stride;
        if (y >= frame.top && y < frame.top + frame.scaled_height) {
            std::memcpy(o, fill.data(), left);
            std::memcpy(o + right, fill.data() + right, fill.size() - right);
        } else {
            std::memcpy(o, fill.data(), fill.size());
        }
    }
    View inner{dst.data + frame.top * dst.stride + static_cast<std::ptrdiff_t>(frame.left) * cn,
               frame.scaled_height, frame.scaled_width, cn, dst.stride};
    resize_linear(src, inner);
}

}  // namespace imaging
