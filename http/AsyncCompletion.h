#pragma once

#include "base/KernelHandle.h"

#include <windows.h>

#include <wininet.h>

#include <atomic>

namespace korvel {

// Waits for WinINet calls made on asynchronous handles. Every handle of a
// session carries this object as its context and StatusCallback as its status
// callback; a call that returns ERROR_IO_PENDING is awaited together with the
// session's abort event, so that an abort ends every wait at once.
//
// A pending call is left behind when an abort ends its wait. WinINet may still
// complete it later, after the session (or the whole library) is gone, so the
// owner detaches the callback from every handle before it closes them and then
// calls Quiesce; the calls it leaves pending are given no memory of ours to
// write (see the callers).
class AsyncCompletion {
public:
    AsyncCompletion();
    AsyncCompletion(const AsyncCompletion&) = delete;
    AsyncCompletion& operator=(const AsyncCompletion&) = delete;

    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status,
                                        LPVOID information, DWORD length);
    DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(this); }

    // Forgets a completion that arrived after an abort had ended its wait;
    // every other completion is consumed by the wait for it.
    void Reset() { ResetEvent(completed_.Get()); }

    // The outcome of the call just made, given what it returned: 0 when it
    // succeeded (at once or later), its error code when it failed, and
    // ERROR_INTERNET_OPERATION_CANCELLED when the abort came first. The outcome
    // is also left as the thread's last error.
    DWORD Await(BOOL callSucceeded, HANDLE abortEvent);

    // Waits until no status callback runs any more. Call after the callback has
    // been detached from every handle.
    void Quiesce() const;

private:
    void Complete(const INTERNET_ASYNC_RESULT& result);

    KernelHandle completed_;
    DWORD error_ = ERROR_SUCCESS;
    std::atomic<int> callbacksRunning_{0};
};

} // namespace korvel
