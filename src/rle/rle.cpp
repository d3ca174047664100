#include "rle.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace rle {

namespace {

Error fail(Error::Kind kind, std::string reason) {
    Error e;
    e.kind = kind;
    e.reason = std::move(reason);
    return e;
}

std::string printable(unsigned char c) {
    if (c >= 32 && c < 127) return std::string("'") + static_cast<char>(c) + "'";
    static const char *hex = "0123456789abcdef";
    return std::string("byte 0x") + hex[c >> 4] + hex[c & 15];
}

}  // namespace

Error decode_text(const char *text, std::size_t length, std::vector<std::int64_t> &runs) {
    runs.clear();
    std::size_t p = 0;
    while (p < length) {
        std::int64_t x = 0;
        int k = 0;
        bool more = true;
        while (more) {
            if (p >= length) return fail(Error::kBadText, "the counts text ends inside a run");
            const int c = static_cast<unsigned char>(text[p]) - 48;
            if (c < 0 || c > 63)
                return fail(Error::kBadText, "the counts text holds " + printable(static_cast<unsigned char>(text[p])) +
                                                 " at position " + std::to_string(p) +
                                                 ", which the encoding does not use");
            // 12 groups carry 60 bits: more would not fit a run length.
            if (k == 12) return fail(Error::kBadText, "a run of the counts text is too long to be a number");
            x |= static_cast<std::int64_t>(c & 0x1f) << (5 * k);
            more = (c & 0x20) != 0;
            ++p;
            ++k;
            if (!more && (c & 0x10)) x |= static_cast<std::int64_t>(~std::uint64_t(0) << (5 * k));
        }
        // From the fourth run on, a run is stored as its difference to the
        // run two before (the same kind of run, background or object).
        if (runs.size() > 2 && __builtin_add_overflow(x, runs[runs.size() - 2], &x))
            return fail(Error::kBadText, "a run of the counts text is too long to be a number");
        runs.push_back(x);
    }
    return Error();
}

std::string encode_text(const std::int64_t *runs, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t x = runs[i];
        if (i > 2) x -= runs[i - 2];
        bool more = true;
        while (more) {
            int c = static_cast<int>(x & 0x1f);
            x >>= 5;  // arithmetic: keeps the sign
            more = (c & 0x10) ? x != -1 : x != 0;
            if (more) c |= 0x20;
            out.push_back(static_cast<char>(c + 48));
        }
    }
    return out;
}

Error check(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width) {
    if (height < 0 || width < 0 || height > kMaxSide || width > kMaxSide)
        return fail(Error::kBadSize, "size [" + std::to_string(height) + ", " + std::to_string(width) +
                                         "] is not a height and width in 0.." + std::to_string(kMaxSide));
    const std::int64_t pixels = height * width;
    std::int64_t sum = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (runs[i] < 0)
            return fail(Error::kBadRuns, "run " + std::to_string(i) + " is negative (" + std::to_string(runs[i]) + ")");
        // Past the pixel count the sum is wrong whatever follows; stopping
        // there also keeps it from overflowing.
        if (runs[i] > pixels - sum)
            return fail(Error::kBadRuns, "the run lengths add up to more than height x width = " +
                                             std::to_string(height) + " x " + std::to_string(width) + " = " +
                                             std::to_string(pixels));
        sum += runs[i];
    }
    if (sum != pixels)
        return fail(Error::kBadRuns, "the run lengths add up to " + std::to_string(sum) + ", not height x width = " +
                                         std::to_string(height) + " x " + std::to_string(width) + " = " +
                                         std::to_string(pixels));
    return Error();
}

Error check_for_image(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width,
                      std::int64_t expected_height, std::int64_t expected_width) {
    if (expected_height >= 0 && expected_width >= 0 && (height != expected_height || width != expected_width))
        return fail(Error::kBadSize, "size [" + std::to_string(height) + ", " + std::to_string(width) +
                                         "] differs from the image's height and width [" +
                                         std::to_string(expected_height) + ", " + std::to_string(expected_width) +
                                         "]");
    return check(runs, count, height, width);
}

