// Installing a package as a host does it through the exports: the tests build ZIP packages that
// carry the fake installer, the scripted local server serves them, the first-version download
// fetches them, and the install runs the installer, which writes down where and how it ran.
#include "base/DirectoryTree.h"
#include "base/TempPath.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/ZipWriter.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

using korvel::host::KorvelLibrary;
using korvel::test::Exists;
using korvel::test::ScriptedServer;
using korvel::test::WriteBytes;
using korvel::test::WriteZip;
using korvel::test::ZipEntry;

namespace {

// Long enough for any download or installer of these tests, short enough to end a hung test.
constexpr uint32_t kLongWaitMs = 30000;
constexpr DWORD kPollLimitMs = 30000;
constexpr DWORD kPollPauseMs = 20;
// A wait may end up to a tick early, and a loaded machine returns late.
constexpr ULONGLONG kTickSlackMs = 16;
constexpr ULONGLONG kLateMs = 1000;

const ScriptedServer& Server()
{
    return ScriptedServer::Get();
}

// The installer may replace the file while it is read.
std::optional<std::string> ReadFileBytes(const std::wstring& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    LARGE_INTEGER size{};
    std::optional<std::string> bytes;
    if (GetFileSizeEx(file, &size)) {
        bytes.emplace(static_cast<size_t>(size.QuadPart), '\0');
        DWORD read = 0;
        if (!ReadFile(file, bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) ||
            read != bytes->size())
            bytes.reset();
    }
    CloseHandle(file);
    return bytes;
}

// The paths and names here are ASCII.
std::string Narrow(const std::wstring& text)
{
    return std::string(text.begin(), text.end());
}

std::wstring Widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

std::wstring CurrentDirectory()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetCurrentDirectoryW(MAX_PATH, path);
    return std::wstring(path, length);
}

// The fake installer is built next to the test programs.
const std::string& InstallerBytes()
{
    static const std::string bytes = [] {
        wchar_t path[MAX_PATH] = {};
        const std::wstring self(path, GetModuleFileNameW(nullptr, path, MAX_PATH));
        return ReadFileBytes(self.substr(0, self.rfind(L'\\') + 1) + L"fake-installer.exe")
            .value_or("");
    }();
    return bytes;
}

