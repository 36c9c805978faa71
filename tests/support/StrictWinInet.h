#pragma once

// A WinINet that holds korvel.dll to the contract Microsoft documents for
// asynchronous handles, where Wine forgives. It sits between a loaded
// korvel.dll and the real WinINet (whose functions the library looks up with
// GetProcAddress) and:
// - makes every call that may go asynchronous do so: it returns
//   ERROR_IO_PENDING and completes later, from another thread, through the
//   library's status callback, even when the real call was done at once;
//   a success completes with dwResult TRUE and a non-zero dwError;
// - sends the progress notices (resolving, connecting, sending, receiving,
//   HANDLE_CREATED of a connection, CONNECTION_CLOSED of a request) with
//   their documented information, some inside the call on the caller's
//   thread and the rest from its own threads;
// - answers a change of a callback while a call or a notice of the handle (or
//   of one made from it) is pending as KORVEL_STRICT_REMOVAL says: "refuse"
//   returns INTERNET_INVALID_STATUS_CALLBACK, "accept" (the default) returns
//   the previous callback and goes on calling it until HANDLE_CLOSING;
// - answers InternetCloseHandle at once, ends the operations pending on the
//   handle (REQUEST_COMPLETE with ERROR_INTERNET_OPERATION_CANCELLED) and
//   sends HANDLE_CLOSING last of the handle's notices, after those of the
//   handles made from it: sometimes inside the close, sometimes later from
//   another thread, possibly after the host unloaded the library;
// - lets a read told not to wait (IRF_NO_WAIT) take any part of what has
//   arrived, and completes one that had to wait without filling its record:
//   the next read takes the data;
// - writes results into the caller's records and buffers at completion, after
//   checking that they are unchanged since the call;
// - closes none of a handle's children with it, closes the real handles of a
//   chain one at a time, children first, and remembers what the library did
//   wrong, a notice that would have run code of an unloaded korvel.dll
//   included.
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
