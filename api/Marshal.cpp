#include "api/Marshal.h"

#include "api/korvel.h"

#include <oleauto.h>

#include <cstring>
#include <memory>
#include <new>

namespace korvel {

namespace {

// Allocates nothing but the BSTR, so it may run outside the failure boundary.
void StoreBstr(const wchar_t* text, VARIANT* variant)
{
    VariantClear(variant);
    V_VT(variant) = VT_BSTR;
    V_BSTR(variant) = SysAllocString(text);
}

} // namespace

WsString TextArgument(const wchar_t* text)
{
    return text == nullptr ? WsString() : WsString(text);
}

void CopyToBuffer(const WsString& value, wchar_t* buffer)
{
    if (buffer == nullptr)
        return;
    if (value.size() >= WSUD_TEXT_BUFFER_SIZE) {
        buffer[0] = L'\0';
        return;
    }
    std::memcpy(buffer, value.c_str(), (value.size() + 1) * sizeof(wchar_t));
}

void CopyToVariant(const WsString& value, VARIANT* variant)
{
    if (variant != nullptr)
        StoreBstr(value.c_str(), variant);
}

void CopyBodyToVariant(const std::string& body, VARIANT* variant)
{
    if (variant == nullptr)
        return;
    std::unique_ptr<wchar_t[]> text(new (std::nothrow) wchar_t[body.size() + 1]);
    if (!text)
        return;
    text[0] = L'\0';
    MultiByteToWideChar(CP_ACP, 0, body.c_str(), -1, text.get(), static_cast<int>(body.size() + 1));
    StoreBstr(text.get(), variant);
}

void CopyBodyToBuffer(const std::string& body, uint8_t* buffer)
{
    if (buffer == nullptr || body.empty())
        return;
    std::memset(buffer, 0, body.size());
    std::memcpy(buffer, body.data(), body.size());
}

} // namespace korvel