// Braces around upper-case hexadecimal groups of 8-4-4-4-12.
bool IsRegistryGuid(const std::wstring& text)
{
    if (text.size() != 38 || text.front() != L'{' || text.back() != L'}')
        return false;
    for (size_t index = 1; index < 37; ++index) {
        const wchar_t c = text[index];
        const bool dash = index == 9 || index == 14 || index == 19 || index == 24;
        const bool hex = (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F');
        if (dash ? c != L'-' : !hex)
            return false;
    }
    return true;
}

// The folders named by a GUID in the temporary folder, as extractions make them.
std::set<std::wstring> GuidFolders()
{
    std::set<std::wstring> folders;
    const std::wstring temp = korvel::TempFolder();
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((temp + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return folders;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
            IsRegistryGuid(found.cFileName))
            folders.insert(temp + found.cFileName + L"\\");
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return folders;
}

std::set<std::wstring> NewSince(const std::set<std::wstring>& before)
{
    std::set<std::wstring> added;
    for (const std::wstring& folder : GuidFolders()) {
        if (before.count(folder) == 0)
            added.insert(folder);
    }
    return added;
}

std::string Identity(const std::string& exePath)
{
    return "[Volume Id]\r\nExePath=" + exePath + "\r\n";
}

// What the fake installer wrote about its run.
struct InstallerRecord {
    bool present = false;
    bool ended = false;
    std::wstring module;
    std::wstring cwd;
    std::wstring commandLine;
    std::vector<std::wstring> arguments;
    // Folders below the installer's folder end with a backslash, files carry "|" and their size.
    std::set<std::wstring> entries;

    std::wstring Folder() const { return module.substr(0, module.rfind(L'\\') + 1); }
};

InstallerRecord ReadRecord(const std::wstring& path)
{
    InstallerRecord record;
    const std::optional<std::string> bytes = ReadFileBytes(path);
    if (!bytes)
        return record;
    record.present = true;
    std::wstring text(bytes->size() / sizeof(wchar_t), L'\0');
    bytes->copy(reinterpret_cast<char*>(text.data()), text.size() * sizeof(wchar_t));
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find(L'\n', start);
        const std::wstring line = text.substr(start, end - start);
        start = end == std::wstring::npos ? text.size() : end + 1;
        const size_t equals = line.find(L'=');
        const std::wstring key = line.substr(0, equals);
        const std::wstring value = equals == std::wstring::npos ? L"" : line.substr(equals + 1);
        if (key == L"module")
            record.module = value;
        else if (key == L"cwd")
            record.cwd = value;
        else if (key == L"commandline")
            record.commandLine = value;
        else if (key == L"arg")
            record.arguments.push_back(value);
        else if (key == L"dir" || key == L"file")
            record.entries.insert(value);
        else if (key == L"ended")
            record.ended = true;
    }
    return record;
}

// A fresh folder right in the temporary folder, named by a GUID, with the closing backslash.
::testing::AssertionResult IsExtractFolder(const std::wstring& folder)
{
    const std::wstring temp = korvel::TempFolder();
    if (folder.compare(0, temp.size(), temp) == 0 && folder.size() == temp.size() + 39 &&
        folder.back() == L'\\' && IsRegistryGuid(folder.substr(temp.size(), 38)))
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << Narrow(folder) << " is no temp+GUID folder";
}

class InstallExportsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(InstallerBytes().empty()) << "fake-installer.exe is not next to the tests";
        ASSERT_EQ(korvel_->WsUdOpen(L"host", L"1.0", L"", L"", L"en-US", &id_), 0u);
        foldersBefore_ = GuidFolders();
    }

    void TearDown() override
    {
        for (const std::wstring& file : leftovers_)
            DeleteFileW(file.c_str());
        // Folders that failed installs leave behind.
        for (const std::wstring& folder : NewSince(foldersBefore_))
            korvel::RemoveDirectoryTree(folder);
    }

    // A file in the temporary folder for an installer's record. The name holds no blank, for it
    // goes into the installer's command line unquoted.
    std::wstring NewRecordPath()
    {
        const std::wstring path =
            korvel::TempFolder() + Widen(ScriptedServer::UniqueTag("korvel-record")) + L".txt";
        leftovers_.push_back(path);
        return path;
    }

    // Installer arguments that make it record its run in the file.
    static std::string Recording(const std::wstring& record)
    {
        return " --record " + Narrow(record);
    }

    // The identity file naming the fake installer at the package root, the installer, and the
    // extra entries.
    std::vector<ZipEntry> InstallerPackage(const std::string& arguments,
                                           std::vector<ZipEntry> extra = {})
    {
        std::vector<ZipEntry> entries = {
            {"pakord.id", Identity("fake-installer.exe " + arguments + Recording(record_))},
            {"fake-installer.exe", InstallerBytes()}};
        entries.insert(entries.end(), extra.begin(), extra.end());
        return entries;
    }

    // The script that serves the bytes, as a file of the server.
    std::wstring Serve(const std::string& bytes)
    {
        const std::wstring name = Widen(ScriptedServer::UniqueTag("package")) + L".zip";
        const std::wstring path = Server().FileDir() + L"\\" + name;
        EXPECT_TRUE(WriteBytes(path, bytes));
        leftovers_.push_back(path);
        return L"file=" + name;
    }

    std::wstring ServeZip(const std::vector<ZipEntry>& entries)
    {
        const std::wstring name = Widen(ScriptedServer::UniqueTag("package")) + L".zip";
        const std::wstring path = Server().FileDir() + L"\\" + name;
        EXPECT_TRUE(WriteZip(path, entries));
        leftovers_.push_back(path);
        return L"file=" + name;
    }

    // Downloads with a wait long enough for the whole transfer.
    uint32_t DownloadScript(const std::wstring& script)
    {
        double progress = 0.0;
        uint8_t sizeKnown = 0;
        return korvel_->WsUdDownloadSubmit(id_, Server().Url(script).c_str(), kLongWaitMs,
                                           &progress, &sizeKnown);
    }

    void DownloadPackage(const std::vector<ZipEntry>& entries)
    {
        ASSERT_EQ(DownloadScript(ServeZip(entries)), kStatusNotRunning);
    }

    // Polls the install with no wait until it is over; counts the answers that it still runs.
    uint32_t PollInstall(int& pendingAnswers)
    {
        pendingAnswers = 0;
        const ULONGLONG deadline = GetTickCount64() + kPollLimitMs;
        uint32_t status = kStatusPending;
        while (GetTickCount64() < deadline) {
            status = korvel_->WsUdInstallCheck(id_, 0);
            if (status != kStatusPending)
                break;
            ++pendingAnswers;
            Sleep(kPollPauseMs);
        }
        return status;
    }

    // The installer of a package with a blocking submit, and what it recorded.
    InstallerRecord InstallWithLongWait(uint32_t expectedStatus)
    {
        EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, kLongWaitMs), expectedStatus);
        return ReadRecord(record_);
    }

    KorvelLibrary korvel_;
    uint32_t id_ = 0;
    std::set<std::wstring> foldersBefore_;
    // Files to delete after the test; constructed before the record path joins it.
    std::vector<std::wstring> leftovers_;
    std::wstring record_ = NewRecordPath();
};

