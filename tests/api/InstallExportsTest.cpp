// Installs through the exports of ZIP packages holding the fake installer,
// which writes down where and how it ran. Hostile packages are HostilePackagesTest's.
#include "base/DirectoryTree.h"
#include "base/TempPath.h"
#include "tests/api/ExportFixture.h"
#include "tests/support/PackageSigning.h"
#include "tests/support/ZipWriter.h"

#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <set>

using namespace korvel::test;

namespace {

namespace fs = std::filesystem;

const std::string& InstallerBytes()
{
    static const std::string bytes = ReadWholeFile(BesideTest(L"fake-installer.exe")).value_or("");
    return bytes;
}

std::string Identity(const std::string& command)
{
    return "[Volume Id]\r\nExePath=" + command + "\r\n";
}

// A folder right in the temporary folder named by a registry GUID, as
// extractions make it.
bool IsExtractFolder(const std::wstring& folder)
{
    static const std::wregex guid(L"\\{[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}\\}\\\\");
    const std::wstring temp = korvel::TempFolder();
    return folder.compare(0, temp.size(), temp) == 0 &&
           std::regex_match(folder.begin() + temp.size(), folder.end(), guid);
}

std::set<std::wstring> ExtractFolders()
{
    std::set<std::wstring> folders;
    for (const auto& entry : fs::directory_iterator(korvel::TempFolder().c_str()))
        if (entry.is_directory() && IsExtractFolder(entry.path().wstring() + L"\\"))
            folders.insert(entry.path().wstring() + L"\\");
    return folders;
}

// What the fake installer wrote about its run: the values of each key, in
// their order; no keys at all when it did not run.
std::map<std::wstring, std::vector<std::wstring>> ReadRecord(const std::wstring& path)
{
    std::wistringstream text(Utf16Text(ReadWholeFile(path).value_or("")));
    std::map<std::wstring, std::vector<std::wstring>> record;
    for (std::wstring line; std::getline(text, line);)
        record[line.substr(0, line.find(L'='))].push_back(line.substr(line.find(L'=') + 1));
    return record;
}

std::wstring FolderOf(std::map<std::wstring, std::vector<std::wstring>> record)
{
    const std::wstring module = record[L"module"].empty() ? L"" : record[L"module"][0];
    return module.substr(0, module.rfind(L'\\') + 1);
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

    // The URL of the package among the server's files, its entries zipped,
    // signed when a key is given, then changed by the edit.
    std::wstring Serve(const std::vector<ZipEntry>& entries, const SigningKey* key = nullptr,
                       const std::function<void(std::string&)>& edit = nullptr)
    {
        const std::wstring name = Widened(ScriptedServer::UniqueTag("package")) + L".zip";
        const std::wstring path = Server().FileDir() + L"\\" + name;
        leftovers_.push_back(path);
        EXPECT_TRUE(WriteZip(path, entries));
        if (key) {
            EXPECT_TRUE(SignPackage(Server().FileDir(), path, *key));
        }
        if (edit) {
            std::string bytes = ReadWholeFile(path).value_or("");
            edit(bytes);
            std::ofstream(fs::path(path), std::ios::binary) << bytes;
        }
        return L"file=" + name;
    }

    std::set<std::wstring> foldersBefore_;
    const std::wstring record_ =
        korvel::TempFolder() + Widened(ScriptedServer::UniqueTag("korvel-record")) + L".txt";
    std::vector<std::wstring> leftovers_ = {record_};
};

} // namespace

