#include "http/AsyncCompletion.h"

#include "base/ProcessState.h"

#include <map>
#include <new>
#include <utility>

namespace korvel {

namespace {

// The chains that callbacks may reach, by key. Keys are never reused, so a
// callback of a retired transaction cannot reach a later one.
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

    bool Contains(DWORD_PTR key)
    {
        AcquireSRWLockShared(&lock_);
        const bool found = entries_.count(key) != 0;
        ReleaseSRWLockShared(&lock_);
        return found;
    }

    // Calls the chain of a key, if it is still there, under the lock: Remove
    // cannot return while it runs. A call that answers true hands the chain
    // back: it leaves the table and goes to the caller.
    template <class Call> AsyncCompletion* Visit(DWORD_PTR key, const Call& call)
    {
        AsyncCompletion* handedBack = nullptr;
        AcquireSRWLockExclusive(&lock_);
        const auto entry = entries_.find(key);
        if (entry != entries_.end() && call(*entry->second)) {
            handedBack = entry->second;
            entries_.erase(entry);
        }
        ReleaseSRWLockExclusive(&lock_);
        return handedBack;
    }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    DWORD_PTR lastKey_ = 0;
    std::map<DWORD_PTR, AsyncCompletion*> entries_;
};

// Never destroyed: chains that outlive their sessions still take their keys
// out of it.
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
    AsyncCompletion* finished = nullptr;
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && information != nullptr) {
        const auto& result = *static_cast<const INTERNET_ASYNC_RESULT*>(information);
        finished = Completions().Visit(context, [&result](AsyncCompletion& chain) {
            chain.Complete(result);
            return chain.abandoned_ && chain.IsQuiet();
        });
    } else if (status == INTERNET_STATUS_HANDLE_CLOSING) {
        finished = Completions().Visit(context, [](AsyncCompletion& chain) {
            chain.HandleClosed();
            return chain.abandoned_ && chain.IsQuiet();
        });
    }
    if (finished == nullptr)
        return;
    // The chain's last notice: nothing of WinINet's will use it any more.
    const HMODULE module = finished->heldModule_;
    delete finished;
    // The module may go once this notice has returned into WinINet: a pool
    // thread lets go of it after a callback that has already returned. Should
    // the pool refuse, the module stays for the life of the process.
    if (module != nullptr)
        TrySubmitThreadpoolCallback(&ReleaseModule, module, nullptr);
}

void CALLBACK AsyncCompletion::ReleaseModule(PTP_CALLBACK_INSTANCE instance, void* module)
{
    FreeLibraryWhenCallbackReturns(instance, static_cast<HMODULE>(module));
}

// dwResult says whether the call succeeded; dwError means something only when
// it did not, and some calls leave other values there on success.
void AsyncCompletion::Complete(const INTERNET_ASYNC_RESULT& result)
{
    if (result.dwResult != 0)
        error_ = ERROR_SUCCESS;
    else
        error_ = result.dwError != ERROR_SUCCESS ? result.dwError : ERROR_INTERNET_INTERNAL_ERROR;
    pending_ = false;
    SetEvent(completed_.Get());
}

void AsyncCompletion::HandleClosed()
{
    if (closingNotices_ > 0)
        --closingNotices_;
    SetEvent(completed_.Get());
}

void AsyncCompletion::BeginCall()
{
    pending_ = true;
}

DWORD AsyncCompletion::EndCall(BOOL callSucceeded, HANDLE abortEvent)
{
    DWORD outcome = ERROR_SUCCESS;
    if (!callSucceeded)
        outcome = GetLastError();
    if (outcome != ERROR_IO_PENDING) {
        pending_ = false;
    } else {
        // The abort comes first in the list: when both are signalled, it wins.
        const HANDLE events[] = {abortEvent, completed_.Get()};
        outcome = ERROR_INTERNET_OPERATION_CANCELLED;
        while (WaitForMultipleObjects(2, events, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
            if (!pending_) {
                outcome = error_;
                break;
            }
        }
    }
    SetLastError(outcome);
    return outcome;
}

char* AsyncCompletion::ReadBuffer(DWORD bytes)
{
    if (readBufferBytes_ < bytes) {
        readBuffer_.reset(new char[bytes]);
        readBufferBytes_ = bytes;
    }
    return readBuffer_.get();
}

void AsyncCompletion::ExpectClosingNotice()
{
    ++closingNotices_;
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

DWORD_PTR AsyncCompletion::Abandon(std::unique_ptr<AsyncCompletion> chain, bool noticesComing)
{
    const DWORD_PTR key = chain->key_;
    if (!noticesComing) {
        // Out of the table, so that no notice reaches it, and never freed.
        Completions().Remove(key);
        static_cast<void>(chain.release());
        return 0;
    }
    AsyncCompletion* const quiet = Completions().Visit(key, [](AsyncCompletion& c) {
        c.abandoned_ = true;
        return c.IsQuiet();
    });
    // Either the last notice came meanwhile (the chain is handed back and
    // freed here) or the table frees it with that notice.
    static_cast<void>(chain.release());
    delete quiet;
    return quiet != nullptr ? 0 : key;
}

// The host's thread holds the module meanwhile, so a reference the chain
// turns down is let go of here.
void AsyncCompletion::HoldModuleFor(DWORD_PTR key)
{
    const HMODULE reference = TakeModuleReference();
    if (reference != nullptr && !HoldModuleFor(key, reference))
        FreeLibrary(reference);
}

bool AsyncCompletion::HoldModuleFor(DWORD_PTR key, HMODULE reference)
{
    bool taken = false;
    Completions().Visit(key, [&](AsyncCompletion& chain) {
        if (chain.heldModule_ == nullptr) {
            chain.heldModule_ = reference;
            taken = true;
        }
        return false;
    });
    return taken;
}

bool AsyncCompletion::AwaitFinished(DWORD_PTR key, DWORD timeoutMs)
{
    constexpr DWORD kPollMs = 5;
    for (DWORD waited = 0;; waited += kPollMs) {
        if (!Completions().Contains(key))
            return true;
        if (waited >= timeoutMs)
            return false;
        Sleep(kPollMs);
    }
}

} // namespace korvel
