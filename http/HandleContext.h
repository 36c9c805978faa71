#pragma once

#include <windows.h>

#include <wininet.h>

#include <atomic>

namespace korvel {

// The context of WinINet handles: what their notices reach. Microsoft
// documents INTERNET_STATUS_HANDLE_CLOSING as a handle's last notice, sent
// once the handle is closed and every call on it has completed, whatever
// became of its callback; until then WinINet may use the memory its calls
// were given and may notify the handle. So a context is freed by whichever
// comes last: its owner letting go, or the closing notice of the last handle
// made with it. Nothing else is counted, and no callback is ever removed.
class HandleContext {
public:
    // A context for handles whose notices only need to be absorbed.
    static HandleContext* Create() { return new HandleContext(); }

    DWORD_PTR Context() { return reinterpret_cast<DWORD_PTR>(this); }

    // Call before making a handle with this context; undo with HandleNotMade
    // when the handle could not be made.
    void HandleExpected() { ++references_; }
    void HandleNotMade() { Release(); }
    // The owner lets go; the context may be gone when this returns.
    void Release();
    // Keeps the module loaded until this context is freed (see NoticeGate).
    void HoldModule(HMODULE reference);

    // Every notice of the library's handles, from NoticeGate.
    static void Notice(DWORD_PTR context, DWORD status, void* information);

protected:
    HandleContext() = default;
    virtual ~HandleContext();
    HandleContext(const HandleContext&) = delete;
    HandleContext& operator=(const HandleContext&) = delete;

    // A call that went pending has completed.
    virtual void Completed(const INTERNET_ASYNC_RESULT&) {}
    // A handle of this context sent its last notice; the context still lives.
    virtual void HandleClosed() {}

private:
    std::atomic<long> references_{1};
    HMODULE module_ = nullptr;
};

} // namespace korvel
