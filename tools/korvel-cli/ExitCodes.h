#pragma once

namespace korvel::cli {

// The documented exit codes of korvel-cli (see --help and README.md).
enum ExitCode : int {
    kExitSuccess = 0,
    kExitFailed = 1,
    kExitUsage = 2,
    kExitNoLibrary = 3,
    kExitInstallerCancelled = 4,
    kExitCtrlC = 130,
};

} // namespace korvel::cli
