// Throughput of the library's transfers, for bench/run.sh to compare with curl
// against the same local server. Prints one line: the status the library
// ended with (for a checksum, the digest), then bytes, seconds and the peak
// working set in MiB; the exit code is 0 only when the run succeeded.
//
//   korvel-bench file URL PATH       second-version download through korvel.dll
//                                    into a new file
//   korvel-bench resume URL PATH     the same, continuing what PATH holds
//   korvel-bench memory URL          one transaction into memory (the query path)
//   korvel-bench query N URL PACKET  N synchronous queries through korvel.dll to the
//                                    pipeline the registry names, each followed
//                                    or preceded by a bare asynchronous WinINet
//                                    post of the packet file to URL with its own
//                                    internet handle: the platform's floor for a
//                                    query. Prints the status, both medians and
//                                    both 10th percentiles, in ms
//   korvel-bench query-packet PATH   writes the request body those queries send
//   korvel-bench checksum PATH       MD5 of a file as the transfer verifies it
#include "base/WsStatus.h"
#include "http/FileChecksum.h"
#include "http/WsHttpRequest.h"
#include "packet/PipelineConfig.h"
#include "packet/WsContentQuery.h"
#include "packet/WsPacket.h"
#include "tools/host/KorvelLibrary.h"

#include <psapi.h>
#include <wininet.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace korvel;

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string Hex(uint32_t status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", status);
    return text;
}

// The outcome, bytes, seconds and the process's peak working set in MiB.
int Report(const std::string& outcome, bool succeeded, uint64_t bytes, double seconds)
{
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    std::printf("%s %llu %.6f %.1f\n", outcome.c_str(), static_cast<unsigned long long>(bytes),
                seconds, counters.PeakWorkingSetSize / 1048576.0);
    return succeeded && bytes != 0 ? 0 : 1;
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
    uint32_t state = ::kStatusTransferStarted;
    // Ten minutes at most.
    for (int i = 0; i < 600000; ++i) {
        state = korvel->WsUdDownloadCheck2(id, 0, &received, &total);
        if (state == ::kStatusTransferComplete || IsFailure(state) ||
            state == ::kStatusTransferIdle)
            break;
        Sleep(1);
    }
    const double seconds = SecondsSince(start);
    korvel->WsUdClose(id);
    return Report(Hex(state), state == ::kStatusTransferComplete, received, seconds);
}

int DownloadToMemory(const std::wstring& url)
{
    WsHttpRequest request(L"korvel-bench", L"1.0");
    // The process's first transaction also sets WinINet up; curl's figure
    // leaves its own start-up out too.
    request.SetBaseUrl(url.substr(0, url.rfind(L'/') + 1));
    try {
        request.Run(INFINITE, true);
    } catch (korvel::WsStatus) {
        // Any answer will do.
    }
    request.SetBaseUrl(url);
    const auto start = Clock::now();
    uint32_t status = ::kStatusSuccess;
    try {
        request.Run(INFINITE, true);
    } catch (korvel::WsStatus failure) {
        status = failure;
    }
    return Report(Hex(status), status == ::kStatusSuccess, request.GetResponse().size(),
                  SecondsSince(start));
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
    std::ofstream file(std::filesystem::path(path), std::ios::binary);
    file.write(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
    std::printf("%llu\n", static_cast<unsigned long long>(text.size() * sizeof(wchar_t)));
    return file.good() ? 0 : 1;
}

// One asynchronous WinINet transaction, awaited on an event its callback sets.
struct BareCompletion {
    HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD error = 0;

    static void CALLBACK Callback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD)
    {
        auto* self = reinterpret_cast<BareCompletion*>(context);
        if (status != INTERNET_STATUS_REQUEST_COMPLETE)
            return;
        self->error = static_cast<INTERNET_ASYNC_RESULT*>(info)->dwError;
        SetEvent(self->event);
    }
    bool Await(BOOL done)
    {
        if (done)
            return true;
        if (GetLastError() != ERROR_IO_PENDING)
            return false;
        WaitForSingleObject(event, INFINITE);
        return error == 0;
    }
};

