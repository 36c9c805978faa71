// korvel-cli download and install against the scripted server: progress
// lines, resuming, cancelling, failures and the installer's outcome.
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/ZipWriter.h"
#include "tests/tools/CliProcess.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace korvel::test;

namespace {

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

// A target file in the temporary folder and the part file korvel-cli keeps
// beside it until the download is whole, both removed again by the test.
class TargetFile {
public:
    explicit TargetFile(const std::string& tag)
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + L"korvel-cli-" + Wide(tag) + L".bin";
        DeleteFileW(path_.c_str());
        DeleteFileW(Part().c_str());
    }
    ~TargetFile()
    {
        DeleteFileW(path_.c_str());
        DeleteFileW(Part().c_str());
    }
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;

    const std::wstring& Path() const { return path_; }
    // Where korvel-cli keeps the file until it is whole.
    std::wstring Part() const { return path_ + L".part"; }

private:
    std::wstring path_;
};

// The lines of a progress display: those that begin with two blanks and
// hold a percentage.
std::vector<std::string> ProgressLines(const std::string& out)
{
    std::vector<std::string> lines;
    size_t begin = 0;
    while (begin < out.size()) {
        const size_t end = out.find('\n', begin);
        const std::string line = out.substr(begin, end - begin);
        if (line.rfind("  ", 0) == 0 && line.find('%') != std::string::npos)
            lines.push_back(line);
        begin = end == std::string::npos ? out.size() : end + 1;
    }
    return lines;
}

bool AnyRecordHolds(const std::string& tag, const std::string& text)
{
    const int count = ScriptedServer::Get().RecordCount(tag);
    for (int n = 1; n <= count; ++n)
        if (ScriptedServer::Get().RecordedHead(tag, n).value_or("").find(text) != std::string::npos)
            return true;
    return false;
}

TEST(CliDownload, ToAFileWithPlainProgressLinesWhenNotOnATerminal)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-file");
    const TargetFile target(tag);
    const std::wstring url = ScriptedServer::Get().Url(
        L"tag=" + Wide(tag) + L";size=400000;stallafter=200000;stallms=800");
    const CliResult result = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out.rfind(
                  "Downloading " + Narrow(url) + "\n  to " + Narrow(target.Path()) + "\n", 0),
              0u)
        << result.out;
    const std::vector<std::string> lines = ProgressLines(result.out);
    ASSERT_GE(lines.size(), 2u) << result.out;
    // During the stall about half has arrived, and a line says so; lines
    // before it may show the first figures.
    const std::string& stall = lines[lines.size() - 2];
    EXPECT_NE(stall.find("KiB of 390.6 KiB"), std::string::npos) << result.out;
    const int stallPercent = std::stoi(stall.substr(2, 3));
    EXPECT_GE(stallPercent, 40) << result.out;
    EXPECT_LT(stallPercent, 60) << result.out;
    EXPECT_EQ(lines.back().rfind("  100%  390.6 KiB of 390.6 KiB", 0), 0u) << result.out;
    EXPECT_NE(result.out.find("\nSaved " + Narrow(target.Path()) + ", 390.6 KiB (400000 bytes)\n"),
              std::string::npos)
        << result.out;
    // Lines, not a bar redrawn in place.
    EXPECT_EQ(result.rawOut.find("\r\r"), std::string::npos);
    for (size_t at = result.rawOut.find('\r'); at != std::string::npos;
         at = result.rawOut.find('\r', at + 1))
        ASSERT_EQ(result.rawOut[at + 1], '\n') << "a carriage return without a line feed";
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target.Path(), 400000), "");
}

// The lines korvel-cli prints about the part file of an earlier run.
std::string LeftLine(const TargetFile& target, uint64_t bytes, const std::string& size)
{
    return "\n  an unfinished download left " + size + " (" + std::to_string(bytes) +
           " bytes) in " + Narrow(target.Part()) + "\n";
}
const char kContinues[] = "  the server continues it: downloading the rest\n";
const char kRestarts[] =
    "  the server's answer does not continue it: downloading the whole file again\n";

TEST(CliDownload, AnUnfinishedPartIsContinuedWhereTheServerContinuesIt)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-resume");
    const TargetFile target(tag);
    ASSERT_TRUE(WriteBytes(target.Part(), ScriptedServer::PatternBytes(0, 150000)));
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=400000");
    const CliResult result = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_NE(result.out.find(LeftLine(target, 150000, "146.5 KiB") + kContinues),
              std::string::npos)
        << result.out;
    EXPECT_EQ(result.out.find(kRestarts), std::string::npos) << result.out;
    EXPECT_TRUE(AnyRecordHolds(tag, "Range: bytes=150000-"));
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target.Path(), 400000), "");
    EXPECT_FALSE(Exists(target.Part()));
}