// What the download brought decides the install's status, whether the
// installer runs, and what stays of the extracted folder.
TEST_F(InstallExports, OutcomeOfEachPackage)
{
    const std::string installer = InstallerBytes();
    const int validatorsBefore = PackageFiles(L".pkg.validator");
    const int packagesBefore = PackageFiles();
    const SigningKey keyA = MakeSigningKey(Server().FileDir(), ScriptedServer::UniqueTag("a"));
    const SigningKey keyB = MakeSigningKey(Server().FileDir(), ScriptedServer::UniqueTag("b"));
    ASSERT_FALSE(keyA.packageKeys.empty() || keyB.packageKeys.empty()) << "openssl failed";
    leftovers_.push_back(Server().FileDir() + L"\\" + Widened(keyA.pem));
    leftovers_.push_back(Server().FileDir() + L"\\" + Widened(keyB.pem));
    // Offsets from the end of a signed package: its 90-byte comment holds the
    // signature's length at 17 and the signature from 18; the 22-byte end
    // record before it ends with the comment's length.
    const auto flip = [](std::function<size_t(const std::string&)> at) {
        return [at](std::string& bytes) { bytes[at(bytes)] ^= 1; };
    };
    const auto fromEnd = [](size_t back) {
        return [back](const std::string& b) { return b.size() - back; };
    };
    const auto centralDirectory = [](const std::string& b) {
        uint32_t offset = 0;
        std::memcpy(&offset, b.data() + b.size() - 112 + 16, sizeof offset);
        return size_t{offset} + 46;
    };
    const auto lastSignatureByte = [](const std::string& b) {
        return b.size() - 90 + 17 + static_cast<uint8_t>(b[b.size() - 90 + 17]);
    };
    struct Row {
        std::string name;
        std::vector<ZipEntry> entries;
        uint32_t status;
        std::optional<std::wstring> keys = std::nullopt; // PackageKeys
        const SigningKey* signer = nullptr;
        std::function<void(std::string&)> edit = nullptr;
        std::wstring script = L"";
    };
    const std::optional<std::wstring> trustA = keyA.packageKeys;
    const std::vector<ZipEntry> exit0 = Package("--exit 0");
    const auto replace = [](const std::string& bytes) {
        return [bytes](std::string& served) { served = bytes; };
    };
    // Rows where no installer runs come first: a check repeats the outcome of
    // the last installer that ran.
    const ZipEntry setup = {"fake-installer.exe", installer};
    const uint32_t failed = kStatusInstallFailed;
    const uint32_t refused = kStatusPackageNotTrusted;
    const std::vector<ZipEntry> upward = {
        {"pakord.id", Identity("..\\fake-installer.exe --exit 0" + Recording())}, setup};
    // Rows where no installer runs come first: a check repeats the outcome of
    // the last installer that ran. With publisher keys nothing is extracted
    // from a package they did not sign as it is.
    const Row rows[] = {
        {"no identity", {setup}, failed},
        {"empty identity", {{"pakord.id", ""}, setup}, failed},
        {"other key", {{"pakord.id", "[Volume Id]\r\nSetup=fake-installer.exe\r\n"}}, failed},
        {"other section", {{"pakord.id", "[Volume]\r\nExePath=fake-installer.exe\r\n"}}, failed},
        {"installer missing", {{"pakord.id", Identity("missing-setup.exe --exit 0")}}, failed},
        {"no ZIP archive", {}, kStatusExtractFailed, {}, nullptr, replace("no ZIP archive")},
        {"empty file", {}, kStatusExtractFailed, {}, nullptr, replace("")},
        {"failed download", exit0, kStatusExtractFailed, {}, nullptr, nullptr, L"status=404;"},
        {"entry changed", exit0, refused, trustA, &keyA,
         flip([](const std::string&) { return size_t{40}; })},
        {"central directory changed", exit0, refused, trustA, &keyA, flip(centralDirectory)},
        {"end record changed", exit0, refused, trustA, &keyA, flip(fromEnd(90 + 12))},
        {"signature changed", exit0, refused, trustA, &keyA, flip(lastSignatureByte)},
        {"other key", exit0, refused, trustA, &keyB},
        {"unsigned", exit0, refused, trustA},
        {"byte appended", exit0, refused, trustA, &keyA, [](std::string& b) { b += '\0'; }},
        {"comment length lies", exit0, refused, trustA, &keyA, flip(fromEnd(92))},
        {"malformed keys", exit0, refused, L"MFkwEwYHKoZIzj0CAQYI", &keyA},
        {"ExePath with ..", upward, refused, trustA, &keyA},
        {"exit 0", exit0, kStatusSuccess},
        {"exit 0, signed", exit0, kStatusSuccess, trustA, &keyA},
        {"exit 0, second of two keys", exit0, kStatusSuccess,
         keyA.packageKeys + L"; " + keyB.packageKeys, &keyB},
        {"exit 0, signed, no keys", exit0, kStatusSuccess, std::nullopt, &keyA},
        {"exit 1602", Package("--exit 1602"), kStatusInstallCancelled},
        {"exit 3010", Package("--exit 3010"), failed},
    };
    std::set<std::wstring> installFolders;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool runs = row.name.rfind("exit", 0) == 0;
        const ScopedRegistryValue keys(L"SOFTWARE\\Talvessa\\Pipeline", L"PackageKeys", row.keys);
        DeleteFileW(record_.c_str());
        EXPECT_EQ(Download(Server().Url(row.script + Serve(row.entries, row.signer, row.edit))),
                  row.script.empty() ? kStatusNotRunning : kStatusNotFound);
        const std::set<std::wstring> before = ExtractFolders();
        EXPECT_EQ(K().WsUdInstallSubmit(Id(), kLongWaitMs), row.status);
        EXPECT_EQ(K().WsUdInstallCheck(Id(), 0), runs ? row.status : 0u);
        // A package that cannot start an installer stays extracted.
        const std::set<std::wstring> added = NewFolders(before);
        const bool kept =
            (!runs && row.status == kStatusInstallFailed) || row.name == "ExePath with ..";
        EXPECT_EQ(added.size(), kept ? 1u : 0u);
        for (const std::wstring& folder : added)
            EXPECT_NE(fs::is_empty(folder), kept) << Narrow(folder);
        const auto ran = ReadRecord(record_);
        EXPECT_EQ(ran.empty(), !runs);
        if (runs) {
            EXPECT_EQ(ran.count(L"ended"), 1u);
            EXPECT_TRUE(IsExtractFolder(FolderOf(ran)));
            EXPECT_FALSE(fs::exists(FolderOf(ran))) << "the folder goes once the installer ended";
            installFolders.insert(FolderOf(ran));
        }
    }
    EXPECT_EQ(installFolders.size(), 6u) << "every install extracts into a new folder";
    // A package and its validator wait for an install until the next download
    // or the session's end.
    EXPECT_EQ(PackageFiles(L".pkg.validator"), validatorsBefore + 1);
    EXPECT_EQ(PackageFiles(), packagesBefore + 1);
    Unload();
    EXPECT_EQ(PackageFiles(L".pkg.validator"), validatorsBefore);
    EXPECT_EQ(PackageFiles(), packagesBefore);
}

