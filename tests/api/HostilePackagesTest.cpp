// Packages whose every byte an attacker chose, installed through the exports as a host installs
// them, the temporary folder on a volume of 64 MiB: each ends at once with its status, nothing
// stays in the temporary folder, the installer runs only from a sound package, the volume keeps
// its reserve and the host its memory.
#include "tests/api/ExportFixture.h"
#include "tests/api/SmallVolume.h"
#include "tests/support/ImportPatch.h"
#include "tests/support/PackageSigning.h"
#include "tests/support/ZipWriter.h"

#include <aclapi.h>
#include <psapi.h>
#include <sddl.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <regex>

using namespace korvel::test;

namespace {

namespace fs = std::filesystem;

using Edit = std::function<void(std::string&)>;

const std::wstring kRecord = korvel::TempFolder() + L"korvel-hostile-record.txt";

// The entries, then an identity naming the fake installer at the root, then the installer.
std::vector<ZipEntry> Package(std::vector<ZipEntry> entries)
{
    entries.push_back(
        {"pakord.id", "[Volume Id]\r\nExePath=fake-installer.exe --record " + Narrow(kRecord)});
    entries.push_back(
        {"fake-installer.exe", ReadWholeFile(BesideTest(L"fake-installer.exe")).value_or("")});
    return entries;
}

std::string Folders(size_t depth)
{
    std::string name;
    for (size_t i = 0; i < depth; ++i)
        name += "a/";
    return name;
}

// 64 folders, then a file whose path in the extraction folder (the temporary folder, a GUID and
// a backslash) is that long.
std::vector<ZipEntry> PathOf(size_t length)
{
    const size_t used = korvel::TempFolder().size() + 39 + Folders(64).size();
    return Package({{Folders(64) + std::string(length - used, 'f'), "x"}});
}

uint32_t At(const std::string& b, size_t offset)
{
    uint32_t value = 0;
    std::memcpy(&value, b.data() + offset, sizeof value);
    return value;
}

void Add(std::string& b, size_t offset, uint32_t delta)
{
    const uint32_t value = At(b, offset) + delta;
    std::memcpy(b.data() + offset, &value, sizeof value);
}

// Adds to a 32-bit field of the entries named "bad" in their central and local headers alike.
Edit Lie(size_t central, size_t local, uint32_t delta)
{
    return [=](std::string& b) {
        for (size_t at = b.find("PK\1\2"); at != std::string::npos; at = b.find("PK\1\2", at + 1))
            if (b.compare(at + 46, 3, "bad") == 0)
                for (const size_t field : {at + central, At(b, at + 42) + local})
                    Add(b, field, delta);
    };
}
const Edit kWrongCrc = Lie(16, 14, 1);

// The central directory gets the first entry's record seven times more under names that differ
// in their last letter (the first has no extra field): eight files from one stretch of data.
void ShareFirstEntry(std::string& b)
{
    const size_t end = b.rfind("PK\5\6");
    const size_t start = At(b, end + 16);
    const size_t size = 46 + (At(b, start + 28) & 0xFFFF);
    std::string copies;
    for (char letter = '1'; letter <= '7'; ++letter)
        copies += b.substr(start, size - 1) + letter;
    b.insert(start + size, copies);
    Add(b, end + copies.size() + 8, 7 * 0x10001);
    Add(b, end + copies.size() + 12, static_cast<uint32_t>(copies.size()));
}

// What the patched CreateProcessW found.
struct Attack {
    decltype(&CreateProcessW) real = nullptr;
    std::vector<std::string> succeeded;
    bool ownerOnly = false;
} attack;

// Opened as the C runtime opens files, sharing everything.
bool Overwrite(const std::wstring& path)
{
    return (std::fstream(fs::path(path), std::ios::in | std::ios::out) << "MZ").flush().good();
}

// Full control for the owner, the user, passed on to everything made inside, and nothing for
// anyone else. Wine keeps no DACL given at creation: it shows one made of the folder's Unix
// permissions, always with an entry for LocalSystem and without the protection ("P").
bool OwnerOnly(const std::wstring& folder)
{
    const SECURITY_INFORMATION parts = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    wchar_t* text = nullptr;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, parts, nullptr, nullptr, nullptr,
                              nullptr, &descriptor) != ERROR_SUCCESS ||
        !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts,
                                                              &text, nullptr))
        return false;
    const std::wstring sddl = text; // O:owner D:flags(ace)...
    LocalFree(text);
    LocalFree(descriptor);
    const std::wstring owner = sddl.substr(2, sddl.find(L"D:") - 2);
    const std::wstring user = L"(A;OICI;FA;;;" + owner + L")";
    return owner.rfind(L"S-1-5-21-", 0) == 0 && sddl.find(user) != std::wstring::npos &&
           std::regex_match(sddl.substr(sddl.find(L'(')),
                            std::wregex(L"(\\(A;OICI;FA;;;(SY|" + owner + L")\\))+"));
}

