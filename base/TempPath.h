#pragma once

#include "base/WsString.h"

namespace korvel {

// The user's temporary folder with its trailing backslash, or empty.
WsString TempFolder();

// A new GUID in registry form: braces and upper-case groups 8-4-4-4-12.
WsString NewGuidText();

} // namespace korvel
