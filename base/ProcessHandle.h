#pragma once

#include <windows.h>

#include <utility>

namespace korvel {

// Owns a kernel handle of a process or thread; null means none, as the process calls return it.
class ProcessHandle {
public:
    ProcessHandle() = default;
    explicit ProcessHandle(HANDLE handle) : handle_(handle) {}
    ~ProcessHandle() { Close(); }
    ProcessHandle(ProcessHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr))
    {
    }
    ProcessHandle& operator=(ProcessHandle&& other) noexcept
    {
        if (this != &other) {
            Close();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    ProcessHandle(const ProcessHandle&) = delete;
    ProcessHandle& operator=(const ProcessHandle&) = delete;

    bool IsOpen() const { return handle_ != nullptr; }
    HANDLE Get() const { return handle_; }

    void Close()
    {
        if (IsOpen())
            CloseHandle(std::exchange(handle_, nullptr));
    }

private:
    HANDLE handle_ = nullptr;
};

} // namespace korvel
