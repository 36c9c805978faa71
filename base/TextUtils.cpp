#include "base/TextUtils.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace korvel {

namespace {

constexpr int NumberBufferLength = 260;
constexpr std::size_t MaxConvertibleLength = std::size_t{1} << 31;

// The I32/I64 length modifiers keep the printed width independent of the size of long, which is
// 32 bits on Windows even in a 64-bit process. Width 16 is the pointer-sized form.
int PrintNumber(wchar_t* buffer, std::uint64_t value, bool hexadecimal, int widthBits)
{
    switch (widthBits) {
    case 32:
        return hexadecimal ? _snwprintf(buffer, NumberBufferLength, L"0x%I32X",
                                        static_cast<std::uint32_t>(value))
                           : _snwprintf(buffer, NumberBufferLength, L"%I32i",
                                        static_cast<std::int32_t>(value));
    case 16:
        return hexadecimal ? _snwprintf(buffer, NumberBufferLength, L"0x%IX",
                                        static_cast<std::uintptr_t>(value))
                           : _snwprintf(buffer, NumberBufferLength, L"%Ii",
                                        static_cast<std::intptr_t>(value));
    default:
        return hexadecimal ? _snwprintf(buffer, NumberBufferLength, L"0x%I64X",
                                        static_cast<std::uint64_t>(value))
                           : _snwprintf(buffer, NumberBufferLength, L"%I64i",
                                        static_cast<std::int64_t>(value));
    }
}

wchar_t FoldToLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

wchar_t FoldToUpper(wchar_t c)
{
    return (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

WsString UpperCaseCopy(const WsString& text)
{
    WsString copy(text);
    std::transform(copy.begin(), copy.end(), copy.begin(), FoldToUpper);
    return copy;
}

bool IsDecimalDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}

bool IsHexadecimalLetter(wchar_t c)
{
    return (c >= L'A' && c <= L'F') || (c >= L'a' && c <= L'f');
}

} // namespace

bool FormatNumber(std::uint64_t value, WsString& output, bool hexadecimal, int widthBits)
{
    wchar_t buffer[NumberBufferLength];
    const int length = PrintNumber(buffer, value, hexadecimal, widthBits);
    if (length < 0 || length >= NumberBufferLength) {
        return false;
    }
    output.assign(buffer, static_cast<std::size_t>(length));
    return true;
}

bool FormatNumber(std::uint32_t value, WsString& output, bool hexadecimal)
{
    return FormatNumber(static_cast<std::uint64_t>(value), output, hexadecimal, 32);
}

void ToWide(const char* text, std::wstring& output, std::uint32_t localeId)
{
    if (text == nullptr) {
        output.clear();
        return;
    }
    const std::size_t length = std::strlen(text) + 1;
    if (length >= MaxConvertibleLength) {
        return;
    }
    if (length == 1) {
        output.clear();
        return;
    }
    const UINT codePage = CodePageFromLocale(localeId);
    const int inputLength = static_cast<int>(length);
    const int count = MultiByteToWideChar(codePage, 0, text, inputLength, nullptr, 0);
    if (count <= 0) {
        output.clear();
        return;
    }
    std::wstring buffer(static_cast<std::size_t>(count), L'\0');
    if (MultiByteToWideChar(codePage, 0, text, inputLength, buffer.data(), count) != count) {
        output.clear();
        return;
    }
    output.assign(buffer.c_str());
}

void ToNarrow(const wchar_t* text, std::string& output, std::uint32_t localeId)
{
    if (text == nullptr) {
        output.clear();
        return;
    }
    const std::size_t length = std::wcslen(text) + 1;
    if (length >= MaxConvertibleLength) {
        return;
    }
    if (length < 2) {
        output.clear();
        return;
    }
    const UINT codePage = CodePageFromLocale(localeId);
    const int inputLength = static_cast<int>(length);
    const int count =
        WideCharToMultiByte(codePage, 0, text, inputLength, nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        output.clear();
        return;
    }
    std::string buffer(static_cast<std::size_t>(count), '\0');
    if (WideCharToMultiByte(codePage, 0, text, inputLength, buffer.data(), count, nullptr,
                            nullptr) != count) {
        output.clear();
        return;
    }
    output.assign(buffer.c_str());
}

std::uint32_t CodePageFromLocale(std::uint32_t localeId)
{
    if (localeId == 0) {
        return 0;
    }
    wchar_t buffer[260];
    if (GetLocaleInfoW(localeId, LOCALE_IDEFAULTANSICODEPAGE, buffer, 260) == 0) {
        return 0;
    }
    const WsString text(buffer);
    const int radix = DetectRadix(text);
    if (radix == 0) {
        return 0;
    }
    return static_cast<std::uint32_t>(std::wcstol(text.c_str(), nullptr, radix));
}

int DetectRadix(const WsString& text)
{
    if (text.empty()) {
        return 0;
    }
    int radix = 10;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (IsDecimalDigit(c)) {
            continue;
        }
        if (c == L'x' || c == L'X') {
            if (radix != 10 || i != 1 || text[0] != L'0') {
                return 0;
            }
            radix = 16;
            continue;
        }
        if (IsHexadecimalLetter(c) && radix == 16) {
            continue;
        }
        return 0;
    }
    return radix;
}

bool ParseUInt64(const WsString& text, std::uint64_t& output, std::uint64_t defaultValue)
{
    output = defaultValue;
    const int radix = DetectRadix(text);
    if (radix == 0) {
        return false;
    }
    output = std::wcstoull(text.c_str(), nullptr, radix);
    return true;
}

bool ParseBool(const WsString& text)
{
    return EqualsNoCase(text, L"true") || EqualsNoCase(text, L"1");
}

bool EqualsNoCase(const WsString& left, const WsString& right, std::size_t count)
{
    const std::size_t leftLength = count == 0 ? left.size() : std::min(count, left.size());
    const std::size_t rightLength = count == 0 ? right.size() : std::min(count, right.size());
    if (leftLength != rightLength) {
        return false;
    }
    return std::equal(left.begin(), left.begin() + leftLength, right.begin(),
                      [](wchar_t a, wchar_t b) { return FoldToLower(a) == FoldToLower(b); });
}

std::size_t FindNoCase(const WsString& haystack, const WsString& needle, std::size_t start)
{
    return UpperCaseCopy(haystack).find(UpperCaseCopy(needle), start);
}

void ReplaceAllNoCase(WsString& text, const WsString& searched, const WsString& replacement)
{
    // An empty searched text is found everywhere, even in the text just inserted.
    if (searched.empty()) {
        return;
    }
    // Rescanning from the start would find a replacement that contains the searched text again
    // and never end, so such a replacement gets a single forward pass that resumes after the
    // inserted text instead.
    const bool rescanFromStart = FindNoCase(replacement, searched) == WsString::npos;
    std::size_t position = FindNoCase(text, searched, 0);
    while (position != WsString::npos) {
        text.replace(position, searched.size(), replacement);
        const std::size_t next = rescanFromStart ? 0 : position + replacement.size();
        position = FindNoCase(text, searched, next);
    }
}

void ReplaceAll(WsString& text, const WsString& searched, const WsString& replacement)
{
    if (searched.empty()) {
        return;
    }
    std::size_t position = text.find(searched);
    while (position != WsString::npos) {
        text.replace(position, searched.size(), replacement);
        position = text.find(searched, position + replacement.size());
    }
}

} // namespace korvel
