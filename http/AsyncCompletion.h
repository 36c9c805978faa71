#pragma once

#include "base/RecycledEvent.h"

#include <windows.h>

#include <wininet.h>

namespace korvel {

// Waits for WinINet calls made on asynchronous handles. Every handle of a
// transaction carries this object's current key as its context and
// StatusCallback as its status callback; a call that returns ERROR_IO_PENDING
// is awaited together with the session's abort event, so that an abort ends
// every wait at once.
//
// A pending call is left behind when an abort ends its wait, and WinINet may
// complete it at any later time. Callbacks therefore reach this object only
// through a process-wide table of keys, looked up under a lock: once the owner
// has detached the callback from its handles and retired the key, a callback
// that was already on its way finds nothing and touches no memory of the
// session, however late it runs.
class AsyncCompletion {
public:
    AsyncCompletion();
    ~AsyncCompletion();
    AsyncCompletion(const AsyncCompletion&) = delete;
    AsyncCompletion& operator=(const AsyncCompletion&) = delete;

    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                        LPVOID information, DWORD length);
    DWORD_PTR Context()
    {
        keyHandedOut_ = true;
        return key_;
    }

    // The outcome of the call just made, given what it returned: 0 when it
    // succeeded (at once or later), its error code when it failed, and
    // ERROR_INTERNET_OPERATION_CANCELLED when the abort came first. The outcome
    // is also left as the thread's last error.
    DWORD Await(BOOL callSucceeded, HANDLE abortEvent);

    // Cuts this object off from the handles made with the current key and
    // takes a new key for the next transaction's handles; a completion that
    // arrived after an abort had ended its wait is forgotten. A key that no
    // handle has carried cannot be reached, so it is kept.
    void Retire();

private:
    void Complete(const INTERNET_ASYNC_RESULT& result);

    RecycledEvent completed_;
    DWORD error_ = ERROR_SUCCESS;
    DWORD_PTR key_ = 0;
    bool keyHandedOut_ = false;
};

} // namespace korvel
