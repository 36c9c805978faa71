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
// own function instead, and the module pins itself: it stays loaded for the
// rest of the process, so a late notice always finds its code.
namespace NoticeGate {

// Makes the gate on first use; on a host's thread, never inside DllMain.
INTERNET_STATUS_CALLBACK Open();

// At the end of the unload, under the loader lock: once this returns no
// notice runs code of the module. Waits only for notices already inside it,
// which never need the loader lock.
void Close();

} // namespace NoticeGate

} // namespace korvel
