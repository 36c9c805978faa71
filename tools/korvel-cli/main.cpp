// korvel-cli: a console host of korvel.dll for people and scripts. It loads
// the library the way applications do (LoadLibraryW and GetProcAddress) and
// offers ping, query, download and install, and verify for publishers.
#include "tools/host/KorvelLibrary.h"
#include "tools/korvel-cli/CommandLine.h"
#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/ExitCodes.h"
#include "tools/korvel-cli/Help.h"
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/Session.h"
#include "tools/korvel-cli/StopConditions.h"
#include "tools/korvel-cli/Text.h"

#include <exception>
#include <optional>
#include <vector>

using namespace korvel::cli;

namespace {

std::wstring DefaultLibraryPath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return L"korvel.dll";
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t slash = path.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? L"" : path.substr(0, slash + 1)) + L"korvel.dll";
}

void ReportUsageError(const CommandLineResult& parsed)
{
    std::string message = "korvel-cli: " + parsed.error + "\n";
    if (parsed.expressionColumn)
        message += "  " + ToUtf8(parsed.expression) + "\n  " +
                   std::string(*parsed.expressionColumn, ' ') + "^\n";
    message += "Run 'korvel-cli --help' or 'korvel-cli COMMAND --help' for usage.\n";
    Err().Write(message);
}

int RunCommand(const CommandContext& context)
{
    switch (context.line.command) {
    case Command::Ping:
        return RunPing(context);
    case Command::Query:
        return RunQuery(context);
    case Command::Download:
        return RunDownload(context);
    case Command::Install:
        return RunInstall(context);
    case Command::Verify:
    case Command::None:
    case Command::Help:
        break;
    }
    return kExitUsage;
}

int Run(const std::vector<std::wstring>& arguments)
{
    const CommandLineResult parsed = ParseCommandLine(arguments);
    if (!parsed.Ok()) {
        ReportUsageError(parsed);
        return kExitUsage;
    }
    const CommandLine& line = parsed.line;
    if (line.help) {
        Out().Write(HelpText(line.command));
        return kExitSuccess;
    }
    if (line.command == Command::Verify)
        return RunVerify(line);
    InstallCtrlCHandler();
    std::optional<korvel::host::KorvelLibrary> library;
    try {
        library.emplace(line.dllPath.value_or(DefaultLibraryPath()));
    } catch (const std::exception& error) {
        ReportError(error.what());
        return kExitNoLibrary;
    }
    try {
        return RunCommand(CommandContext{library->Api(), line});
    } catch (const StatusError& error) {
        ReportFailure(error.what(), error.Status(), error.Detail());
    } catch (const std::exception& error) {
        ReportError(error.what());
    }
    return kExitFailed;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    return Run(std::vector<std::wstring>(argv + 1, argv + argc));
}
