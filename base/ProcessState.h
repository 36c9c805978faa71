#pragma once

#include <windows.h>

namespace korvel {

// Set when the library is unloaded because the process is ending. By then
// every other thread is gone, so nothing may wait for a worker thread.
void MarkProcessExiting();
bool ProcessIsExiting();

// Set when the library is being unloaded while the process goes on. The
// loader then holds its lock and runs the library's last code: a reference
// on the module taken from now on could not keep it.
void MarkModuleUnloading();
bool ModuleIsUnloading();

} // namespace korvel