void to_mask(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width,
             std::uint8_t *out) {
    std::fill(out, out + height * width, std::uint8_t(0));
    std::int64_t pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (i & 1)
            for (std::int64_t q = pos; q < pos + runs[i]; ++q) out[(q % height) * width + q / height] = 1;
        pos += runs[i];
    }
}

std::vector<std::int64_t> from_mask(const std::uint8_t *mask, std::int64_t height, std::int64_t width) {
    std::vector<std::int64_t> runs;
    std::int64_t length = 0;
    bool on = false;
    for (std::int64_t x = 0; x < width; ++x)
        for (std::int64_t y = 0; y < height; ++y) {
            const bool v = mask[y * width + x] != 0;
            if (v != on) {
                runs.push_back(length);
                length = 0;
                on = v;
            }
            ++length;
        }
    runs.push_back(length);
    return runs;
}

bool extent(const std::int64_t *runs, std::size_t count, std::int64_t height, std::int64_t width,
            std::int64_t box[4]) {
    (void)width;
    std::int64_t x0 = std::numeric_limits<std::int64_t>::max(), x1 = -1, y0 = x0, y1 = -1, pos = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const std::int64_t start = pos, end = pos + runs[i];
        pos = end;
        if (!(i & 1) || start == end) continue;
        const std::int64_t c0 = start / height, c1 = (end - 1) / height;
        x0 = std::min(x0, c0);
        x1 = std::max(x1, c1);
        if (c0 == c1) {
            y0 = std::min(y0, start % height);
            y1 = std::max(y1, (end - 1) % height);
        } else {  // the run wraps into the next column: every row
            y0 = 0;
            y1 = height - 1;
        }
    }
    if (x1 < 0) return false;
    box[0] = x0;
    box[1] = y0;
    box[2] = x1 - x0 + 1;
    box[3] = y1 - y0 + 1;
    return true;
}

std::int64_t area(const std::int64_t *runs, std::size_t count) {
    std::int64_t sum = 0;
    for (std::size_t i = 1; i < count; i += 2) sum += runs[i];
    return sum;
}

