#pragma once

#include "base/FileWriter.h"
#include "base/WsString.h"

#include <windows.h>

#include <vector>

namespace korvel {

// The diagnostic log file: a header block, time-stamped lines and, on Close, a summary block that
// repeats every error written.
class WsLog : private FileWriter {
public:
    explicit WsLog(const WsString& path);
    ~WsLog() override = default;

    // Opens the file and writes the header and a separator; a file that cannot be opened leaves
    // a log whose writes fail silently.
    void OpenWithHeader(const WsString& header, bool append);
    void Close() override;

    void WriteLine(const WsString& message);
    void WriteError(const WsString& message);
    void WriteSeparator();

    void SetTimestamps(bool timestamps) { timestamps_ = timestamps; }
    void SetEnabled(bool enabled) { enabled_ = enabled; }
    void SetSummary(bool summary) { summary_ = summary; }
    bool IsEnabled() const { return enabled_; }

private:
    void WriteSummary();

    bool timestamps_ = false;
    bool enabled_ = false;
    bool summary_ = false;
    // Errors arrive from several threads at once.
    SRWLOCK errorsLock_ = SRWLOCK_INIT;
    std::vector<WsString> errors_;
};

// The process-wide log. Every long-lived object that logs registers with AcquireLog and
// deregisters with ReleaseLog; the first registration creates the log when the registry names a
// log file, the last one closes it with its summary.
void AcquireLog();
void ReleaseLog();

// Silent no-ops while there is no log.
void LogLine(const WsString& message);
void LogError(const WsString& message);

// Lets callers skip building lines nobody will read.
bool IsLogging();

} // namespace korvel
