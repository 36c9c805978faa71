#pragma once

#include "http/WinInetApi.h"

#include <utility>

namespace korvel {

// Owns a WinINet handle.
class InternetHandle {
public:
    InternetHandle() = default;
    ~InternetHandle() { Close(); }
    InternetHandle(const InternetHandle&) = delete;
    InternetHandle& operator=(const InternetHandle&) = delete;

    bool IsOpen() const { return handle_ != nullptr; }
    HINTERNET Get() const { return handle_; }

    void Reset(HINTERNET handle)
    {
        Close();
        handle_ = handle;
    }

    // Removes the handle's status callback: true when no notice will reach it
    // any more. WinINet refuses while a call or a notice is pending on the
    // handle; the handle then notifies until its closing notice.
    bool DetachCallback()
    {
        return handle_ == nullptr || WinInet().InternetSetStatusCallbackW(handle_, nullptr) !=
                                         INTERNET_INVALID_STATUS_CALLBACK;
    }

    void Close()
    {
        if (handle_ != nullptr)
            WinInet().InternetCloseHandle(std::exchange(handle_, nullptr));
    }

    // Closing a request whose body is still arriving makes some WinINet
    // implementations read that body to its end first, on the closing thread.
    // Such a close is left to the process's thread pool, which is made to call
    // InternetCloseHandle itself (its signature is that of a work item): no
    // code of the library is then on that thread's stack, and the library may
    // be unloaded while the close goes on.
    void CloseInBackground()
    {
        if (handle_ == nullptr)
            return;
        const auto close = reinterpret_cast<LPTHREAD_START_ROUTINE>(
            reinterpret_cast<void*>(WinInet().InternetCloseHandle));
        if (!QueueUserWorkItem(close, handle_, WT_EXECUTEDEFAULT))
            WinInet().InternetCloseHandle(handle_);
        handle_ = nullptr;
    }

    // Gives the handle up without closing it, for a child that its root's
    // close takes along.
    void Forget() { handle_ = nullptr; }

private:
    HINTERNET handle_ = nullptr;
};

} // namespace korvel
