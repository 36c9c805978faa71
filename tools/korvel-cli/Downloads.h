#pragma once

#include "tools/korvel-cli/Session.h"
#include "tools/korvel-cli/StopConditions.h"

#include <cstdint>
#include <string>

namespace korvel::cli {

enum class TransferEnd { Completed, Cancelled };

struct FileTransferResult {
    TransferEnd end = TransferEnd::Completed;
    uint64_t received = 0;
    uint64_t total = 0;
};

// The download to a file (the second version): the library resumes a
// partial file itself. Shows progress on standard output, cancels on
// Ctrl+C, and throws StatusError for a failure or the time limit.
FileTransferResult DownloadToFile(const Session& session, const std::wstring& url,
                                  const std::wstring& path, const StopConditions& stop);

// The download the library keeps for installing (the first version); it
// reports only a fraction, and that only when the size is announced.
TransferEnd DownloadPackage(const Session& session, const std::wstring& url,
                            const StopConditions& stop);

} // namespace korvel::cli
