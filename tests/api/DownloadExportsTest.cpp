// Both download versions as a host drives them through the exports, against
// the scripted local server.
#include "tests/api/ExportFixture.h"

#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

using namespace korvel::test;

namespace {

// The file download of one row: the target starts with `partial` bytes of
// the server's pattern, the server follows `script` (plus size=kFileSize),
// and the transfer must end in `status`, the file either as the server's
// kFileSize bytes or as the partial file, untouched.
constexpr uint64_t kFileSize = 1u << 20;
constexpr uint32_t kAnyFailure = 0xFFFFFFFF;
enum FileEnds { AsServerBytes, AsPartialIntact };
struct FileRow {
    const char* name;
    uint64_t partial;
    std::wstring script;
    uint32_t status;
    FileEnds ends;
    int requests = 0;     // the requests the server must see, when not 0
    bool figures = false; // the transfer's figures end at the file's size
};

class DownloadExports : public ExportFixture {
protected:
    // Runs one row in a session of its own thread; failures are collected,
    // not reported, so that rows may run side by side.
    void RunFileRow(uint32_t id, const FileRow& row, const std::wstring& target,
                    std::vector<std::string>& failures)
    {
        auto fail = [&](const std::string& what) { failures.push_back(row.name + (": " + what)); };
        WritePattern(target, row.partial);
        const std::string tag = ScriptedServer::UniqueTag("file");
        const std::wstring url =
            Server().Url(Tagged(tag, row.script + L"size=" + std::to_wstring(kFileSize)));
        const uint32_t state = DownloadToFile(url, target, id);
        if (row.status == kAnyFailure ? static_cast<int32_t>(state) >= 0 : state != row.status)
            fail("ended in state " + std::to_string(state));
        const bool whole = row.ends == AsServerBytes;
        uint64_t received = 0;
        uint64_t total = 0;
        K().WsUdDownloadCheck2(id, 0, &received, &total);
        // A continuation's end is known from its range, with or without a length.
        if (row.figures && (received != kFileSize || total != kFileSize))
            fail(std::to_string(received) + " of " + std::to_string(total) + " bytes");
        const uint64_t size = whole ? kFileSize : row.partial;
        const std::string mismatch = ScriptedServer::DescribePatternMismatch(target, size);
        if (!mismatch.empty() && (whole || size != 0 || std::filesystem::exists(target)))
            fail(mismatch);
        if (row.requests == 0)
            return;
        if (Server().RecordCount(tag) != row.requests)
            fail(std::to_string(Server().RecordCount(tag)) + " requests");
        // Only the first request may ask for a range: no body is fetched twice.
        for (int n = 1; n <= row.requests; ++n) {
            const std::string head = Server().RecordedHead(tag, n).value_or("");
            const std::string range = n == 1 && row.partial != 0
                                          ? "Range: bytes=" + std::to_string(row.partial) + "-\r\n"
                                          : "\r\nRange:";
            if ((head.find(range) != std::string::npos) != (n == 1 && row.partial != 0))
                fail("request " + std::to_string(n) + " " + head);
        }
    }
};

} // namespace

