#include "base/JsonDocument.h"

#include <algorithm>
#include <climits>
#include <string>

#include "base/Errors.h"
#include "base/FileText.h"

namespace megfwd {

const char* JsonValue::typeName() const {
    switch (e_.type()) {
        case simdjson::dom::element_type::NULL_VALUE: return "null";
        case simdjson::dom::element_type::BOOL: return "a boolean";
        case simdjson::dom::element_type::STRING: return "a string";
        case simdjson::dom::element_type::ARRAY: return "an array";
        case simdjson::dom::element_type::OBJECT: return "an object";
        case simdjson::dom::element_type::INT64:
        case simdjson::dom::element_type::UINT64: return "an integer";
        case simdjson::dom::element_type::DOUBLE: return "a number";
    }
    return "an unknown value";
}

std::optional<JsonValue> JsonValue::find(std::string_view key) const {
    std::optional<JsonValue> found;
    for (simdjson::dom::key_value_pair kv : simdjson::dom::object(e_.get_object().value_unsafe()))
        if (kv.key == key) found = JsonValue(kv.value);
    return found;
}

long long JsonValue::integer() const {
    if (e_.is_uint64()) {
        const std::uint64_t u = e_.get_uint64().value_unsafe();
        return u > static_cast<std::uint64_t>(LLONG_MAX) ? LLONG_MAX : static_cast<long long>(u);
    }
    return e_.get_int64().value_unsafe();
}

namespace {

// The deepest nesting of arrays and objects in `text`, outside strings.
std::size_t nestingDepth(const std::string& text) {
    std::size_t depth = 0, deepest = 0;
    bool inString = false, escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            deepest = std::max(deepest, ++depth);
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return deepest;
}

}  // namespace

JsonDocument::JsonDocument(const std::string& text, const std::string& name) {
    if (!parser_.parse(text).get(root_)) return;
    // Written back below, a tree that deep would take the writer's stack.
    if (nestingDepth(text) > parser_.max_depth())
        throw InputError(name + ": the JSON is nested deeper than " + std::to_string(parser_.max_depth()) + " levels");
    // simdjson refuses some texts that are JSON: a byte-order mark before
    // the value, integers beyond 64 bits. The tree parser reads those (and
    // names the place of what is not JSON, which ends here); its compact
    // text of the same values is then read again.
    const std::string again = parseJsonText(text, name).dump();
    if (const simdjson::error_code e = parser_.parse(again).get(root_))
        throw InputError(name + ": cannot read this JSON: " + simdjson::error_message(e));
}

}  // namespace megfwd
