#include "http/AsyncCompletion.h"

#include <new>

namespace korvel {

namespace {

// Detached callbacks that were already running finish within microseconds;
// the bound only keeps a stuck platform from hanging the caller.
constexpr int kQuiesceSpins = 2000;

} // namespace

AsyncCompletion::AsyncCompletion() : completed_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
    if (!completed_.IsOpen())
        throw std::bad_alloc();
}

void CALLBACK AsyncCompletion::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status,
                                              LPVOID information, DWORD)
{
    auto* completion = reinterpret_cast<AsyncCompletion*>(context);
    if (completion == nullptr || status != INTERNET_STATUS_REQUEST_COMPLETE ||
        information == nullptr)
        return;
    ++completion->callbacksRunning_;
    completion->Complete(*static_cast<const INTERNET_ASYNC_RESULT*>(information));
    --completion->callbacksRunning_;
}

void AsyncCompletion::Complete(const INTERNET_ASYNC_RESULT& result)
{
    error_ = result.dwError;
    SetEvent(completed_.Get());
}

DWORD AsyncCompletion::Await(BOOL callSucceeded, HANDLE abortEvent)
{
    DWORD outcome = ERROR_SUCCESS;
    if (!callSucceeded) {
        outcome = GetLastError();
        if (outcome == ERROR_IO_PENDING) {
            // The abort comes first in the list: when both are signalled, it wins.
            const HANDLE events[] = {abortEvent, completed_.Get()};
            const DWORD woken = WaitForMultipleObjects(2, events, FALSE, INFINITE);
            outcome = woken == WAIT_OBJECT_0 + 1 ? error_ : ERROR_INTERNET_OPERATION_CANCELLED;
        }
    }
    SetLastError(outcome);
    return outcome;
}

void AsyncCompletion::Quiesce() const
{
    for (int spin = 0; spin < kQuiesceSpins && callbacksRunning_.load() != 0; ++spin)
        Sleep(0);
}

} // namespace korvel
