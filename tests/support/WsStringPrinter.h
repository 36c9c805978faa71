#pragma once

#include "base/WsString.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace korvel {

// Failure messages show a WsString as text rather than as a list of code units.
inline void PrintTo(const WsString& text, std::ostream* os)
{
    *os << ::testing::PrintToString(static_cast<const std::wstring&>(text));
}

} // namespace korvel
