// Answers and disks that work against the library, met through the exports
// on a volume of 64 MiB that also holds the temporary folder: a small gzip
// body that decodes to gigabytes, a body larger than the volume, and writes
// of the target file that fail or fall short. None may take the volume below
// its reserve, commit much memory, leave a decoded copy behind or end
// "complete" with a block missing.
#include "base/KernelHandle.h"
#include "tests/api/ExportFixture.h"
#include "tests/support/ImportPatch.h"

#include <psapi.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <thread>

using namespace korvel::test;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr uint64_t kMaxCommit = 256 * kMiB;
constexpr wchar_t kTargetName[] = L"\\hostile.bin";
constexpr wchar_t kRecordName[] = L"\\hostile.bin.validator";

// Zeros of the given size as gzip members of a MiB each: 2 GiB take 2 MiB.
std::string GzippedZeros(uint64_t size)
{
    const std::string zeros(kMiB, '\0');
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string member(deflateBound(&stream, kMiB), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
    stream.avail_in = kMiB;
    stream.next_out = reinterpret_cast<Bytef*>(member.data());
    stream.avail_out = static_cast<uInt>(member.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    member.resize(stream.total_out);
    deflateEnd(&stream);
    std::string gzip;
    gzip.reserve(member.size() * (size / kMiB));
    for (uint64_t i = 0; i < size / kMiB; ++i)
        gzip += member;
    return gzip;
}

// The library's writes of the file whose path ends in `suffix`: from the
// `from`-th one on, each fails with `error` or, when error is 0, writes only
// half of its bytes and says so.
struct WriteFault {
    std::wstring suffix;
    int from = 0;
    DWORD error = 0;
    std::atomic<int> writes{0};
} fault;

bool IsFaultyFile(HANDLE file)
{
    alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
    if (fault.suffix.empty() ||
        !GetFileInformationByHandleEx(file, FileNameInfo, info, sizeof buffer - sizeof(wchar_t)))
        return false;
    const std::wstring name(info->FileName, info->FileNameLength / sizeof(wchar_t));
    return name.size() >= fault.suffix.size() &&
           _wcsicmp(name.c_str() + name.size() - fault.suffix.size(), fault.suffix.c_str()) == 0;
}

BOOL WINAPI FaultyWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                            LPOVERLAPPED overlapped)
{
    if (!IsFaultyFile(file) || ++fault.writes < fault.from)
        return WriteFile(file, data, size, written, overlapped);
    if (fault.error == 0)
        return WriteFile(file, data, size / 2, written, overlapped);
    *written = 0;
    SetLastError(fault.error);
    return FALSE;
}

enum Via { kPackage, kFile, kQuery };
// What else works against the row: the host's settings, another program, the disk.
enum Twist { kNone, kKeysSet, kTargetHeld, kWriteFails, kWriteShort, kRecordFails };
struct Row {
    const char* name;
    Via via;
    std::wstring gzip; // the script of a served gzip body; empty for the server's pattern
    uint64_t size;     // of the body as the target would hold it
    uint32_t status;
    Twist twist = kNone;
};

// The lowest free space of the volume and the highest commit of the process
// while a row runs, read every few milliseconds.
class Watch {
public:
    explicit Watch(const std::wstring& volume) : volume_(volume), thread_([this] { Run(); }) {}
    ~Watch() { Stop(); }
    void Stop()
    {
        if (thread_.joinable()) {
            done_ = true;
            thread_.join();
        }
    }
    uint64_t lowestFree = ~0ull;
    uint64_t highestCommit = 0;

private:
    void Run()
    {
        for (int i = 0; i < 100000 && !done_; ++i, Sleep(2))
            Sample();
        Sample();
    }
    void Sample()
    {
        ULARGE_INTEGER free{};
        if (GetDiskFreeSpaceExW(volume_.c_str(), &free, nullptr, nullptr))
            lowestFree = std::min<uint64_t>(lowestFree, free.QuadPart);
        PROCESS_MEMORY_COUNTERS memory{};
        if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory))
            highestCommit = std::max<uint64_t>(
                highestCommit, std::max(memory.PagefileUsage, memory.PeakPagefileUsage));
    }
    std::wstring volume_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

