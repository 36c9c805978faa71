#pragma once

#include <windows.h>

namespace korvel {

// Set when the library is unloaded because the process is ending. By then
// every other thread is gone, so nothing may wait for a worker thread.
void MarkProcessExiting();
bool ProcessIsExiting();

} // namespace korvel
