#pragma once

#include "base/TextUtils.h"
#include "base/WsLog.h"

#include <windows.h>

#include <cstdint>

namespace korvel {

// Number texts of the transport's log lines.
inline WsString Decimal(uint64_t value)
{
    WsString text;
    FormatNumber(value, text, false, 64);
    return text;
}

inline WsString Hex(uint32_t value)
{
    WsString text;
    FormatNumber(value, text, true);
    return text;
}

// The calling thread's last error, for error lines.
inline WsString FormatLastError()
{
    return Hex(GetLastError());
}

} // namespace korvel