// A local process's moves between the extraction and the start: the identity rewritten, the
// installer overwritten, replaced by its own program and deleted.
BOOL WINAPI AttackingCreateProcess(LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                                   LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                   LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                   LPPROCESS_INFORMATION created)
{
    const std::wstring installer = program ? program : L"";
    const std::wstring root = installer.substr(0, installer.rfind(L'\\') + 1);
    std::ofstream(fs::path(root + L"own.exe")) << "MZ";
    const std::pair<const char*, bool> moves[] = {
        {"identity rewritten", Overwrite(root + L"pakord.id")},
        {"installer overwritten", Overwrite(installer)},
        {"installer replaced",
         MoveFileExW((root + L"own.exe").c_str(), program, MOVEFILE_REPLACE_EXISTING) != FALSE},
        {"installer deleted", DeleteFileW(program) != FALSE}};
    for (const auto& [move, done] : moves)
        if (done)
            attack.succeeded.push_back(move);
    DeleteFileW((root + L"own.exe").c_str());
    attack.ownerOnly = OwnerOnly(root);
    return attack.real(program, line, process, thread, inherit, flags, environment, folder, startup,
                       created);
}

struct Row {
    std::string name;
    std::vector<ZipEntry> entries;
    uint32_t status = kStatusExtractFailed;
    Edit edit = nullptr;
    bool signedWithKeys = false;
    std::optional<Respelling> respelled = std::nullopt;
    // Between two copies of the key in PackageKeys, when not empty.
    std::wstring keySeparator = L"";
};

class HostilePackages : public ExportFixture {
public:
    void SetUp() override
    {
        temp_ = TempOnSmallVolume(L"temp-" + std::to_wstring(GetCurrentProcessId()));
        ASSERT_NE(temp_, L"") << "KORVEL_SMALL_VOLUME names no volume";
    }
    void TearDown() override
    {
        Unload();
        for (const wchar_t* name : {L"TMP", L"TEMP"})
            SetEnvironmentVariableW(name, previous_.c_str());
        fs::remove_all(temp_);
        for (const std::wstring& path : leftovers_)
            DeleteFileW(path.c_str());
    }

    // The package's URL among the server's files, signed and trusted when the row says so.
    std::wstring Serve(const Row& row, std::optional<ScopedRegistryValue>& keys)
    {
        const std::wstring name = Widened(ScriptedServer::UniqueTag("hostile")) + L".zip";
        const std::wstring path = Server().FileDir() + L"\\" + name;
        leftovers_.push_back(path);
        EXPECT_TRUE(WriteZip(path, row.entries));
        std::string bytes = ReadWholeFile(path).value_or("");
        if (row.edit)
            row.edit(bytes);
        std::ofstream(fs::path(path), std::ios::binary) << bytes;
        if (row.signedWithKeys) {
            if (!key_) {
                key_ = MakeSigningKey(Server().FileDir(), ScriptedServer::UniqueTag("k"));
                leftovers_.push_back(Server().FileDir() + L"\\" + Widened(key_->pem));
            }
            const SigningKey& key = *key_;
            EXPECT_TRUE(row.respelled ? SignPackageToFit(Server().FileDir(), path, key)
                                      : SignPackage(Server().FileDir(), path, key));
            if (row.respelled) {
                const std::string respelled =
                    Respelled(ReadWholeFile(path).value_or(""), *row.respelled);
                std::ofstream(fs::path(path), std::ios::binary) << respelled;
            }
            const std::wstring value = row.keySeparator.empty()
                                           ? key.packageKeys
                                           : key.packageKeys + row.keySeparator + key.packageKeys;
            keys.emplace(L"SOFTWARE\\Talvessa\\Pipeline", L"PackageKeys", value);
        }
        return L"file=" + name;
    }

    const std::wstring previous_ = korvel::TempFolder();
    std::wstring temp_;
    std::vector<std::wstring> leftovers_ = {kRecord};
    std::optional<SigningKey> key_;
};

} // namespace

