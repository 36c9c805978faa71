#include "http/HandleContext.h"

#include "http/NoticeGate.h"

#include <new>

namespace korvel {

HandleContext* HandleContext::Create(HandleContext* parent)
{
    auto* context = new HandleContext(parent);
    if (!context->completed_.IsOpen()) {
        context->Release();
        throw std::bad_alloc();
    }
    return context;
}

HandleContext::HandleContext(HandleContext* parent)
    : parent_(parent), completed_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

HandleContext::~HandleContext()
{
    NoticeGate::LetGo(module_);
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

void HandleContext::HoldModule(HMODULE reference)
{
    NoticeGate::LetGo(module_);
    module_ = reference;
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
// it did not, and some calls leave other values there on success.
void HandleContext::Complete(const INTERNET_ASYNC_RESULT& result)
{
    if (result.dwResult != 0)
        error_ = ERROR_SUCCESS;
    else
        error_ = result.dwError != ERROR_SUCCESS ? result.dwError : ERROR_INTERNET_INTERNAL_ERROR;
    pending_ = false;
    SetEvent(completed_.Get());
}

DWORD HandleContext::EndCall(BOOL callSucceeded, HANDLE abortEvent)
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

char* HandleContext::ReadBuffer(DWORD bytes)
{
    if (readBufferBytes_ < bytes) {
        readBuffer_.reset(new char[bytes]);
        readBufferBytes_ = bytes;
    }
    return readBuffer_.get();
}

} // namespace korvel