TEST_F(DownloadExports, FirstVersionEndsOnceWithItsFigures)
{
    const struct {
        const wchar_t* script;
        uint32_t waitMs;
        uint32_t submitted;
        uint32_t ended; // after polling, when the submit left it running
        double progress;
        uint8_t sizeKnown;
    } rows[] = {
        {L"delay=300;size=200000", 0, kStatusPending, kStatusSuccess, 1.0, 1},
        {L"nolength=1;size=50000;stallafter=10000;stallms=400", 0, kStatusPending, kStatusSuccess,
         0.0, 0},
        {L"size=5000", 10000, kStatusNotRunning, 0, 1.0, 1},
        {L"delay=3000;size=5", 300, kStatusTimeout, 0, 1.0, 1},
        {L"status=404", 10000, kStatusNotFound, 0, 1.0, 1},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(Narrow(row.script));
        double progress = -1.0;
        uint8_t sizeKnown = 2;
        const uint32_t submitted = K().WsUdDownloadSubmit(Id(), Server().Url(row.script).c_str(),
                                                          row.waitMs, &progress, &sizeKnown);
        EXPECT_EQ(submitted, row.submitted);
        if (submitted == kStatusPending) {
            EXPECT_EQ(progress + sizeKnown, 0.0) << "nothing known before the headers";
            const PackageOutcome outcome = DownloadToEnd(Id());
            EXPECT_EQ(outcome.status, row.ended);
            EXPECT_EQ(outcome.completions, 1);
            progress = outcome.progress;
            sizeKnown = outcome.sizeKnown;
            EXPECT_EQ(K().WsUdDownloadCheck(Id(), 0, &progress, &sizeKnown), kStatusNotRunning);
        }
        if (submitted != kStatusTimeout && submitted != kStatusNotFound) {
            EXPECT_EQ(progress, row.progress);
            EXPECT_EQ(sizeKnown, row.sizeKnown);
        }
    }
}

TEST_F(DownloadExports, SecondSubmitCancelsTheFirstAndFetchesTheNewUrl)
{
    const std::string first = ScriptedServer::UniqueTag("first");
    const std::string second = ScriptedServer::UniqueTag("second");
    EXPECT_EQ(
        Download(Server().Url(Tagged(first, L"size=2000000;stallafter=50000;stallms=600")), 0),
        kStatusPending);
    // The new transfer may already be over when the submit takes its look (0),
    // or even before its zero wait ends, when the run joins it (0x40001001).
    const uint32_t submitted = Download(Server().Url(Tagged(second, L"size=3000")), 0);
    ASSERT_TRUE(submitted == kStatusPending || submitted == kStatusSuccess ||
                submitted == kStatusNotRunning)
        << submitted;
    const PackageOutcome outcome = DownloadToEnd(Id());
    EXPECT_EQ(outcome.completions + (submitted != kStatusPending), 1);
    EXPECT_EQ(outcome.status, submitted == kStatusPending ? 0u : kStatusNotRunning);
    EXPECT_EQ(Server().RecordCount(first), 1);
    EXPECT_EQ(Server().RecordCount(second), 1);
}

// A partial file is continued (or, by a server that ignores or misplaces the
// range, rewritten) and a broken answer costs it nothing; a gzip body is
// decoded exactly once. Ranged answers whose headers do not continue the file
// exactly are asked for again without a range; lengths that cannot be held fail.
TEST_F(DownloadExports, FilesResumeOrStayWhole)
{
    constexpr uint64_t kHalf = kFileSize / 2;
    constexpr uint32_t complete = kStatusTransferComplete, unreachable = kStatusServerUnreachable;
    const FileRow rows[] = {
        {"206 too short", kHalf, L"rangelen=1000;", complete, AsServerBytes, 2},
        {"206 past the end", kHalf, L"header=Content-Range:bytes%20524288-1048600%2F1048601;",
         complete, AsServerBytes, 2},
        {"206 of another length", kHalf, L"header=Content-Range:bytes%20524288-1048575%2F2000000;",
         complete, AsServerBytes, 2},
        {"206 without its range", kHalf, L"header=Content-Range:bytes%20*%2F1048576;", complete,
         AsServerBytes, 2},
        {"huge length", kHalf, L"header=Content-Length:18446744073709551615;", unreachable,
         AsPartialIntact, 2},
        {"length past 64 bits", kHalf, L"header=Content-Length:99999999999999999999999;",
         unreachable, AsPartialIntact, 2},
        {"wrapping length", kHalf, L"header=Content-Length:18446744073709027328;", unreachable,
         AsServerBytes, 2},
        {"416 of another length", kFileSize, L"header=Content-Range:bytes%20*%2F999;", complete,
         AsServerBytes, 2},
        {"fresh", 0, L"", complete, AsServerBytes, 1, true},
        {"resumed", kHalf, L"", complete, AsServerBytes, 1, true},
        {"resumed, no length", kHalf, L"nolength=1;", complete, AsServerBytes, 1, true},
        {"range ignored", kHalf, L"range=ignore;", complete, AsServerBytes, 1, true},
        {"range misplaced", kHalf, L"range=wrongstart;", complete, AsServerBytes, 2, true},
        {"already whole (416)", kFileSize, L"", complete, AsServerBytes, 1, true},
        {"longer local file", kFileSize + 5000, L"", complete, AsServerBytes, 2, true},
        {"server error", kHalf, L"status=503;", unreachable, AsPartialIntact, 1},
        {"gzip", 0, L"gzip=1;", complete, AsServerBytes, 1},
    };
    std::vector<std::string> failures;
    const std::wstring target = TempTarget("rows.bin");
    for (const FileRow& row : rows)
        RunFileRow(Id(), row, target, failures);
    for (const std::string& failure : failures)
        ADD_FAILURE() << failure;
    std::filesystem::remove(target);
}

