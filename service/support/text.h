// Small text helpers every part of the service uses.
#pragma once

#include <string>
#include <string_view>

namespace wexo::svc {

// printf into a std::string. Raises STRING_NO_MEMORY when the string cannot be allocated.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Without the blanks and tabs at both ends.
std::string_view TrimBlanks(std::string_view text);
// Equal ignoring the case of ASCII letters.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace wexo::svc
