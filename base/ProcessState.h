#pragma once

#include <windows.h>

namespace korvel {

// Set when the library is detached because the process is ending. By then
// every other thread is gone, perhaps holding a lock: the log neither waits
// nor writes any more.
void MarkProcessExiting();
bool ProcessIsExiting();

} // namespace korvel
