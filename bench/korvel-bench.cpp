// Throughput of the library's transfers, for bench/run.sh to compare with curl
// against the same local server. Prints one line: bytes, seconds and the
// peak working set in MiB.
//
//   korvel-bench file URL PATH       second-version download through korvel.dll
//                                    into a new file
//   korvel-bench resume URL PATH     the same, continuing what PATH holds
//   korvel-bench memory URL          one transaction into memory (the query path)
//   korvel-bench query N             N synchronous queries through korvel.dll to the
//                                    pipeline the registry names; median ms
//   korvel-bench query-packet PATH   writes the request body those queries send
//   korvel-bench checksum PATH       MD5 of a file as the transfer verifies it
#include "api/WsStatus.h"
#include "http/FileChecksum.h"
#include "http/WsHttpRequest.h"
#include "packet/PipelineConfig.h"
#include "packet/WsContentQuery.h"
#include "packet/WsPacket.h"
#include "tools/host/KorvelLibrary.h"

#include <psapi.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace korvel;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Bytes, seconds and the process's peak working set in MiB.
int Report(uint64_t bytes, double seconds)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    std::printf("%llu %.6f %.1f\n", static_cast<unsigned long long>(bytes), seconds,
                counters.PeakWorkingSetSize / 1048576.0);
    return bytes == 0 ? 1 : 0;
}

int DownloadToFile(const std::wstring& url, const std::wstring& path)
{
    host::KorvelLibrary korvel;
    uint32_t id = 0;
    korvel->WsUdOpen(L"korvel-bench", L"1.0", L"", L"", L"", &id);
    const auto start = Clock::now();
    korvel->WsUdDownloadSubmit2(id, url.c_str(), path.c_str());
    uint64_t received = 0;
    uint64_t total = 0;
    uint32_t state = kStatusTransferStarted;
    // Ten minutes at most.
    for (int i = 0; i < 600000; ++i) {
        state = korvel->WsUdDownloadCheck2(id, 0, &received, &total);
        if (state == kStatusTransferComplete || IsFailure(state) || state == kStatusTransferIdle)
            break;
        Sleep(1);
    }
    const double seconds = SecondsSince(start);
    korvel->WsUdClose(id);
    if (state != kStatusTransferComplete) {
        std::printf("transfer ended in state 0x%08X\n", state);
        return 1;
    }
    return Report(received, seconds);
}

int DownloadToMemory(const std::wstring& url)
{
    WsHttpRequest request(L"korvel-bench", L"1.0");
    // The process's first transaction also sets WinINet up; curl's figure
    // leaves its own start-up out too.
    request.SetBaseUrl(url.substr(0, url.rfind(L'/') + 1));
    try {
        request.Run(INFINITE, true);
    } catch (WsStatus) {
        // Any answer will do.
    }
    request.SetBaseUrl(url);
    const auto start = Clock::now();
    try {
        request.Run(INFINITE, true);
    } catch (WsStatus status) {
        std::printf("transfer failed with 0x%08X\n", status);
        return 1;
    }
    return Report(request.GetResponse().size(), SecondsSince(start));
}

// A query whose request packet is about 1 KB.
void BuildQuery(WsContentQuery& query)
{
    query.OpenGroup(0);
    query.AddTerm(L"ProductId", L"1234");
    query.AddText(L"Title", L"driver", 2);
    query.AddText(L"Version", L"2.0", 4);
    query.CloseGroup();
}

WsClientInfo BenchClient()
{
    return {L"korvel-bench", L"1.0", L"", L"", CorelibName(), CorelibVersion()};
}

int WriteQueryPacket(const std::wstring& path)
{
    WsContentQuery query;
    BuildQuery(query);
    const WsPacket packet(WsPacketHeader(BenchClient(), L"en-US"), L"contentQuery", &query);
    WsXmlDocument document(L"packet", PacketNamespaceUri());
    packet.Serialize(document, document.Root());
    const WsString text = document.ToString(true, true);
    std::ofstream(std::filesystem::path(path), std::ios::binary)
        .write(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    std::printf("%llu\n", static_cast<unsigned long long>(text.size() * sizeof(wchar_t)));
    return 0;
}

// Median milliseconds of N query round trips, each a synchronous submit.
int QueryRoundTrips(int count)
{
    host::KorvelLibrary korvel;
    uint32_t id = 0;
    korvel->WsUdOpen(L"korvel-bench", L"1.0", L"", L"", L"en-US", &id);
    korvel->WsUdQueryOpenGroup(id, 0);
    korvel->WsUdQueryAddTerm(id, L"ProductId", L"1234");
    korvel->WsUdQueryAddText(id, L"Title", L"driver", 0, 2);
    korvel->WsUdQueryAddText(id, L"Version", L"2.0", 0, 4);
    korvel->WsUdQueryCloseGroup(id);
    std::vector<double> milliseconds;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        const uint32_t status = korvel->WsUdQuerySubmit(id, 10, 10000);
        if (status != kStatusSuccess) {
            std::printf("query failed with 0x%08X\n", status);
            return 1;
        }
        milliseconds.push_back(SecondsSince(start) * 1000.0);
    }
    korvel->WsUdClose(id);
    std::sort(milliseconds.begin(), milliseconds.end());
    std::printf("%.3f\n", milliseconds[milliseconds.size() / 2]);
    return 0;
}

int Checksum(const std::wstring& path)
{
    uint64_t hashed = 0;
    const auto start = Clock::now();
    const WsString digest = ComputeFileChecksum(path, hashed);
    const double seconds = SecondsSince(start);
    return digest.empty() ? 1 : Report(hashed, seconds);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (mode == L"file" && argc == 4) {
        DeleteFileW(argv[3]);
        return DownloadToFile(argv[2], argv[3]);
    }
    if (mode == L"resume" && argc == 4)
        return DownloadToFile(argv[2], argv[3]);
    if (mode == L"memory" && argc == 3)
        return DownloadToMemory(argv[2]);
    if (mode == L"query" && argc == 3)
        return QueryRoundTrips(_wtoi(argv[2]));
    if (mode == L"query-packet" && argc == 3)
        return WriteQueryPacket(argv[2]);
    if (mode == L"checksum" && argc == 3)
        return Checksum(argv[2]);
    std::fprintf(stderr,
                 "usage: korvel-bench file URL PATH | resume URL PATH | memory URL | query N |"
                 " query-packet PATH | checksum PATH\n");
    return 2;
}
