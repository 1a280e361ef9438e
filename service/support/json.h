// Reading JSON replies: parsing into the json-parser value tree, typed look-up of object members,
// a walk over the tree and a printer that writes the tree into the debug log.
#pragma once

#include <json-parser/json.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace wexo::svc {

struct JSON_TREE_FREE {
    void operator()(json_value* value) const {
        if (value != nullptr) {
            json_value_free(value);
        }
    }
};
// The owner of a parsed document.
using JSON_TREE = std::unique_ptr<json_value, JSON_TREE_FREE>;

// Parses the text (up to its length; the library stops at a NUL). On failure returns null and
// `errorText` holds the library's message ("1:5: Trailing garbage: `x`" and the like).
JSON_TREE ParseJson(std::string_view text, std::string& errorText);

// The value itself when it is an object, else null.
const json_value* AsObject(const json_value* value);
// The text when the value is a string (it may hold NUL characters; data() is NUL-terminated).
std::optional<std::string_view> AsString(const json_value* value);

// Typed member look-ups. The first member whose name equals `name` byte for byte decides: when its
// type is not the wanted one the look-up fails, whatever later members of that name hold. The out
// value is written only on success. A null or non-object `object` has no members.
bool FindArray(const json_value* object, std::string_view name,
               std::span<const json_value* const>& elements);
bool FindBoolean(const json_value* object, std::string_view name, uint8_t& value);
bool FindInteger(const json_value* object, std::string_view name, int64_t& value);
// The text inside the tree: valid while the tree lives.
bool FindStringPointer(const json_value* object, std::string_view name, std::string_view& text);
bool FindString(const json_value* object, std::string_view name, std::string& text);

// Walks the tree depth first. `name` is the member name for object members and empty (nullopt)
// for array elements and the root. Scalars get `enter` only; objects and arrays get `enter` (with
// hasNext false) and, after their children, `leave` (with their own hasNext). Children are visited
// only when `enter` returned true, and the walk stops at the first callback that returns false.
// Returns whether every value was visited. The walk keeps its own stack, so nesting depth is not
// bounded by the thread's stack.
using JsonVisitCallback = std::function<bool(
    unsigned depth, bool hasNext, std::optional<std::string_view> name, const json_value& value)>;
bool VisitJson(const json_value& root, const JsonVisitCallback& enter,
               const JsonVisitCallback& leave);

// Writes the tree into the debug log as indented text, one line per value and bracket, all lines
// together. Callers print only when the mode has the JSON category.
void PrintJson(const json_value& root);
// The printer's escaping of string values: a backslash before each quote and backslash.
std::string EscapeJsonText(std::string_view text);

}  // namespace wexo::svc