// A file that changes on the server between two attempts is fetched again,
// whole, and never spliced onto the bytes of the version the target holds:
// the resume names that version in If-Range, and a 206 that names another
// version (from a server that ignores If-Range) is not taken as the rest of
// the file. Against the scripted server, which can cut a transfer, and nginx
// serving the same files folder.
TEST_F(DownloadExports, AChangedFileIsFetchedAgainNeverSpliced)
{
    const std::string name = ScriptedServer::UniqueTag("versioned");
    const std::wstring served = Server().FileDir() + L"\\" + Widened(name);
    const std::wstring target = TempTarget("versioned.bin");
    const uint16_t nginxPort = FindServerFolder(L"KORVEL_TLS_SERVER_DIR", L"port-files").port;
    const std::wstring viaNginx =
        L"http://127.0.0.1:" + std::to_wstring(nginxPort) + L"/files/" + Widened(name);
    // Each version has the same size and other bytes, and a later time.
    auto version = [](int v) {
        std::string bytes(kFileSize, '\0');
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>((i * 131 + v * 7) ^ (i >> 11));
        return bytes;
    };
    const struct {
        const char* step;
        int serves;         // the version on the server
        const wchar_t* how; // a script for the scripted server, or nginx
        uint64_t keep;      // the test cuts the target to this size first, when not 0
        uint32_t status;
        uint64_t holds;      // the bytes of the served version the target ends with
        const char* ifRange; // the If-Range line the first request carries, if any
    } steps[] = {
        {"cut", 1, L"etag=v1;cut=600000;", 0, kStatusServerUnreachable, 600000, ""},
        // The If-Range is met as if the file had not changed, and the 206
        // names the new version.
        {"changed, 206 of it", 2, L"etag=v1;header=ETag:%22v2%22;", 0, kStatusTransferComplete,
         kFileSize, "If-Range: \"v1\"\r\n"},
        {"changed while cut", 3, L"", 300000, kStatusTransferComplete, kFileSize,
         "If-Range: \"v2\"\r\n"},
        {"changed while whole", 4, L"", 0, kStatusTransferComplete, kFileSize, "If-Range: \""},
        {"unchanged and whole", 4, L"", 0, kStatusTransferComplete, kFileSize, "If-Range: \""},
        {"nginx: changed while whole", 5, nullptr, 0, kStatusTransferComplete, kFileSize, nullptr},
        {"nginx: changed while cut", 6, nullptr, 300000, kStatusTransferComplete, kFileSize,
         nullptr},
        {"nginx: unchanged and cut", 6, nullptr, 300000, kStatusTransferComplete, kFileSize,
         nullptr},
    };
    int serving = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.step);
        if (step.serves != serving) {
            std::ofstream(std::filesystem::path(served), std::ios::binary) << version(step.serves);
            std::filesystem::last_write_time(served, std::filesystem::file_time_type::clock::now() +
                                                         std::chrono::seconds(step.serves));
            serving = step.serves;
        }
        if (step.keep != 0)
            std::filesystem::resize_file(target, step.keep);
        const std::string tag = ScriptedServer::UniqueTag("versioned");
        const std::wstring url =
            step.how ? Server().Url(Tagged(tag, step.how + (L"file=" + Widened(name)))) : viaNginx;
        EXPECT_EQ(DownloadToFile(url, target), step.status);
        EXPECT_TRUE(ReadWholeFile(target) == version(step.serves).substr(0, step.holds));
        if (step.how) {
            const std::string head = Server().RecordedHead(tag).value_or("");
            EXPECT_EQ(head.find("\r\nIf-Range:") != std::string::npos, *step.ifRange != '\0');
            EXPECT_NE(head.find(step.ifRange), std::string::npos) << head;
        }
    }
    std::filesystem::remove(served);
    std::filesystem::remove(target);
    std::filesystem::remove(target + L".validator");
}

