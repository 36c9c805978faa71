#pragma once

#include <windows.h>

#include <wininet.h>

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

    // Stops the handle's status notifications, so that an operation still
    // pending on it reaches no code or memory of ours once it is closed.
    void DetachCallback()
    {
        if (handle_ != nullptr)
            InternetSetStatusCallbackW(handle_, nullptr);
    }

    void Close()
    {
        if (handle_ != nullptr)
            InternetCloseHandle(std::exchange(handle_, nullptr));
    }

private:
    HINTERNET handle_ = nullptr;
};

} // namespace korvel