class HostileAnswers : public ExportFixture {
protected:
    static std::wstring SmallVolumeFolder()
    {
        wchar_t path[MAX_PATH] = {};
        const DWORD length = GetEnvironmentVariableW(L"KORVEL_SMALL_VOLUME", path, MAX_PATH);
        std::wstring folder(path, length < MAX_PATH ? length : 0);
        std::replace(folder.begin(), folder.end(), L'/', L'\\');
        return folder.empty() ? folder : folder + L"\\temp\\";
    }
    // Set before the library loads, so that its packages go there too.
    static void SetUpTestSuite()
    {
        CreateDirectoryW(SmallVolumeFolder().c_str(), nullptr);
        SetEnvironmentVariableW(L"TMP", SmallVolumeFolder().c_str());
        SetEnvironmentVariableW(L"TEMP", SmallVolumeFolder().c_str());
    }

    // The path the server serves a body from, written once per body.
    std::wstring Serve(const std::string& bytes)
    {
        const std::string name = ScriptedServer::UniqueTag("hostile");
        served_.push_back(Server().FileDir() + L"\\" + Widened(name));
        EXPECT_TRUE(WriteBytes(served_.back(), bytes));
        return L"file=" + Widened(name) + L";encoding=gzip;";
    }
    ~HostileAnswers() override
    {
        for (const std::wstring& path : served_)
            DeleteFileW(path.c_str());
    }

    uint32_t Run(const Row& row, const std::wstring& url, const std::wstring& target)
    {
        if (row.via == kQuery) {
            PointPipelineAt(url);
            return Query();
        }
        if (row.via == kFile)
            return DownloadToFile(url, target);
        std::optional<ScopedRegistryValue> keys;
        if (row.twist == kKeysSet)
            keys.emplace(L"SOFTWARE\\Talvessa\\Pipeline", L"PackageKeys", L"AAAA");
        const uint32_t submitted = Download(url, 0);
        return submitted == kStatusPending ? DownloadToEnd(Id()).status : submitted;
    }

    // What the row's target holds: a prefix of the right bytes, all of them
    // only when the transfer completed.
    static void CheckTarget(const Row& row, const std::wstring& target, uint32_t status)
    {
        const uint64_t size =
            std::filesystem::exists(target) ? std::filesystem::file_size(target) : 0;
        EXPECT_EQ(size == row.size, status == kStatusTransferComplete) << size << " bytes";
        if (!row.gzip.empty()) {
            EXPECT_TRUE(ReadWholeFile(target).value_or("") == std::string(size, '\0'));
        } else if (size != 0) {
            EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, size))
                << ScriptedServer::DescribePatternMismatch(target, size);
        }
    }

    std::vector<std::wstring> served_;
};

