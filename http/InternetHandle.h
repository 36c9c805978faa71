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
    InternetHandle(InternetHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr))
    {
    }
    InternetHandle& operator=(InternetHandle&&) = delete;

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

private:
    HINTERNET handle_ = nullptr;
};

} // namespace korvel