TEST_F(HostilePackages, EachEndsAtOnceLeavingNothingAndOnlyASoundInstallerRuns)
{
    const ZipEntry zeros{"zeros.bi0", "", 6, 0, nullptr, std::string(1 << 20, '\0'), 256};
    std::vector<ZipEntry> identityOf512MiB = Package({});
    identityOf512MiB[0].filler = std::string(1 << 20, '\n');
    identityOf512MiB[0].fillerCopies = 512;
    const std::string text = TextBytes(30000);
    const uint32_t refused = kStatusExtractFailed;
    std::vector<Row> rows = {
        {"a name of 32,000 folders", Package({{Folders(32000) + "x", "x"}})},
        {"a name of 2,000 folders", Package({{Folders(2000) + "x", "x"}})},
        {"a name of 65 folders", Package({{Folders(65) + "x", "x"}})},
        {"a path of 260", PathOf(MAX_PATH)},
        {"256 MiB named 8 times, then a wrong CRC-32", Package({zeros, {"bad", "y"}}), refused,
         [](std::string& b) { kWrongCrc(b), ShareFirstEntry(b); }},
        {"an entry larger than the volume", Package({zeros})},
        {"an identity of 512 MiB", identityOf512MiB, kStatusInstallFailed},
        {"wrong CRC-32, stored", Package({{"good", "x"}, {"bad", text, 0}}), refused, kWrongCrc},
        {"wrong CRC-32, deflated", Package({{"good", "x"}, {"bad", text}}), refused, kWrongCrc},
        {"shorter than declared, stored", Package({{"bad", text, 0}}), refused, Lie(24, 22, 9)},
        {"shorter than declared", Package({{"bad", text}}), refused, Lie(24, 22, 9)},
        {"longer than declared", Package({{"bad", text}}), refused, Lie(24, 22, -9u)},
        {"directory cut off", Package({}), refused, [](std::string& b) { b.resize(b.size() / 2); }},
        {"encrypted", Package({{"secret.txt", "x", 6, 0, "password"}})},
    };
    // Each after a harmless entry: nothing may be written, not even that one.
    for (const char* name : {"../escape.txt",
                             "..\\escape.txt",
                             "../../escape.txt",
                             "a/../../escape.txt",
                             "a\\..\\..\\escape.txt",
                             "a/b/../../../escape.txt",
                             "../",
                             "a/..",
                             ".../escape.txt",
                             ".. /escape.txt",
                             "pakord.id.",
                             "C:\\korvel-zip-escape.txt",
                             "C:/korvel-zip-escape.txt",
                             "C:korvel-zip-escape.txt",
                             "/korvel-zip-escape.txt",
                             "\\korvel-zip-escape.txt",
                             "//server/share/escape.txt",
                             "escape.txt:stream",
                             "a/NUL",
                             "com1.txt",
                             "tab\there.txt"})
        rows.push_back({name, Package({{"good.txt", "x"}, {name, "x"}})});
    rows.push_back({"the deepest and longest that fit", PathOf(MAX_PATH - 1), kStatusSuccess});
    // A signature spelt anew, and keys whose separator is a blank, trust nothing.
    const uint32_t untrusted = kStatusPackageNotTrusted;
    for (const auto& [how, name] : {std::pair{Respelling::kOtherS, "the other s"},
                                    {Respelling::kPaddedR, "a padded r"},
                                    {Respelling::kLongLength, "a long-form length"},
                                    {Respelling::kBytesAfter, "bytes after it"}})
        rows.push_back(
            {std::string("signature with ") + name, Package({}), untrusted, nullptr, true, how});
    rows.push_back(
        {"keys with a blank between", Package({}), untrusted, nullptr, true, std::nullopt, L" "});
    rows.push_back({"signed, attacked before its start", Package({}), 0, nullptr, true});
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        Reload();
        DeleteFileW(kRecord.c_str());
        std::optional<ScopedRegistryValue> keys;
        ASSERT_EQ(Download(Server().Url(Serve(row, keys))), kStatusNotRunning);
        // The one signed package that starts its installer is attacked before the start.
        if (row.signedWithKeys && row.status == kStatusSuccess) {
            attack.real = &CreateProcessW;
            ASSERT_TRUE(PatchImport(
                Library().Module(), "kernel32.dll", "CreateProcessW",
                reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&AttackingCreateProcess))));
        }
        VolumeWatch watch(temp_);
        const TimedStatus install = Timed([&] { return K().WsUdInstallSubmit(Id(), kLongWaitMs); });
        watch.Stop();
        const uint64_t fall = watch.Before() - watch.Lowest();
        Unload();
        EXPECT_EQ(install.status, row.status) << std::hex;
        EXPECT_LT(install.ms, 10000u);
        EXPECT_EQ(fs::exists(kRecord), row.status == kStatusSuccess) << "whether it ran";
        for (const auto& left : fs::recursive_directory_iterator(temp_))
            ADD_FAILURE() << "left in the temporary folder: " << left.path().string();
        EXPECT_GE(watch.Lowest(), watch.Reserve()) << "the volume's reserve";
        // Wine reports the current commit as its peak; its peak working set is a true peak.
        PROCESS_MEMORY_COUNTERS memory{};
        ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory));
        EXPECT_LT(std::max(memory.PeakPagefileUsage, memory.PeakWorkingSetSize), 256u << 20);
        std::printf("%s: %lu ms, %llu KiB less free, peaks %zu MiB commit, %zu MiB working set\n",
                    row.name.c_str(), install.ms, fall >> 10, memory.PeakPagefileUsage >> 20,
                    memory.PeakWorkingSetSize >> 20);
    }
    EXPECT_EQ(attack.succeeded, std::vector<std::string>{}) << "the attack got through";
    EXPECT_TRUE(attack.ownerOnly) << "the extraction folder's DACL";
    for (const wchar_t* escape : {L"C:\\", L"\\", L"C:"})
        EXPECT_FALSE(fs::exists(escape + std::wstring(L"korvel-zip-escape.txt")));
}
