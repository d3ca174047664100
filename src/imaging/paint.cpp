#include "paint.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>

namespace imaging {

namespace {

constexpr int kShift = 16;  // fixed-point fraction bits of edge x positions
constexpr std::int64_t kOne = std::int64_t(1) << kShift;

// Two's-complement arithmetic for edge positions far off the canvas, where
// the products may exceed 64 bits (never for vertices near the canvas).
std::int64_t wmul(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}
std::int64_t wadd(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}

struct P {
    std::int64_t x, y;
};

// Clips the segment p1-p2 to [0, width-1] x [0, height-1]; false when nothing
// of it is inside.
bool clip_line(std::int64_t width, std::int64_t height, P &p1, P &p2) {
    const std::int64_t right = width - 1, bottom = height - 1;
    if (width <= 0 || height <= 0) return false;
    std::int64_t &x1 = p1.x, &y1 = p1.y, &x2 = p2.x, &y2 = p2.y;
    int c1 = (x1 < 0) + (x1 > right) * 2 + (y1 < 0) * 4 + (y1 > bottom) * 8;
    int c2 = (x2 < 0) + (x2 > right) * 2 + (y2 < 0) * 4 + (y2 > bottom) * 8;
    if ((c1 & c2) == 0 && (c1 | c2) != 0) {
        std::int64_t a;
        if (c1 & 12) {
            a = c1 < 8 ? 0 : bottom;
            x1 += static_cast<std::int64_t>(static_cast<double>(a - y1) * (x2 - x1) / (y2 - y1));
            y1 = a;
            c1 = (x1 < 0) + (x1 > right) * 2;
        }
        if (c2 & 12) {
            a = c2 < 8 ? 0 : bottom;
            x2 += static_cast<std::int64_t>(static_cast<double>(a - y2) * (x2 - x1) / (y2 - y1));
            y2 = a;
            c2 = (x2 < 0) + (x2 > right) * 2;
        }
        if ((c1 & c2) == 0 && (c1 | c2) != 0) {
            if (c1) {
                a = c1 == 1 ? 0 : right;
                y1 += static_cast<std::int64_t>(static_cast<double>(a - x1) * (y2 - y1) / (x2 - x1));
                x1 = a;
                c1 = 0;
            }
            if (c2) {
                a = c2 == 1 ? 0 : right;
                y2 += static_cast<std::int64_t>(static_cast<double>(a - x2) * (y2 - y1) / (x2 - x1));
                x2 = a;
                c2 = 0;
            }
        }
    }
    return (c1 | c2) == 0;
}

bool outside(const Canvas &c, const P &p) {
    return p.x < 0 || p.x >= c.width || p.y < 0 || p.y >= c.height;
}

// 8-connected Bresenham line, drawn left to right, clipped to the canvas.
void line(const Canvas &c, P p1, P p2, std::int32_t value) {
    if (outside(c, p1) || outside(c, p2)) {
        if (!clip_line(c.width, c.height, p1, p2)) return;
    }
    std::int64_t dx = p2.x - p1.x, dy = p2.y - p1.y;
    if (dx < 0) {
        dx = -dx;
        dy = -dy;
        std::swap(p1, p2);
    }
    int sx = 1, sy = 1;
    if (dy < 0) {
        dy = -dy;
        sy = -1;
    }
    const bool vert = dy > dx;
    if (vert) std::swap(dx, dy);
    // Steps along the major axis always; along the minor one when err < 0.
    std::int64_t err = dx - (dy + dy);
    const std::int64_t plus = dx + dx, minus = -(dy + dy);
    std::int64_t x = p1.x, y = p1.y;
    for (std::int64_t i = 0; i <= dx; ++i) {
        c.data[y * c.width + x] = value;
        const bool step_minor = err < 0;
        err += minus + (step_minor ? plus : 0);
        if (vert) {
            y += sy;
            if (step_minor) x += sx;
        } else {
            x += sx;
            if (step_minor) y += sy;
        }
    }
}

struct Edge {
    std::int64_t y0, y1;
    std::int64_t x, dx;
    Edge *next;
};

void fill_edges(const Canvas &c, std::vector<Edge> &edges, std::int32_t value) {
    if (edges.size() < 2) return;
    std::int64_t y_max = std::numeric_limits<std::int64_t>::min(), y_min = std::numeric_limits<std::int64_t>::max();
    std::int64_t x_max = -1, x_min = std::numeric_limits<std::int64_t>::max();
    for (const Edge &e : edges) {
        const std::int64_t x1 = wadd(e.x, wmul(e.y1 - e.y0, e.dx));
        y_min = std::min(y_min, e.y0);
        y_max = std::max(y_max, e.y1);
        x_min = std::min({x_min, e.x, x1});
        x_max = std::max({x_max, e.x, x1});
    }
    if (y_max < 0 || y_min >= c.height || x_max < 0 || x_min >= std::int64_t(c.width) * kOne) return;

    // Rows above the canvas paint nothing; stepping through them one by one
    // costs a pass per row from a far vertex. Every edge is moved straight to
    // its position on row 0 instead (the same value the row-by-row stepping
    // reaches), and edges that end above the canvas are dropped. Which of two
    // edges at the same x comes first changes no pixel.
    if (y_min < 0) {
        std::size_t kept = 0;
        for (Edge &e : edges) {
            if (e.y1 <= 0) continue;
            if (e.y0 < 0) {
                e.x = wadd(e.x, wmul(-e.y0, e.dx));
                e.y0 = 0;
            }
            edges[kept++] = e;
        }
        edges.resize(kept);
        if (kept < 2) return;
    }
    const int total = static_cast<int>(edges.size());

    std::sort(edges.begin(), edges.end(), [](const Edge &a, const Edge &b) {
        if (a.y0 != b.y0) return a.y0 < b.y0;
        if (a.x != b.x) return a.x < b.x;
        return a.dx < b.dx;
    });
    Edge sentinel{std::numeric_limits<std::int64_t>::max(), 0, 0, 0, nullptr};
    edges.push_back(sentinel);
    Edge head{0, 0, 0, 0, nullptr};
    int i = 0;
    Edge *e = &edges[0];
    y_max = std::min<std::int64_t>(y_max, c.height);

    for (std::int64_t y = e->y0; y < y_max; ++y) {
        Edge *last, *prelast, *keep_prelast;
        bool draw = false;
        prelast = &head;
        last = head.next;
        while (last || e->y0 == y) {
            if (last && last->y1 == y) {
                // The edge ends on this row.
                prelast->next = last->next;
                last = last->next;
                continue;
            }
            keep_prelast = prelast;
            if (last && (e->y0 > y || last->x < e->x)) {
                prelast = last;
                last = last->next;
            } else if (i < total) {
                // An edge starts on this row: into the active list.
                prelast->next = e;
                e->next = last;
                prelast = e;
                e = &edges[++i];
            } else {
                break;
            }
            if (draw) {
                {
                    std::int64_t x1, x2;
                    if (keep_prelast->x > prelast->x) {
                        x1 = wadd(prelast->x, kOne - 1) >> kShift;
                        x2 = keep_prelast->x >> kShift;
                    } else {
                        x1 = wadd(keep_prelast->x, kOne - 1) >> kShift;
                        x2 = prelast->x >> kShift;
                    }
                    if (x1 < c.width && x2 >= 0) {
                        x1 = std::max<std::int64_t>(x1, 0);
                        x2 = std::min<std::int64_t>(x2, c.width - 1);
                        std::int32_t *row = c.data + y * c.width;
                        std::fill(row + x1, row + x2 + 1, value);
                    }
                }
                keep_prelast->x = wadd(keep_prelast->x, keep_prelast->dx);
                prelast->x = wadd(prelast->x, prelast->dx);
            }
            draw = !draw;
        }

        // Keep the active list ordered by x (bubble sort, as it is nearly
        // sorted).
        keep_prelast = nullptr;
        do {
            prelast = &head;
            last = head.next;
            Edge *last_exchange = nullptr;
            while (last != keep_prelast && last->next != nullptr) {
                Edge *te = last->next;
                if (last->x > te->x) {
                    prelast->next = te;
                    last->next = te->next;
                    te->next = last;
                    prelast = te;
                    last_exchange = prelast;
                } else {
                    prelast = last;
                    last = te;
                }
            }
            if (last_exchange == nullptr) break;
            keep_prelast = last_exchange;
        } while (keep_prelast != head.next && keep_prelast != &head);
    }
}

}  // namespace

void fill_polygon(const Canvas &c, const std::int32_t *xy, std::size_t n, std::int32_t value) {
    if (n == 0 || c.width <= 0 || c.height <= 0) return;
    std::vector<Edge> edges;
    edges.reserve(n + 1);
    // Multiplied rather than shifted: shifting a negative value is undefined.
    P pt0{std::int64_t(xy[2 * (n - 1)]) * kOne, xy[2 * (n - 1) + 1]};
    for (std::size_t i = 0; i < n; ++i) {
        P pt1{std::int64_t(xy[2 * i]) * kOne, xy[2 * i + 1]};
        P pt0c = pt0, pt1c = pt1;
        P t0{(pt0.x + (kOne >> 1)) >> kShift, pt0.y};
        P t1{(pt1.x + (kOne >> 1)) >> kShift, pt1.y};
        line(c, t0, t1, value);
        // Edges that leave the canvas start from their clipped end points.
        if (outside(c, t0) || outside(c, t1)) {
            clip_line(c.width, c.height, t0, t1);
            if (t0.y != t1.y) {
                pt0c.y = t0.y;
                pt1c.y = t1.y;
            }
            pt0c.x = t0.x * kOne;
            pt1c.x = t1.x * kOne;
        }
        if (pt0.y != pt1.y) {
            Edge edge{};
            edge.dx = (pt1c.x - pt0c.x) / (pt1c.y - pt0c.y);
            // Start where the edge's line meets its first row.
            if (pt0.y < pt1.y) {
                edge.y0 = pt0.y;
                edge.y1 = pt1.y;
                edge.x = wadd(pt0c.x, wmul(pt0.y - pt0c.y, edge.dx));
            } else {
                edge.y0 = pt1.y;
                edge.y1 = pt0.y;
                edge.x = wadd(pt1c.x, wmul(pt1.y - pt1c.y, edge.dx));
            }
            edges.push_back(edge);
        }
        pt0 = pt1;
    }
    fill_edges(c, edges, value);
}

namespace {

template <class T>
bool truncate(const T *src, std::size_t count, std::int32_t *dst) {
    constexpr double lo = std::numeric_limits<std::int32_t>::min();
    constexpr double hi = std::numeric_limits<std::int32_t>::max();
    for (std::size_t i = 0; i < count; ++i) {
        const double v = static_cast<double>(src[i]);
        if (!std::isfinite(v)) return false;
        // Toward zero, as a cast to int32 does; pinned rather than wrapped
        // (the fill clips whatever lies outside the canvas).
        const double t = std::trunc(v);
        dst[i] = static_cast<std::int32_t>(t < lo ? lo : (t > hi ? hi : t));
    }
    return true;
}

}  // namespace

bool truncate_vertices(const float *src, std::size_t count, std::int32_t *dst) { return truncate(src, count, dst); }

bool truncate_vertices(const double *src, std::size_t count, std::int32_t *dst) { return truncate(src, count, dst); }

}  // namespace imaging
