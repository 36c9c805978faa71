#pragma once

#include "base/WsString.h"

namespace korvel {

// Deletes the folder with everything below it, read-only files included. True when the folder is
// gone; false when any entry or the folder itself stays (an open file, missing rights) or the
// path is empty. What could be deleted before the failure is gone. A link to a folder is removed
// without touching what it points to.
bool RemoveDirectoryTree(WsString folder);

} // namespace korvel
