#pragma once

#include "http/WinInetApi.h"

#include <utility>

namespace korvel {

// Owns a WinINet handle. Its status callback is never removed: whatever a
// removal answers, the handle's closing notice is the one signal counted on.
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

    void SetDwordOption(DWORD option, DWORD value) const
    {
        WinInet().InternetSetOptionW(handle_, option, &value, sizeof value);
    }
    // Receives and sends may each wait up to an hour: a slow server is not a
    // failure, and a cancel ends any wait at once.
    void SetTransferTimeouts() const
    {
        constexpr DWORD kOneHourMs = 3600000;
        SetDwordOption(INTERNET_OPTION_RECEIVE_TIMEOUT, kOneHourMs);
        SetDwordOption(INTERNET_OPTION_SEND_TIMEOUT, kOneHourMs);
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
