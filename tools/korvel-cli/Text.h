#pragma once

#include <string>
#include <string_view>

namespace korvel::cli {

// UTF-16 to UTF-8 and back; the program works in UTF-8 internally and
// converts at the edges (command line, library strings, console).
std::string ToUtf8(std::wstring_view text);
std::wstring FromUtf8(std::string_view text);

// Case-insensitive comparison of ASCII letters, for keywords and names.
bool EqualsAsciiNoCase(std::wstring_view a, std::wstring_view b);

} // namespace korvel::cli
