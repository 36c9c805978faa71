#pragma once

#include <string>

namespace korvel::test {

// Every byte but letters and digits as %XX, so that any text (XML, a zero
// byte) can ride in a scripted server's URL.
inline std::wstring PercentEncode(const std::string& bytes)
{
    static const wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring encoded;
    for (const unsigned char c : bytes) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) {
            encoded += static_cast<wchar_t>(c);
        } else {
            encoded += L'%';
            encoded += kDigits[c >> 4];
            encoded += kDigits[c & 15];
        }
    }
    return encoded;
}

// A response packet whose header carries the given status element and date.
inline std::string ResponsePacket(const std::string& status, const std::string& date = "")
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><packet><header><date>" + date +
           "</date><server>" + status +
           "</server></header><body><contentResult count=\"0\"/></body></packet>";
}

} // namespace korvel::test
