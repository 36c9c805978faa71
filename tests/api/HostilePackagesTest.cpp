// Packages whose every byte an attacker chose, installed through the exports as a host installs
// them, with the temporary folder on a volume of 64 MiB: each ends at once with its status, the
// installer runs only from a sound package, nothing stays in the temporary folder, the volume
// keeps its reserve and the host its memory.
#include "base/DirectoryTree.h"
#include "base/TempPath.h"
#include "tests/api/ExportFixture.h"
#include "tests/support/PackageSigning.h"
#include "tests/support/ZipWriter.h"

#include <aclapi.h>
#include <psapi.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <thread>

using namespace korvel::test;

namespace {

namespace fs = std::filesystem;

constexpr DWORD kGenerousMs = 10000;
constexpr SIZE_T kMaxPeakMemory = 256u << 20;
const std::string kMiB(1 << 20, '\0');

std::wstring& Record()
{
    static std::wstring path = korvel::TempFolder() + L"korvel-hostile-record.txt";
    return path;
}

std::string Identity(const std::string& command)
{
    return "[Volume Id]\r\nExePath=" + command + "\r\n";
}

// The entries, then an identity naming the fake installer at the root, then the installer.
std::vector<ZipEntry> Package(std::vector<ZipEntry> entries)
{
    static const std::string installer =
        ReadWholeFile(BesideTest(L"fake-installer.exe")).value_or("");
    entries.push_back({"pakord.id", Identity("fake-installer.exe --record " + Narrow(Record()))});
    entries.push_back({"fake-installer.exe", installer});
    return entries;
}

std::string Folders(int depth)
{
    std::string name;
    for (int i = 0; i < depth; ++i)
        name += "a/";
    return name;
}

// A name of 64 folders whose path in an extraction folder (temporary folder, GUID, backslash) is
// that long.
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

// The CRC-32 of the entry "bad" flipped in its local and central headers alike.
void FlipCrc(std::string& b)
{
    for (size_t at = b.find("PK\1\2"); at != std::string::npos; at = b.find("PK\1\2", at + 1)) {
        if (b.compare(at + 46, 4, "bad.") == 0) {
            b[at + 16] ^= 1;
            b[At(b, at + 42) + 14] ^= 1;
        }
    }
}

// The central directory gets the first entry's record seven times more, under names that
// differ in their last letter: eight files from one stretch of data.
void ShareFirstEntry(std::string& b)
{
    const size_t end = b.rfind("PK\5\6");
    const size_t start = At(b, end + 16);
    const size_t size = 46 + (At(b, start + 28) & 0xFFFF) + (At(b, start + 30) & 0xFFFF);
    std::string copies;
    for (char letter = '1'; letter <= '7'; ++letter) {
        copies += b.substr(start, size);
        copies[copies.size() - 1 - (At(b, start + 30) & 0xFFFF)] = letter;
    }
    b.insert(start + size, copies);
    const size_t moved = end + copies.size();
    for (size_t field : {moved + 8, moved + 10})
        b[field] = static_cast<char>(b[field] + 7);
    const uint32_t directory = At(b, moved + 12) + static_cast<uint32_t>(copies.size());
    std::memcpy(b.data() + moved + 12, &directory, sizeof directory);
}

void SharedAndFlipped(std::string& b)
{
    FlipCrc(b);
    ShareFirstEntry(b);
}

struct Row {
    const char* name;
    std::vector<ZipEntry> (*entries)();
    void (*edit)(std::string&);
    uint32_t status;
    bool signedWithKeys = false;
};

const Row kRows[] = {
    {"NameOf32000Folders",
     [] {
         return Package({{Folders(32000) + "x", "x"}});
     },
     nullptr, kStatusExtractFailed},
    {"NameOf2000Folders",
     [] {
         return Package({{Folders(2000) + "x", "x"}});
     },
     nullptr, kStatusExtractFailed},
    {"NameOf65Folders",
     [] {
         return Package({{Folders(65) + "x", "x"}});
     },
     nullptr, kStatusExtractFailed},
    {"PathOf260", [] { return PathOf(MAX_PATH); }, nullptr, kStatusExtractFailed},
    {"OneRecordOf256MiBNamed8TimesThenAWrongCrc",
     [] {
         return Package({{"zeros.bi0", "", 6, 0, nullptr, kMiB, 256}, {"bad.txt", "y"}});
     },
     SharedAndFlipped, kStatusExtractFailed},
    {"WrongCrcAfterAGoodEntry",
     [] {
         return Package({{"good.txt", "x"}, {"bad.txt", "y"}});
     },
     FlipCrc, kStatusExtractFailed},
    {"EntryLargerThanTheVolume",
     [] {
         return Package({{"zeros.bin", "", 6, 0, nullptr, kMiB, 256}});
     },
     nullptr, kStatusExtractFailed},
    {"IdentityOf512MiB",
     [] {
         std::vector<ZipEntry> entries = Package({});
         entries[0].filler = std::string(1 << 20, '\n');
         entries[0].fillerCopies = 512;
         return entries;
     },
     nullptr, kStatusInstallFailed},
    {"DeepestAndLongestThatFit", [] { return PathOf(MAX_PATH - 1); }, nullptr, kStatusSuccess},
    {"SignedAndAttackedBeforeItsStart", [] { return Package({}); }, nullptr, kStatusSuccess, true},
};

// What the patched CreateProcessW of row "Signed…" tried and found.
struct Attack {
    decltype(&CreateProcessW) real = nullptr;
    std::vector<std::string> succeeded;
    bool ownerOnly = false;
    bool ran = false;
} attack;

bool Overwrite(const std::wstring& path, const std::string& bytes)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD written = 0;
    const bool wrote =
        file != INVALID_HANDLE_VALUE &&
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    return wrote;
}