TEST_F(InstallExports, TheInstallerRunsFromThePackageWithItsArguments)
{
    const std::string command = "bin\\fake-installer.exe --exit 0 --sleep 700 alpha \"two words\"";
    EXPECT_EQ(Download(Server().Url(Serve({{"pakord.id", Identity(command + Recording())},
                                           {"bin/fake-installer.exe", InstallerBytes()}}))),
              kStatusNotRunning);
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), 0), kStatusPending);
    int pendingAnswers = 0;
    uint32_t installed = kStatusPending;
    for (int i = 0; i < 1500 && installed == kStatusPending; ++i, Sleep(20))
        pendingAnswers += (installed = K().WsUdInstallCheck(Id(), 0)) == kStatusPending;
    EXPECT_EQ(installed, 0u);
    EXPECT_GT(pendingAnswers, 0);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), kLongWaitMs), 0u) << "the outcome repeats";
    auto record = ReadRecord(record_);
    ASSERT_EQ(record.count(L"ended"), 1u) << "the installer did not run to its end";
    const std::wstring root = FolderOf(record).substr(0, FolderOf(record).size() - 4);
    EXPECT_EQ(FolderOf(record), root + L"bin\\");
    EXPECT_TRUE(IsExtractFolder(root));
    const std::vector<std::wstring> arguments = {L"--exit", L"0",         L"--sleep",  L"700",
                                                 L"alpha",  L"two words", L"--record", record_};
    EXPECT_EQ(record[L"arg"], arguments);
    EXPECT_EQ(record[L"commandline"].at(0).rfind(root + Widened(command), 0), 0u)
        << "the folder and the identity's text, joined without quotes: "
        << Narrow(record[L"commandline"].at(0));
    EXPECT_EQ(record[L"cwd"], std::vector{fs::current_path().wstring()})
        << "the host's current folder is kept";
    EXPECT_FALSE(fs::exists(root));
    // The same package again: extracted anew.
    EXPECT_EQ(K().WsUdInstallSubmit(Id(), kLongWaitMs), 0u);
    EXPECT_NE(FolderOf(ReadRecord(record_)), FolderOf(record));
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
    EXPECT_TRUE(ReadRecord(record_).empty());
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
    EXPECT_EQ(ReadRecord(record_).count(L"ended"), 1u);
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
    std::wstring folder;
    for (const ULONGLONG end = GetTickCount64() + kLongWaitMs;
         folder.empty() && GetTickCount64() < end; Sleep(20))
        folder = FolderOf(ReadRecord(record_));
    ASSERT_FALSE(folder.empty()) << "the installer did not start";
    const std::wstring held = folder + L"pakord.id";
    const HANDLE file = CreateFileW(held.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), kLongWaitMs), kStatusInstallFailed);
    EXPECT_EQ(ReadRecord(record_).count(L"ended"), 1u) << "the installer ran to its end";
    EXPECT_TRUE(fs::exists(held));
    CloseHandle(file);
    EXPECT_EQ(K().WsUdInstallCheck(Id(), 0), kStatusInstallFailed);
    EXPECT_FALSE(fs::exists(folder));
}