bool BarePost(const URL_COMPONENTSW& url, const std::string& packet, BareCompletion& completion)
{
    HINTERNET internet = InternetOpenW(L"korvel-bench", INTERNET_OPEN_TYPE_PRECONFIG, nullptr,
                                       nullptr, INTERNET_FLAG_ASYNC);
    InternetSetStatusCallbackW(internet, &BareCompletion::Callback);
    const auto context = reinterpret_cast<DWORD_PTR>(&completion);
    const std::wstring host(url.lpszHostName, url.dwHostNameLength);
    const std::wstring path(url.lpszUrlPath, url.dwUrlPathLength);
    HINTERNET connection = InternetConnectW(internet, host.c_str(), url.nPort, nullptr, nullptr,
                                            INTERNET_SERVICE_HTTP, 0, context);
    HINTERNET request = HttpOpenRequestW(connection, L"POST", path.c_str(), nullptr, nullptr,
                                         nullptr, INTERNET_FLAG_NO_CACHE_WRITE, context);
    HttpAddRequestHeadersW(request, L"Accept-Encoding: gzip\r\n", DWORD(-1),
                           HTTP_ADDREQ_FLAG_ADD_IF_NEW);
    bool ok = completion.Await(HttpSendRequestW(
        request, nullptr, 0, const_cast<char*>(packet.data()), static_cast<DWORD>(packet.size())));
    std::vector<char> block(64 << 10);
    while (ok) {
        INTERNET_BUFFERSA buffers = {};
        buffers.dwStructSize = sizeof buffers;
        buffers.lpvBuffer = block.data();
        buffers.dwBufferLength = static_cast<DWORD>(block.size());
        if (!InternetReadFileExA(request, &buffers, IRF_ASYNC | IRF_NO_WAIT, context)) {
            ok = completion.Await(FALSE);
            continue;
        }
        if (buffers.dwBufferLength == 0)
            break;
    }
    for (HINTERNET handle : {request, connection, internet}) {
        InternetSetStatusCallbackW(handle, nullptr);
        InternetCloseHandle(handle);
    }
    return ok;
}

// The value below which the given fraction of the values lies.
double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(fraction * static_cast<double>(values.size() - 1))];
}

// Milliseconds of N queries through the exports and of N bare posts, taken in
// turns so that both see the same load of the machine. Under Wine on a small
// virtual machine the times of both spread over two modes about a millisecond
// apart, and which mode holds the median changes from run to run; the 10th
// percentile shows what each costs in the fast mode.
int QueryRoundTrips(int count, const std::wstring& url, const std::wstring& packetPath)
{
    std::ifstream file(std::filesystem::path(packetPath), std::ios::binary);
    const std::string packet(std::istreambuf_iterator<char>(file), {});
    wchar_t host[256];
    wchar_t path[2048];
    URL_COMPONENTSW parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 2048;
    InternetCrackUrlW(url.c_str(), 0, 0, &parts);
    BareCompletion completion;

    host::KorvelLibrary korvel;
    uint32_t id = 0;
    korvel->WsUdOpen(L"korvel-bench", L"1.0", L"", L"", L"en-US", &id);
    korvel->WsUdQueryOpenGroup(id, 0);
    korvel->WsUdQueryAddTerm(id, L"ProductId", L"1234");
    korvel->WsUdQueryAddText(id, L"Title", L"driver", 0, 2);
    korvel->WsUdQueryAddText(id, L"Version", L"2.0", 0, 4);
    korvel->WsUdQueryCloseGroup(id);
    std::vector<double> library;
    std::vector<double> floor;
    uint32_t status = ::kStatusSuccess;
    // The first of each sets up what a process sets up once; curl's figure
    // leaves its own start-up out too.
    for (int i = -1; i < count && status == ::kStatusSuccess; ++i) {
        for (int turn = 0; turn < 2; ++turn) {
            const auto start = Clock::now();
            if ((turn + i) % 2 == 0) {
                status = korvel->WsUdQuerySubmit(id, 10, 10000);
                library.push_back(SecondsSince(start) * 1000.0);
            } else if (BarePost(parts, packet, completion)) {
                floor.push_back(SecondsSince(start) * 1000.0);
            } else {
                std::printf("%s bare post failed with error %lu\n", Hex(status).c_str(),
                            GetLastError());
                return 1;
            }
        }
    }
    korvel->WsUdClose(id);
    if (status != ::kStatusSuccess) {
        std::printf("%s\n", Hex(status).c_str());
        return 1;
    }
    library.erase(library.begin());
    floor.erase(floor.begin());
    std::printf("%s %.3f %.3f %.3f %.3f\n", Hex(status).c_str(), Percentile(library, 0.5),
                Percentile(floor, 0.5), Percentile(library, 0.1), Percentile(floor, 0.1));
    return 0;
}

int Checksum(const std::wstring& path)
{
    uint64_t hashed = 0;
    const auto start = Clock::now();
    const WsString digest = ComputeFileChecksum(path, hashed);
    const double seconds = SecondsSince(start);
    return Report(digest.empty() ? "none" : std::string(digest.begin(), digest.end()),
                  !digest.empty(), hashed, seconds);
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
    if (mode == L"query" && argc == 5 && _wtoi(argv[2]) > 0)
        return QueryRoundTrips(_wtoi(argv[2]), argv[3], argv[4]);
    if (mode == L"query-packet" && argc == 3)
        return WriteQueryPacket(argv[2]);
    if (mode == L"checksum" && argc == 3)
        return Checksum(argv[2]);
    std::fprintf(stderr, "usage: korvel-bench file URL PATH | resume URL PATH | memory URL |"
                         " query N URL PACKET | query-packet PATH | checksum PATH\n");
    return 2;
}