TEST_F(InstallExportsTest, WithoutADownloadThereIsNothingToInstall)
{
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, 0), 0u);
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, kLongWaitMs), 0u);
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, 0), 0u);
    EXPECT_EQ(korvel_->WsUdInstallCancel(id_), 0u);
    const uint32_t unknown = id_ + 1000;
    EXPECT_EQ(korvel_->WsUdInstallOpen(unknown), 0u);
    EXPECT_EQ(korvel_->WsUdInstallClose(unknown), 0u);
    EXPECT_EQ(korvel_->WsUdInstallSubmit(unknown, 0), kStatusInvalidSession);
    EXPECT_EQ(korvel_->WsUdInstallCheck(unknown, 0), kStatusInvalidSession);
    EXPECT_EQ(korvel_->WsUdInstallCancel(unknown), kStatusInvalidSession);
    EXPECT_TRUE(NewSince(foldersBefore_).empty());
}

TEST_F(InstallExportsTest, SubmitWithoutWaitThenPollingRunsTheInstallerInAFreshTempFolder)
{
    DownloadPackage(InstallerPackage("--exit 0 --sleep 700"));
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, 0), kStatusPending);
    int pendingAnswers = 0;
    EXPECT_EQ(PollInstall(pendingAnswers), 0u);
    EXPECT_GT(pendingAnswers, 0);
    const InstallerRecord record = ReadRecord(record_);
    ASSERT_TRUE(record.present) << "the installer did not run";
    EXPECT_TRUE(record.ended);
    EXPECT_TRUE(IsExtractFolder(record.Folder()));
    EXPECT_EQ(record.module, record.Folder() + L"fake-installer.exe");
    EXPECT_FALSE(Exists(record.Folder())) << "the folder goes once the installer has ended";
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, 0), 0u) << "the outcome repeats";
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, kLongWaitMs), 0u);
}

TEST_F(InstallExportsTest, ALongWaitReturnsTheMappedExitCode)
{
    struct Case {
        const char* exitCode;
        uint32_t status;
    };
    const Case cases[] = {
        {"0", kStatusSuccess}, {"1602", kStatusInstallCancelled}, {"3010", kStatusInstallFailed}};
    std::set<std::wstring> folders;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.exitCode);
        record_ = NewRecordPath();
        DownloadPackage(InstallerPackage(std::string("--exit ") + c.exitCode));
        const InstallerRecord record = InstallWithLongWait(c.status);
        ASSERT_TRUE(record.ended);
        EXPECT_TRUE(IsExtractFolder(record.Folder()));
        EXPECT_FALSE(Exists(record.Folder()));
        EXPECT_EQ(korvel_->WsUdInstallCheck(id_, 0), c.status) << "the outcome repeats";
        folders.insert(record.Folder());
    }
    EXPECT_EQ(folders.size(), 3u) << "every install extracts into a new folder";
}

