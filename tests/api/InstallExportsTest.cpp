// Installing a package as a host does it through the exports: the tests pack
// the fake installer into ZIP packages, the scripted server serves them, the
// first-version download fetches them, and the install runs the installer,
// which writes down where and how it ran. How entries are extracted is the
// ZIP tests' business; these look at what only the install shows.
#include "base/DirectoryTree.h"
#include "base/TempPath.h"
#include "tests/api/ExportFixture.h"
#include "tests/support/ZipWriter.h"

#include <cwctype>
#include <set>

using namespace korvel::test;

namespace {

namespace fs = std::filesystem;

// The fake installer is built next to the test programs.
const std::string& InstallerBytes()
{
    static const std::string bytes = [] {
        wchar_t path[MAX_PATH] = {};
        const std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
        return ReadWholeFile(self.substr(0, self.rfind(L'\\') + 1) + L"fake-installer.exe")
            .value_or("");
    }();
    return bytes;
}

std::string Identity(const std::string& command)
{
    return "[Volume Id]\r\nExePath=" + command + "\r\n";
}

// The folders right in the temporary folder named by a registry GUID (braces
// around upper-case hexadecimal groups of 8-4-4-4-12), as extractions make them.
bool IsExtractFolder(const std::wstring& folder)
{
    const std::wstring temp = korvel::TempFolder();
    if (folder.size() != temp.size() + 39 || folder.compare(0, temp.size(), temp) != 0 ||
        folder[temp.size()] != L'{' || folder.substr(folder.size() - 2) != L"}\\")
        return false;
    for (size_t i = 1; i < 37; ++i) {
        const wchar_t c = folder[temp.size() + i];
        const bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        if (dash ? c != L'-' : !iswxdigit(c) || iswlower(c))
            return false;
    }
    return true;
}

std::set<std::wstring> ExtractFolders()
{
    std::set<std::wstring> folders;
    for (const auto& entry : fs::directory_iterator(korvel::TempFolder().c_str())) {
        const std::wstring folder = entry.path().wstring() + L"\\";
        if (entry.is_directory() && IsExtractFolder(folder))
            folders.insert(folder);
    }
    return folders;
}

// What the fake installer wrote about its run.
struct InstallerRecord {
    bool present = false;
    bool ended = false;
    std::wstring module, cwd, commandLine;
    std::vector<std::wstring> arguments;

    std::wstring Folder() const { return module.substr(0, module.rfind(L'\\') + 1); }
};

InstallerRecord ReadRecord(const std::wstring& path)
{
    InstallerRecord record;
    const std::optional<std::string> bytes = ReadWholeFile(path);
    record.present = bytes.has_value();
    std::wistringstream text(
        std::wstring(reinterpret_cast<const wchar_t*>(bytes.value_or("").data()),
                     bytes.value_or("").size() / 2));
    for (std::wstring line; std::getline(text, line);) {
        const size_t equals = line.find(L'=');
        const std::wstring key = line.substr(0, equals);
        const std::wstring value = line.substr(equals + 1);
        if (key == L"module")
            record.module = value;
        else if (key == L"cwd")
            record.cwd = value;
        else if (key == L"commandline")
            record.commandLine = value;
        else if (key == L"arg")
            record.arguments.push_back(value);
        record.ended |= key == L"ended";
    }
    return record;
}

class InstallExports : public ExportFixture {
public:
    void SetUp() override
    {
        ASSERT_FALSE(InstallerBytes().empty()) << "fake-installer.exe is not next to the tests";
        foldersBefore_ = ExtractFolders();
    }
    void TearDown() override
    {
        for (const std::wstring& file : leftovers_)
            DeleteFileW(file.c_str());
        // Folders that failed installs leave behind.
        for (const std::wstring& folder : NewFolders(foldersBefore_))
            korvel::RemoveDirectoryTree(folder);
    }

    static std::set<std::wstring> NewFolders(const std::set<std::wstring>& before)
    {
        std::set<std::wstring> added;
        for (const std::wstring& folder : ExtractFolders())
            if (before.count(folder) == 0)
                added.insert(folder);
        return added;
    }

