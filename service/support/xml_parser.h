// Reading the small XML replies of the policy server: parse once, stand on the root element, read
// child elements by name as text, integer or boolean, with one debug-log line per value read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <pugixml.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace wexo::svc {

class XML_PARSER {
  public:
    // Result codes of the engine (pugi::xml_parse_status for a parse), and this one for a path
    // that names no element.
    static constexpr int32_t kPathNotFound = -1;

    XML_PARSER() = default;
    XML_PARSER(const XML_PARSER&) = delete;
    XML_PARSER& operator=(const XML_PARSER&) = delete;

    // Parses the whole text; the current element is then the document itself.
    bool Parse(std::string_view text);
    // Makes the document element of that name current ("/name").
    bool FindRoot(std::string_view name);
    // Moves to the element at `path` (absolute "/a/b", relative "a/b", ".." for the parent), takes
    // its text and moves back up one level. The text stays valid while the parser lives.
    bool GetText(std::string_view path, std::string_view& text);
    bool GetString(std::string_view path, std::string& value);
    // A signed base-10 number that must fill the whole text; an empty text is 0. Values beyond
    // 32 bits are held at the nearest limit. On failure `value` holds the leading digits' value.
    bool GetInteger(std::string_view path, int32_t& value);
    // "TRUE" or "FALSE" in any letter case; on failure `value` is unchanged.
    bool GetBoolean(std::string_view path, uint8_t& value);

    // The child elements of the current element, in document order.
    size_t ChildCount();
    // Empty for an index past the last child.
    std::string_view ChildName(size_t index);
    std::string_view ChildText(size_t index);

    int32_t LastResult() const { return lastResult_; }

  private:
    bool MoveTo(std::string_view path);
    void LoadChildren();

    pugi::xml_document document_;
    pugi::xml_node current_;
    int32_t lastResult_ = 0;
    std::vector<pugi::xml_node> children_;
    pugi::xml_node childrenOf_;
    bool childrenLoaded_ = false;
};

}  // namespace wexo::svc
