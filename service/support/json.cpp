#include "service/support/json.h"

#include <cstring>
#include <vector>

#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

bool IsContainer(const json_value& value) {
    return value.type == json_object || value.type == json_array;
}

unsigned ChildCount(const json_value& value) {
    if (value.type == json_object) {
        return value.u.object.length;
    }
    if (value.type == json_array) {
        return value.u.array.length;
    }
    return 0;
}

// The first member of that name, whatever its type.
const json_value* FirstMember(const json_value* object, std::string_view name) {
    if (object == nullptr || object->type != json_object) {
        return nullptr;
    }
    for (const json_object_entry& entry : object->u.object) {
        if (entry.name_length == name.size() &&
            (name.empty() || std::memcmp(entry.name, name.data(), name.size()) == 0)) {
            return entry.value;
        }
    }
    return nullptr;
}

const json_value* FindTyped(const json_value* object, std::string_view name, json_type type) {
    const json_value* member = FirstMember(object, name);
    return member != nullptr && member->type == type ? member : nullptr;
}

std::string_view StringOf(const json_value& value) {
    return std::string_view(value.u.string.ptr, value.u.string.length);
}

std::string Indent(unsigned depth) {
    return std::string(static_cast<size_t>(depth) * 2, ' ');
}

}  // namespace

JSON_TREE ParseJson(std::string_view text, std::string& errorText) {
    json_settings settings = {};
    char error[json_error_max] = {};
    const char* data = text.data() != nullptr ? text.data() : "";
    JSON_TREE tree(json_parse_ex(&settings, data, text.size(), error));
    if (!tree) {
        errorText = error[0] != '\0' ? std::string(error) : std::string("Unknown error");
    }
    return tree;
}

const json_value* AsObject(const json_value* value) {
    return value != nullptr && value->type == json_object ? value : nullptr;
}

std::optional<std::string_view> AsString(const json_value* value) {
    if (value == nullptr || value->type != json_string) {
        return std::nullopt;
    }
    return StringOf(*value);
}

bool FindArray(const json_value* object, std::string_view name,
               std::span<const json_value* const>& elements) {
    const json_value* member = FindTyped(object, name, json_array);
    if (member == nullptr) {
        return false;
    }
    elements = std::span<const json_value* const>(member->u.array.values, member->u.array.length);
    return true;
}

bool FindBoolean(const json_value* object, std::string_view name, uint8_t& value) {
    const json_value* member = FindTyped(object, name, json_boolean);
    if (member == nullptr) {
        return false;
    }
    value = member->u.boolean != 0 ? 1 : 0;
    return true;
}

bool FindInteger(const json_value* object, std::string_view name, int64_t& value) {
    const json_value* member = FindTyped(object, name, json_integer);
    if (member == nullptr) {
        return false;
    }
    value = member->u.integer;
    return true;
}

bool FindStringPointer(const json_value* object, std::string_view name, std::string_view& text) {
    const json_value* member = FindTyped(object, name, json_string);
    if (member == nullptr) {
        return false;
    }
    text = StringOf(*member);
    return true;
}

bool FindString(const json_value* object, std::string_view name, std::string& text) {
    std::string_view found;
    if (!FindStringPointer(object, name, found)) {
        return false;
    }
    text.assign(found);
    return true;
}

