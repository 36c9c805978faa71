#include "http/AsyncCompletion.h"

#include <map>
#include <new>
#include <utility>

namespace korvel {

namespace {

// The completions that callbacks may reach, by key. Keys are never reused, so
// a callback of a retired transaction cannot reach a later one.
class CompletionTable {
public:
    DWORD_PTR Add(AsyncCompletion* completion)
    {
        AcquireSRWLockExclusive(&lock_);
        const DWORD_PTR key = ++lastKey_;
        try {
            entries_.emplace(key, completion);
        } catch (...) {
            ReleaseSRWLockExclusive(&lock_);
            throw;
        }
        ReleaseSRWLockExclusive(&lock_);
        return key;
    }

    void Remove(DWORD_PTR key)
    {
        AcquireSRWLockExclusive(&lock_);
        entries_.erase(key);
        ReleaseSRWLockExclusive(&lock_);
    }

    // Calls the completion of a key, if it is still there, under the shared
    // lock: Remove cannot return while it runs.
    template <class Call> void Visit(DWORD_PTR key, const Call& call)
    {
        AcquireSRWLockShared(&lock_);
        const auto entry = entries_.find(key);
        if (entry != entries_.end())
            call(*entry->second);
        ReleaseSRWLockShared(&lock_);
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    DWORD_PTR lastKey_ = 0;
    std::map<DWORD_PTR, AsyncCompletion*> entries_;
};

// Never destroyed: sessions that static destructors close at unload still
// take their keys out of it.
CompletionTable& Completions()
{
    static CompletionTable* const table = new CompletionTable;
    return *table;
}

} // namespace

AsyncCompletion::AsyncCompletion()
    : completed_(RecycledEvent::Kind::kAutoReset), key_(Completions().Add(this))
{
    if (!completed_.IsOpen()) {
        Completions().Remove(key_);
        throw std::bad_alloc();
    }
}

AsyncCompletion::~AsyncCompletion()
{
    Completions().Remove(key_);
    // Only a key that handles carried can have signalled the event since Retire reset it.
    completed_.SetMaySignal(keyHandedOut_);
}

void CALLBACK AsyncCompletion::StatusCallback(HINTERNET, DWORD_PTR context, DWORD status,
                                              LPVOID information, DWORD)
{
    if (status != INTERNET_STATUS_REQUEST_COMPLETE || information == nullptr)
        return;
    const auto& result = *static_cast<const INTERNET_ASYNC_RESULT*>(information);
    Completions().Visit(context,
                        [&result](AsyncCompletion& completion) { completion.Complete(result); });
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

void AsyncCompletion::Retire()
{
    if (!keyHandedOut_)
        return;
    const DWORD_PTR next = Completions().Add(this);
    Completions().Remove(std::exchange(key_, next));
    ResetEvent(completed_.Get());
    keyHandedOut_ = false;
}

} // namespace korvel
