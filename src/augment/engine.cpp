// The engine: draws one plan per call from its key and runs the entries in
// their fixed order through two scratch buffers.
#include "augment/engine.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "augment/kernels.h"
#include "augment/random.h"
#include "augment/recipe.h"

namespace trellisk {
namespace augment {

namespace {

namespace r = recipe;

constexpr uint8_t kGrey = r::kFill;  // image fill of the shift-scale-rotate and elastic entries

std::string size_error(int h, int w) {
    if (h < 1 || w < 1)
        return "image must be at least 1 x 1 pixels, got " + std::to_string(h) + " x " + std::to_string(w);
    if (h > kMaxSide || w > kMaxSide || int64_t(h) * w > kMaxPixels)
        return "image of " + std::to_string(h) + " x " + std::to_string(w) + " pixels is too large (at most " +
               std::to_string(kMaxSide) + " per side and " + std::to_string(kMaxPixels) + " pixels)";
    return {};
}

// Points of the elastic entry's affine step for an h x w input: a square
// of side 2 * (min(h, w) // 3) around (h // 2, w // 2), read as (x, y)
// pairs in that order, as the library builds them.
void elastic_points(int h, int w, float pts[3][2]) {
    const float c0 = float(h / 2), c1 = float(w / 2), s = float(std::min(h, w) / 3);
    const float p[3][2] = {{c0 + s, c1 + s}, {c0 + s, c1 - s}, {c0 - s, c1 - s}};
    std::memcpy(pts, p, sizeof(p));
}

// Inputs with at least this many pixels skip the elastic displacement field:
// alpha 1 and sigma 50 give displacements far below half a pixel there (the
// largest seen over many fields is under 0.1), so nearest-neighbour sampling
// returns every pixel in place. Smaller inputs get the field computed.
constexpr int64_t kFieldMinPixels = 1024;

std::string check_plan(const Plan &p) {
    std::string e = size_error(p.in_h, p.in_w);
    if (!e.empty()) return e;
    e = size_error(p.out_h, p.out_w);
    if (!e.empty()) return "output " + e;
    if (p.crop) {
        if (p.crop_h < 1 || p.crop_w < 1 || p.crop_h > p.in_h || p.crop_w > p.in_w)
            return "Requested crop size (" + std::to_string(p.crop_h) + ", " + std::to_string(p.crop_w) +
                   ") is larger than the image size (" + std::to_string(p.in_h) + ", " + std::to_string(p.in_w) +
                   ")";
        if (!(p.h_start >= 0 && p.h_start < 1 && p.w_start >= 0 && p.w_start < 1))
            return "crop start fractions must lie in [0, 1)";
    } else if (p.out_h != p.in_h || p.out_w != p.in_w) {
        return "output size differs from the input size without a crop";
    }
    if (p.drop_channel < -1 || p.drop_channel > 2) return "dropped channel must be 0, 1, 2 or -1";
    if (p.shuffle) {
        bool seen[3] = {false, false, false};
        for (int c : p.perm) {
            if (c < 0 || c > 2 || seen[c]) return "channel permutation must hold 0, 1 and 2 once each";
            seen[c] = true;
        }
    }
    if (p.defocus && (p.radius < 1 || p.radius > 64 || !(p.alias_blur > 0 && p.alias_blur < 64)))
        return "defocus radius must lie in [1, 64] and its blur in (0, 64)";
    return {};
}

// Scratch buffers, one set per thread, reused from call to call: fresh
// buffers of a few hundred kilobytes cost page faults on every call. They
// hold nothing between calls.
struct Scratch {
    std::vector<uint8_t> img[2];
    std::vector<int32_t> msk[2];
    std::vector<int16_t> planes;  // the Lanczos warp's padded channel planes
    std::vector<float> blur;      // the defocus entry's mirrored float copy
};

// The buffers the entries write into in turn: two scratch buffers, and the
// caller's output for the last entry that runs, so nothing is copied at the
// end.
struct Stage {
    Stage(Scratch &s, int passes, uint8_t *out_image, int32_t *out_mask)
        : img(s.img), msk(s.msk), left(passes), out_image(out_image), out_mask(out_mask) {}
    std::vector<uint8_t> *img;
    std::vector<int32_t> *msk;
    int turn = 0, mask_turn = 0;  // every pass makes a new image, only geometric ones a new mask
    int left;  // passes still to run, this one included
    uint8_t *out_image;
    int32_t *out_mask;
    const uint8_t *image = nullptr;
    const int32_t *mask = nullptr;
    uint8_t *next_image(size_t n) {
        if (left == 1) return out_image;
        img[turn].resize(n);
        return img[turn].data();
    }
    int32_t *next_mask(size_t n) {
        if (!mask) return nullptr;
        if (left == 1) return out_mask;
        msk[mask_turn].resize(n);
        return msk[mask_turn].data();
    }
    void advance(const uint8_t *i, const int32_t *m) {
        if (m != mask) mask_turn ^= 1;
        image = i;
        mask = m;
        turn ^= 1;
        --left;
    }
};

}  // namespace

namespace detail {
bool cpu_has_avx2() {
#if TRELLISK_X86
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#else
    return false;
#endif
}
}  // namespace detail

bool avx2_available() { return detail::cpu_has_avx2(); }

std::string make_config(int height, int width, bool channel_ops, Diagonals diagonals, Config *out) {
    std::string e = size_error(height, width);
    if (!e.empty()) return "shape: " + e;
    Config c;
    c.height = height;
    c.width = width;
    // Crop heights height // 5 to height // 2, never below one pixel.
    c.crop_min = std::max(1, height / r::kCropMinDivisor);
    c.crop_max = std::max(c.crop_min, height / r::kCropMaxDivisor);
    c.channel_ops = channel_ops;
    c.diagonals = Diagonals(diagonals & kDefaultDiagonals);
    *out = c;
    return {};
}

uint64_t derive_key(uint64_t seed, uint64_t index) {
    uint64_t s = seed ^ 0x6a09e667f3bcc909ULL;
    uint64_t t = splitmix64(s) ^ index;
    return splitmix64(t);
}

std::string draw(const Config &config, uint64_t key, int in_h, int in_w, Plan *plan, int diagonals) {
    std::string e = size_error(in_h, in_w);
    if (!e.empty()) return e;
    if (config.height < 1 || config.width < 1 || config.crop_min < 1 || config.crop_max < config.crop_min)
        return "augmentation config is not initialised (use make_config)";
    Rng rng(key);
    Plan p;
    p.in_h = p.out_h = in_h;
    p.in_w = p.out_w = in_w;

    // One of flip and shift-scale-rotate.
    if (rng.chance(r::kOneOfP)) {
        if (rng.chance(r::choose_first(r::kFlipP, r::kShiftScaleRotateP))) {
            p.flip = true;
        } else {
            p.ssr = true;
            p.angle = rng.uniform(r::kRotateLimit.lo, r::kRotateLimit.hi);
            p.scale = rng.uniform(1 + r::kScaleLimit.lo, 1 + r::kScaleLimit.hi);
            p.dx = rng.uniform(r::kShiftX.lo, r::kShiftX.hi);
            p.dy = rng.uniform(r::kShiftY.lo, r::kShiftY.hi);
        }
    }
    if (config.channel_ops) {
        if (rng.chance(r::kChannelDropoutP)) p.drop_channel = rng.integer(0, 2);
        if (rng.chance(r::kChannelShuffleP)) {
            p.shuffle = true;
            for (int i = 2; i > 0; --i) std::swap(p.perm[i], p.perm[rng.integer(0, i)]);
        }
    }
    if (rng.chance(r::kDefocusP)) {
        p.defocus = true;
        p.radius = rng.integer(r::kDefocusRadius.lo, r::kDefocusRadius.hi);
        p.alias_blur = rng.uniform(r::kAliasBlur.lo, r::kAliasBlur.hi);
    }
    // One of elastic and piecewise affine.
    if (rng.chance(r::kOneOfP)) {
        if (rng.chance(r::choose_first(r::kElasticP, r::kPiecewiseP))) {
            p.elastic = true;
            float from[3][2], to[3][2];
            elastic_points(in_h, in_w, from);
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 2; ++j)
                    to[i][j] = from[i][j] + float(rng.uniform(-r::kElasticAlphaAffine, r::kElasticAlphaAffine));
            detail::affine_from_points(from, to, p.elastic_m);
            p.field_key = rng.next();
        } else {
            const double sd = rng.uniform(r::kPiecewiseScale.lo, r::kPiecewiseScale.hi);
            double jitter[16][2];
            bool any_positive = false;
            for (auto &j : jitter)
                for (double &v : j) any_positive |= (v = rng.normal(0, sd)) > 0;
            // All-negative jitter leaves the sample unchanged in the library.
            p.piecewise = any_positive;
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c) {
                    const double y = r == 3 ? in_h : r * (in_h / 3.0), x = c == 3 ? in_w : c * (in_w / 3.0);
                    p.pa_dst[r * 4 + c][0] = std::clamp(x + jitter[r * 4 + c][1] * in_w, 0.0, in_w - 1.0);
                    p.pa_dst[r * 4 + c][1] = std::clamp(y + jitter[r * 4 + c][0] * in_h, 0.0, in_h - 1.0);
                }
            if (diagonals >= 0)
                p.pa_diagonals = Diagonals(diagonals & kDefaultDiagonals);
            else
                p.pa_diagonals =
                    in_h == config.height && in_w == config.width ? config.diagonals : kDefaultDiagonals;
        }
    }
    if (rng.chance(r::kCropP)) {
        p.crop = true;
        p.crop_h = rng.integer(config.crop_min, config.crop_max);
        p.crop_w = p.crop_h;
        p.h_start = rng.uniform();
        p.w_start = rng.uniform();
        p.out_h = config.height;
        p.out_w = config.width;
    }
    e = check_plan(p);
    if (!e.empty()) return e;
    *plan = p;
    return {};
}