void paint(const imaging::Canvas &canvas, const Region &region, const Placement &at) {
    const int H = canvas.height, W = canvas.width;
    const std::int64_t sh = region.height, sw = region.width;
    if (H <= 0 || W <= 0 || sh <= 0 || sw <= 0) return;
    if (!(at.w > 0) || !(at.h > 0) || !std::isfinite(at.w) || !std::isfinite(at.h) || !std::isfinite(at.padw) ||
        !std::isfinite(at.padh))
        return;
    // The source row nearest to output row y, with rows and vertices on
    // the same grid as the polygons (source row r lies at output r * h / sh
    // + padh); -1 or sh when the centre of row y lies outside the picture.
    // first[s] = the first output row whose source row is s or later.
    auto source = [](int y, double pad, double scaled, std::int64_t n) {
        const double centre = y + 0.5;
        if (centre < pad) return std::int64_t(-1);
        if (centre >= pad + scaled) return n;
        const double s = std::floor((y - pad) * static_cast<double>(n) / scaled + 0.5);
        return s < 0 ? std::int64_t(0) : s >= static_cast<double>(n) ? n - 1 : static_cast<std::int64_t>(s);
    };
    std::vector<int> first(static_cast<std::size_t>(sh) + 1, H);
    std::int64_t filled = -1;
    for (int y = 0; y < H && filled < sh; ++y) {
        const std::int64_t s = source(y, at.padh, at.h, sh);
        while (filled < s) first[static_cast<std::size_t>(++filled)] = y;
    }
    // Column by column the region gives vertical intervals of output rows;
    // they are turned into horizontal spans (a row is opened where an
    // interval starts to cover it and written, as one contiguous piece, where
    // it stops), so the canvas is written along its rows.
    using Spans = std::vector<std::pair<int, int>>;
    Spans previous, current, change;
    std::vector<int> opened(static_cast<std::size_t>(H), 0);
    // a minus b, both sorted and disjoint.
    auto minus = [&change](const Spans &a, const Spans &b) -> const Spans & {
        change.clear();
        std::size_t k = 0;
        for (auto [lo, hi] : a) {
            while (k < b.size() && b[k].second <= lo) ++k;
            for (std::size_t m = k; m < b.size() && b[m].first < hi && lo < hi; ++m) {
                if (b[m].first > lo) change.emplace_back(lo, b[m].first);
                lo = std::max(lo, b[m].second);
            }
            if (lo < hi) change.emplace_back(lo, hi);
        }
        return change;
    };
    auto move_to = [&](int x) {  // from `previous` at column x - 1 to `current` at x
        for (auto [lo, hi] : minus(previous, current))
            for (int y = lo; y < hi; ++y) {
                std::int32_t *row = canvas.data + static_cast<std::ptrdiff_t>(y) * W;
                std::fill(row + opened[static_cast<std::size_t>(y)], row + x, region.value);
            }
        for (auto [lo, hi] : minus(current, previous))
            for (int y = lo; y < hi; ++y) opened[static_cast<std::size_t>(y)] = x;
        previous.swap(current);
    };
    std::size_t i = 0;  // first run that reaches into the current column
    std::int64_t pos = 0;
    for (int x = 0; x < W; ++x) {
        current.clear();
        const std::int64_t xs = source(x, at.padw, at.w, sw);
        if (xs >= 0 && xs < sw) {
            const std::int64_t col = xs * sh, col_end = col + sh;
            while (i < region.count && pos + region.runs[i] <= col) pos += region.runs[i++];
            std::int64_t q = pos;
            for (std::size_t j = i; j < region.count && q < col_end; ++j) {
                const std::int64_t end = q + region.runs[j];
                if ((j & 1) && end > q) {
                    const int y0 = first[static_cast<std::size_t>(std::max(q, col) - col)];
                    const int y1 = first[static_cast<std::size_t>(std::min(end, col_end) - col)];
                    if (y0 < y1) {
                        if (!current.empty() && current.back().second >= y0)
                            current.back().second = std::max(current.back().second, y1);
                        else
                            current.emplace_back(y0, y1);
                    }
                }
                q = end;
            }
        }
        if (current != previous) move_to(x);
    }
    current.clear();
    move_to(W);
}

void pack(const Region &region, std::vector<std::int64_t> &packed) {
    packed.push_back(region.height);
    packed.push_back(region.width);
    packed.push_back(region.value);
    packed.push_back(region.after);
    packed.push_back(static_cast<std::int64_t>(region.count));
    packed.insert(packed.end(), region.runs, region.runs + region.count);
}

Error unpack(const std::int64_t *packed, std::size_t length, std::vector<Region> &regions) {
    regions.clear();
    std::size_t p = 0;
    while (p < length) {
        if (length - p < 5) return fail(Error::kBadRuns, "the packed regions end inside a region's header");
        Region r;
        r.height = packed[p];
        r.width = packed[p + 1];
        const std::int64_t value = packed[p + 2];
        r.after = packed[p + 3];
        const std::int64_t count = packed[p + 4];
        p += 5;
        if (value < std::numeric_limits<std::int32_t>::min() || value > std::numeric_limits<std::int32_t>::max())
            return fail(Error::kBadRuns, "region value " + std::to_string(value) + " does not fit an int32 mask");
        if (r.after < 0) return fail(Error::kBadRuns, "a region is placed before the first polygon");
        if (count < 0 || static_cast<std::uint64_t>(count) > length - p)
            return fail(Error::kBadRuns, "the packed regions end inside a region's runs");
        r.value = static_cast<std::int32_t>(value);
        r.runs = packed + p;
        r.count = static_cast<std::size_t>(count);
        p += r.count;
        if (Error e = check(r.runs, r.count, r.height, r.width)) return e;
        regions.push_back(r);
    }
    return Error();
}

}  // namespace rle
