// Answers and disks that work against the library, met through the exports on a volume of 64 MiB
// that also holds the temporary folder: a small gzip body that decodes to gigabytes, a body larger
// than the volume, and writes of the target file that fail or fall short. None may take the volume
// below its reserve, commit much memory, leave a decoded copy behind or end "complete" with a
// block missing.
#include "base/KernelHandle.h"
#include "tests/api/ExportFixture.h"
#include "tests/api/SmallVolume.h"
#include "tests/support/ImportPatch.h"

#include <zlib.h>

#include <atomic>
#include <cstdio>

using namespace korvel::test;

namespace {

constexpr uint64_t kMiB = 1 << 20;
constexpr wchar_t kTargetName[] = L"\\hostile.bin";
constexpr wchar_t kRecordName[] = L"\\hostile.bin.validator";

// Zeros of the given size as gzip members of a MiB each: 2 GiB take 2 MiB.
std::string GzippedZeros(uint64_t size)
{
    std::string zeros(kMiB, '\0');
    z_stream stream{};
    deflateInit2(&stream, 9, Z_DEFLATED, 16 + MAX_WBITS, 9, Z_DEFAULT_STRATEGY);
    std::string member(deflateBound(&stream, kMiB), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(zeros.data());
    stream.avail_in = kMiB;
    stream.next_out = reinterpret_cast<Bytef*>(member.data());
    stream.avail_out = static_cast<uInt>(member.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    member.resize(stream.total_out);
    deflateEnd(&stream);
    std::string gzip;
    for (uint64_t i = 0; i < size / kMiB; ++i)
        gzip += member;
    return gzip;
}

// The library's writes of the file whose path ends in `suffix` (set last, cleared first): from
// the `from`-th on, each fails with `error`, or when that is 0 writes half its bytes and says so.
struct WriteFault {
    std::atomic<const wchar_t*> suffix{nullptr};
    int from = 0;
    DWORD error = 0;
    std::atomic<int> writes{0};
} fault;

BOOL WINAPI FaultyWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written,
                            LPOVERLAPPED overlapped)
{
    alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + MAX_PATH * sizeof(wchar_t)];
    auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
    const wchar_t* suffix = fault.suffix;
    const size_t length = suffix ? wcslen(suffix) : 0;
    if (!suffix ||
        !GetFileInformationByHandleEx(file, FileNameInfo, info, sizeof buffer - sizeof(wchar_t)) ||
        info->FileNameLength < length * sizeof(wchar_t) ||
        _wcsnicmp(info->FileName + info->FileNameLength / sizeof(wchar_t) - length, suffix,
                  length) != 0 ||
        ++fault.writes < fault.from)
        return WriteFile(file, data, size, written, overlapped);
    if (fault.error == 0)
        return WriteFile(file, data, size / 2, written, overlapped);
    *written = 0;
    SetLastError(fault.error);
    return FALSE;
}

enum Via { kPackage, kFile, kQuery };
// What else works against the row: the host, another program, the disk.
enum Twist { kNone, kKeysSet, kTargetHeld, kCancelled, kWriteFails, kWriteShort, kRecordFails };
struct Row {
    const char* name;
    Via via;
    std::wstring gzip; // the script of a served gzip body; empty for the server's pattern
    uint64_t size;     // of the body as the target would hold it
    uint32_t status;
    Twist twist = kNone;
};

class HostileAnswers : public ExportFixture {
protected:
    ~HostileAnswers() override
    {
        for (const std::wstring& path : served_)
            DeleteFileW(path.c_str());
    }

    // The script of a gzip body the server sends as it is.
    std::wstring Serve(const std::string& gzip)
    {
        const std::string name = ScriptedServer::UniqueTag("hostile");
        served_.push_back(Server().FileDir() + L"\\" + Widened(name));
        EXPECT_TRUE(WriteBytes(served_.back(), gzip));
        return L"file=" + Widened(name) + L";encoding=gzip;";
    }

    uint32_t Run(const Row& row, const std::wstring& url, const std::wstring& target)
    {
        if (row.via == kQuery) {
            PointPipelineAt(url);
            return Query();
        }
        if (row.via == kFile && row.twist != kCancelled)
            return DownloadToFile(url, target);
        if (row.via == kPackage) {
            const ScopedRegistryValue keys(L"SOFTWARE\\Talvessa\\Pipeline", L"PackageKeys",
                                           row.twist == kKeysSet ? L"AAAA" : nullptr);
            const uint32_t submitted = Download(url, 0);
            return submitted == kStatusPending ? DownloadToEnd(Id()).status : submitted;
        }
        // The cancel comes once the whole body is in, while it is being decoded.
        EXPECT_EQ(K().WsUdDownloadSubmit2(Id(), url.c_str(), target.c_str()), kStatusPending);
        uint64_t received = 0, total = 1;
        uint32_t state = kStatusTransferStarted;
        for (const DWORD end = GetTickCount() + kLongWaitMs;
             GetTickCount() < end && (state == kStatusTransferStarted ||
                                      (state == kStatusTransferReceiving && received != total));
             Sleep(1))
            state = K().WsUdDownloadCheck2(Id(), 0, &received, &total);
        EXPECT_EQ(state, kStatusTransferReceiving) << "the decoding was over before the cancel";
        EXPECT_EQ(K().WsUdDownloadCancel2(Id()), 0u);
        return FileDownloadToEnd(Id());
    }

