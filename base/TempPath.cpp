#include "base/TempPath.h"

#include <objbase.h>
#include <windows.h>

namespace korvel {

WsString TempFolder()
{
    wchar_t folder[520] = {};
    const DWORD length = GetTempPathW(520, folder);
    return length == 0 || length >= 520 ? WsString() : WsString(folder, length);
}

WsString NewGuidText()
{
    GUID guid = {};
    wchar_t text[127] = {};
    if (FAILED(CoCreateGuid(&guid)) || StringFromGUID2(guid, text, 127) == 0)
        return WsString();
    return WsString(text);
}

} // namespace korvel
