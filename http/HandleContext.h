#pragma once

#include "base/SrwLockGuard.h"

#include <windows.h>

#include <wininet.h>

#include <atomic>
#include <memory>
#include <vector>

namespace korvel {

// The context of WinINet handles: what their notices reach, and the memory
// their calls are given.
//
// Microsoft documents INTERNET_STATUS_HANDLE_CLOSING as a handle's last
// notice, sent once the handle is closed and every call on it has completed,
// whatever became of its callback; until then WinINet may notify the handle
// and use the records and buffers of a call an abort left pending. So a
// context is freed by whichever comes last: its owner letting go, or the
// closing notice of the last handle made with it. Nothing else is counted,
// and no callback is ever removed.
//
// A connection's context counts the request handles made with its children's
// contexts until their closing notices, so that the connection is closed only
// under no request.
class HandleContext {
public:
    // The owner's reference is let go with Release.
    static HandleContext* Create(HandleContext* parent = nullptr);

    DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(this); }
    // Call before making a handle with this context; HandleNotMade when it
    // could not be made.
    void HandleExpected();
    void HandleNotMade();
    // The owner lets go; the context may be gone when this returns.
    void Release();
    // True while a handle made with a child context may still send a notice.
    bool HasChildHandles() const { return childHandles_.load() != 0; }

    // Makes one call that may complete later and waits for it: the outcome is
    // 0 when it succeeded (at once or later), its error code when it failed,
    // and ERROR_INTERNET_OPERATION_CANCELLED when an interrupt came first, in
    // which case the call may still be pending. The outcome is also left as
    // the thread's last error.
    template <class Call> DWORD Await(const Call& call)
    {
        {
            const SrwExclusiveLock lock(lock_);
            pending_ = true;
        }
        return EndCall(call());
    }
    // Ends the wait of Await now and every later one as soon as it begins:
    // the transaction's abort, which wakes the worker as a completion does.
    void Interrupt();

    // Memory a pending call may use until it completes.
    INTERNET_BUFFERSA& ReadRecord() { return readRecord_; }
    INTERNET_BUFFERSW& SendRecord() { return sendRecord_; }
    DWORD& WrittenCount() { return written_; }
    std::vector<char>& Body() { return body_; }
    // The read buffer, at least the given size. Left uninitialised: a page of
    // it is touched only when data lands there.
    char* ReadBuffer(DWORD bytes);

    // Every notice of the library's handles, from NoticeGate.
    static void Notice(DWORD_PTR context, DWORD status, void* information);

private:
    explicit HandleContext(HandleContext* parent);
    ~HandleContext() = default;
    HandleContext(const HandleContext&) = delete;
    HandleContext& operator=(const HandleContext&) = delete;

    DWORD EndCall(BOOL callSucceeded);
    void Complete(const INTERNET_ASYNC_RESULT& result);
    void HandleClosed();

    HandleContext* const parent_;
    std::atomic<long> references_{1};
    std::atomic<long> childHandles_{0};

    // Orders a call's outcome and an interrupt with the wait for them.
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    DWORD error_ = ERROR_SUCCESS;
    bool pending_ = false;
    bool interrupted_ = false;
    INTERNET_BUFFERSA readRecord_ = {};
    INTERNET_BUFFERSW sendRecord_ = {};
    DWORD written_ = 0;
    std::vector<char> body_;
    std::unique_ptr<char[]> readBuffer_;
    DWORD readBufferBytes_ = 0;
};

} // namespace korvel
