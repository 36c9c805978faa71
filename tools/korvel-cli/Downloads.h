#pragma once

#include "tools/korvel-cli/ResumeWatch.h"
#include "tools/korvel-cli/Session.h"
#include "tools/korvel-cli/StopConditions.h"

#include <cstdint>
#include <functional>
#include <string>

namespace korvel::cli {

enum class TransferEnd { Completed, Failed, Cancelled, TimedOut };

// What the user sees of a transfer: progress on standard output, and for a
// file download what its figures tell about the partial file. Scripts that
// asked for JSON see neither.
struct TransferOutput {
    bool show = true;
    std::function<void(ResumeWatch::Finding)> onFinding;
};

struct FileTransferResult {
    TransferEnd end = TransferEnd::Completed;
    uint32_t status = 0; // the last state the library reported, or the failure
    uint64_t received = 0;
    uint64_t total = 0;
    ResumeWatch::Finding finding = ResumeWatch::Finding::None;
};

// The download to a file (the second version), continuing a partial file of
// partialBytes through the library. Cancels on Ctrl+C and at the time limit.
FileTransferResult DownloadToFile(const Session& session, const std::wstring& url,
                                  const std::wstring& path, uint64_t partialBytes,
                                  const StopConditions& stop, const TransferOutput& output);

struct PackageTransferResult {
    TransferEnd end = TransferEnd::Completed;
    uint32_t status = 0; // 0, or the failure
};

// The download the library keeps for installing (the first version); it
// reports only a fraction, and that only when the size is announced.
PackageTransferResult DownloadPackage(const Session& session, const std::wstring& url,
                                      const StopConditions& stop, const TransferOutput& output);

// "the download did not finish within 1000 ms": the action of a transfer that
// reached its time limit.
std::string TimeLimitAction(const StopConditions& stop);

// For the commands that go on after a package download: throws StatusError
// when it failed or reached the time limit; false when the user cancelled it.
bool PackageArrived(const PackageTransferResult& result, const StopConditions& stop);

} // namespace korvel::cli