std::string render(const Plan &plan, const uint8_t *image, const int32_t *mask, uint8_t *out_image,
                   int32_t *out_mask, Simd simd) {
    std::string e = check_plan(plan);
    if (!e.empty()) return e;
    if (!image || !out_image || (mask && !out_mask)) return "missing image or mask buffer";
    const bool avx2 = simd == Simd::best && detail::cpu_has_avx2();
    const int h = plan.in_h, w = plan.in_w;
    const size_t n = size_t(h) * w;

    // Work that cannot change a pixel is skipped: a channel operation that
    // drops nothing and keeps the order, a crop of the whole frame at its
    // own size.
    int pick[3] = {0, 1, 2};
    if (plan.shuffle) std::copy(plan.perm, plan.perm + 3, pick);
    for (int &c : pick)
        if (c == plan.drop_channel) c = -1;
    const bool channel_op = pick[0] != 0 || pick[1] != 1 || pick[2] != 2;
    const bool crop = plan.crop && !(plan.crop_h == h && plan.crop_w == w && plan.out_h == h && plan.out_w == w);
    const bool field = plan.elastic && int64_t(n) < kFieldMinPixels;
    // The mask moves only through geometric entries; the channel and
    // defocus entries leave it where it is.
    const int image_passes = plan.flip + plan.ssr + channel_op + plan.defocus + plan.elastic + field +
                             plan.piecewise;

    thread_local Scratch scratch;
    // Buffers grown by an unusually large input are given back afterwards.
    struct Trim {
        Scratch &s;
        ~Trim() {
            size_t bytes = 2 * s.planes.capacity() + 4 * s.blur.capacity();
            for (int i = 0; i < 2; ++i) bytes += s.img[i].capacity() + 4 * s.msk[i].capacity();
            if (bytes > (size_t(64) << 20)) s = Scratch();
        }
    } trim{scratch};
    // A crop reads only its own rectangle: the entries before it compute
    // just that part of their output, back to the last one that reads its
    // input anywhere else (a warp, a blur). The tiny-input elastic field
    // keeps everything whole.
    const detail::Region whole{0, h, 0, w};
    detail::Region part = whole;
    if (crop && !field) {
        const int y0 = int((h - plan.crop_h + 1) * plan.h_start), x0 = int((w - plan.crop_w + 1) * plan.w_start);
        part = {y0, y0 + plan.crop_h, x0, x0 + plan.crop_w};
    }
    // Passes in order: which of them only need `part`.
    enum Kind { kFlip, kSsr, kChannel, kDefocus, kElastic, kPiecewise, kKinds };
    const bool on[kKinds] = {plan.flip, plan.ssr, channel_op, plan.defocus, plan.elastic, plan.piecewise};
    bool partial[kKinds] = {};
    for (int k = kKinds - 1; k >= 0; --k) {
        if (!on[k]) continue;
        partial[k] = true;
        if (k != kChannel) break;  // only the channel pass reads just the pixels it writes
    }
    auto region = [&](int k) -> const detail::Region & { return partial[k] ? part : whole; };

    // The crop writes the outputs itself; otherwise the last pass does.
    Stage st(scratch, crop ? image_passes + 1 : image_passes, out_image, out_mask);
    st.image = image;
    st.mask = mask;
    // Where the mask goes when a pass leaves it: the output, if that pass
    // is the last one; otherwise it stays where it is.
    auto keep_mask = [&]() -> const int32_t * {
        if (st.mask && st.left == 1) {
            std::memcpy(out_mask, st.mask, n * sizeof(int32_t));
            return out_mask;
        }
        return st.mask;
    };

    if (plan.flip) {
        uint8_t *di = st.next_image(3 * n);
        int32_t *dm = st.next_mask(n);
        detail::flip(st.image, st.mask, h, w, di, dm, region(kFlip), avx2);
        st.advance(di, dm);
    }
    if (plan.ssr) {
        // Rotation about the pixel grid's centre, scaled, then shifted by
        // fractions of the size.
        const double pi = 3.14159265358979323846;
        const double a = plan.angle * pi / 180, alpha = std::cos(a) * plan.scale, beta = std::sin(a) * plan.scale;
        const double cx = double(float(w / 2.0 - 0.5)), cy = double(float(h / 2.0 - 0.5));
        double m[6] = {alpha, beta, (1 - alpha) * cx - beta * cy, -beta, alpha, beta * cx + (1 - alpha) * cy};
        m[2] += plan.dx * w;
        m[5] += plan.dy * h;
        double inv[6];
        detail::invert_affine(m, inv);
        uint8_t *di = st.next_image(3 * n);
        int32_t *dm = st.next_mask(n);
        detail::warp_lanczos(st.image, h, w, inv, kGrey, di, scratch.planes, region(kSsr), avx2);
        if (dm) detail::warp_nearest(nullptr, st.mask, h, w, inv, 0, 0, nullptr, dm, region(kSsr), avx2);
        st.advance(di, dm);
    }
    if (channel_op) {
        // Dropout, then shuffle, in one pass: out[c] = dropped[perm[c]].
        uint8_t *di = st.next_image(3 * n);
        const int32_t *dm = keep_mask();
        const detail::Region &r = region(kChannel);
        if (r.x0 == 0 && r.x1 == w) {
            detail::channels(st.image + size_t(r.y0) * w * 3, size_t(r.y1 - r.y0) * w, pick,
                             di + size_t(r.y0) * w * 3, avx2);
        } else {
            for (int y = r.y0; y < r.y1; ++y) {
                const size_t o = 3 * (size_t(y) * w + r.x0);
                detail::channels(st.image + o, size_t(r.x1 - r.x0), pick, di + o, avx2);
            }
        }
        st.advance(di, dm);
    }
    if (plan.defocus) {
        uint8_t *di = st.next_image(3 * n);
        const int32_t *dm = keep_mask();
        const detail::Region &r = region(kDefocus);
        detail::defocus(st.image, h, w, plan.radius, plan.alias_blur, di, r.y0, r.y1, scratch.blur, avx2);
        st.advance(di, dm);
    }
    if (plan.elastic) {
        double inv[6];
        detail::invert_affine(plan.elastic_m, inv);
        uint8_t *di = st.next_image(3 * n);
        int32_t *dm = st.next_mask(n);
        detail::warp_nearest(st.image, st.mask, h, w, inv, kGrey, 0, di, dm, region(kElastic), avx2);
        st.advance(di, dm);
        if (field) {
            std::vector<float> mx(n), my(n);
            detail::elastic_maps(plan.field_key, h, w, mx.data(), my.data());
            di = st.next_image(3 * n);
            dm = st.next_mask(n);
            detail::remap_nearest<uint8_t>(st.image, h, w, 3, mx.data(), my.data(), kGrey, di);
            if (dm) detail::remap_nearest<int32_t>(st.mask, h, w, 1, mx.data(), my.data(), 0, dm);
            st.advance(di, dm);
        }
    }
    if (plan.piecewise) {
        uint8_t *di = st.next_image(3 * n);
        int32_t *dm = st.next_mask(n);
        detail::piecewise(st.image, st.mask, h, w, plan.pa_dst, plan.pa_diagonals, di, dm, region(kPiecewise), avx2);
        st.advance(di, dm);
    }
    if (crop) {
        const int y0 = int((h - plan.crop_h + 1) * plan.h_start), x0 = int((w - plan.crop_w + 1) * plan.w_start);
        detail::crop_resize(st.image, st.mask, h, w, y0, x0, plan.crop_h, plan.crop_w, plan.out_h, plan.out_w,
                            out_image, mask ? out_mask : nullptr, avx2);
        return {};
    }
    if (image_passes == 0) {
        std::memcpy(out_image, image, 3 * n);
        if (mask) std::memcpy(out_mask, mask, n * sizeof(int32_t));
    }
    return {};
}

std::string apply(const Config &config, uint64_t key, const uint8_t *image, int h, int w, const int32_t *mask,
                  Result *out) {
    Plan plan;
    std::string e = draw(config, key, h, w, &plan);
    if (!e.empty()) return e;
    Result r;
    r.height = plan.out_h;
    r.width = plan.out_w;
    r.image.resize(size_t(r.height) * r.width * 3);
    if (mask) r.mask.resize(size_t(r.height) * r.width);
    e = render(plan, image, mask, r.image.data(), mask ? r.mask.data() : nullptr);
    if (!e.empty()) return e;
    *out = std::move(r);
    return {};
}

}  // namespace augment
}  // namespace trellisk
