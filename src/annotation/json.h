// A small JSON reader (RFC 8259 plus the NaN / Infinity / -Infinity literals
// that the interpreter's json module also accepts) into a tree of values.
// Pure C++, no Python. Object members keep their file order; a repeated key
// yields its last value, as in the interpreter's parser.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace json {

struct Value {
    enum class Type { Null, Bool, Number, String, Array, Object };
    Type type = Type::Null;
    bool boolean = false;
    double number = 0.0;
    bool integer = false;  // written without fraction or exponent
    std::string string;
    std::vector<Value> items;                            // Array
    std::vector<std::pair<std::string, Value>> members;  // Object

    // The member `key` of an object (its last occurrence), or nullptr.
    const Value *find(const std::string &key) const;
    bool is(Type t) const { return type == t; }
};

// Why and where a document did not parse.
struct Error {
    std::string message;  // empty when the document parsed
    std::size_t line = 0, column = 0;
};

// Parses `text` (UTF-8; a leading byte-order mark is skipped). Returns false
// and fills `error` on malformed input; nesting deeper than 512 levels is an
// error rather than a stack overflow.
bool parse(const std::string &text, Value &out, Error &error);

// Name of a type for messages ("object", "array", ...).
const char *type_name(Value::Type t);

}  // namespace json
