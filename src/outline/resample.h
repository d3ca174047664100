// Arc-length resampling of polygon outlines on raw buffers (no Python).
//
// An outline is an open polyline of n points (x, y), row-major doubles. It is
// resampled to `num_points` points spaced evenly along its length, from the
// first vertex to the last, by piecewise-linear interpolation over the
// normalised arc length: the same numbers as SciPy's
//   interp1d(distance, points, kind="slinear", axis=0)(np.linspace(0, 1, num_points))
// rounded to float32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace seg {

enum class Outline : std::uint8_t {
    Ok,          // resampled
    Degenerate,  // total length 0 (every vertex the same point): nothing to draw
    NonFinite,   // a coordinate is NaN, infinite or beyond the float32 range
};

struct Polyline {
    const double *xy;  // n rows of (x, y)
    std::size_t n;
};

// Normalised arc length of `line` with the vertices that add no length
// dropped: on return `s` holds increasing values from 0 to 1 and `keep` the
// index of the vertex each value belongs to (first and last vertex always
// kept). A zero-length segment would give the interpolation two equal
// abscissae; a vertex that repeats the previous one is the same point, so
// dropping it leaves the outline unchanged. Returns the status; `s` and
// `keep` are only filled for Ok.
Outline arc_length(const Polyline &line, std::vector<double> &s, std::vector<std::size_t> &keep);

// Resamples one outline into out[num_points * 2] (float32 x, y pairs).
// Writes nothing unless it returns Ok. `scratch` avoids an allocation per call.
Outline resample(const Polyline &line, std::size_t num_points, float *out,
                 std::vector<double> &s_scratch, std::vector<std::size_t> &keep_scratch);

// Resamples `count` outlines; the Ok ones are written one after another into
// out (each num_points * 2 floats), in order. status[i] receives the outcome
// of outline i. Returns the number written. Meant to run without the GIL.
std::size_t resample_all(const Polyline *lines, std::size_t count, std::size_t num_points,
                         float *out, Outline *status);

}  // namespace seg