// Full control for the user, on the folder and on everything made in it, and nothing for anyone
// else. Wine keeps no DACL given at creation: it shows one made of the folder's Unix permissions,
// always with an entry for LocalSystem and without the protection from the parent's entries.
bool OwnerOnly(const std::wstring& folder)
{
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    HANDLE token = nullptr;
    BYTE user[SECURITY_MAX_SID_SIZE + sizeof(TOKEN_USER)] = {};
    DWORD size = 0;
    BYTE system[SECURITY_MAX_SID_SIZE] = {};
    DWORD systemSize = sizeof system;
    if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS ||
        !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) ||
        !GetTokenInformation(token, TokenUser, user, sizeof user, &size) ||
        !CreateWellKnownSid(WinLocalSystemSid, nullptr, system, &systemSize) || dacl == nullptr)
        return false;
    bool userHasAll = false;
    bool othersHaveNothing = true;
    for (DWORD index = 0; index < dacl->AceCount; ++index) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        GetAce(dacl, index, reinterpret_cast<void**>(&ace));
        const bool isUser = EqualSid(&ace->SidStart, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
        userHasAll |= isUser && ace->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                      ace->Mask == FILE_ALL_ACCESS &&
                      ace->Header.AceFlags == (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        othersHaveNothing &= isUser || EqualSid(&ace->SidStart, system);
    }
    CloseHandle(token);
    LocalFree(descriptor);
    return userHasAll && othersHaveNothing;
}

