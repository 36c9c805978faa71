#pragma once

#include "base/RecycledEvent.h"
#include "http/WinInetApi.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <vector>

namespace korvel {

// The notices of one chain of WinINet handles (internet, connection, request)
// and the memory its calls are given. Every handle of the chain carries the
// chain's key as its context and StatusCallback as its status callback; a call
// that returns ERROR_IO_PENDING is awaited together with the session's abort
// event.
//
// WinINet keeps the records and buffers of a pending call until it completes,
// and it notifies a handle until that handle's INTERNET_STATUS_HANDLE_CLOSING,
// even after the handle was closed. Both therefore live here, not on a stack,
// and a chain whose notices are still to come is never freed by its session:
// it is left to the process-wide table of keys, and its last notice frees it.
// Callbacks reach a chain only through that table, under its lock.
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

    // Makes one call that may complete later and waits for it: the outcome is
    // 0 when it succeeded (at once or later), its error code when it failed,
    // and ERROR_INTERNET_OPERATION_CANCELLED when the abort came first, in
    // which case the call may still be pending. The outcome is also left as
    // the thread's last error.
    template <class Call> DWORD Await(const Call& call, HANDLE abortEvent)
    {
        BeginCall();
        return EndCall(call(), abortEvent);
    }

    // Memory a pending call may use until it completes.
    INTERNET_BUFFERSA& ReadRecord() { return readRecord_; }
    INTERNET_BUFFERSW& SendRecord() { return sendRecord_; }
    DWORD& WrittenCount() { return written_; }
    std::vector<char>& Body() { return body_; }
    // The read buffer, at least the given size. Left uninitialised: a page of
    // it is touched only when data lands there.
    char* ReadBuffer(DWORD bytes);

    // A handle of the chain whose callback could not be removed will still
    // send its closing notice; call before closing it.
    void ExpectClosingNotice();
    // True while a call that returned ERROR_IO_PENDING has not completed.
    bool HasPendingCall() const { return pending_; }

    // Cuts this object off from the handles made with the current key and
    // takes a new key for the next transaction's handles. A key that no
    // handle has carried cannot be reached, so it is kept.
    void Retire();

    // Hands a chain whose notices are still to come to the table, which frees
    // it with its last notice; returns its key. A chain whose notices can no
    // longer be counted on (its callbacks were removed while a call was
    // pending) is never freed: the call may still use its memory.
    static DWORD_PTR Abandon(std::unique_ptr<AsyncCompletion> chain, bool noticesComing);
    // Keeps this module loaded until the last notice of an abandoned chain,
    // if it is still to come. Called on a host thread, never while the
    // module is being unloaded.
    static void HoldModuleFor(DWORD_PTR key);
    // The same with a reference already taken: false when the chain is done,
    // and the reference stays the caller's.
    static bool HoldModuleFor(DWORD_PTR key, HMODULE reference);
    // Waits up to timeoutMs for an abandoned chain's last notice: while the
    // module is being unloaded nothing can keep it, and WinINet ends a call
    // soon after its handle was closed. True when the chain is done.
    static bool AwaitFinished(DWORD_PTR key, DWORD timeoutMs);

private:
    void BeginCall();
    DWORD EndCall(BOOL callSucceeded, HANDLE abortEvent);
    void Complete(const INTERNET_ASYNC_RESULT& result);
    void HandleClosed();
    bool IsQuiet() const { return !pending_ && closingNotices_ == 0; }
    static void CALLBACK ReleaseModule(PTP_CALLBACK_INSTANCE instance, void* module);

    RecycledEvent completed_;
    DWORD error_ = ERROR_SUCCESS;
    DWORD_PTR key_ = 0;
    bool keyHandedOut_ = false;
    // Written by callbacks under the table's lock, read by the owner.
    std::atomic<bool> pending_{false};
    std::atomic<long> closingNotices_{0};
    // Set once the table owns the chain.
    bool abandoned_ = false;
    HMODULE heldModule_ = nullptr;

    INTERNET_BUFFERSA readRecord_ = {};
    INTERNET_BUFFERSW sendRecord_ = {};
    DWORD written_ = 0;
    std::vector<char> body_;
    std::unique_ptr<char[]> readBuffer_;
    DWORD readBufferBytes_ = 0;
};

} // namespace korvel
