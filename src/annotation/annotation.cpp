#include "annotation.h"

#include "json.h"
#include "ranges.h"
#include "vertices.h"

#include <sstream>

namespace annotation {

namespace {

using json::Value;
using Type = json::Value::Type;

std::string where(std::size_t object, std::size_t part) {
    return "segment[" + std::to_string(object) + "][" + std::to_string(part) + "]";
}

bool class_value(const Value &v, std::int32_t &out) {
    if (!v.is(Type::Number) || !rules::class_id(v.number)) return false;
    out = static_cast<std::int32_t>(v.number);
    return true;
}

}  // namespace

bool read(const std::string &text, bool segments, Sample &out, std::string &error) {
    out = Sample();
    out.splits.push_back(0);
    Value doc;
    json::Error perr;
    if (!json::parse(text, doc, perr)) {
        std::ostringstream m;
        m << "invalid JSON: " << perr.message << " (line " << perr.line << ", column " << perr.column << ")";
        error = m.str();
        return false;
    }
    if (!doc.is(Type::Object)) {
        error = std::string("the document must be a JSON object, not ") + json::type_name(doc.type);
        return false;
    }
    const Value *image = doc.find(keys::image);
    if (!image) {
        error = std::string("no \"") + keys::image + "\" key";
        return false;
    }
    if (!image->is(Type::String)) {
        error = std::string("\"image\" must be a string, not ") + json::type_name(image->type);
        return false;
    }
    out.image = basename(image->string);

    const Value *segment = doc.find(keys::segment);
    if (!segment) return true;
    if (segment->is(Type::Null)) {
        error = "\"segment\" is null; leave the key out or give a list for an image without objects";
        return false;
    }
    if (!segments) return true;
    if (!segment->is(Type::Array)) {
        error = std::string("\"segment\" must be a list of objects, not ") + json::type_name(segment->type);
        return false;
    }
    for (std::size_t o = 0; o < segment->items.size(); ++o) {
        const Value &object = segment->items[o];
        if (!object.is(Type::Array)) {
            error = "segment[" + std::to_string(o) + "] must be a list of parts, not " + json::type_name(object.type);
            return false;
        }
        for (std::size_t k = 0; k < object.items.size(); ++k) {
            const Value &part = object.items[k];
            if (!part.is(Type::Object)) {
                error = where(o, k) + " must be an object with \"polygon\" and \"class\"";
                return false;
            }
            const Value *polygon = part.find(keys::polygon);
            const Value *cls = part.find(keys::class_);
            if (!polygon || !cls) {
                error = where(o, k) + " has no \"" + (polygon ? keys::class_ : keys::polygon) + "\" key";
                return false;
            }
            if (!polygon->is(Type::Array)) {
                error = where(o, k) + ": \"polygon\" must be a list of [x, y] vertices";
                return false;
            }
            std::int32_t c = 0;
            if (!class_value(*cls, c)) {
                error = where(o, k) + ": \"class\" is not a class id (" + rules::class_id_range() + ")";
                return false;
            }
            if (!rules::part_vertices(polygon->items.size())) continue;
            for (const Value &vertex : polygon->items) {
                if (!vertex.is(Type::Array) || vertex.items.size() != 2 || !vertex.items[0].is(Type::Number) ||
                    !vertex.items[1].is(Type::Number)) {
                    error = where(o, k) + ": \"polygon\" must be a list of [x, y] vertices";
                    return false;
                }
                out.xy.push_back(vertex.items[0].number);
                out.xy.push_back(vertex.items[1].number);
            }
            out.splits.push_back(static_cast<std::int64_t>(out.xy.size() / 2));
            out.classes.push_back(c);
        }
    }
    return true;
}

std::string basename(const std::string &path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string join(const std::string &folder, const std::string &name) {
    if (!name.empty() && name[0] == '/') return name;
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

}  // namespace annotation