// A local process's moves between the extraction and the start: the identity made to name its
// program, the installer overwritten, replaced and deleted.
BOOL WINAPI AttackingCreateProcess(LPCWSTR program, LPWSTR line, LPSECURITY_ATTRIBUTES process,
                                   LPSECURITY_ATTRIBUTES thread, BOOL inherit, DWORD flags,
                                   LPVOID environment, LPCWSTR folder, LPSTARTUPINFOW startup,
                                   LPPROCESS_INFORMATION created)
{
    const std::wstring installer = program ? program : L"";
    const std::wstring root = installer.substr(0, installer.rfind(L'\\') + 1);
    const std::wstring own = root + L"own.exe";
    const std::string bytes = "MZ the attacker's own program";
    std::ofstream(fs::path(own), std::ios::binary) << bytes;
    const std::pair<const char*, bool> moves[] = {
        {"identity rewritten", Overwrite(root + L"pakord.id", Identity("own.exe"))},
        {"installer overwritten", Overwrite(installer, bytes)},
        {"installer replaced",
         MoveFileExW(own.c_str(), installer.c_str(), MOVEFILE_REPLACE_EXISTING) != FALSE},
        {"installer deleted", DeleteFileW(installer.c_str()) != FALSE},
    };
    for (const auto& [move, done] : moves)
        if (done)
            attack.succeeded.push_back(move);
    DeleteFileW(own.c_str());
    attack.ownerOnly = OwnerOnly(root);
    attack.ran = true;
    return attack.real(program, line, process, thread, inherit, flags, environment, folder, startup,
                       created);
}

// Points korvel.dll's import of KERNEL32!CreateProcessW at the attack.
bool PatchCreateProcess(HMODULE korvel)
{
    auto* base = reinterpret_cast<BYTE*>(korvel);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const DWORD imports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT].VirtualAddress;
    for (auto* dll = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + imports);
         dll->Name != 0; ++dll) {
        if (_stricmp(reinterpret_cast<const char*>(base + dll->Name), "kernel32.dll") != 0)
            continue;
        auto* name = reinterpret_cast<const IMAGE_THUNK_DATA*>(base + dll->OriginalFirstThunk);
        auto* slot = reinterpret_cast<IMAGE_THUNK_DATA*>(base + dll->FirstThunk);
        for (; name->u1.AddressOfData != 0; ++name, ++slot) {
            if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal) ||
                std::strcmp(
                    reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)
                        ->Name,
                    "CreateProcessW") != 0)
                continue;
            DWORD protection = 0;
            VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &protection);
            attack.real = reinterpret_cast<decltype(&CreateProcessW)>(slot->u1.Function);
            slot->u1.Function = reinterpret_cast<ULONG_PTR>(&AttackingCreateProcess);
            VirtualProtect(slot, sizeof *slot, protection, &protection);
            return true;
        }
    }
    return false;
}

uint64_t FreeBytes(const std::wstring& folder)
{
    ULARGE_INTEGER free{};
    GetDiskFreeSpaceExW(folder.c_str(), &free, nullptr, nullptr);
    return free.QuadPart;
}

// The lowest free space of the volume while it runs, read every millisecond or so.
class LowestFree {
public:
    explicit LowestFree(const std::wstring& folder)
        : lowest_(FreeBytes(folder)), reader_([this, folder] {
              for (int i = 0; i < 60000 && !stop_; ++i, Sleep(1))
                  lowest_ = std::min<uint64_t>(lowest_, FreeBytes(folder));
          })
    {
    }
    uint64_t Stop()
    {
        stop_ = true;
        reader_.join();
        return lowest_;
    }

private:
    std::atomic<uint64_t> lowest_;
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

class HostilePackages : public ExportFixture, public testing::WithParamInterface<size_t> {
public:
    void SetUp() override
    {
        wchar_t volume[MAX_PATH] = {};
        ASSERT_NE(GetEnvironmentVariableW(L"KORVEL_SMALL_VOLUME", volume, MAX_PATH), 0u);
        temp_ = std::wstring(volume) + L"\\temp-" + std::to_wstring(GetCurrentProcessId());
        fs::create_directories(temp_);
        for (const wchar_t* name : {L"TMP", L"TEMP"})
            SetEnvironmentVariableW(name, temp_.c_str());
        DeleteFileW(Record().c_str());
    }
    void TearDown() override
    {
        for (const wchar_t* name : {L"TMP", L"TEMP"})
            SetEnvironmentVariableW(name, previous_.c_str());
        korvel::RemoveDirectoryTree(temp_);
        for (const std::wstring& path : leftovers_)
            DeleteFileW(path.c_str());
    }