    std::vector<std::wstring> served_;
};

TEST_F(HostileAnswers, NoAnswerFillsTheVolumeOrTheMemory)
{
    // The library's packages go to the temporary folder, which it asks for each time.
    const std::wstring folder = TempOnSmallVolume(L"temp") + L"\\";
    ASSERT_NE(folder, L"\\") << "KORVEL_SMALL_VOLUME names no volume";
    const std::wstring target = folder + (kTargetName + 1), record = folder + (kRecordName + 1);
    constexpr uint64_t k2GiB = 2048 * kMiB;
    const std::wstring bomb = Serve(GzippedZeros(k2GiB)), twice = Serve(GzippedZeros(36 * kMiB)),
                       once = Serve(GzippedZeros(2 * kMiB));
    constexpr uint32_t kDiskFull = kStatusDiskFull, kWriteFailed = kStatusFileCreateFailed;
    const Row rows[] = {
        {"package: 2 GiB of gzip", kPackage, bomb, k2GiB, kDiskFull},
        {"package: 2 GiB of gzip, keys set", kPackage, bomb, k2GiB, kDiskFull, kKeysSet},
        {"file: 2 GiB of gzip", kFile, bomb, k2GiB, kDiskFull},
        {"file: 2 GiB of gzip, cancelled", kFile, bomb, k2GiB, kStatusTransferIdle, kCancelled},
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
        fault.from = row.twist == kRecordFails ? 1 : 2;
        fault.error = row.twist == kWriteShort ? 0 : ERROR_IO_DEVICE;
        fault.writes = 0;
        fault.suffix = row.twist < kWriteFails     ? nullptr
                       : row.twist == kRecordFails ? kRecordName
                                                   : kTargetName;
        std::wstring script = row.via == kQuery ? L"ctype=text%2Fxml;" + row.gzip : row.gzip;
        if (row.gzip.empty())
            script += (row.twist == kRecordFails ? L"etag=v1;size=" : L"size=") +
                      std::to_wstring(row.size);
        const std::wstring url = Server().Url(Tagged(ScriptedServer::UniqueTag("hostile"), script),
                                              row.via == kQuery ? L"lumq/pipeline" : L"file");
        korvel::FileHandle held(row.twist != kTargetHeld
                                    ? INVALID_HANDLE_VALUE
                                    : CreateFileW(target.c_str(), GENERIC_READ,
                                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        VolumeWatch watch(folder);
        const TimedStatus outcome = Timed([&] { return Run(row, url, target); });
        watch.Stop();
        held.Close();
        fault.suffix = nullptr;

        EXPECT_EQ(outcome.status, row.status);
        EXPECT_GE(watch.Lowest(), watch.Reserve()) << "the volume's reserve was taken";
        EXPECT_LT(watch.HighestCommit(), 256 * kMiB);
        if (row.via == kQuery) {
            EXPECT_EQ(QueryResult(), "\x1f\x8b\x08") << "the body as it came, to its first NUL";
        }
        // A prefix of the right bytes, all of them only when the transfer completed.
        const uint64_t size =
            std::filesystem::exists(target) ? std::filesystem::file_size(target) : 0;
        EXPECT_EQ(size == row.size, outcome.status == kStatusTransferComplete) << size << " bytes";
        if (!row.gzip.empty()) {
            EXPECT_TRUE(ReadWholeFile(target).value_or("") == std::string(size, '\0'));
        } else if (size != 0) {
            EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target, size), "");
        }
        std::vector<std::wstring> leftOvers;
        for (const auto& entry : std::filesystem::directory_iterator(folder))
            if (entry.path() != target && entry.path() != record)
                leftOvers.push_back(entry.path().filename().wstring());
        EXPECT_TRUE(leftOvers.empty()) << Narrow(leftOvers.empty() ? L"" : leftOvers.front());
        std::printf("%-34s %08x in %4lu ms; free fell %4.1f MiB to %4.1f; commit %5.1f MiB\n",
                    row.name, outcome.status, outcome.ms,
                    (watch.Before() - watch.Lowest()) / 1048576.0, watch.Lowest() / 1048576.0,
                    watch.HighestCommit() / 1048576.0);
        std::filesystem::remove(target);
        std::filesystem::remove(record);
    }
}

} // namespace
