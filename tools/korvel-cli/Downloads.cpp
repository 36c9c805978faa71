#include "tools/korvel-cli/Downloads.h"

#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/ProgressDisplay.h"

namespace korvel::cli {

namespace {

ProgressDisplay MakeDisplay()
{
    return ProgressDisplay([](const std::string& text) { Out().Write(text); }, Out().IsTerminal());
}

[[noreturn]] void ThrowTimeLimit(const StopConditions& stop)
{
    throw StatusError("the download did not finish within " + std::to_string(stop.TimeoutMs()) +
                          " ms",
                      kStatusTimeout);
}

} // namespace

FileTransferResult DownloadToFile(const Session& session, const std::wstring& url,
                                  const std::wstring& path, const StopConditions& stop)
{
    const uint32_t started = session->WsUdDownloadSubmit2(session.Id(), url.c_str(), path.c_str());
    if (IsFailure(started))
        throw StatusError("the download could not start", started);
    ProgressDisplay display = MakeDisplay();
    FileTransferResult result;
    for (;;) {
        // The state is read without joining the transfer, so a failure
        // arrives as the state itself; an idle state before the first
        // figures means the transfer has not begun yet.
        const uint32_t state =
            session->WsUdDownloadCheck2(session.Id(), 0, &result.received, &result.total);
        const ProgressSample sample = ProgressSample::Bytes(result.received, result.total);
        if (state == kStatusTransferComplete) {
            display.Finish(sample, GetTickCount64());
            return result;
        }
        if (IsFailure(state)) {
            display.Interrupt();
            throw StatusError("the download failed", state);
        }
        if (state != kStatusTransferIdle && state != kStatusTransferStarted)
            display.Update(sample, GetTickCount64());
        if (stop.WaitForCtrlC(kPollIntervalMs)) {
            session->WsUdDownloadCancel2(session.Id());
            display.Interrupt();
            result.end = TransferEnd::Cancelled;
            return result;
        }
        if (stop.TimeLimitReached()) {
            session->WsUdDownloadCancel2(session.Id());
            display.Interrupt();
            ThrowTimeLimit(stop);
        }
    }
}

TransferEnd DownloadPackage(const Session& session, const std::wstring& url,
                            const StopConditions& stop)
{
    double progress = 0.0;
    uint8_t sizeKnown = 0;
    ProgressDisplay display = MakeDisplay();
    auto sample = [&] {
        return ProgressSample::Fraction(sizeKnown ? std::optional<double>(progress) : std::nullopt);
    };
    uint32_t status =
        session->WsUdDownloadSubmit(session.Id(), url.c_str(), 0, &progress, &sizeKnown);
    while (status == kStatusPending) {
        display.Update(sample(), GetTickCount64());
        if (stop.CtrlCPressed()) {
            session->WsUdDownloadCancel(session.Id());
            display.Interrupt();
            return TransferEnd::Cancelled;
        }
        if (stop.TimeLimitReached()) {
            session->WsUdDownloadCancel(session.Id());
            display.Interrupt();
            ThrowTimeLimit(stop);
        }
        status = session->WsUdDownloadCheck(session.Id(), kPollIntervalMs, &progress, &sizeKnown);
    }
    // 0 is the one report of the end; "not running" means a submit that had
    // already collected it.
    if (status != kStatusSuccess && status != kStatusNotRunning) {
        display.Interrupt();
        throw StatusError("the download failed", status);
    }
    display.Finish(sample(), GetTickCount64());
    return TransferEnd::Completed;
}

} // namespace korvel::cli