TEST(CliDownload, APartTheServersAnswerDoesNotContinueIsNeverCalledContinued)
{
    const struct {
        const char* what;
        const wchar_t* script;
        uint64_t partial;
    } cases[] = {
        // The data stalls early, so that the figures show the new start.
        {"the server ignores the range", L"range=ignore;stallafter=40000;stallms=1500", 150000},
        {"the part is longer than the file", L"stallafter=40000;stallms=1500", 500000},
    };
    for (const auto& c : cases) {
        const std::string tag = ScriptedServer::UniqueTag("cli-restart");
        const TargetFile target(tag);
        ASSERT_TRUE(WriteBytes(target.Part(), std::string(c.partial, 'x')));
        const std::wstring url =
            ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=400000;" + c.script);
        const CliResult result = RunCli({L"download", url, target.Path()});
        EXPECT_EQ(result.exitCode, 0u) << c.what << "\n" << result.err;
        EXPECT_NE(result.out.find(kRestarts), std::string::npos) << c.what << "\n" << result.out;
        EXPECT_EQ(result.out.find(kContinues), std::string::npos) << c.what << "\n" << result.out;
        EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target.Path(), 400000), "") << c.what;
    }
}

TEST(CliDownload, AnExistingFileIsLeftAloneUnlessOverwriteIsGiven)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-exists");
    const TargetFile target(tag);
    const std::string stale = "stale 12 byt";
    ASSERT_TRUE(WriteBytes(target.Path(), stale));
    ASSERT_TRUE(WriteBytes(target.Part(), "stale part"));
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=300000");

    const CliResult refused = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "korvel-cli: " + Narrow(target.Path()) +
                               " already exists; --overwrite downloads it again\n");
    EXPECT_EQ(ReadBytes(target.Path()), stale);
    EXPECT_EQ(ScriptedServer::Get().RecordCount(tag), 0);

    const CliResult replaced = RunCli({L"download", url, target.Path(), L"--overwrite"});
    EXPECT_EQ(replaced.exitCode, 0u) << replaced.err;
    EXPECT_EQ(replaced.out.find("an unfinished download left"), std::string::npos) << replaced.out;
    EXPECT_FALSE(AnyRecordHolds(tag, "Range:"));
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target.Path(), 300000), "");
    EXPECT_FALSE(Exists(target.Part()));
}

TEST(CliDownload, WithoutFileItSavesUnderTheUrlsNameInTheCurrentFolder)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-name");
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const TargetFile target(tag);
    const std::wstring name = target.Path().substr(target.Path().find_last_of(L'\\') + 1);
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=70000",
                                                       L"packages/" + name + L"?v=2");
    const CliResult result = RunCli({L"download", url}, 60000, folder);
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out.rfind(
                  "Downloading " + Narrow(url) + "\n  to " + Narrow(target.Path()) + "\n", 0),
              0u)
        << result.out;
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target.Path(), 70000), "");
}

// The command korvel-cli prints after "to continue:", as words.
std::vector<std::wstring> ContinueCommand(const std::string& err)
{
    const std::string marker = "; to continue:\n    ";
    const size_t at = err.find(marker);
    if (at == std::string::npos)
        return {};
    const size_t begin = at + marker.size();
    return SplitCommandLine(err.substr(begin, err.find('\n', begin) - begin));
}

TEST(CliDownload, ACutTransferPrintsTheCommandThatContinuesIt)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-cut");
    const TargetFile target(tag);
    const std::wstring url =
        ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=400000;cut=100000");
    const CliResult cut = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(cut.exitCode, 1u);
    EXPECT_EQ(cut.err.rfind("korvel-cli: the download failed: 0x80002001 "
                            "kStatusServerUnreachable\n",
                            0),
              0u)
        << cut.err;
    EXPECT_NE(cut.err.find("\n  97.7 KiB (100000 bytes) are kept in " + Narrow(target.Part()) +
                           "; to continue:\n    korvel-cli download \"" + Narrow(url) + "\" " +
                           Narrow(target.Path()) + "\n"),
              std::string::npos)
        << cut.err;
    EXPECT_FALSE(Exists(target.Path()));

    // The printed command, run as it stands, continues the part: every run
    // of this server adds what one cut answer brings.
    std::vector<std::wstring> command = ContinueCommand(cut.err);
    ASSERT_EQ(command.size(), 4u) << cut.err;
    EXPECT_EQ(command[0], L"korvel-cli");
    command.erase(command.begin());
    const CliResult again = RunCli(command);
    EXPECT_EQ(again.exitCode, 1u);
    EXPECT_NE(again.out.find(LeftLine(target, 100000, "97.7 KiB")), std::string::npos) << again.out;
    EXPECT_EQ(again.out.find(kRestarts), std::string::npos) << again.out;
    EXPECT_NE(again.err.find("\n  195.3 KiB (200000 bytes) are kept in "), std::string::npos)
        << again.err;
    EXPECT_TRUE(AnyRecordHolds(tag, "Range: bytes=100000-"));
    EXPECT_EQ(ReadBytes(target.Part()), ScriptedServer::PatternBytes(0, 200000));
}

