#include "json.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace json {

const Value *Value::find(const std::string &key) const {
    for (auto it = members.rbegin(); it != members.rend(); ++it)
        if (it->first == key) return &it->second;
    return nullptr;
}

const char *type_name(Value::Type t) {
    switch (t) {
        case Value::Type::Null: return "null";
        case Value::Type::Bool: return "boolean";
        case Value::Type::Number: return "number";
        case Value::Type::String: return "string";
        case Value::Type::Array: return "array";
        case Value::Type::Object: return "object";
    }
    return "value";
}

namespace {

constexpr int kMaxDepth = 512;

struct Parser {
    const char *p, *begin, *end;
    Error &err;

    bool fail(const char *msg) {
        if (err.message.empty()) {
            err.message = msg;
            err.line = 1;
            err.column = 1;
            for (const char *q = begin; q < p && q < end; ++q) {
                if (*q == '\n') {
                    ++err.line;
                    err.column = 1;
                } else {
                    ++err.column;
                }
            }
        }
        return false;
    }

    void ws() {
        while (p < end && (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r')) ++p;
    }

    bool literal(const char *word) {
        const std::size_t n = std::strlen(word);
        if (static_cast<std::size_t>(end - p) >= n && std::memcmp(p, word, n) == 0) {
            p += n;
            return true;
        }
        return false;
    }

    static void put_utf8(std::string &s, unsigned cp) {
        if (cp < 0x80) {
            s += static_cast<char>(cp);
        } else if (cp < 0x800) {
            s += static_cast<char>(0xC0 | (cp >> 6));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            s += static_cast<char>(0xE0 | (cp >> 12));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            s += static_cast<char>(0xF0 | (cp >> 18));
            s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            s += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }

    bool hex4(unsigned &v) {
        if (end - p < 4) return fail("truncated \\u escape");
        v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = *p++;
            v <<= 4;
            if (c >= '0' && c <= '9') v |= c - '0';
            else if (c >= 'a' && c <= 'f') v |= c - 'a' + 10;
            else if (c >= 'A' && c <= 'F') v |= c - 'A' + 10;
            else return fail("invalid \\u escape");
        }
        return true;
    }

    bool string(std::string &out) {
        ++p;  // opening quote
        for (;;) {
            if (p >= end) return fail("unterminated string");
            const unsigned char c = static_cast<unsigned char>(*p);
            if (c == '"') {
                ++p;
                return true;
            }
            if (c < 0x20) return fail("control character in string");
            if (c != '\\') {
                out += static_cast<char>(c);
                ++p;
                continue;
            }
            ++p;
            if (p >= end) return fail("unterminated string");
            const char e = *p++;
            switch (e) {
                case '"': out += '"'; break;
                case '\\': out += '\\'; break;
                case '/': out += '/'; break;
                case 'b': out += '\b'; break;
                case 'f': out += '\f'; break;
                case 'n': out += '\n'; break;
                case 'r': out += '\r'; break;
                case 't': out += '\t'; break;
                case 'u': {
                    unsigned cp;
                    if (!hex4(cp)) return false;
                    if (cp >= 0xD800 && cp < 0xDC00 && end - p >= 6 && p[0] == '\\' && p[1] == 'u') {
                        const char *save = p;
                        p += 2;
                        unsigned lo;
                        if (!hex4(lo)) return false;
                        if (lo >= 0xDC00 && lo < 0xE000)
                            cp = 0x10000 + ((cp - 0xD800) << 10) + (lo - 0xDC00);
                        else
                            p = save;  // a lone high surrogate, kept as it is
                    }
                    put_utf8(out, cp);
                    break;
                }
                default: return fail("invalid escape in string");
            }
        }
    }

    bool number(Value &v) {
        const char *start = p;
        if (p < end && *p == '-') ++p;
        if (p < end && *p == 'I') {  // -Infinity
            if (!literal("Infinity")) return fail("invalid number");
            v.type = Value::Type::Number;
            v.number = -std::numeric_limits<double>::infinity();
            return true;
        }
        if (p >= end || !(*p >= '0' && *p <= '9')) return fail("invalid number");
        if (*p == '0') {
            ++p;
        } else {
            while (p < end && *p >= '0' && *p <= '9') ++p;
        }
        bool integer = true;
        if (p < end && *p == '.') {
            integer = false;
            ++p;
            if (p >= end || !(*p >= '0' && *p <= '9')) return fail("invalid number");
            while (p < end && *p >= '0' && *p <= '9') ++p;
        }
        if (p < end && (*p == 'e' || *p == 'E')) {
            integer = false;
            ++p;
            if (p < end && (*p == '+' || *p == '-')) ++p;
            if (p >= end || !(*p >= '0' && *p <= '9')) return fail("invalid number");
            while (p < end && *p >= '0' && *p <= '9') ++p;
        }
        // strtod needs a terminated string; numbers are short.
        std::string text(start, p);
        v.type = Value::Type::Number;
        v.integer = integer;
        v.number = std::strtod(text.c_str(), nullptr);  // overflow gives +-inf, like float()
        return true;
    }

    bool value(Value &v, int depth) {
        if (depth > kMaxDepth) return fail("nesting too deep");
        ws();
        if (p >= end) return fail("expecting value");
        const char c = *p;
        if (c == '{') {
            ++p;
            v.type = Value::Type::Object;
            ws();
            if (p < end && *p == '}') {
                ++p;
                return true;
            }
            for (;;) {
                ws();
                if (p >= end || *p != '"') return fail("expecting property name enclosed in double quotes");
                std::string key;
                if (!string(key)) return false;
                ws();
                if (p >= end || *p != ':') return fail("expecting ':' delimiter");
                ++p;
                v.members.emplace_back(std::move(key), Value());
                if (!value(v.members.back().second, depth + 1)) return false;
                ws();
                if (p < end && *p == ',') {
                    ++p;
                    continue;
                }
                if (p < end && *p == '}') {
                    ++p;
                    return true;
                }
                return fail("expecting ',' delimiter");
            }
        }
        if (c == '[') {
            ++p;
            v.type = Value::Type::Array;
            ws();
            if (p < end && *p == ']') {
                ++p;
                return true;
            }
            for (;;) {
                v.items.emplace_back();
                if (!value(v.items.back(), depth + 1)) return false;
                ws();
                if (p < end && *p == ',') {
                    ++p;
                    continue;
                }
                if (p < end && *p == ']') {
                    ++p;
                    return true;
                }
                return fail("expecting ',' delimiter");
            }
        }
        if (c == '"') {
            v.type = Value::Type::String;
            return string(v.string);
        }
        if (literal("true")) {
            v.type = Value::Type::Bool;
            v.boolean = true;
            return true;
        }
        if (literal("false")) {
            v.type = Value::Type::Bool;
            return true;
        }
        if (literal("null")) return true;
        if (literal("NaN")) {
            v.type = Value::Type::Number;
            v.number = std::numeric_limits<double>::quiet_NaN();
            return true;
        }
        if (literal("Infinity")) {
            v.type = Value::Type::Number;
            v.number = std::numeric_limits<double>::infinity();
            return true;
        }
        return number(v);
    }
};

}  // namespace

bool parse(const std::string &text, Value &out, Error &error) {
    error = Error();
    out = Value();
    const char *b = text.data();
    const char *e = b + text.size();
    if (e - b >= 3 && static_cast<unsigned char>(b[0]) == 0xEF && static_cast<unsigned char>(b[1]) == 0xBB &&
        static_cast<unsigned char>(b[2]) == 0xBF)
        b += 3;
    Parser ps{b, b, e, error};
    if (!ps.value(out, 0)) return false;
    ps.ws();
    if (ps.p != e) return ps.fail("extra data after the document");
    return true;
}

}  // namespace json
