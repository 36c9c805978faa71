// korvel-cli download and install against the scripted server: progress
// lines, resuming, cancelling, failures and the installer's outcome.
#include "tests/support/ScriptedServer.h"
#include "tests/support/ZipWriter.h"
#include "tests/tools/CliProcess.h"

#include <gtest/gtest.h>

#include <fstream>

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

// A target file in the temporary folder, removed again by the test.
class TargetFile {
public:
    explicit TargetFile(const std::string& tag)
    {
        wchar_t folder[MAX_PATH];
        GetTempPathW(MAX_PATH, folder);
        path_ = std::wstring(folder) + L"korvel-cli-" + Wide(tag) + L".bin";
        DeleteFileW(path_.c_str());
    }
    ~TargetFile() { DeleteFileW(path_.c_str()); }
    TargetFile(const TargetFile&) = delete;
    TargetFile& operator=(const TargetFile&) = delete;

    const std::wstring& Path() const { return path_; }

    void Write(const std::string& bytes) const
    {
        std::ofstream file(path_.c_str(), std::ios::binary);
        file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }

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
    // During the stall about half has arrived, and a line says so.
    EXPECT_NE(lines.front().find("KiB of 390.6 KiB"), std::string::npos) << result.out;
    const int firstPercent = std::stoi(lines.front().substr(2, 3));
    EXPECT_GE(firstPercent, 40) << result.out;
    EXPECT_LT(firstPercent, 100) << result.out;
    EXPECT_EQ(lines.back(), "  100%  390.6 KiB of 390.6 KiB");
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

TEST(CliDownload, AgainWithThePartialFileResumesIt)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-resume");
    const TargetFile target(tag);
    target.Write(ScriptedServer::PatternBytes(0, 150000));
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=400000");
    const CliResult result = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_NE(result.out.find("\n  continuing the 146.5 KiB (150000 bytes) already in the file\n"),
              std::string::npos)
        << result.out;
    EXPECT_TRUE(AnyRecordHolds(tag, "Range: bytes=150000-"));
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target.Path(), 400000), "");
}

TEST(CliDownload, CtrlCCancelsAndARerunResumes)
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
    EXPECT_EQ(cancelled.err.rfind("korvel-cli: download cancelled after ", 0), 0u) << cancelled.err;
    EXPECT_NE(cancelled.err.find("; run the same command again to resume it\n"), std::string::npos)
        << cancelled.err;

    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=400000");
    const CliResult resumed = RunCli({L"download", url, target.Path()});
    EXPECT_EQ(resumed.exitCode, 0u) << resumed.err;
    EXPECT_NE(resumed.out.find("  continuing the "), std::string::npos) << resumed.out;
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
    EXPECT_EQ(result.err, "korvel-cli: the download did not finish within 1000 ms: 0x80002011 "
                          "kStatusTimeout\n  The operation did not finish within its time limit "
                          "and was cancelled.\n");
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

    const CliResult first = RunCli({L"download", L"--v1", url});
    EXPECT_EQ(first.exitCode, 1u);
    EXPECT_EQ(first.err, result.err);
}

TEST(CliDownload, TheFirstVersionKeepsThePackageInTheLibrary)
{
    const std::string tag = ScriptedServer::UniqueTag("cli-v1");
    const std::wstring url = ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";size=300000");
    const CliResult result = RunCli({L"download", url, L"--v1"});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out, "Downloading " + Narrow(url) +
                              " (kept by the library for installing)\n"
                              "  100%\n"
                              "Downloaded. The package goes when korvel-cli ends; `korvel-cli "
                              "install URL` downloads and installs in one run.\n");
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