TEST_F(InstallExportsTest, EverySubmitExtractsTheSamePackageAgainIntoANewFolder)
{
    DownloadPackage(InstallerPackage("--exit 0"));
    const std::wstring first = InstallWithLongWait(kStatusSuccess).Folder();
    ASSERT_FALSE(first.empty());
    const std::wstring second = InstallWithLongWait(kStatusSuccess).Folder();
    EXPECT_TRUE(IsExtractFolder(second));
    EXPECT_NE(first, second);
}

TEST_F(InstallExportsTest, AMissingInstallerEntryFailsAndLeavesTheExtractedFolder)
{
    const std::vector<std::string> identities = {"", "[Volume Id]\r\nSetup=fake-installer.exe\r\n",
                                                 "[Volume]\r\nExePath=fake-installer.exe\r\n",
                                                 "[Volume Id]\r\nExePath=NOT found\r\n"};
    for (size_t index = 0; index <= identities.size(); ++index) {
        SCOPED_TRACE(index);
        std::vector<ZipEntry> entries = {{"fake-installer.exe", InstallerBytes()}};
        // The last round has no identity file at all.
        if (index < identities.size())
            entries.push_back({"pakord.id", identities[index]});
        DownloadPackage(entries);
        const std::set<std::wstring> before = GuidFolders();
        EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, kLongWaitMs), kStatusInstallFailed);
        const std::set<std::wstring> added = NewSince(before);
        ASSERT_EQ(added.size(), 1u);
        EXPECT_TRUE(Exists(*added.begin() + L"fake-installer.exe"));
        EXPECT_EQ(korvel_->WsUdInstallCheck(id_, 0), 0u) << "no installer was started";
    }
}

TEST_F(InstallExportsTest, AnInstallerThatCannotStartFailsAndLeavesTheExtractedFolder)
{
    DownloadPackage({{"pakord.id", Identity("missing-setup.exe --exit 0")},
                     {"fake-installer.exe", InstallerBytes()}});
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, 0), kStatusInstallFailed);
    const std::set<std::wstring> added = NewSince(foldersBefore_);
    ASSERT_EQ(added.size(), 1u);
    EXPECT_TRUE(Exists(*added.begin() + L"pakord.id"));
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, 0), 0u);
}

TEST_F(InstallExportsTest, WhatIsNoZipArchiveCannotBeExtracted)
{
    ASSERT_EQ(DownloadScript(Serve("this is no ZIP archive")), kStatusNotRunning);
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, kLongWaitMs), kStatusExtractFailed);
    ASSERT_EQ(DownloadScript(Serve("")), kStatusNotRunning);
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, 0), kStatusExtractFailed);
    EXPECT_TRUE(NewSince(foldersBefore_).empty());
}

TEST_F(InstallExportsTest, AFailedOrCancelledDownloadLeavesNothingToInstall)
{
    const std::wstring package = ServeZip(InstallerPackage("--exit 0"));
    ASSERT_EQ(DownloadScript(L"status=404;" + package), kStatusNotFound);
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, kLongWaitMs), kStatusExtractFailed);
    ASSERT_EQ(DownloadScript(package), kStatusNotRunning);
    ASSERT_EQ(korvel_->WsUdDownloadCancel(id_), 0u);
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, kLongWaitMs), kStatusExtractFailed);
    EXPECT_FALSE(ReadRecord(record_).present);
}