    // The installer's record; its name holds no blank, for it goes into the
    // installer's command line unquoted.
    std::string Recording() { return " --record " + Narrow(record_); }

    // The identity naming the fake installer at the package root, then it.
    std::vector<ZipEntry> Package(const std::string& arguments, std::vector<ZipEntry> extra = {})
    {
        extra.push_back({"pakord.id", Identity("fake-installer.exe " + arguments + Recording())});
        extra.push_back({"fake-installer.exe", InstallerBytes()});
        return extra;
    }

    // The URL of the package among the server's files: zipped entries, or
    // the raw bytes when there are none.
    std::wstring Serve(const std::vector<ZipEntry>& entries, const std::string& raw = "")
    {
        const std::wstring name = Wide(ScriptedServer::UniqueTag("package")) + L".zip";
        const std::wstring path = Server().FileDir() + L"\\" + name;
        leftovers_.push_back(path);
        if (entries.empty())
            std::ofstream(fs::path(path), std::ios::binary) << raw;
        else
            EXPECT_TRUE(WriteZip(path, entries));
        return L"file=" + name;
    }

    std::set<std::wstring> foldersBefore_;
    const std::wstring record_ =
        korvel::TempFolder() + Wide(ScriptedServer::UniqueTag("korvel-record")) + L".txt";
    std::vector<std::wstring> leftovers_ = {record_};
};

} // namespace

// What the download brought decides the install's status, whether the
// installer runs, and what stays of the extracted folder.
TEST_F(InstallExports, OutcomeOfEachPackage)
{
    enum Folder { kRemoved, kKept, kNothingWritten };
    const std::string slip = ScriptedServer::UniqueTag("korvel-slip") + ".txt";
    const std::wstring outside[] = {korvel::TempFolder() + Wide(slip), L"C:\\" + Wide(slip),
                                    L"\\" + Wide(slip)};
    const std::string installer = InstallerBytes();
    const struct {
        const char* name;
        std::vector<ZipEntry> entries;
        std::string raw;
        uint32_t status;
        bool runs;
        Folder folder;
        const wchar_t* script = L"";
    } rows[] = {
        // Rows where no installer runs come first.
        {"no identity",
         {{"fake-installer.exe", installer}},
         "",
         kStatusInstallFailed,
         false,
         kKept},
        {"empty identity",
         {{"pakord.id", ""}, {"fake-installer.exe", installer}},
         "",
         kStatusInstallFailed,
         false,
         kKept},
        {"other key",
         {{"pakord.id", "[Volume Id]\r\nSetup=fake-installer.exe\r\n"}},
         "",
         kStatusInstallFailed,
         false,
         kKept},
        {"other section",
         {{"pakord.id", "[Volume]\r\nExePath=fake-installer.exe\r\n"}},
         "",
         kStatusInstallFailed,
         false,
         kKept},
        {"installer missing",
         {{"pakord.id", Identity("missing-setup.exe --exit 0")}},
         "",
         kStatusInstallFailed,
         false,
         kKept},
        {"no ZIP archive",
         {},
         "this is no ZIP archive",
         kStatusExtractFailed,
         false,
         kNothingWritten},
        {"empty file", {}, "", kStatusExtractFailed, false, kNothingWritten},
        {"failed download", Package("--exit 0"), "", kStatusExtractFailed, false, kNothingWritten,
         L"status=404;"},
        {"../", Package("--exit 0", {{"../" + slip, "x"}}), "", kStatusExtractFailed, false,
         kNothingWritten},
        {"..\\", Package("--exit 0", {{"..\\" + slip, "x"}}), "", kStatusExtractFailed, false,
         kNothingWritten},
        {"C:\\", Package("--exit 0", {{"C:\\" + slip, "x"}}), "", kStatusExtractFailed, false,
         kNothingWritten},
        {"/", Package("--exit 0", {{"/" + slip, "x"}}), "", kStatusExtractFailed, false,
         kNothingWritten},
        {"exit 0", Package("--exit 0"), "", kStatusSuccess, true, kRemoved},
        {"exit 1602", Package("--exit 1602"), "", kStatusInstallCancelled, true, kRemoved},
        {"exit 3010", Package("--exit 3010"), "", kStatusInstallFailed, true, kRemoved},
    };
    std::set<std::wstring> installFolders;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        DeleteFileW(record_.c_str());
        EXPECT_EQ(Download(Server().Url(row.script + Serve(row.entries, row.raw))),
                  *row.script == L'\0' ? kStatusNotRunning : kStatusNotFound);
        const std::set<std::wstring> before = ExtractFolders();
        EXPECT_EQ(K().WsUdInstallSubmit(Id(), kLongWaitMs), row.status);
        EXPECT_EQ(K().WsUdInstallCheck(Id(), 0), row.runs ? row.status : 0u)
            << "the outcome repeats; nothing ran before the rows with an installer";
        const std::set<std::wstring> added = NewFolders(before);
        for (const std::wstring& path : outside)
            EXPECT_FALSE(fs::exists(path)) << Narrow(path);
        if (row.folder == kKept) {
            ASSERT_EQ(added.size(), 1u);
            EXPECT_FALSE(fs::is_empty(*added.begin()));
        }
        for (const std::wstring& folder : added)
            EXPECT_TRUE(row.folder == kKept || fs::is_empty(folder)) << "names are checked first";
        const InstallerRecord ran = ReadRecord(record_);
        EXPECT_EQ(ran.present, row.runs);
        if (row.runs) {
            EXPECT_TRUE(ran.ended);
            EXPECT_TRUE(IsExtractFolder(ran.Folder()));
            EXPECT_FALSE(fs::exists(ran.Folder())) << "the folder goes once the installer ended";
            installFolders.insert(ran.Folder());
        }
    }
    EXPECT_EQ(installFolders.size(), 3u) << "every install extracts into a new folder";
    for (const std::wstring& path : outside)
        DeleteFileW(path.c_str());
}