TEST_F(HostileAnswers, NoAnswerFillsTheVolumeOrTheMemory)
{
    const std::wstring folder = SmallVolumeFolder();
    ASSERT_FALSE(folder.empty()) << "KORVEL_SMALL_VOLUME is not set";
    ASSERT_EQ(std::filesystem::temp_directory_path().wstring(), folder);
    ULARGE_INTEGER volumeSize{};
    ASSERT_TRUE(GetDiskFreeSpaceExW(folder.c_str(), nullptr, &volumeSize, nullptr));
    const uint64_t reserve = std::min<uint64_t>(volumeSize.QuadPart / 20, 1ull << 30);
    const std::wstring target = folder + (kTargetName + 1);
    const std::wstring record = folder + (kRecordName + 1);
    const std::wstring bomb = Serve(GzippedZeros(2048 * kMiB));
    const std::wstring twice = Serve(GzippedZeros(36 * kMiB));
    const std::wstring once = Serve(GzippedZeros(2 * kMiB));
    constexpr uint64_t k2GiB = 2048 * kMiB;
    constexpr uint32_t kDiskFull = kStatusDiskFull, kWriteFailed = kStatusFileCreateFailed;
    const Row rows[] = {
        {"package: 2 GiB of gzip", kPackage, bomb, k2GiB, kDiskFull},
        {"package: 2 GiB of gzip, keys set", kPackage, bomb, k2GiB, kDiskFull, kKeysSet},
        {"file: 2 GiB of gzip", kFile, bomb, k2GiB, kDiskFull},
        {"query: 2 GiB of gzip", kQuery, bomb, k2GiB, kStatusSuccess},
        {"file: larger than the volume", kFile, L"", 80 * kMiB, kDiskFull},
        {"file: held, decoded once", kFile, once, 2 * kMiB, kStatusTransferComplete, kTargetHeld},
        {"file: held, decoded twice", kFile, twice, 36 * kMiB, kDiskFull, kTargetHeld},
        {"file: write fails", kFile, L"", 4 * kMiB, kWriteFailed, kWriteFails},
        {"file: write falls short", kFile, L"", 4 * kMiB, kWriteFailed, kWriteShort},
        {"file: version record fails", kFile, L"", kMiB, kWriteFailed, kRecordFails},
    };
    ASSERT_TRUE(PatchImport(Library().Module(), "kernel32.dll", "WriteFile",
                            reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FaultyWriteFile))));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const bool faulty = row.twist >= kWriteFails;
        fault.suffix = !faulty ? L"" : row.twist == kRecordFails ? kRecordName : kTargetName;
        fault.from = row.twist == kRecordFails ? 1 : 2;
        fault.error = row.twist == kWriteShort ? 0 : ERROR_IO_DEVICE;
        fault.writes = 0;
        std::wstring script = row.via == kQuery ? L"ctype=text%2Fxml;" + row.gzip : row.gzip;
        if (row.gzip.empty())
            script += (row.twist == kRecordFails ? L"etag=v1;size=" : L"size=") +
                      std::to_wstring(row.size);
        const std::wstring url = Server().Url(Tagged(ScriptedServer::UniqueTag("hostile"), script),
                                              row.via == kQuery ? L"lumq/pipeline" : L"file");
        ULARGE_INTEGER before{};
        GetDiskFreeSpaceExW(folder.c_str(), &before, nullptr, nullptr);
        korvel::FileHandle held(row.twist != kTargetHeld
                                    ? INVALID_HANDLE_VALUE
                                    : CreateFileW(target.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        Watch watch(folder);
        const TimedStatus outcome = Timed([&] { return Run(row, url, target); });
        watch.Stop();
        held.Close();
        fault.suffix.clear();

        EXPECT_EQ(outcome.status, row.status);
        EXPECT_GE(watch.lowestFree, reserve) << "the volume's reserve was taken";
        EXPECT_LT(watch.highestCommit, kMaxCommit);
        if (row.via == kQuery)
            EXPECT_EQ(QueryResult(), "\x1f\x8b\x08") << "the body as it came, to its first NUL";
        else if (row.via == kFile)
            CheckTarget(row, target, outcome.status);
        std::vector<std::wstring> leftOvers;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path() != target && entry.path() != record)
                leftOvers.push_back(entry.path().filename().wstring());
        EXPECT_TRUE(leftOvers.empty()) << Narrow(leftOvers.empty() ? L"" : leftOvers.front());
        std::printf("%-34s %08x in %4lu ms; free fell %4.1f MiB to %4.1f (reserve %.1f); "
                    "commit %5.1f MiB\n",
                    row.name, outcome.status, outcome.ms,
                    (double(before.QuadPart) - double(watch.lowestFree)) / kMiB,
                    watch.lowestFree / double(kMiB), reserve / double(kMiB),
                    watch.highestCommit / double(kMiB));
        std::filesystem::remove(target);
        std::filesystem::remove(record);
    }
}

} // namespace
