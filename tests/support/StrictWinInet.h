#pragma once

// A WinINet that holds korvel.dll to the contract Microsoft documents for
// asynchronous handles, where Wine forgives. It sits between a loaded
// korvel.dll and the real WinINet (whose functions the library looks up with
// GetProcAddress) and:
// - makes every call that may go asynchronous do so: it returns
//   ERROR_IO_PENDING and completes later, from another thread, through the
//   library's status callback, even when the real call was done at once;
// - touches the caller's records and buffers only at completion, after
//   checking that they are unchanged since the call;
// - completes a success with dwResult TRUE and a non-zero dwError;
// - refuses to change a callback while an operation of the handle (or of one
//   made from it) is pending;
// - answers InternetCloseHandle at once, and ends the operations pending on
//   the handle (REQUEST_COMPLETE with ERROR_INTERNET_OPERATION_CANCELLED) and
//   sends its HANDLE_CLOSING later, possibly after the host unloaded the
//   library;
// - ends a blocking call on a synchronous handle at once when another thread
//   closes that handle;
// - closes none of a handle's children with it, and remembers what the
//   library did wrong.
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
    // and every breach of the contract. Empty when all was well.
    static std::vector<std::string> TakeReport(DWORD maxWaitMs);
};

} // namespace korvel::test
