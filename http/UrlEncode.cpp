#include "http/UrlEncode.h"

#include <cwctype>

namespace korvel {

WsString UrlEncode(const WsString& text)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    WsString encoded;
    encoded.reserve(text.size() * 3);
    for (const wchar_t c : text) {
        if (std::iswalnum(c)) {
            encoded += c;
        } else {
            encoded += L'%';
            encoded += kDigits[(c >> 4) & 15];
            encoded += kDigits[c & 15];
        }
    }
    return encoded;
}

} // namespace korvel
