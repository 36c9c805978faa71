#pragma once

#include <string>

namespace korvel {

// The library's one text type: UTF-16 throughout. It adds nothing to the
// standard wide string but a virtual destructor, so every standard operation
// is available on it.
class WsString : public std::wstring {
public:
    WsString() = default;
    WsString(const WsString&) = default;
    WsString(WsString&&) noexcept = default;
    WsString(const std::wstring& text) : std::wstring(text) {}
    WsString(std::wstring&& text) noexcept : std::wstring(std::move(text)) {}
    WsString(const wchar_t* text) : std::wstring(text) {}
    WsString(const wchar_t* text, size_type count) : std::wstring(text, count) {}
    virtual ~WsString() = default;

    WsString& operator=(const WsString&) = default;
    WsString& operator=(WsString&&) noexcept = default;
    using std::wstring::operator=;
};

// A process-wide empty text handed out wherever an empty default is needed.
const WsString& EmptyWsString();

} // namespace korvel
