// korvel-cli install: downloads a package into the library's keeping, has
// the library run its installer and reports how the installer ended.
#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/Downloads.h"
#include "tools/korvel-cli/ExitCodes.h"
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/Text.h"

namespace korvel::cli {

namespace {

enum class InstallerEnd { Finished, StoppedWaiting };

// Has the library check and extract the package and start its installer,
// then polls the installer until it ends, Ctrl+C or the time limit; the
// library cannot stop an installer, so neither of the latter two stops it. A
// submit that does not report a running installer refused the package, or
// the installer ended at once: only a running one is announced.
InstallerEnd WaitForInstaller(const Session& session, const StopConditions& stop, uint32_t& status)
{
    Out().Write("Checking the package\n");
    status = session->WsUdInstallSubmit(session.Id(), 0);
    if (status == kStatusPending)
        Out().Write("Running the installer\n");
    while (status == kStatusPending) {
        if (stop.CtrlCPressed())
            return InstallerEnd::StoppedWaiting;
        if (stop.TimeLimitReached())
            throw StatusError("the installer did not end within " +
                                  std::to_string(stop.TimeoutMs()) +
                                  " ms; it keeps running on its own",
                              kStatusTimeout);
        status = session->WsUdInstallCheck(session.Id(), kPollIntervalMs);
    }
    return InstallerEnd::Finished;
}

} // namespace

int RunInstall(const CommandContext& context)
{
    const CommandLine& line = context.line;
    Session session(context.api, line.session);
    const StopConditions stop(line.timeoutMs.value_or(0));
    Out().Write("Downloading " + ToUtf8(line.url) + "\n");
    if (!PackageArrived(DownloadPackage(session, line.url, stop, {}), stop)) {
        ReportError("download cancelled; nothing was installed");
        return kExitCtrlC;
    }
    uint32_t status = 0;
    if (WaitForInstaller(session, stop, status) == InstallerEnd::StoppedWaiting) {
        ReportError("stopped waiting for the installer, which keeps running on its own");
        return kExitCtrlC;
    }
    if (status == kStatusInstallCancelled) {
        ReportFailure("the installer was cancelled by its user", status);
        return kExitInstallerCancelled;
    }
    Require(status, "the installation failed");
    Out().Write("Installed: the installer finished successfully\n");
    return kExitSuccess;
}

} // namespace korvel::cli
