// korvel-cli download: fetches a package to a file (resuming a partial one),
// or, with --v1 or without FILE, into the library's keeping for installing.
#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/Downloads.h"
#include "tools/korvel-cli/ExitCodes.h"
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/Text.h"
#include "tools/korvel-cli/Units.h"

#include <optional>

namespace korvel::cli {

namespace {

// The library opens the target relative to the current folder too; the
// full path only makes the messages unambiguous.
std::wstring FullPath(const std::wstring& path)
{
    const DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::wstring full(needed, L'\0');
    const DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return path;
    full.resize(length);
    return full;
}

std::optional<uint64_t> ExistingFileSize(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::string Bytes(uint64_t count)
{
    return FormatByteCount(count) + (count >= 1024 ? " (" + std::to_string(count) + " bytes)" : "");
}

int DownloadFile(const Session& session, const CommandLine& line, const StopConditions& stop)
{
    const std::wstring path = FullPath(*line.file);
    Out().Write("Downloading " + ToUtf8(line.url) + "\n  to " + ToUtf8(path) + "\n");
    if (const std::optional<uint64_t> partial = ExistingFileSize(path); partial && *partial > 0)
        Out().Write("  continuing the " + Bytes(*partial) + " already in the file\n");
    const FileTransferResult result = DownloadToFile(session, line.url, path, stop);
    if (result.end == TransferEnd::Cancelled) {
        ReportError("download cancelled after " + Bytes(result.received) +
                    "; run the same command again to resume it");
        return kExitCtrlC;
    }
    Out().Write("Saved " + ToUtf8(path) + ", " + Bytes(result.received) + "\n");
    return kExitSuccess;
}

int DownloadKept(const Session& session, const CommandLine& line, const StopConditions& stop)
{
    Out().Write("Downloading " + ToUtf8(line.url) + " (kept by the library for installing)\n");
    if (DownloadPackage(session, line.url, stop) == TransferEnd::Cancelled) {
        ReportError("download cancelled");
        return kExitCtrlC;
    }
    Out().Write("Downloaded. The package goes when korvel-cli ends; `korvel-cli install URL` "
                "downloads and installs in one run.\n");
    return kExitSuccess;
}

} // namespace

int RunDownload(const CommandContext& context)
{
    Session session(context.api, context.line.session);
    const StopConditions stop(context.line.timeoutMs.value_or(0));
    return context.line.file ? DownloadFile(session, context.line, stop)
                             : DownloadKept(session, context.line, stop);
}

} // namespace korvel::cli