TEST_F(InstallExportsTest, EntriesThatLeaveTheFolderAreRefusedAndNothingIsWrittenOutside)
{
    const std::string leaf = ScriptedServer::UniqueTag("korvel-slip") + ".txt";
    const std::wstring outside[] = {korvel::TempFolder() + Widen(leaf), L"C:\\" + Widen(leaf),
                                    L"\\" + Widen(leaf)};
    for (const char* prefix : {"../", "..\\", "C:\\", "/"}) {
        SCOPED_TRACE(prefix);
        DownloadPackage(InstallerPackage("--exit 0", {{prefix + leaf, "escaped"}}));
        const std::set<std::wstring> before = GuidFolders();
        EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, kLongWaitMs), kStatusExtractFailed);
        for (const std::wstring& path : outside)
            EXPECT_FALSE(Exists(path)) << Narrow(path);
        for (const std::wstring& folder : NewSince(before))
            EXPECT_FALSE(Exists(folder + L"pakord.id")) << "names are checked before writing";
        EXPECT_FALSE(ReadRecord(record_).present);
    }
    for (const std::wstring& path : outside)
        DeleteFileW(path.c_str());
}

TEST_F(InstallExportsTest, NestedFoldersOfThePackageArriveInPlace)
{
    const std::string blob(3000, '\xA5');
    DownloadPackage(InstallerPackage(
        "--exit 0",
        {{"docs/guide/readme.txt", "read me"}, {"data\\win\\blob.bin", blob}, {"empty/", ""}}));
    const InstallerRecord record = InstallWithLongWait(kStatusSuccess);
    ASSERT_TRUE(record.present);
    const std::set<std::wstring> expected = {
        L"data\\",
        L"data\\win\\",
        L"data\\win\\blob.bin|3000",
        L"docs\\",
        L"docs\\guide\\",
        L"docs\\guide\\readme.txt|7",
        L"empty\\",
        L"fake-installer.exe|" + std::to_wstring(InstallerBytes().size()),
        L"pakord.id|" +
            std::to_wstring(Identity("fake-installer.exe --exit 0" + Recording(record_)).size())};
    EXPECT_EQ(record.entries, expected);
    EXPECT_FALSE(Exists(record.Folder()));
}

TEST_F(InstallExportsTest, TheCommandRunsFromThePackageWithItsArguments)
{
    DownloadPackage({{"pakord.id", Identity("bin\\fake-installer.exe --exit 0 alpha \"two words\"" +
                                            Recording(record_))},
                     {"bin/fake-installer.exe", InstallerBytes()}});
    const InstallerRecord record = InstallWithLongWait(kStatusSuccess);
    ASSERT_TRUE(record.present);
    const std::wstring packageRoot = record.Folder().substr(0, record.Folder().size() - 4);
    EXPECT_EQ(record.Folder(), packageRoot + L"bin\\");
    EXPECT_TRUE(IsExtractFolder(packageRoot));
    const std::vector<std::wstring> arguments = {L"--exit",    L"0",        L"alpha",
                                                 L"two words", L"--record", record_};
    EXPECT_EQ(record.arguments, arguments);
    EXPECT_EQ(record.commandLine.rfind(packageRoot + L"bin\\fake-installer.exe --exit 0", 0), 0u)
        << "the folder and the identity's text, joined without quotes: "
        << Narrow(record.commandLine);
    EXPECT_EQ(record.cwd, CurrentDirectory()) << "the host's current folder is kept";
    EXPECT_FALSE(Exists(packageRoot));
}

