#include "resample.h"

#include "vertices.h"

#include <cfloat>
#include <cmath>

namespace seg {

namespace {

bool coordinates_ok(const Polyline &line) {
    // Everything downstream is float32: a coordinate beyond its range would
    // turn into infinity there.
    for (std::size_t i = 0; i < 2 * line.n; ++i) {
        const double v = line.xy[i];
        if (!(std::fabs(v) <= static_cast<double>(FLT_MAX))) return false;  // also NaN
    }
    return true;
}

}  // namespace

Outline arc_length(const Polyline &line, std::vector<double> &s, std::vector<std::size_t> &keep) {
    if (!coordinates_ok(line)) return Outline::NonFinite;
    const std::size_t n = line.n;
    if (!rules::outline_vertices(n)) return Outline::Degenerate;
    const double *p = line.xy;

    // Running length, summed in vertex order as np.cumsum does, so that the
    // abscissae are those of the reference computation bit for bit.
    s.resize(n);
    s[0] = 0.0;
    double total = 0.0;
    for (std::size_t i = 1; i < n; ++i) {
        const double dx = p[2 * i] - p[2 * i - 2];
        const double dy = p[2 * i + 1] - p[2 * i - 1];
        total += std::sqrt(dx * dx + dy * dy);
        s[i] = total;
    }
    if (!std::isfinite(total)) return Outline::NonFinite;
    if (total == 0.0) return Outline::Degenerate;

    // Normalise and drop the vertices whose abscissa does not advance (a
    // repeated vertex, or a segment too short to register against the
    // length so far). Compacted in place: the write index never passes the
    // read index.
    keep.clear();
    keep.push_back(0);
    std::size_t m = 1;
    for (std::size_t i = 1; i < n; ++i) {
        const double si = s[i] / total;
        if (si > s[m - 1]) {
            s[m++] = si;
            keep.push_back(i);
        } else if (i == n - 1) {
            // The outline must still end on its last vertex.
            s[m - 1] = si;
            keep.back() = i;
        }
    }
    s.resize(m);
    return Outline::Ok;
}

Outline resample(const Polyline &line, std::size_t num_points, float *out,
                 std::vector<double> &s, std::vector<std::size_t> &keep) {
    const Outline st = arc_length(line, s, keep);
    if (st != Outline::Ok) return st;
    const double *p = line.xy;
    const std::size_t m = s.size();  // >= 2, s[0] == 0, s[m-1] == 1
    const double step = num_points > 1 ? 1.0 / static_cast<double>(num_points - 1) : 0.0;

    std::size_t i = 0;  // current interval [s[i], s[i+1]]
    for (std::size_t j = 0; j < num_points; ++j) {
        // np.linspace(0, 1, num_points): j * step, the last one exactly 1.
        const double t = (j + 1 == num_points && num_points > 1) ? 1.0 : static_cast<double>(j) * step;
        // Interval with s[i] <= t < s[i+1]; t == 1 stays in the last one.
        while (i + 2 < m && t >= s[i + 1]) ++i;
        const double xa = s[i], xb = s[i + 1];
        const double w = 1.0 / (xb - xa);
        const double h0 = w * (xb - t), h1 = w * (t - xa);
        const double *a = p + 2 * keep[i];
        const double *b = p + 2 * keep[i + 1];
        out[2 * j] = static_cast<float>(a[0] * h0 + b[0] * h1);
        out[2 * j + 1] = static_cast<float>(a[1] * h0 + b[1] * h1);
    }
    return Outline::Ok;
}

std::size_t resample_all(const Polyline *lines, std::size_t count, std::size_t num_points,
                         float *out, Outline *status) {
    std::vector<double> s;
    std::vector<std::size_t> keep;
    std::size_t written = 0;
    for (std::size_t k = 0; k < count; ++k) {
        status[k] = resample(lines[k], num_points, out + written * num_points * 2, s, keep);
        if (status[k] == Outline::Ok) ++written;
    }
    return written;
}

}  // namespace seg
