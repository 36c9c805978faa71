#pragma once

#include <windows.h>

#include <cstdint>

namespace korvel::cli {

// What ends a command's waiting early: Ctrl+C (or Ctrl+Break) from the user,
// or the command's time limit. While an object exists, Ctrl+C no longer
// kills the process; the command sees it and cancels its operation cleanly.
// One exists at a time.
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

private:
    uint32_t timeoutMs_;
    ULONGLONG startMs_;
};

} // namespace korvel::cli