TEST(CliDownload, CtrlCCancelsAndTheCommandItPrintsContinues)
{
    const SharedConsole console;
    ASSERT_TRUE(console.Ready()) << "AllocConsole failed, error " << GetLastError();
    const std::string tag = ScriptedServer::UniqueTag("cli-cancel");
    const TargetFile target(tag);
    const std::wstring stalling = ScriptedServer::Get().Url(
        L"tag=" + Wide(tag) + L";size=400000;stallafter=100000;stallms=20000");
    CliProcess process({L"download", stalling, target.Path()});
    ASSERT_TRUE(process.WaitForOutput("%", 20000)) << "no progress before the stall";
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(CliProcess::SendCtrlC())
        << "GenerateConsoleCtrlEvent failed, error " << GetLastError();
    const CliResult cancelled = process.Finish(15000);
    EXPECT_LT(GetTickCount64() - start, 10000u) << "the cancel waited for the stall";
    EXPECT_EQ(cancelled.exitCode, 130u) << cancelled.err;
    EXPECT_EQ(cancelled.err.rfind("korvel-cli: download cancelled\n  ", 0), 0u) << cancelled.err;
    const std::vector<std::wstring> command = ContinueCommand(cancelled.err);
    ASSERT_EQ(command.size(), 4u) << cancelled.err;
    EXPECT_EQ(command[1], L"download");
    EXPECT_EQ(command[3], target.Path());

    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=400000");
    const CliResult resumed = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(resumed.exitCode, 0u) << resumed.err;
    EXPECT_NE(resumed.out.find(kContinues), std::string::npos) << resumed.out;
    EXPECT_TRUE(AnyRecordHolds(tag, "Range: bytes="));
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target.Path(), 400000), "");
}

TEST(CliDownload, ADownloadOverItsTimeLimitEndsPromptly)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-limit");
    const TargetFile target(tag);
    const std::wstring url = ScriptedServer::Get().Url(
        L"tag=" + Wide(tag) + L";size=400000;stallafter=100000;stallms=20000");
    const ULONGLONG start = GetTickCount64();
    const CliResult result = RunCli({L"download", url, target.Path(), L"--timeout=1000"}, 40000);
    EXPECT_LT(GetTickCount64() - start, 12000u);
    EXPECT_EQ(result.exitCode, 1u);
    // What arrived before the stall is kept, as far as it was read.
    const std::string kept = ReadBytes(target.Part());
    EXPECT_GT(kept.size(), 0u);
    EXPECT_EQ(kept, ScriptedServer::PatternBytes(0, kept.size()));
    EXPECT_EQ(result.err.rfind("korvel-cli: the download did not finish within 1000 ms: "
                               "0x80002011 kStatusTimeout\n  The operation did not finish within "
                               "its time limit and was cancelled.\n  " +
                                   std::to_string(kept.size() / 1024) + ".",
                               0),
              0u)
        << result.err;
    EXPECT_NE(result.err.find(" KiB (" + std::to_string(kept.size()) + " bytes) are kept in " +
                              Narrow(target.Part()) + "; to continue:\n"),
              std::string::npos)
        << result.err;
}

TEST(CliDownload, AMissingFileIsReportedWithItsStatusName)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-404");
    const TargetFile target(tag);
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";status=404");
    const CliResult result = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.err, "korvel-cli: the download failed: 0x80002007 kStatusNotFound\n"
                          "  The server answered HTTP 404: nothing exists at that URL.\n");
    EXPECT_FALSE(Exists(target.Part())) << "an empty part is not kept";

    const CliResult first = RunCli({L"download", L"--v1", url});
    EXPECT_EQ(first.exitCode, 1u);
    EXPECT_EQ(first.err, result.err);
}

