#pragma once

#include <windows.h>

#include <cstdint>

namespace korvel::cli {

// Installs the program's handling of Ctrl+C (and Ctrl+Break) for the rest of
// the process. While a StopConditions object exists the key press goes to the
// command, which cancels its operation through the library; at any other
// moment (during a ping, which the library cannot cancel, or before an
// operation has started) the program says so on standard error and ends at
// once with exit code 130.
void InstallCtrlCHandler();

// What ends a command's waiting early: Ctrl+C from the user, or the
// command's time limit. One exists at a time.
class StopConditions {
public:
    // timeoutMs 0 means no time limit.
    explicit StopConditions(uint32_t timeoutMs);
    ~StopConditions();
    StopConditions(const StopConditions&) = delete;
    StopConditions& operator=(const StopConditions&) = delete;

    bool CtrlCPressed() const;
    // Sleeps up to ms milliseconds, less when Ctrl+C arrives; true if it did.
    bool WaitForCtrlC(DWORD ms) const;
    bool TimeLimitReached() const;
    uint32_t TimeoutMs() const { return timeoutMs_; }
    uint64_t ElapsedMs() const { return GetTickCount64() - startMs_; }

private:
    uint32_t timeoutMs_;
    ULONGLONG startMs_;
};

} // namespace korvel::cli
