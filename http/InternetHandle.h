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

    // Gives the handle up without closing it: closing a parent handle has
    // already freed its children, and their values may have been reused.
    void Forget() { handle_ = nullptr; }

    void Close()
    {
        if (handle_ != nullptr)
            InternetCloseHandle(std::exchange(handle_, nullptr));
    }

private:
    HINTERNET handle_ = nullptr;
};

} // namespace korvel