// An answer that breaks off anywhere inside its status line and headers (with
// a FIN or a reset) brings no body: the transfer fails, and a partial file
// keeps every byte, whatever the headers that did arrive say. Every row runs
// once per cut offset, the rows side by side.
TEST_F(DownloadExports, AnswerCutInsideItsHeadersCostsNoByte)
{
    constexpr uint64_t kPartial = 20000;
    // Longer than any header block of these answers.
    constexpr int kLongestHead = 260;
    const FileRow rows[] = {
        {"fresh", 0, L"", kAnyFailure, AsPartialIntact},
        {"fresh, reset", 0, L"reset=1;", kAnyFailure, AsPartialIntact},
        {"partial", kPartial, L"", kAnyFailure, AsPartialIntact},
        {"partial, reset", kPartial, L"reset=1;", kAnyFailure, AsPartialIntact},
        {"partial, range ignored", kPartial, L"range=ignore;", kAnyFailure, AsPartialIntact},
    };
    std::vector<std::string> failures[std::size(rows)];
    std::vector<std::thread> threads;
    for (size_t i = 0; i < std::size(rows); ++i) {
        threads.emplace_back([&, i] {
            const uint32_t id = Open();
            const std::wstring target = TempTarget("cut-head-" + std::to_string(i));
            for (int cut = 0; cut <= kLongestHead; ++cut) {
                FileRow row = rows[i];
                row.script += L"cuthead=" + std::to_wstring(cut) + L";";
                RunFileRow(id, row, target, failures[i]);
            }
            K().WsUdClose(id);
            std::filesystem::remove(target);
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    for (const auto& rowFailures : failures)
        for (const std::string& failure : rowFailures)
            ADD_FAILURE() << failure;
}

// On a slow link the figures move with every piece that arrives, and closing
// the session stops the transfer at once.
TEST_F(DownloadExports, SlowLinkShowsProgressAndStopsAtOnce)
{
    const std::wstring target = TempTarget("slow-link.bin");
    EXPECT_EQ(K().WsUdDownloadSubmit2(Id(), Server().Url(L"size=1000000;rate=65536").c_str(),
                                      target.c_str()),
              kStatusPending);
    uint64_t received = 0;
    uint64_t total = 0;
    uint64_t lastReceived = 0;
    DWORD lastChange = GetTickCount();
    DWORD longestStill = 0;
    for (const DWORD end = GetTickCount() + 1500; GetTickCount() < end; Sleep(10)) {
        K().WsUdDownloadCheck2(Id(), 0, &received, &total);
        if (received == lastReceived)
            continue;
        if (lastReceived != 0)
            longestStill = std::max<DWORD>(longestStill, GetTickCount() - lastChange);
        lastReceived = received;
        lastChange = GetTickCount();
    }
    EXPECT_GT(received, 0u);
    EXPECT_LT(received, 1000000u);
    EXPECT_LE(longestStill, 250u) << "progress stood still";
    EXPECT_LT(Timed([&] { return K().WsUdClose(Id()); }).ms, kPromptMs);
    EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, std::filesystem::file_size(target)));
    std::filesystem::remove(target);
}