// While the download runs, an install call waits for it as long as it is told and no longer,
// and leaves it running; the call that sees the download end goes on to install.
TEST_F(InstallExportsTest, AnInstallDuringTheDownloadWaitsForItUpToItsTimeout)
{
    const std::wstring package = ServeZip(InstallerPackage("--exit 0"));
    double progress = -1.0;
    uint8_t sizeKnown = 2;
    ASSERT_EQ(korvel_->WsUdDownloadSubmit(id_, Server().Url(L"delay=3000;" + package).c_str(), 0,
                                          &progress, &sizeKnown),
              kStatusPending);
    const struct {
        const char* name;
        PFN_WsUdInstallCheck call;
        uint32_t timeoutMs;
    } cases[] = {{"submit", korvel_->WsUdInstallSubmit, 0},
                 {"submit", korvel_->WsUdInstallSubmit, 400},
                 {"check", korvel_->WsUdInstallCheck, 400},
                 {"check", korvel_->WsUdInstallCheck, 0}};
    for (const auto& c : cases) {
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(c.call(id_, c.timeoutMs), kStatusPending) << c.name << " " << c.timeoutMs;
        const ULONGLONG waited = GetTickCount64() - start;
        EXPECT_GE(waited + kTickSlackMs, c.timeoutMs) << c.name << " did not wait";
        EXPECT_LT(waited, c.timeoutMs + kLateMs) << c.name << " waited too long";
    }
    EXPECT_EQ(korvel_->WsUdDownloadCheck(id_, 0, &progress, &sizeKnown), kStatusPending)
        << "the install ended the download";
    EXPECT_TRUE(NewSince(foldersBefore_).empty());

    const ULONGLONG start = GetTickCount64();
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, kLongWaitMs), kStatusSuccess);
    EXPECT_LT(GetTickCount64() - start, kLongWaitMs);
    EXPECT_TRUE(ReadRecord(record_).ended);
    EXPECT_EQ(korvel_->WsUdDownloadCheck(id_, 0, &progress, &sizeKnown), kStatusNotRunning)
        << "the install collected the finished download";
    EXPECT_EQ(progress, 1.0);
}

TEST_F(InstallExportsTest, ChecksStartTheInstallOnceTheDownloadHasEnded)
{
    const std::wstring package = ServeZip(InstallerPackage("--exit 1602"));
    double progress = -1.0;
    uint8_t sizeKnown = 2;
    ASSERT_EQ(korvel_->WsUdDownloadSubmit(id_, Server().Url(L"delay=500;" + package).c_str(), 0,
                                          &progress, &sizeKnown),
              kStatusPending);
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, 0), kStatusPending);
    uint32_t installed = kStatusPending;
    const ULONGLONG deadline = GetTickCount64() + kPollLimitMs;
    while (installed == kStatusPending && GetTickCount64() < deadline)
        installed = korvel_->WsUdInstallCheck(id_, 100);
    EXPECT_EQ(installed, kStatusInstallCancelled);
    EXPECT_EQ(korvel_->WsUdDownloadCheck(id_, 0, &progress, &sizeKnown), kStatusNotRunning)
        << "the install collected the finished download";
}

TEST_F(InstallExportsTest, CancelLeavesTheInstallerRunning)
{
    DownloadPackage(InstallerPackage("--exit 1602 --sleep 2000"));
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, 0), kStatusPending);
    EXPECT_EQ(korvel_->WsUdInstallCancel(id_), 0u);
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, 0), kStatusPending);
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, kLongWaitMs), kStatusInstallCancelled);
    EXPECT_TRUE(ReadRecord(record_).ended) << "the installer ran to its end";
}

TEST_F(InstallExportsTest, AFolderThatCannotGoYetIsRemovedByALaterCheck)
{
    DownloadPackage(InstallerPackage("--exit 3010 --sleep 1500"));
    EXPECT_EQ(korvel_->WsUdInstallSubmit(id_, 0), kStatusPending);
    InstallerRecord record;
    const ULONGLONG deadline = GetTickCount64() + kPollLimitMs;
    while (!record.present && GetTickCount64() < deadline) {
        Sleep(kPollPauseMs);
        record = ReadRecord(record_);
    }
    ASSERT_TRUE(record.present) << "the installer did not start";
    const std::wstring held = record.Folder() + L"pakord.id";
    HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, kLongWaitMs), kStatusInstallFailed)
        << "a folder that stays does not change the outcome";
    EXPECT_TRUE(Exists(held));
    CloseHandle(file);
    EXPECT_EQ(korvel_->WsUdInstallCheck(id_, 0), kStatusInstallFailed);
    EXPECT_FALSE(Exists(record.Folder()));
}

} // namespace
