#include "service/support/xml_parser.h"

#include <cerrno>
#include <cstdlib>
#include <limits>

#include "service/support/debug_log.h"

namespace wexo::svc {
namespace {

bool EqualsIgnoringCase(std::string_view text, std::string_view upper) {
    if (text.size() != upper.size()) {
        return false;
    }
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 32) : text[i];
        if (c != upper[i]) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool XML_PARSER::Parse(std::string_view text) {
    // The reply is a NUL-terminated text: whatever follows a NUL is not part of it.
    text = text.substr(0, text.find('\0'));
    childrenLoaded_ = false;
    pugi::xml_parse_result result =
        document_.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_auto);
    lastResult_ = static_cast<int32_t>(result.status);
    if (!result) {
        current_ = pugi::xml_node();
        DebugWrite(LINE_XML, "XML_PARSER: Cannot parse text. Error = %d", lastResult_);
        return false;
    }
    current_ = document_;
    return true;
}

bool XML_PARSER::MoveTo(std::string_view path) {
    std::string wanted(path);
    pugi::xml_node found;
    // An empty path would name the current element itself and a NUL would cut the path short;
    // neither names a child.
    if (current_ && !wanted.empty() && wanted.find('\0') == std::string::npos) {
        found = current_.first_element_by_path(wanted.c_str());
    }
    if (!found) {
        lastResult_ = kPathNotFound;
        DebugWrite(LINE_XML, "XML_PARSER: Path = \"%s\" not found", wanted.c_str());
        return false;
    }
    current_ = found;
    lastResult_ = 0;
    return true;
}

bool XML_PARSER::FindRoot(std::string_view name) {
    std::string path = "/" + std::string(name);
    // Only the document element may be the root: "/a/b" is not a root path.
    if (name.find('/') != std::string_view::npos || name == ".." || name == ".") {
        lastResult_ = kPathNotFound;
        DebugWrite(LINE_XML, "XML_PARSER: Path = \"%s\" not found", path.c_str());
        return false;
    }
    if (current_) {
        current_ = document_;
    }
    return MoveTo(path);
}

bool XML_PARSER::GetText(std::string_view path, std::string_view& text) {
    pugi::xml_node from = current_;
    if (!MoveTo(path)) {
        return false;
    }
    text = current_.text().get();
    // Back to where the read started, which for the one-name paths callers use is "..".
    current_ = from;
    return true;
}

bool XML_PARSER::GetString(std::string_view path, std::string& value) {
    std::string_view text;
    if (!GetText(path, text)) {
        return false;
    }
    std::string name(path);
    value.assign(text);
    DebugWrite(LINE_XML, "XML_PARSER: <%s> = \"%s\"", name.c_str(), value.c_str());
    return true;
}

bool XML_PARSER::GetInteger(std::string_view path, int32_t& value) {
    std::string_view text;
    if (!GetText(path, text)) {
        return false;
    }
    std::string name(path);
    std::string digits(text);
    char* end = nullptr;
    errno = 0;
    long long number = std::strtoll(digits.c_str(), &end, 10);
    if (number > std::numeric_limits<int32_t>::max()) {
        number = std::numeric_limits<int32_t>::max();
    } else if (number < std::numeric_limits<int32_t>::min()) {
        number = std::numeric_limits<int32_t>::min();
    }
    value = static_cast<int32_t>(number);
    if (end == nullptr || *end != '\0') {
        DebugWrite(0, "XML_PARSER: <%s> = invalid integer (\"%s\")", name.c_str(), digits.c_str());
        return false;
    }
    DebugWrite(LINE_XML, "XML_PARSER: <%s> = %ld", name.c_str(), static_cast<long>(value));
    return true;
}

bool XML_PARSER::GetBoolean(std::string_view path, uint8_t& value) {
    std::string_view text;
    if (!GetText(path, text)) {
        return false;
    }
    std::string name(path);
    if (EqualsIgnoringCase(text, "TRUE")) {
        value = 1;
        DebugWrite(LINE_XML, "XML_PARSER: <%s> = true", name.c_str());
        return true;
    }
    if (EqualsIgnoringCase(text, "FALSE")) {
        value = 0;
        DebugWrite(LINE_XML, "XML_PARSER: <%s> = false", name.c_str());
        return true;
    }
    std::string quoted(text);
    DebugWrite(0, "XML_PARSER: <%s> = invalid boolean (\"%s\")", name.c_str(), quoted.c_str());
    return false;
}

void XML_PARSER::LoadChildren() {
    if (childrenLoaded_ && childrenOf_ == current_) {
        return;
    }
    children_.clear();
    for (pugi::xml_node child = current_.first_child(); child; child = child.next_sibling()) {
        if (child.type() == pugi::node_element) {
            children_.push_back(child);
        }
    }
    childrenOf_ = current_;
    childrenLoaded_ = true;
}

size_t XML_PARSER::ChildCount() {
    LoadChildren();
    return children_.size();
}

std::string_view XML_PARSER::ChildName(size_t index) {
    LoadChildren();
    return index < children_.size() ? std::string_view(children_[index].name())
                                    : std::string_view();
}

std::string_view XML_PARSER::ChildText(size_t index) {
    LoadChildren();
    return index < children_.size() ? std::string_view(children_[index].text().get())
                                    : std::string_view();
}

}  // namespace wexo::svc
