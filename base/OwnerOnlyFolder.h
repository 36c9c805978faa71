#pragma once

#include "base/WsString.h"

namespace korvel {

// Creates a folder that only the calling user can reach: its DACL grants that user full control,
// is protected from what the parent would pass on, and is inherited by everything made inside, so
// no other account can plant a file in it. Processes of the same user are not kept out. False
// when the folder exists already or cannot be made.
bool CreateOwnerOnlyFolder(const WsString& path);

} // namespace korvel
