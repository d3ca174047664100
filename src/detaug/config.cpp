// Configuration of the detection augmentation engine: the keys of aug_cfg,
// their defaults and their rules (the one place that validates them), and
// the text form the TensorFlow op carries as its attribute.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "detaug/engine.h"

namespace trellisk {
namespace detaug {

namespace {

const char *const kTechniqueNames[kTechniques] = {"mosaic", "mixup", "affine", "hsv", "hflip", "vflip"};

// How a key's value is read.
enum class Form {
    frequency,   // number in 0..1
    number,      // number in [lo, hi]
    range,       // [a, b] with lo <= a <= b <= hi, or one number g: [1 - g, 1 + g]
    pass,        // integer >= 0, or None (never)
};

struct Rule {
    KeyInfo info;
    Form form;
    double lo, hi;
    bool lo_open;  // lo itself is not accepted
};

const std::vector<Rule> &rules() {
    static const std::vector<Rule> r = {
        {{"mosaic", "frequency of the 4-sample mosaic (the main sample and three partners of its group "
                    "on one canvas around a random centre)", "0.0"}, Form::frequency, 0, 1, false},
        {{"mixup", "frequency of mix-up (blend with a second augmented output built around another "
                   "group member; both sets of boxes kept)", "0.0"}, Form::frequency, 0, 1, false},
        {{"affine", "frequency of the affine warp (rotation, scale, translation, shear)", "0.0"},
         Form::frequency, 0, 1, false},
        {{"hsv", "frequency of the hue, saturation and value gains", "0.0"}, Form::frequency, 0, 1, false},
        {{"hflip", "frequency of the horizontal flip", "0.0"}, Form::frequency, 0, 1, false},
        {{"vflip", "frequency of the vertical flip", "0.0"}, Form::frequency, 0, 1, false},
        {{"scale", "affine zoom factor range [low, high] (one number g: [1 - g, 1 + g])", "[0.5, 1.5]"},
         Form::range, 0, 16, true},
        {{"translate", "affine shift, up to this fraction of the width and height", "0.1"},
         Form::number, 0, 1, false},
        {{"degrees", "affine rotation, uniform in [-degrees, degrees]", "0.0"}, Form::number, 0, 180, false},
        {{"shear", "affine shear in degrees, each axis uniform in [-shear, shear]", "0.0"},
         Form::number, 0, 40, false},
        {{"hsv_h", "hue shift, up to this fraction of the hue circle either way", "0.015"},
         Form::number, 0, 0.5, false},
        {{"hsv_s", "saturation gain, uniform in [1 - hsv_s, 1 + hsv_s]", "0.7"}, Form::number, 0, 1, false},
        {{"hsv_v", "value (brightness) gain, uniform in [1 - hsv_v, 1 + hsv_v]", "0.4"},
         Form::number, 0, 1, false},
        {{"mixup_alpha", "mix-up ratio drawn from Beta(mixup_alpha, mixup_alpha)", "32.0"},
         Form::number, 0, 1e4, true},
        {{"min_box_size", "boxes narrower or lower than this (pixels, after clipping) are dropped", "2.0"},
         Form::number, 0, 1e6, false},
        {{"min_visibility", "boxes with less than this fraction of their warped area inside the output "
                            "are dropped", "0.1"}, Form::number, 0, 1, false},
        {{"max_aspect_ratio", "boxes with max(w / h, h / w) above this are dropped", "20.0"},
         Form::number, 1, 1e9, false},
        {{"mosaic_stop_pass", "mosaic is not applied from this pass (0-based) on; None: never", "None"},
         Form::pass, 0, 9.2e18, false},
    };
    return r;
}

double *slot(Config &c, size_t i) {
    if (i < kTechniques) return &c.freq[i];
    switch (i) {
        case 7: return &c.translate;
        case 8: return &c.degrees;
        case 9: return &c.shear;
        case 10: return &c.hsv_h;
        case 11: return &c.hsv_s;
        case 12: return &c.hsv_v;
        case 13: return &c.mixup_alpha;
        case 14: return &c.min_box_size;
        case 15: return &c.min_visibility;
        case 16: return &c.max_aspect_ratio;
        default: return nullptr;
    }
}

std::string num(double v) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    if (v == std::floor(v) && std::fabs(v) < 1e15) {
        std::snprintf(buf, sizeof buf, "%.0f", v);
        return buf;
    }
    // Shortest text that reads back to the same double.
    for (int p = 1; p <= 17; ++p) {
        char t[40];
        std::snprintf(t, sizeof t, "%.*g", p, v);
        if (std::strtod(t, nullptr) == v) return t;
    }
    return buf;
}

std::string kind_name(const Value &v) {
    switch (v.kind) {
        case Value::Kind::none: return "None";
        case Value::Kind::boolean: return "bool";
        case Value::Kind::number: return v.integral ? "int" : "float";
        case Value::Kind::list: return "list";
        default: return v.type_name.empty() ? "object" : v.type_name;
    }
}

std::string bad(const std::string &key, const std::string &what) {
    return "aug_cfg[\"" + key + "\"]: " + what + "; valid keys: " + valid_keys_text();
}

std::string read_number(const Rule &r, const Value &v, double *out) {
    const std::string key = r.info.name;
    if (v.kind != Value::Kind::number)
        return bad(key, "expected a number, got " + kind_name(v));
    const double x = v.numbers[0];
    if (!std::isfinite(x)) return bad(key, "must be finite, got " + num(x));
    if (x < r.lo || x > r.hi || (r.lo_open && x == r.lo)) {
        std::string range = (r.lo_open ? "(" : "[") + num(r.lo) + ", " + num(r.hi) + "]";
        return bad(key, (r.form == Form::frequency ? "a frequency must be in " : "must be in ") + range +
                            ", got " + num(x));
    }
    *out = x;
    return {};
}

}  // namespace

bool Config::enabled() const {
    for (double f : freq)
        if (f > 0) return true;
    return false;
}

int Config::group_size() const { return freq[kMosaic] > 0 || freq[kMixup] > 0 ? 4 : 1; }

const std::vector<KeyInfo> &keys() {
    static const std::vector<KeyInfo> k = [] {
        std::vector<KeyInfo> out;
        for (const Rule &r : rules()) out.push_back(r.info);
        return out;
    }();
    return k;
}

std::string valid_keys_text() {
    std::string s;
    for (const Rule &r : rules()) s += (s.empty() ? "" : ", ") + std::string(r.info.name);
    return s;
}

std::string make_config(const Items &items, int height, int width, Config *out) {
    if (height < 1 || width < 1 || height > kMaxSide || width > kMaxSide)
        return "output size " + std::to_string(height) + " x " + std::to_string(width) +
               " must be 1 to " + std::to_string(kMaxSide) + " pixels each way";
    Config c;
    c.height = height;
    c.width = width;
    const auto &rs = rules();
    for (const auto &item : items) {
        size_t i = 0;
        while (i < rs.size() && item.first != rs[i].info.name) ++i;
        if (i == rs.size()) return "aug_cfg has an unknown key \"" + item.first + "\"; valid keys: " + valid_keys_text();
        const Rule &r = rs[i];
        const Value &v = item.second;
        std::string e;
        switch (r.form) {
            case Form::frequency:
            case Form::number:
                e = read_number(r, v, slot(c, i));
                break;
            case Form::range: {
                double a, b;
                if (v.kind == Value::Kind::number) {
                    double g;
                    Rule one = r;
                    one.lo = 0, one.hi = 1, one.lo_open = false;
                    e = read_number(one, v, &g);
                    if (e.empty() && g >= 1) e = bad(r.info.name, "one number g means [1 - g, 1 + g] and must be below 1, got " + num(g));
                    a = 1 - g, b = 1 + g;
                } else if (v.kind == Value::Kind::list) {
                    if (v.numbers.size() != 2 || !v.type_name.empty())
                        return bad(r.info.name, "expected [low, high] (two numbers) or one number");
                    a = v.numbers[0], b = v.numbers[1];
                    for (double x : {a, b}) {
                        if (!std::isfinite(x)) return bad(r.info.name, "must be finite, got " + num(x));
                        if (x <= r.lo || x > r.hi)
                            return bad(r.info.name, "must lie in (" + num(r.lo) + ", " + num(r.hi) + "], got " + num(x));
                    }
                    if (a > b) return bad(r.info.name, "inverted range [" + num(a) + ", " + num(b) + "]: low must not exceed high");
                } else {
                    return bad(r.info.name, "expected [low, high] or one number, got " + kind_name(v));
                }
                if (!e.empty()) return e;
                c.scale_lo = a, c.scale_hi = b;
                break;
            }
            case Form::pass:
                if (v.kind == Value::Kind::none) {
                    c.mosaic_stop_pass = -1;
                } else if (v.kind == Value::Kind::number && v.integral) {
                    const double x = v.numbers[0];
                    if (!(x >= 0) || x > r.hi) return bad(r.info.name, "must be a pass number >= 0 or None, got " + num(x));
                    c.mosaic_stop_pass = int64_t(x);
                } else {
                    return bad(r.info.name, "expected an integer pass number or None, got " + kind_name(v));
                }
                break;
        }
        if (!e.empty()) return e;
    }
    *out = c;
    return {};
}

Items settings(const Config &c) {
    Items out;
    const auto &rs = rules();
    for (size_t i = 0; i < rs.size(); ++i) {
        Value v;
        if (rs[i].form == Form::range) {
            v.kind = Value::Kind::list;
            v.numbers = {c.scale_lo, c.scale_hi};
        } else if (rs[i].form == Form::pass) {
            if (c.mosaic_stop_pass >= 0) v = Value::number(double(c.mosaic_stop_pass), true);
        } else {
            v = Value::number(*slot(const_cast<Config &>(c), i));
        }
        out.emplace_back(rs[i].info.name, v);
    }
    return out;
}

// "detaug:height=640;width=640;mosaic=1;...;scale=0.5,1.5;mosaic_stop_pass=none"
std::string serialize(const Config &c) {
    std::string s = "detaug:height=" + std::to_string(c.height) + ";width=" + std::to_string(c.width);
    for (const auto &kv : settings(c)) {
        s += ";" + kv.first + "=";
        if (kv.second.kind == Value::Kind::none) {
            s += "none";
        } else if (kv.first == "mosaic_stop_pass") {
            s += std::to_string(c.mosaic_stop_pass);
        } else {
            for (size_t j = 0; j < kv.second.numbers.size(); ++j) s += (j ? "," : "") + num(kv.second.numbers[j]);
        }
    }
    return s;
}

std::string parse_serialized(const std::string &text, Config *out) {
    const std::string head = "detaug:";
    if (text.compare(0, head.size(), head) != 0)
        return "not a serialized detection augmentation config (it must start with \"detaug:\")";
    Items items;
    long long height = 0, width = 0;
    size_t pos = head.size();
    while (pos <= text.size()) {
        size_t end = text.find(';', pos);
        if (end == std::string::npos) end = text.size();
        const std::string field = text.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = field.find('=');
        if (eq == std::string::npos) return "serialized config: field \"" + field + "\" has no value";
        const std::string key = field.substr(0, eq), val = field.substr(eq + 1);
        Value v;
        if (val == "none") {
            v.kind = Value::Kind::none;
        } else {
            size_t p = 0;
            std::vector<double> nums;
            while (true) {
                const size_t comma = val.find(',', p);
                const std::string part = val.substr(p, comma == std::string::npos ? std::string::npos : comma - p);
                char *stop = nullptr;
                const double x = std::strtod(part.c_str(), &stop);
                if (part.empty() || *stop != '\0') return "serialized config: bad number \"" + part + "\" for " + key;
                nums.push_back(x);
                if (comma == std::string::npos) break;
                p = comma + 1;
            }
            const bool integral = val.find_first_of(".eEn") == std::string::npos;
            if (nums.size() == 1) {
                v = Value::number(nums[0], integral);
            } else {
                v.kind = Value::Kind::list;
                v.numbers = nums;
            }
        }
        if (key == "height" || key == "width") {
            if (v.kind != Value::Kind::number || !v.integral || !(std::fabs(v.numbers[0]) < 1e9))
                return "serialized config: bad " + key;
            (key == "height" ? height : width) = (long long)v.numbers[0];
        } else {
            if (key == "mosaic_stop_pass" && v.kind == Value::Kind::number && v.numbers[0] < 0) v.kind = Value::Kind::none;
            items.emplace_back(key, v);
        }
        if (end == text.size()) break;
    }
    return make_config(items, int(std::max(-1LL, std::min(height, 1LL << 30))),
                       int(std::max(-1LL, std::min(width, 1LL << 30))), out);
}

}  // namespace detaug
}  // namespace trellisk
