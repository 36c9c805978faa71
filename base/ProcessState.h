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

// A reference on this module, for work that runs its code after the host may
// have let it go; null while it unloads (or when none can be had). Taken on a
// host thread: the loader's lock, which it needs, may be held by a host that
// waits for a worker. Its owner lets go of it through the thread pool
// (FreeLibraryWhenCallbackReturns), never in code that returns into the module.
HMODULE TakeModuleReference();

} // namespace korvel
