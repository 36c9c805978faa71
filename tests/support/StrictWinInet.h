#pragma once

// A WinINet that holds korvel.dll to the contract Microsoft documents for
// asynchronous handles, where Wine forgives. It sits between a loaded
// korvel.dll and the real WinINet (whose functions the library looks up with
// GetProcAddress) and behaves as Windows may: every call that may go
// asynchronous does and completes from another thread; notices come inside
// calls and from other threads, HANDLE_CLOSING last of each handle's and
// sometimes after the host unloaded the library; a callback change while
// calls are pending is refused or accepted as KORVEL_STRICT_REMOVAL says
// ("refuse", or "accept", the default, which goes on calling the previous
// callback until HANDLE_CLOSING). It remembers what the library did wrong.
#include <windows.h>

#include <string>
#include <vector>

namespace korvel::test {

class StrictWinInet {
public:
    // Puts the layer under a korvel.dll just loaded, before its first
    // transaction: its lookups of WinINet functions get the layer's.
    static void Install(HMODULE korvel);

    // Waits up to maxWaitMs for the notices still to come, then returns what
    // went wrong since the last report: every handle that was never closed,
    // every breach of the contract, and a heap damaged by a write into freed
    // memory. Empty when all was well.
    static std::vector<std::string> TakeReport(DWORD maxWaitMs);
};

} // namespace korvel::test
