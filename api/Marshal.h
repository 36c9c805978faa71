#pragma once

#include "base/WsString.h"

#include <oaidl.h>

#include <cstdint>
#include <string>

namespace korvel {

// A caller's text argument, copied so that its memory is not referenced after
// the export returns. A null pointer is taken as the empty text. The copy
// allocates, so exports make it inside the failure boundary.
WsString TextArgument(const wchar_t* text);

// Copies a value of at most 259 characters with its terminator into a
// 260-unit buffer; a longer value arrives as an empty string. A null buffer
// is skipped.
void CopyToBuffer(const WsString& value, wchar_t* buffer);

// Releases whatever the VARIANT holds and stores a new BSTR of the value.
void CopyToVariant(const WsString& value, VARIANT* variant);

// The response body as text of the ANSI code page, not decoded as UTF-8 even
// when its XML says so.
void CopyBodyToVariant(const std::string& body, VARIANT* variant);

// Zero-fills exactly the body's length and copies the body; no terminator.
void CopyBodyToBuffer(const std::string& body, uint8_t* buffer);

template <class Number> void CopyNumber(Number value, Number* out)
{
    if (out != nullptr)
        *out = value;
}

} // namespace korvel
