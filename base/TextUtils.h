#pragma once

#include "base/WsString.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace korvel {

// Prints a value as signed decimal or as "0x" with upper-case hexadecimal digits. Width 32 prints
// the low 32 bits only, so 4294967295 reads -1; any other width prints all 64 bits. The output is
// assigned only when the function returns true.
bool FormatNumber(std::uint64_t value, WsString& output, bool hexadecimal, int widthBits);

// The form log lines use for status codes, error codes, ports and counts.
bool FormatNumber(std::uint32_t value, WsString& output, bool hexadecimal);

// Narrow text in a locale's ANSI code page to UTF-16 and back. Locale 0 is the system ANSI code
// page. A null or empty input gives the empty string; an input of 2^31 characters or more leaves
// the output as it was.
void ToWide(const char* text, std::wstring& output, std::uint32_t localeId = 0);
void ToNarrow(const wchar_t* text, std::string& output, std::uint32_t localeId = 0);

// The default ANSI code page of a locale, or 0 (the system ANSI code page) for locale 0 and
// whenever the locale cannot answer.
std::uint32_t CodePageFromLocale(std::uint32_t localeId);

// 10 for decimal digits, 16 for "0x" followed by hexadecimal digits, 0 for anything else,
// including a sign or a blank.
int DetectRadix(const WsString& text);

// Sets the output to the default first, so a text that is no number leaves the default.
bool ParseUInt64(const WsString& text, std::uint64_t& output, std::uint64_t defaultValue);

// True for "true" and "1" in any ASCII case; everything else is false.
bool ParseBool(const WsString& text);

// Only A-Z and a-z are folded; other letters must match exactly. A count of 0 compares the whole
// texts, otherwise at most that many characters.
bool EqualsNoCase(const WsString& left, const WsString& right, std::size_t count = 0);

// Position of the needle at or after start, ignoring ASCII case, or npos.
std::size_t FindNoCase(const WsString& haystack, const WsString& needle, std::size_t start = 0);

// Replaces every occurrence ignoring ASCII case, rescanning after each replacement so that
// occurrences formed by a replacement are replaced too.
void ReplaceAllNoCase(WsString& text, const WsString& searched, const WsString& replacement);

// Replaces every occurrence, case-sensitively, continuing after each inserted replacement.
void ReplaceAll(WsString& text, const WsString& searched, const WsString& replacement);

} // namespace korvel
