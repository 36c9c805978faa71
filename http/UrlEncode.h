#pragma once

#include "base/WsString.h"

namespace korvel {

// Query-string encoding: alphanumeric code units (as the C run time classifies
// them) pass unchanged; every other one becomes "%" and two upper-case
// hexadecimal digits of its low byte.
WsString UrlEncode(const WsString& text);

} // namespace korvel
