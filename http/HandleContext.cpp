#include "http/HandleContext.h"

namespace korvel {

HandleContext* HandleContext::Create(HandleContext* parent)
{
    return new HandleContext(parent);
}

HandleContext::HandleContext(HandleContext* parent) : parent_(parent)
{
}

void HandleContext::HandleExpected()
{
    ++references_;
    if (parent_ != nullptr)
        ++parent_->childHandles_;
}

void HandleContext::HandleNotMade()
{
    HandleClosed();
}

// The parent is touched first and never again: once it counts no handle, its
// own may be closed on another thread.
void HandleContext::HandleClosed()
{
    if (parent_ != nullptr)
        --parent_->childHandles_;
    Release();
}

void HandleContext::Release()
{
    if (--references_ == 0)
        delete this;
}

void HandleContext::Notice(DWORD_PTR context, DWORD status, void* information)
{
    auto* target = reinterpret_cast<HandleContext*>(context);
    if (status == INTERNET_STATUS_REQUEST_COMPLETE && information != nullptr)
        target->Complete(*static_cast<const INTERNET_ASYNC_RESULT*>(information));
    else if (status == INTERNET_STATUS_HANDLE_CLOSING)
        target->HandleClosed();
}

// dwResult says whether the call succeeded; dwError means something only when
// it did not, and some calls leave other values there on success. The closing
// notice, which may free the context, is the handle's last: it comes after
// this one has returned.
void HandleContext::Complete(const INTERNET_ASYNC_RESULT& result)
{
    const SrwExclusiveLock lock(lock_);
    if (result.dwResult != 0)
        error_ = ERROR_SUCCESS;
    else
        error_ = result.dwError != ERROR_SUCCESS ? result.dwError : ERROR_INTERNET_INTERNAL_ERROR;
    pending_ = false;
    WakeAllConditionVariable(&changed_);
}

void HandleContext::Interrupt()
{
    const SrwExclusiveLock lock(lock_);
    interrupted_ = true;
    WakeAllConditionVariable(&changed_);
}

// A condition variable rather than an event: a transaction then costs the
// system no object to create and close, and a wake no call into the kernel
// when nobody sleeps.
DWORD HandleContext::EndCall(BOOL callSucceeded)
{
    DWORD outcome = ERROR_SUCCESS;
    if (!callSucceeded)
        outcome = GetLastError();
    const SrwExclusiveLock lock(lock_);
    if (outcome != ERROR_IO_PENDING) {
        pending_ = false;
    } else {
        while (pending_ && !interrupted_)
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
        // An interrupt wins over a completion that came with it.
        outcome = interrupted_ ? ERROR_INTERNET_OPERATION_CANCELLED : error_;
    }
    SetLastError(outcome);
    return outcome;
}

char* HandleContext::ReadBuffer(DWORD bytes)
{
    if (readBufferBytes_ < bytes) {
        readBuffer_.reset(new char[bytes]);
        readBufferBytes_ = bytes;
    }
    return readBuffer_.get();
}

} // namespace korvel
