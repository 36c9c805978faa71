#include "tools/korvel-cli/Downloads.h"

#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/ProgressDisplay.h"

namespace korvel::cli {

namespace {

// Until the first data arrives the figures are read often: the first ones
// tell whether a partial file is continued, and a fast transfer may be far
// along by the next regular look.
constexpr DWORD kFirstFiguresPollMs = 5;

ProgressDisplay MakeDisplay(const TransferOutput& output)
{
    if (!output.show)
        return ProgressDisplay([](const std::string&) {}, false);
    return ProgressDisplay([](const std::string& text) { Out().Write(text); }, Out().IsTerminal());
}

} // namespace

FileTransferResult DownloadToFile(const Session& session, const std::wstring& url,
                                  const std::wstring& path, uint64_t partialBytes,
                                  const StopConditions& stop, const TransferOutput& output)
{
    FileTransferResult result;
    result.status = session->WsUdDownloadSubmit2(session.Id(), url.c_str(), path.c_str());
    if (IsFailure(result.status)) {
        result.end = TransferEnd::Failed;
        return result;
    }
    ProgressDisplay display = MakeDisplay(output);
    ResumeWatch watch(partialBytes);
    bool dataSeen = false;
    for (;;) {
        // The state is read without joining the transfer, so a failure
        // arrives as the state itself.
        result.status =
            session->WsUdDownloadCheck2(session.Id(), 0, &result.received, &result.total);
        const ResumeWatch::Finding finding =
            watch.Observe(result.status, result.received, result.total);
        result.finding = watch.Result();
        if (finding != ResumeWatch::Finding::None && output.onFinding) {
            display.Interrupt();
            output.onFinding(finding);
        }
        const ProgressSample sample = ProgressSample::Bytes(result.received, result.total);
        if (result.status == kStatusTransferComplete) {
            display.Finish(sample, GetTickCount64());
            return result;
        }
        if (IsFailure(result.status)) {
            display.Interrupt();
            result.end = TransferEnd::Failed;
            return result;
        }
        if (result.status == kStatusTransferReceiving) {
            dataSeen = true;
            display.Update(sample, GetTickCount64());
        }
        const bool cancelled = stop.WaitForCtrlC(dataSeen ? kPollIntervalMs : kFirstFiguresPollMs);
        if (cancelled || stop.TimeLimitReached()) {
            session->WsUdDownloadCancel2(session.Id());
            display.Interrupt();
            result.end = cancelled ? TransferEnd::Cancelled : TransferEnd::TimedOut;
            return result;
        }
    }
}

PackageTransferResult DownloadPackage(const Session& session, const std::wstring& url,
                                      const StopConditions& stop, const TransferOutput& output)
{
    double progress = 0.0;
    uint8_t sizeKnown = 0;
    ProgressDisplay display = MakeDisplay(output);
    auto sample = [&] {
        return ProgressSample::Fraction(sizeKnown ? std::optional<double>(progress) : std::nullopt);
    };
    PackageTransferResult result;
    result.status =
        session->WsUdDownloadSubmit(session.Id(), url.c_str(), 0, &progress, &sizeKnown);
    while (result.status == kStatusPending) {
        display.Update(sample(), GetTickCount64());
        const bool cancelled = stop.CtrlCPressed();
        if (cancelled || stop.TimeLimitReached()) {
            session->WsUdDownloadCancel(session.Id());
            display.Interrupt();
            result.end = cancelled ? TransferEnd::Cancelled : TransferEnd::TimedOut;
            return result;
        }
        result.status =
            session->WsUdDownloadCheck(session.Id(), kPollIntervalMs, &progress, &sizeKnown);
    }
    // 0 is the one report of the end; "not running" means a submit that had
    // already collected it.
    if (result.status != kStatusSuccess && result.status != kStatusNotRunning) {
        display.Interrupt();
        result.end = TransferEnd::Failed;
        return result;
    }
    result.status = kStatusSuccess;
    display.Finish(sample(), GetTickCount64());
    return result;
}

std::string TimeLimitAction(const StopConditions& stop)
{
    return "the download did not finish within " + std::to_string(stop.TimeoutMs()) + " ms";
}

bool PackageArrived(const PackageTransferResult& result, const StopConditions& stop)
{
    switch (result.end) {
    case TransferEnd::Completed:
        return true;
    case TransferEnd::Cancelled:
        return false;
    case TransferEnd::TimedOut:
        throw StatusError(TimeLimitAction(stop), kStatusTimeout);
    case TransferEnd::Failed:
        break;
    }
    throw StatusError("the download failed", result.status);
}

} // namespace korvel::cli