bool VisitJson(const json_value& root, const JsonVisitCallback& enter,
               const JsonVisitCallback& leave) {
    struct FRAME {
        const json_value* value;
        unsigned depth;
        bool hasNext;
        std::optional<std::string_view> name;
        unsigned next;
    };
    std::vector<FRAME> stack;
    enum { kFailed, kDone, kOpened };
    auto start = [&](unsigned depth, bool hasNext, std::optional<std::string_view> name,
                     const json_value& value) {
        if (!IsContainer(value)) {
            return enter(depth, hasNext, name, value) ? kDone : kFailed;
        }
        if (!enter(depth, false, name, value)) {
            leave(depth, hasNext, name, value);
            return kFailed;
        }
        stack.push_back({&value, depth, hasNext, name, 0});
        return kOpened;
    };

    int result = start(0, false, std::nullopt, root);
    while (!stack.empty()) {
        FRAME& frame = stack.back();
        unsigned count = ChildCount(*frame.value);
        if (result == kFailed || frame.next == count) {
            // A child that failed ends its parents too.
            FRAME closing = frame;
            stack.pop_back();
            leave(closing.depth, closing.hasNext, closing.name, *closing.value);
            if (result != kFailed) {
                result = kDone;
            }
            continue;
        }
        unsigned index = frame.next++;
        unsigned depth = frame.depth + 1;
        bool hasNext = index + 1 < count;
        if (frame.value->type == json_object) {
            const json_object_entry& entry = frame.value->u.object.values[index];
            result = start(depth, hasNext, std::string_view(entry.name, entry.name_length),
                           *entry.value);
        } else {
            result = start(depth, hasNext, std::nullopt, *frame.value->u.array.values[index]);
        }
    }
    return result == kDone;
}

std::string EscapeJsonText(std::string_view text) {
    std::string out;
    out.reserve(text.size() + 8);
    for (char c : text) {
        if (c == '"' || c == '\\') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    return out;
}

void PrintJson(const json_value& root) {
    constexpr uint32_t kFlags = LINE_PENDING | LINE_NO_LINE_END;
    DEBUG_PENDING_LINES block;
    auto enter = [](unsigned depth, bool hasNext, std::optional<std::string_view> name,
                    const json_value& value) {
        std::string indent = Indent(depth);
        std::string named = name ? std::string(*name) : std::string();
        const char* mark = hasNext ? "," : "";
        switch (value.type) {
            case json_object:
            case json_array:
                if (name) {
                    DebugWrite(kFlags, "%s\"%s\":\n", indent.c_str(), named.c_str());
                }
                DebugWrite(kFlags, value.type == json_object ? "%s{\n" : "%s[\n", indent.c_str());
                break;
            case json_integer:
                if (name) {
                    DebugWrite(kFlags, "%s\"%s\": %lld%s\n", indent.c_str(), named.c_str(),
                               static_cast<long long>(value.u.integer), mark);
                } else {
                    DebugWrite(kFlags, "%s%lld%s\n", indent.c_str(),
                               static_cast<long long>(value.u.integer), mark);
                }
                break;
            case json_double:
                if (name) {
                    DebugWrite(kFlags, "%s\"%s\": %f%s\n", indent.c_str(), named.c_str(),
                               value.u.dbl, mark);
                } else {
                    DebugWrite(kFlags, "%s%f%s\n", indent.c_str(), value.u.dbl, mark);
                }
                break;
            case json_string: {
                std::string text = EscapeJsonText(StringOf(value));
                if (name) {
                    DebugWrite(kFlags, "%s\"%s\": \"%s\"%s\n", indent.c_str(), named.c_str(),
                               text.c_str(), mark);
                } else {
                    DebugWrite(kFlags, "%s\"%s\"%s\n", indent.c_str(), text.c_str(), mark);
                }
                break;
            }
            case json_boolean: {
                const char* text = value.u.boolean != 0 ? "true" : "false";
                if (name) {
                    DebugWrite(kFlags, "%s\"%s\": %s%s\n", indent.c_str(), named.c_str(), text,
                               mark);
                } else {
                    DebugWrite(kFlags, "%s%s%s\n", indent.c_str(), text, mark);
                }
                break;
            }
            case json_null:
                if (name) {
                    DebugWrite(kFlags, "%s\"%s\": null%s\n", indent.c_str(), named.c_str(), mark);
                } else {
                    DebugWrite(kFlags, "%snull%s\n", indent.c_str(), mark);
                }
                break;
            case json_none:
                break;
        }
        return true;
    };
    auto leave = [](unsigned depth, bool hasNext, std::optional<std::string_view>,
                    const json_value& value) {
        std::string indent = Indent(depth);
        DebugWrite(kFlags, value.type == json_object ? "%s}%s\n" : "%s]%s\n", indent.c_str(),
                   hasNext ? "," : "");
        return true;
    };
    VisitJson(root, enter, leave);
}

}  // namespace wexo::svc
