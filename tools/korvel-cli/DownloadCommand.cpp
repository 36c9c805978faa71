// korvel-cli download: fetches a package to a file (continuing an unfinished
// download of an earlier run), or, with --v1, into the library's keeping for
// installing.
#include "api/korvel_status.h"
#include "tools/korvel-cli/Commands.h"
#include "tools/korvel-cli/Console.h"
#include "tools/korvel-cli/Downloads.h"
#include "tools/korvel-cli/ExitCodes.h"
#include "tools/korvel-cli/Json.h"
#include "tools/korvel-cli/Report.h"
#include "tools/korvel-cli/Text.h"
#include "tools/korvel-cli/Units.h"

#include <optional>

namespace korvel::cli {

namespace {

// The library resolves a bare file name differently from the folder it then
// checks for space, so it always gets a full path.
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

// One argument as a shell or cmd.exe takes it back: quoted unless it is made
// of characters neither of them treats specially.
std::string ShellWord(const std::wstring& text)
{
    const std::string utf8 = ToUtf8(text);
    if (!utf8.empty() &&
        utf8.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               "0123456789._-+,/\\:@=_") == std::string::npos)
        return utf8;
    return "\"" + utf8 + "\"";
}

const char* EndName(TransferEnd end)
{
    switch (end) {
    case TransferEnd::Completed:
        return "complete";
    case TransferEnd::Failed:
        return "failed";
    case TransferEnd::Cancelled:
        return "cancelled";
    case TransferEnd::TimedOut:
        return "timeout";
    }
    return "failed";
}

// The figures every download reports with --json: how it ended, the status
// behind that, the URL and the time it took.
JsonObject OutcomeJson(TransferEnd end, uint32_t status, const std::wstring& url,
                       uint64_t elapsedMs)
{
    if (end == TransferEnd::TimedOut)
        status = kStatusTimeout;
    const char* name = KorvelStatusName(status);
    JsonObject figures;
    figures.Add("result", JsonString(EndName(end)))
        .Add("status", JsonString(StatusHex(status)))
        .Add("statusName", name ? JsonString(name) : "null")
        .Add("url", JsonString(ToUtf8(url)))
        .Add("seconds", JsonNumber(static_cast<double>(elapsedMs) / 1000.0));
    return figures;
}

// A download to FILE. The data goes to FILE.part, which becomes FILE only
// once it is whole: a FILE that is there already is never taken for a part
// of the download, and an unfinished FILE.part from an earlier run is the one
// thing continued. Beside FILE.part the library keeps FILE.part.validator,
// the version its bytes are of, for that continuation; it goes when the part
// does.
class FileDownload {
public:
    FileDownload(const Session& session, const CommandLine& line)
        : session_(session), line_(line), path_(FullPath(*line.file)), partial_(path_ + L".part"),
          validator_(partial_ + L".validator")
    {
    }

    int Run(const StopConditions& stop)
    {
        if (!line_.overwrite && ExistingFileSize(path_)) {
            ReportError(ToUtf8(path_) + " already exists; --overwrite downloads it again");
            return kExitFailed;
        }
        if (line_.overwrite && ExistingFileSize(partial_) && !DeleteFileW(partial_.c_str())) {
            ReportError("cannot delete " + ToUtf8(partial_) + ", error " +
                        std::to_string(GetLastError()));
            return kExitFailed;
        }
        if (line_.overwrite)
            DeleteFileW(validator_.c_str());
        kept_ = ExistingFileSize(partial_).value_or(0);
        Say("Downloading " + ToUtf8(line_.url) + "\n  to " + ToUtf8(path_) + "\n");
        if (kept_ > 0)
            Say("  an unfinished download left " + Bytes(kept_) + " in " + ToUtf8(partial_) + "\n");
        TransferOutput output;
        output.show = !line_.json;
        output.onFinding = [this](ResumeWatch::Finding finding) { SayFinding(finding); };
        result_ = DownloadToFile(session_, line_.url, partial_, kept_, stop, output);
        const int exitCode = Conclude(stop);
        if (line_.json)
            Out().Write(Figures(stop.ElapsedMs()));
        return exitCode;
    }

private:
    void Say(const std::string& text) const
    {
        if (!line_.json)
            Out().Write(text);
    }