    std::wstring Serve(const Row& row)
    {
        const std::wstring name = Widened(ScriptedServer::UniqueTag("hostile")) + L".zip";
        const std::wstring path = Server().FileDir() + L"\\" + name;
        leftovers_.push_back(path);
        EXPECT_TRUE(WriteZip(path, row.entries()));
        if (row.edit) {
            std::string bytes = ReadWholeFile(path).value_or("");
            row.edit(bytes);
            std::ofstream(fs::path(path), std::ios::binary) << bytes;
        }
        if (row.signedWithKeys) {
            const SigningKey key =
                MakeSigningKey(Server().FileDir(), ScriptedServer::UniqueTag("k"));
            leftovers_.push_back(Server().FileDir() + L"\\" + Widened(key.pem));
            EXPECT_TRUE(SignPackage(Server().FileDir(), path, key));
            keys_.emplace(L"SOFTWARE\\Talvessa\\Pipeline", L"PackageKeys", key.packageKeys);
        }
        return L"file=" + name;
    }

    const std::wstring previous_ = korvel::TempFolder();
    std::wstring temp_;
    std::vector<std::wstring> leftovers_ = {Record()};
    std::optional<ScopedRegistryValue> keys_;
};

} // namespace

TEST_P(HostilePackages, EndsAtOnceLeavingNothingAndRunsOnlyTheSoundInstaller)
{
    const Row& row = kRows[GetParam()];
    ASSERT_EQ(Download(Server().Url(Serve(row))), kStatusNotRunning);
    attack = {};
    if (row.signedWithKeys) {
        ASSERT_TRUE(PatchCreateProcess(Library().Module()));
    }
    LowestFree lowest(temp_);
    const uint64_t before = FreeBytes(temp_);
    const TimedStatus install = Timed([&] { return K().WsUdInstallSubmit(Id(), kLongWaitMs); });
    const uint64_t fall = before - std::min(lowest.Stop(), FreeBytes(temp_));
    Unload();
    EXPECT_EQ(install.status, row.status) << std::hex;
    EXPECT_LT(install.ms, kGenerousMs);
    const auto record = ReadWholeFile(Record());
    EXPECT_EQ(record.has_value(), row.status == kStatusSuccess) << "whether the installer ran";
    for (const auto& left : fs::recursive_directory_iterator(temp_))
        ADD_FAILURE() << "left in the temporary folder: " << left.path().string();
    ULARGE_INTEGER total{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(temp_.c_str(), nullptr, &total, nullptr));
    EXPECT_GE(before - fall, total.QuadPart / 20) << "the volume's reserve";
    PROCESS_MEMORY_COUNTERS memory{};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory));
    // Wine reports the current commit as its peak; its peak working set is a true peak.
    EXPECT_LT(memory.PeakPagefileUsage, kMaxPeakMemory);
    EXPECT_LT(memory.PeakWorkingSetSize, kMaxPeakMemory);
    std::printf("%s: %lu ms, free space fell by %llu KiB, peak commit %zu MiB, peak working set "
                "%zu MiB\n",
                row.name, install.ms, static_cast<unsigned long long>(fall >> 10),
                memory.PeakPagefileUsage >> 20, memory.PeakWorkingSetSize >> 20);
    if (row.signedWithKeys) {
        EXPECT_TRUE(attack.ran);
        EXPECT_EQ(attack.succeeded, std::vector<std::string>{});
        EXPECT_TRUE(attack.ownerOnly) << "the extraction folder's DACL";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, HostilePackages, testing::Range(size_t{0}, std::size(kRows)),
                         [](const auto& info) { return std::string(kRows[info.param].name); });