TEST_F(InstallExports, TheInstallerRunsFromThePackageWithItsArguments)
{
    const std::string command = "bin\\fake-installer.exe --exit 0 --sleep 700 alpha \"two words\"";
    EXPECT_EQ(Download(Server().Url(Serve({{"pakord.id", Identity(command + Recording())},
                                           {"bin/fake-installer.exe", InstallerBytes()}}))),
              kStatusNotRunning);
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), 0), kStatusPending);
    int pendingAnswers = 0;
    EXPECT_EQ(InstallToEnd(pendingAnswers), 0u);
    EXPECT_GT(pendingAnswers, 0);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), kLongWaitMs), 0u) << "the outcome repeats";
    const InstallerRecord record = ReadRecord(record_);
    ASSERT_TRUE(record.ended) << "the installer did not run to its end";
    const std::wstring root = record.Folder().substr(0, record.Folder().size() - 4);
    EXPECT_EQ(record.Folder(), root + L"bin\\");
    EXPECT_TRUE(IsExtractFolder(root));
    const std::vector<std::wstring> arguments = {L"--exit", L"0",         L"--sleep",  L"700",
                                                 L"alpha",  L"two words", L"--record", record_};
    EXPECT_EQ(record.arguments, arguments);
    EXPECT_EQ(record.commandLine.rfind(root + Wide(command), 0), 0u)
        << "the folder and the identity's text, joined without quotes: "
        << Narrow(record.commandLine);
    EXPECT_EQ(record.cwd, fs::current_path().wstring()) << "the host's current folder is kept";
    EXPECT_FALSE(fs::exists(root));
    // The same package again: extracted anew.
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), kLongWaitMs), 0u);
    EXPECT_NE(ReadRecord(record_).Folder(), record.Folder());
}