    void SayFinding(ResumeWatch::Finding finding) const
    {
        switch (finding) {
        case ResumeWatch::Finding::Continued:
            Say("  the server continues it: downloading the rest\n");
            break;
        case ResumeWatch::Finding::Restarted:
            Say("  the server's answer does not continue it: downloading the whole file again\n");
            break;
        case ResumeWatch::Finding::AlreadyWhole:
            Say("  it already holds the whole file\n");
            break;
        case ResumeWatch::Finding::None:
            break;
        }
    }

    int Conclude(const StopConditions& stop)
    {
        switch (result_.end) {
        case TransferEnd::Completed:
            return Finish();
        case TransferEnd::Cancelled:
            ReportError("download cancelled", KeptPart());
            return kExitCtrlC;
        case TransferEnd::TimedOut:
            ReportFailure(TimeLimitAction(stop), kStatusTimeout, KeptPart());
            return kExitFailed;
        case TransferEnd::Failed:
            break;
        }
        ReportFailure("the download failed", result_.status, KeptPart());
        return kExitFailed;
    }

    int Finish()
    {
        const DWORD flags = line_.overwrite ? MOVEFILE_REPLACE_EXISTING : 0;
        if (!MoveFileExW(partial_.c_str(), path_.c_str(), flags)) {
            ReportError("the download is complete in " + ToUtf8(partial_) +
                        ", but it cannot be renamed to " + ToUtf8(path_) + ", error " +
                        std::to_string(GetLastError()));
            return kExitFailed;
        }
        DeleteFileW(validator_.c_str());
        Say("Saved " + ToUtf8(path_) + ", " + Bytes(result_.received) + "\n");
        return kExitSuccess;
    }

    // Where the bytes of an unfinished download are and the command that
    // continues them; an empty part is removed instead, as nothing is lost.
    std::string KeptPart() const
    {
        const uint64_t size = ExistingFileSize(partial_).value_or(0);
        if (size == 0) {
            DeleteFileW(partial_.c_str());
            DeleteFileW(validator_.c_str());
            return {};
        }
        std::string command = "korvel-cli download ";
        if (line_.dllPath)
            command += "--dll " + ShellWord(*line_.dllPath) + " ";
        command += ShellWord(line_.url) + " " + ShellWord(path_);
        return Bytes(size) + " are kept in " + ToUtf8(partial_) + "; to continue:\n  " + command;
    }

    std::string Figures(uint64_t elapsedMs) const
    {
        const bool continued = result_.finding == ResumeWatch::Finding::Continued ||
                               result_.finding == ResumeWatch::Finding::AlreadyWhole;
        const bool restarted = result_.finding == ResumeWatch::Finding::Restarted;
        return OutcomeJson(result_.end, result_.status, line_.url, elapsedMs)
                   .Add("file", JsonString(ToUtf8(path_)))
                   .Add("bytes", JsonNumber(result_.received))
                   .Add("total", JsonNumber(result_.total))
                   .Add("continuedFrom", JsonNumber(continued ? kept_ : 0))
                   .Add("restarted", restarted ? "true" : "false")
                   .Text() +
               "\n";
    }

    const Session& session_;
    const CommandLine& line_;
    const std::wstring path_;
    const std::wstring partial_;
    const std::wstring validator_;
    uint64_t kept_ = 0;
    FileTransferResult result_;
};

int DownloadKept(const Session& session, const CommandLine& line, const StopConditions& stop)
{
    if (!line.json)
        Out().Write("Downloading " + ToUtf8(line.url) + " (kept by the library for installing)\n");
    TransferOutput output;
    output.show = !line.json;
    const PackageTransferResult result = DownloadPackage(session, line.url, stop, output);
    if (line.json)
        Out().Write(OutcomeJson(result.end, result.status, line.url, stop.ElapsedMs())
                        .Add("file", "null")
                        .Text() +
                    "\n");
    if (!PackageArrived(result, stop)) {
        ReportError("download cancelled");
        return kExitCtrlC;
    }
    if (!line.json)
        Out().Write("Downloaded. The package goes when korvel-cli ends; `korvel-cli install URL` "
                    "downloads and installs in one run.\n");
    return kExitSuccess;
}

} // namespace

int RunDownload(const CommandContext& context)
{
    Session session(context.api, context.line.session);
    const StopConditions stop(context.line.timeoutMs.value_or(0));
    if (context.line.file)
        return FileDownload(session, context.line).Run(stop);
    return DownloadKept(session, context.line, stop);
}

} // namespace korvel::cli
