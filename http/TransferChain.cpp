#include "http/TransferChain.h"

#include "http/InternetConnection.h"

#include <new>

namespace korvel {

TransferChain* TransferChain::Create(InternetConnection& connection)
{
    auto* chain = new TransferChain(connection);
    if (!chain->completed_.IsOpen()) {
        chain->Release();
        throw std::bad_alloc();
    }
    return chain;
}

TransferChain::TransferChain(InternetConnection& connection)
    : connection_(connection), completed_(CreateEventW(nullptr, FALSE, FALSE, nullptr))
{
}

void TransferChain::RequestExpected()
{
    connection_.RequestExpected();
    HandleExpected();
}

void TransferChain::RequestNotMade()
{
    connection_.RequestClosed();
    HandleNotMade();
}

// The connection is touched last: once it counts no request, it may close.
void TransferChain::HandleClosed()
{
    connection_.RequestClosed();
}

// dwResult says whether the call succeeded; dwError means something only when
// it did not, and some calls leave other values there on success.
void TransferChain::Completed(const INTERNET_ASYNC_RESULT& result)
{
    if (result.dwResult != 0)
        error_ = ERROR_SUCCESS;
    else
        error_ = result.dwError != ERROR_SUCCESS ? result.dwError : ERROR_INTERNET_INTERNAL_ERROR;
    pending_ = false;
    SetEvent(completed_.Get());
}

DWORD TransferChain::EndCall(BOOL callSucceeded, HANDLE abortEvent)
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

char* TransferChain::ReadBuffer(DWORD bytes)
{
    if (readBufferBytes_ < bytes) {
        readBuffer_.reset(new char[bytes]);
        readBufferBytes_ = bytes;
    }
    return readBuffer_.get();
}

} // namespace korvel