// Without a download, or after a cancelled one, there is nothing to install.
TEST_F(InstallExports, NothingToInstall)
{
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), 0), 0u);
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), kLongWaitMs), 0u);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), 0), 0u);
    EXPECT_EQ(K().WsUdInstallCancel(Id()), 0u);
    EXPECT_EQ(Download(Server().Url(Serve(Package("--exit 0")))), kStatusNotRunning);
    EXPECT_EQ(K().WsUdDownloadCancel(Id()), 0u);
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), kLongWaitMs), kStatusExtractFailed);
    EXPECT_FALSE(ReadRecord(record_).present);
    EXPECT_TRUE(NewFolders(foldersBefore_).empty());
}

// While the download runs, an install call waits for it as long as it is told
// and no longer, and leaves it running; the check that sees the download end
// goes on to install.
TEST_F(InstallExports, AnInstallDuringTheDownloadWaitsForItUpToItsTimeout)
{
    // A wait may end up to a tick early, and a loaded machine returns late.
    constexpr ULONGLONG kTickSlackMs = 16;
    constexpr ULONGLONG kLateMs = 1000;
    ASSERT_EQ(Download(Server().Url(L"delay=3000;" + Serve(Package("--exit 1602"))), 0),
              kStatusPending);
    const struct {
        const char* name;
        PFN_WsUdInstallCheck call;
        uint32_t timeoutMs;
    } calls[] = {{"submit", K().WsUdInstallSubmit, 0},
                 {"submit", K().WsUdInstallSubmit, 400},
                 {"check", K().WsUdInstallCheck, 400},
                 {"check", K().WsUdInstallCheck, 0}};
    for (const auto& c : calls) {
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(c.call(Id(), c.timeoutMs), kStatusPending) << c.name << " " << c.timeoutMs;
        const ULONGLONG waited = GetTickCount64() - start;
        EXPECT_GE(waited + kTickSlackMs, c.timeoutMs) << c.name << " did not wait";
        EXPECT_LT(waited, c.timeoutMs + kLateMs) << c.name << " waited too long";
    }
    double progress = -1.0;
    uint8_t sizeKnown = 2;
    EXPECT_EQ(K().WsUdDownloadCheck(Id(), 0, &progress, &sizeKnown), kStatusPending)
        << "the install ended the download";
    EXPECT_TRUE(NewFolders(foldersBefore_).empty());
    uint32_t installed = kStatusPending;
    for (const ULONGLONG end = GetTickCount64() + kLongWaitMs;
         installed == kStatusPending && GetTickCount64() < end;)
        installed = K().WsUdInstallCheck(Id(), 100);
    EXPECT_EQ(installed, kStatusInstallCancelled);
    EXPECT_TRUE(ReadRecord(record_).ended);
    EXPECT_EQ(K().WsUdDownloadCheck(Id(), 0, &progress, &sizeKnown), kStatusNotRunning)
        << "the install collected the finished download";
    EXPECT_EQ(progress, 1.0);
}

// A cancel leaves the installer running to its end; a folder that cannot go
// yet does not change the outcome and is removed by a later check.
TEST_F(InstallExports, CancelLeavesTheInstallerRunningAndALaterCheckRemovesItsFolder)
{
    EXPECT_EQ(Download(Server().Url(Serve(Package("--exit 3010 --sleep 1500")))),
              kStatusNotRunning);
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), 0), kStatusPending);
    EXPECT_EQ(K().WsUdInstallCancel(Id()), 0u);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), 0), kStatusPending);
    InstallerRecord record;
    for (const ULONGLONG end = GetTickCount64() + kLongWaitMs;
         !record.present && GetTickCount64() < end; Sleep(20))
        record = ReadRecord(record_);
    ASSERT_TRUE(record.present) << "the installer did not start";
    const std::wstring held = record.Folder() + L"pakord.id";
    const HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), kLongWaitMs), kStatusInstallFailed);
    EXPECT_TRUE(ReadRecord(record_).ended) << "the installer ran to its end";
    EXPECT_TRUE(fs::exists(held));
    CloseHandle(file);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), 0), kStatusInstallFailed);
    EXPECT_FALSE(fs::exists(record.Folder()));
}
