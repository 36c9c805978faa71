#pragma once

#include <windows.h>

#include <wininet.h>

namespace korvel {

// The status callback every WinINet handle of the library is given.
//
// WinINet may call a handle's callback until that handle's closing notice,
// and for as long as a server keeps a connection open after a cancel; no wait
// at unload can promise to outlast that. So WinINet is not given a function
// of this module but a few bytes of code in memory the module never frees: it
// forwards each notice to the library while the library is loaded, counting
// the notices in flight, and returns at once after Close.
//
// Where the process refuses code made at run time, WinINet gets the module's
// own function instead, and each handle's context holds a reference on the
// module until its closing notice (Reference, LetGo).
namespace NoticeGate {

// Makes the gate on first use; on a host's thread, never inside DllMain.
INTERNET_STATUS_CALLBACK Open();

// A reference on the module for one handle context, taken on a host's thread;
// null when the gate does not need one (or none can be had).
HMODULE Reference();
// Gives a reference back once the code that needed it has returned: through
// the thread pool, which lets go of it after its own callback has returned.
void LetGo(HMODULE reference);

// At the start of the unload: no reference is taken from now on.
void BeginUnload();
// True when a notice may come after the unload: WinINet holds the gate's
// code. Otherwise a handle that might notify late is better left open.
bool OutlivesModule();
// At the end of the unload, under the loader lock: once this returns no
// notice runs code of the module. Waits only for notices already inside it,
// which never need the loader lock.
void Close();

} // namespace NoticeGate

} // namespace korvel
