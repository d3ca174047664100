// Plans and box rules of the detection augmentation engine; the pixel work
// is in render.cpp.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>

#include "augment/engine.h"
#include "augment/random.h"
#include "detaug/engine.h"
#include "detaug/kernels.h"

namespace trellisk {
namespace detaug {

namespace {

using augment::Rng;

constexpr double kPi = 3.14159265358979323846;

// a after b: (a * b)(p) = a(b(p)), for 2 x 3 matrices.
void compose(const double a[6], const double b[6], double out[6]) {
    double r[6];
    r[0] = a[0] * b[0] + a[1] * b[3];
    r[1] = a[0] * b[1] + a[1] * b[4];
    r[2] = a[0] * b[2] + a[1] * b[5] + a[2];
    r[3] = a[3] * b[0] + a[4] * b[3];
    r[4] = a[3] * b[1] + a[4] * b[4];
    r[5] = a[3] * b[2] + a[4] * b[5] + a[5];
    std::memcpy(out, r, sizeof r);
}

// Gamma(shape, 1) by Marsaglia and Tsang; shapes below 1 through the usual
// boost Gamma(a + 1) * U^(1 / a).
double gamma(Rng &rng, double a) {
    double boost = 1.0;
    if (a < 1) {
        double u = rng.uniform();
        while (u <= 0) u = rng.uniform();
        boost = std::pow(u, 1.0 / a);
        a += 1;
    }
    const double d = a - 1.0 / 3.0, c = 1.0 / std::sqrt(9.0 * d);
    for (int tries = 0; tries < 1000; ++tries) {
        const double x = rng.normal(0, 1);
        const double v0 = 1 + c * x;
        if (v0 <= 0) continue;
        const double v = v0 * v0 * v0, u = rng.uniform();
        if (u < 1 - 0.0331 * x * x * x * x || std::log(u) < 0.5 * x * x + d * (1 - v + std::log(v)))
            return d * v * boost;
    }
    return d * boost;  // practically unreachable; keeps the draw finite
}

double beta(Rng &rng, double alpha) {
    const double a = gamma(rng, alpha), b = gamma(rng, alpha);
    const double s = a + b;
    return s > 0 && std::isfinite(s) ? a / s : 0.5;
}

// A convex polygon of at most 8 vertices (a quadrilateral clipped by four
// half-planes); room for more, should rounding add any.
struct Polygon {
    int n = 0;
    double x[16], y[16];
    double area() const {
        double a = 0;
        for (int i = 0; i < n; ++i) {
            const int j = (i + 1) % n;
            a += x[i] * y[j] - x[j] * y[i];
        }
        return std::fabs(a) * 0.5;
    }
    // Keeps the part where s * (coordinate - bound) <= 0 (axis 0: x, 1: y).
    void cut(int axis, double bound, double s) {
        Polygon out;
        for (int i = 0; i < n && out.n <= 14; ++i) {
            const int j = (i + 1) % n;
            const double pi = s * ((axis ? y[i] : x[i]) - bound), pj = s * ((axis ? y[j] : x[j]) - bound);
            if (pi <= 0) out.x[out.n] = x[i], out.y[out.n] = y[i], ++out.n;
            if ((pi < 0 && pj > 0) || (pi > 0 && pj < 0)) {
                const double t = pi / (pi - pj);
                out.x[out.n] = axis ? x[i] + t * (x[j] - x[i]) : bound;
                out.y[out.n] = axis ? bound : y[i] + t * (y[j] - y[i]);
                ++out.n;
            }
        }
        *this = out;
    }
    void clip(double w, double h) {
        cut(0, 0, -1);
        cut(0, w, 1);
        cut(1, 0, -1);
        cut(1, h, 1);
    }
};

int partner(Rng &rng, int group, int member) {
    if (group < 2) return member;
    const int r = rng.integer(0, group - 2);
    return r >= member ? r + 1 : r;
}

View draw_view(const Config &c, Rng &rng, int group, int member, int64_t pass) {
    const int W = c.width, H = c.height;
    View v;
    const bool mosaic_allowed = c.mosaic_stop_pass < 0 || pass < c.mosaic_stop_pass;
    v.mosaic = rng.chance(c.freq[kMosaic]) && mosaic_allowed;
    v.member[0] = member;
    double cx = W * 0.5, cy = H * 0.5;
    if (v.mosaic) {
        v.tiles = 4;
        const int own = rng.integer(0, 3);  // the main sample's quadrant
        for (int t = 0; t < 4; ++t) v.member[t] = t == own ? member : partner(rng, group, member);
        v.xc = rng.integer(W / 2, W + W / 2);
        v.yc = rng.integer(H / 2, H + H / 2);
        // Quadrants around the centre: top-left, top-right, bottom-left,
        // bottom-right; each tile a whole source picture.
        for (int t = 0; t < 4; ++t) {
            v.ox[t] = t & 1 ? v.xc : v.xc - W;
            v.oy[t] = t & 2 ? v.yc : v.yc - H;
        }
        cx = W, cy = H;  // the 2W x 2H canvas centre lands on the output centre
    }
    v.tx = W * 0.5, v.ty = H * 0.5;
    v.affine = rng.chance(c.freq[kAffine]);
    if (v.affine) {
        v.angle = rng.uniform(-c.degrees, c.degrees);
        v.scale = rng.uniform(c.scale_lo, c.scale_hi);
        v.shear_x = rng.uniform(-c.shear, c.shear);
        v.shear_y = rng.uniform(-c.shear, c.shear);
        v.tx = rng.uniform(0.5 - c.translate, 0.5 + c.translate) * W;
        v.ty = rng.uniform(0.5 - c.translate, 0.5 + c.translate) * H;
    }
    v.hflip = rng.chance(c.freq[kHflip]);
    v.vflip = rng.chance(c.freq[kVflip]);

    // Output = flip . translate . shear . rotate-and-scale . centre.
    const double a = v.angle * kPi / 180, s = v.scale;
    const double centre[6] = {1, 0, -cx, 0, 1, -cy};
    const double rot[6] = {s * std::cos(a), s * std::sin(a), 0, -s * std::sin(a), s * std::cos(a), 0};
    const double shear[6] = {1, std::tan(v.shear_x * kPi / 180), 0, std::tan(v.shear_y * kPi / 180), 1, 0};
    const double shift[6] = {1, 0, v.tx, 0, 1, v.ty};
    const double flip[6] = {v.hflip ? -1.0 : 1.0, 0, v.hflip ? double(W) : 0.0,
                            0, v.vflip ? -1.0 : 1.0, v.vflip ? double(H) : 0.0};
    double m[6];
    compose(rot, centre, m);
    compose(shear, m, m);
    compose(shift, m, m);
    compose(flip, m, m);
    std::memcpy(v.m, m, sizeof m);
    return v;
}

}  // namespace

bool avx2_available() {
#if DETAUG_X86
    static const bool yes = __builtin_cpu_supports("avx2");
    return yes;
#else
    return false;
#endif
}

uint64_t call_key(uint64_t seed, uint64_t pass, uint64_t index) {
    return augment::derive_key(augment::derive_key(seed, pass), index);
}

std::string draw(const Config &c, uint64_t key, int group, int main, int64_t pass, Plan *plan) {
    if (c.height < 1 || c.width < 1) return "detection augmentation config is not initialised (use make_config)";
    if (group < 1 || group > kMaxGroup)
        return "a group holds 1 to " + std::to_string(kMaxGroup) + " samples, got " + std::to_string(group);
    if (main < 0 || main >= group)
        return "main must be in 0.." + std::to_string(group - 1) + ", got " + std::to_string(main);
    if (pass < 0) return "pass_number must be >= 0, got " + std::to_string(pass);
    Rng rng(key);
    Plan p;
    p.height = c.height, p.width = c.width, p.group = group;
    p.first = draw_view(c, rng, group, main, pass);
    p.mixup = rng.chance(c.freq[kMixup]);
    if (p.mixup) {
        p.second = draw_view(c, rng, group, partner(rng, group, main), pass);
        p.ratio = beta(rng, c.mixup_alpha);
    }
    p.hsv = rng.chance(c.freq[kHsv]);
    if (p.hsv) {
        p.hue = rng.uniform(-c.hsv_h, c.hsv_h);
        p.sat = 1 + rng.uniform(-c.hsv_s, c.hsv_s);
        p.val = 1 + rng.uniform(-c.hsv_v, c.hsv_v);
    }
    *plan = p;
    return {};
}

std::string check(const Config &c, const Group &g) {
    if (g.k < 1 || g.k > kMaxGroup)
        return "a group holds 1 to " + std::to_string(kMaxGroup) + " samples, got " + std::to_string(g.k);
    if (g.n < 0 || g.n > kMaxBoxes) return "too many box rows: " + std::to_string(g.n);
    if (!g.images || (g.n > 0 && !g.boxes) || !g.counts) return "missing input buffer";
    (void)c;
    if (g.p < 0 || g.v < 0 || g.p > kMaxBoxes || g.v > kMaxVertices)
        return "too many outline rows: " + std::to_string(g.p) + " parts, " + std::to_string(g.v) + " vertices";
    if (g.p > 0 && (!g.outline_parts || (g.v > 0 && !g.outline_xy))) return "missing outline buffer";
    for (int j = 0; j < g.k && g.p > 0; ++j) {
        const int32_t *parts = g.outline_parts + size_t(j) * g.p * 3;
        for (int i = 0; i < g.p; ++i) {
            const int32_t row = parts[i * 3], first = parts[i * 3 + 1], count = parts[i * 3 + 2];
            if (count == 0) continue;  // padding
            const std::string at = "outline_parts[" + std::to_string(j) + ", " + std::to_string(i) + "]";
            if (row < 0 || row >= g.counts[j])
                return at + " names box row " + std::to_string(row) + ", outside 0.." + std::to_string(g.counts[j] - 1);
            if (count < 0 || first < 0 || first > g.v - count)
                return at + " takes vertices " + std::to_string(first) + " (" + std::to_string(count) +
                       " of them), outside the " + std::to_string(g.v) + " given";
            const float *xy = g.outline_xy + (size_t(j) * g.v + size_t(first)) * 2;
            for (int q = 0; q < count * 2; ++q)
                if (!std::isfinite(xy[q])) return at + " has a non-finite vertex";
        }
    }
    for (int j = 0; j < g.k; ++j) {
        const int32_t cnt = g.counts[j];
        if (cnt < 0 || cnt > g.n)
            return "counts[" + std::to_string(j) + "] = " + std::to_string(cnt) + " is outside 0.." +
                   std::to_string(g.n) + " (the box rows given)";
        const float *b = g.boxes + size_t(j) * g.n * 5;
        for (int i = 0; i < cnt * 5; ++i)
            if (!std::isfinite(b[i]))
                return "boxes[" + std::to_string(j) + ", " + std::to_string(i / 5) + "] holds a non-finite value";
    }
    return {};
}

namespace {

// A polygon of any size (an object's outline part), clipped by half-planes.
struct Ring {
    std::vector<double> x, y, cx, cy;
    double area() const {
        double a = 0;
        const size_t n = x.size();
        for (size_t i = 0; i < n; ++i) {
            const size_t j = (i + 1) % n;
            a += x[i] * y[j] - x[j] * y[i];
        }
        return std::fabs(a) * 0.5;
    }
    // Keeps the part where s * (coordinate - bound) <= 0 (axis 0: x, 1: y).
    // The clipped ring of a concave part may run along the bound twice; its
    // area and extent are still those of the part inside.
    void cut(int axis, double bound, double s) {
        cx.clear(), cy.clear();
        const size_t n = x.size();
        for (size_t i = 0; i < n; ++i) {
            const size_t j = (i + 1) % n;
            const double pi = s * ((axis ? y[i] : x[i]) - bound), pj = s * ((axis ? y[j] : x[j]) - bound);
            if (pi <= 0) cx.push_back(x[i]), cy.push_back(y[i]);
            if ((pi < 0 && pj > 0) || (pi > 0 && pj < 0)) {
                const double t = pi / (pi - pj);
                cx.push_back(axis ? x[i] + t * (x[j] - x[i]) : bound);
                cy.push_back(axis ? bound : y[i] + t * (y[j] - y[i]));
            }
        }
        x.swap(cx), y.swap(cy);
    }
    void clip(double w, double h) {
        cut(0, 0, -1);
        cut(0, w, 1);
        cut(1, 0, -1);
        cut(1, h, 1);
    }
};

// What the box rules look at of one mapped object: the extent of what is
// inside the output, the warped area and the visible area.
struct Mapped {
    double x1, y1, x2, y2, warped, visible;
    bool any = false;
};

// An outlined object (member `mem`, its parts in `parts`) through tile t of
// the view: each part cut to its source picture (only that is drawn),
// warped, then cut to the output. False when the outline has no area in the
// source coordinates at all (a line or a point): its corners say more.
bool map_outline(const Config &c, const View &v, int t, const Group &g, int mem, const std::vector<int> &parts,
                 Ring &ring, Mapped *out) {
    const double W = c.width, H = c.height;
    const double *m = v.m;
    Mapped r{W, H, 0, 0, 0, 0};
    double source_area = 0;
    for (int i : parts) {
        const int32_t *part = g.outline_parts + (size_t(mem) * g.p + size_t(i)) * 3;
        const float *xy = g.outline_xy + (size_t(mem) * g.v + size_t(part[1])) * 2;
        ring.x.clear(), ring.y.clear();
        for (int q = 0; q < part[2]; ++q) ring.x.push_back(xy[2 * q]), ring.y.push_back(xy[2 * q + 1]);
        source_area += ring.area();
        ring.clip(W, H);
        for (size_t q = 0; q < ring.x.size(); ++q) {
            const double px = ring.x[q] + v.ox[t], py = ring.y[q] + v.oy[t];
            ring.x[q] = m[0] * px + m[1] * py + m[2];
            ring.y[q] = m[3] * px + m[4] * py + m[5];
        }
        r.warped += ring.area();
        ring.clip(W, H);
        if (ring.x.size() < 3) continue;
        r.visible += ring.area();
        for (size_t q = 0; q < ring.x.size(); ++q) {
            r.x1 = std::min(r.x1, ring.x[q]), r.x2 = std::max(r.x2, ring.x[q]);
            r.y1 = std::min(r.y1, ring.y[q]), r.y2 = std::max(r.y2, ring.y[q]);
        }
        r.any = true;
    }
    if (!(source_area > 0)) return false;
    *out = r;
    return true;
}

}  // namespace

void map_boxes(const Config &c, const View &v, const Group &g, std::vector<float> *out) {
    const double W = c.width, H = c.height;
    const double *m = v.m;
    // Per box row of a member, its outline parts (when the group has any).
    std::vector<std::vector<int>> parts_of;
    Ring ring;
    for (int t = 0; t < v.tiles; ++t) {
        const int mem = v.member[t];
        const float *rows = g.boxes + size_t(mem) * g.n * 5;
        parts_of.assign(g.p > 0 ? size_t(g.counts[mem]) : 0, {});
        for (int i = 0; i < g.p; ++i) {
            const int32_t *part = g.outline_parts + (size_t(mem) * g.p + size_t(i)) * 3;
            if (part[2] > 0) parts_of[size_t(part[0])].push_back(i);
        }
        for (int i = 0; i < g.counts[mem]; ++i) {
            const float *b = rows + size_t(i) * 5;
            if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == 0) continue;  // the no-object row
            Mapped r{W, H, 0, 0, 0, 0};
            if (parts_of.empty() || parts_of[size_t(i)].empty() ||
                !map_outline(c, v, t, g, mem, parts_of[size_t(i)], ring, &r)) {
                // Only the source picture is drawn, so only its part of a box counts.
                const double x1 = std::clamp(double(std::min(b[0], b[2])), 0.0, W) + v.ox[t];
                const double x2 = std::clamp(double(std::max(b[0], b[2])), 0.0, W) + v.ox[t];
                const double y1 = std::clamp(double(std::min(b[1], b[3])), 0.0, H) + v.oy[t];
                const double y2 = std::clamp(double(std::max(b[1], b[3])), 0.0, H) + v.oy[t];
                // The box's outline through the matrix, clipped to the output: the
                // enclosing box of what is left is tight even for a rotated box
                // cut by the border, and the areas give the visible fraction.
                const double xs[4] = {x1, x2, x2, x1}, ys[4] = {y1, y1, y2, y2};
                Polygon poly;
                poly.n = 4;
                for (int k = 0; k < 4; ++k) {
                    poly.x[k] = m[0] * xs[k] + m[1] * ys[k] + m[2];
                    poly.y[k] = m[3] * xs[k] + m[4] * ys[k] + m[5];
                }
                r.warped = poly.area();
                poly.clip(W, H);
                r.any = poly.n >= 3;
                for (int k = 0; k < poly.n; ++k) {
                    r.x1 = std::min(r.x1, poly.x[k]), r.x2 = std::max(r.x2, poly.x[k]);
                    r.y1 = std::min(r.y1, poly.y[k]), r.y2 = std::max(r.y2, poly.y[k]);
                }
                r.visible = poly.area();
            }
            // The box rules, on the tight box when the object is outlined.
            const double w = r.x2 - r.x1, h = r.y2 - r.y1;
            if (!r.any || !(w > 0 && h > 0 && r.warped > 0)) continue;
            if (w < c.min_box_size || h < c.min_box_size) continue;
            if (r.visible < c.min_visibility * r.warped) continue;
            if (std::max(w / h, h / w) > c.max_aspect_ratio) continue;
            out->insert(out->end(), {float(r.x1), float(r.y1), float(r.x2), float(r.y2), b[4]});
        }
    }
}

std::string render(const Config &c, const Plan &p, const Group &g, uint8_t *out_image, std::vector<float> *out_boxes,
                   Simd simd) {
    if (p.height != c.height || p.width != c.width || p.group != g.k)
        return "the plan was drawn for another config or group";
    for (const View *v : {&p.first, &p.second})
        for (int t = 0; t < v->tiles; ++t)
            if (v->member[t] < 0 || v->member[t] >= g.k) return "the plan names a member outside the group";
    const bool avx2 = simd == Simd::best && avx2_available();
    const size_t start = out_boxes->size();
    // Row by row, so that mix-up and HSV find the row still in cache.
    ViewWarp first(c, p.first, g);
    std::unique_ptr<ViewWarp> second;
    std::vector<uint8_t> other;
    if (p.mixup) second = std::make_unique<ViewWarp>(c, p.second, g), other.resize(size_t(c.width) * 3);
    const HsvGains gains(p.hue, p.sat, p.val);
    for (int y = 0; y < c.height; ++y) {
        uint8_t *row = out_image + size_t(y) * c.width * 3;
        first.row(y, row, avx2);
        if (second) {
            second->row(y, other.data(), avx2);
            blend(row, other.data(), other.size(), p.ratio, avx2);
        }
        if (p.hsv) gains.apply(row, size_t(c.width), avx2);
    }
    map_boxes(c, p.first, g, out_boxes);
    if (p.mixup) map_boxes(c, p.second, g, out_boxes);
    if (out_boxes->size() == start) out_boxes->insert(out_boxes->end(), 5, 0.0f);
    return {};
}

}  // namespace detaug
}  // namespace trellisk