TEST(CliDownload, JsonGivesScriptsTheFinalFiguresAndNothingElse)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-json");
    const TargetFile target(tag);
    ASSERT_TRUE(WriteBytes(target.Part(), ScriptedServer::PatternBytes(0, 1000)));
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=5000");
    const CliResult done = RunCli({L"download", url, target.Path(), L"--json"});
    EXPECT_EQ(done.exitCode, 0u) << done.err;
    std::string path = Narrow(target.Path());
    for (size_t at = path.find('\\'); at != std::string::npos; at = path.find('\\', at + 2))
        path.insert(at, 1, '\\');
    const std::string head = "{\"result\":\"complete\",\"status\":\"0x40002005\","
                             "\"statusName\":\"kStatusTransferComplete\",\"url\":\"" +
                             Narrow(url) + "\",\"seconds\":";
    EXPECT_EQ(done.out.rfind(head, 0), 0u) << done.out;
    EXPECT_NE(done.out.find(",\"file\":\"" + path +
                            "\",\"bytes\":5000,\"total\":5000,\"continuedFrom\":1000,"
                            "\"restarted\":false}\n"),
              std::string::npos)
        << done.out;
    EXPECT_EQ(std::count(done.out.begin(), done.out.end(), '\n'), 1) << done.out;

    const std::wstring missing = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";status=404");
    const CliResult failed =
        RunCli({L"download", missing, target.Path(), L"--json", L"--overwrite"});
    EXPECT_EQ(failed.exitCode, 1u);
    EXPECT_EQ(failed.out.rfind("{\"result\":\"failed\",\"status\":\"0x80002007\","
                               "\"statusName\":\"kStatusNotFound\",",
                               0),
              0u)
        << failed.out;
    EXPECT_NE(failed.err.find("kStatusNotFound"), std::string::npos) << failed.err;
}

TEST(CliDownload, TheFirstVersionKeepsThePackageInTheLibrary)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-v1");
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=300000");
    const CliResult result = RunCli({L"download", url, L"--v1"});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    // A line for each tenth seen on the way, as the load of the machine
    // allows; the last one says it is all there.
    EXPECT_EQ(result.out.rfind(
                  "Downloading " + Narrow(url) + " (kept by the library for installing)\n", 0),
              0u)
        << result.out;
    const std::string end = "\n  100%\nDownloaded. The package goes when korvel-cli ends; "
                            "`korvel-cli install URL` downloads and installs in one run.\n";
    EXPECT_EQ(result.out.substr(result.out.size() - std::min(result.out.size(), end.size())), end);
    EXPECT_EQ(ScriptedServer::Get().RecordCount(tag), 1);
}

// A package whose installer is a batch file ending with the given code,
// served from the scripted server's files.
std::wstring PackageUrl(const std::string& tag, int exitCode)
{
    const std::wstring name = Wide(tag) + L".zip";
    EXPECT_TRUE(WriteZip(ScriptedServer::Get().FileDir() + L"\\" + name,
                         {{"pakord.id", "[Volume Id]\r\nExePath=setup.bat\r\n"},
                          {"setup.bat", "@exit /b " + std::to_string(exitCode) + "\r\n"}}));
    return ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";file=" + name, L"package.zip");
}

TEST(CliInstall, ReportsHowTheInstallerEnded)
{
    const struct {
        int installerExit;
        DWORD exitCode;
        const char* err;
    } cases[] = {
        {0, 0, ""},
        {1602, 4,
         "korvel-cli: the installer was cancelled by its user: 0x80009002 "
         "kStatusInstallCancelled\n  The installer was cancelled by its user (exit code 1602).\n"},
        {3010, 1,
         "korvel-cli: the installation failed: 0x80009001 kStatusInstallFailed\n  The installer "
         "could not be found or started, or it reported a failure.\n"},
    };
    for (const auto& c : cases) {
        const std::wstring url =
            PackageUrl(ScriptedServer::UniqueTag("cli-install"), c.installerExit);
        const CliResult result = RunCli({L"install", url, L"--timeout", L"30000"});
        EXPECT_EQ(result.exitCode, c.exitCode) << result.err;
        EXPECT_EQ(result.err, c.err);
        EXPECT_NE(result.out.find("\n  100%\nRunning the installer\n"), std::string::npos)
            << result.out;
        if (c.exitCode == 0) {
            EXPECT_NE(result.out.find("\nInstalled: the installer finished successfully\n"),
                      std::string::npos)
                << result.out;
        }
    }
}

} // namespace
