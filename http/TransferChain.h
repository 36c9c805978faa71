#pragma once

#include "base/KernelHandle.h"
#include "http/HandleContext.h"

#include <atomic>
#include <memory>
#include <vector>

namespace korvel {

class InternetConnection;

// The context of one transaction's request handles and the memory their calls
// are given. A call that returns ERROR_IO_PENDING is awaited together with the
// transaction's abort event; an abort may leave it pending, and WinINet then
// still completes it and uses its records and buffers until then, so they
// live here, as long as the context. Each request handle made with it counts
// on its connection until the request's closing notice.
class TransferChain : public HandleContext {
public:
    // The owner's reference is let go with Release.
    static TransferChain* Create(InternetConnection& connection);

    // Makes one call that may complete later and waits for it: the outcome is
    // 0 when it succeeded (at once or later), its error code when it failed,
    // and ERROR_INTERNET_OPERATION_CANCELLED when the abort came first, in
    // which case the call may still be pending. The outcome is also left as
    // the thread's last error.
    template <class Call> DWORD Await(const Call& call, HANDLE abortEvent)
    {
        pending_ = true;
        return EndCall(call(), abortEvent);
    }

    // Call before making a request handle; RequestNotMade when it failed.
    void RequestExpected();
    void RequestNotMade();

    // Memory a pending call may use until it completes.
    INTERNET_BUFFERSA& ReadRecord() { return readRecord_; }
    INTERNET_BUFFERSW& SendRecord() { return sendRecord_; }
    DWORD& WrittenCount() { return written_; }
    std::vector<char>& Body() { return body_; }
    // The read buffer, at least the given size. Left uninitialised: a page of
    // it is touched only when data lands there.
    char* ReadBuffer(DWORD bytes);

private:
    explicit TransferChain(InternetConnection& connection);

    DWORD EndCall(BOOL callSucceeded, HANDLE abortEvent);
    void Completed(const INTERNET_ASYNC_RESULT& result) override;
    void HandleClosed() override;

    InternetConnection& connection_;
    KernelHandle completed_;
    DWORD error_ = ERROR_SUCCESS;
    std::atomic<bool> pending_{false};
    INTERNET_BUFFERSA readRecord_ = {};
    INTERNET_BUFFERSW sendRecord_ = {};
    DWORD written_ = 0;
    std::vector<char> body_;
    std::unique_ptr<char[]> readBuffer_;
    DWORD readBufferBytes_ = 0;
};

} // namespace korvel
