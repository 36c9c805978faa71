// The HTTP session against the scripted local server: status mapping and
// whole transfers into memory and into files. The request headers the library
// sends are checked on the wire by PacketTest's pipeline requests.
#include "http/WsHttpSession.h"

#include "base/Registry.h"
#include "base/WsStatus.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace korvel;
using namespace korvel::test;

namespace {

// Runs one transaction and reports how it ended: the raised status, or the session's final state.
uint32_t SubmitStatus(WsHttpSession& session, const std::wstring& url, std::string& response,
                      const WsString& postData = WsString())
{
    try {
        session.Submit(url, postData, response);
    } catch (WsStatus status) {
        return status;
    }
    WsHttpProgress progress;
    session.GetProgress(progress);
    return progress.status;
}

const ScriptedServer& Server()
{
    return ScriptedServer::Get();
}

std::wstring Script(const std::string& tag, const std::wstring& rest)
{
    return L"tag=" + Widened(tag) + (rest.empty() ? L"" : L";" + rest);
}

} // namespace

// Every answer takes one request: a silent session makes no second attempt, not even when a proxy
// asks for credentials.
TEST(HttpSession, StatusCodesMapToStatuses)
{
    const struct {
        const wchar_t* script;
        uint32_t status;
    } cases[] = {
        {L"status=200", kStatusTransferComplete},     {L"status=206", kStatusTransferComplete},
        {L"status=201", kStatusUnexpectedHttpStatus}, {L"status=204", kStatusUnexpectedHttpStatus},
        {L"status=301", kStatusUnexpectedHttpStatus}, {L"status=302", kStatusUnexpectedHttpStatus},
        {L"status=304", kStatusUnexpectedHttpStatus}, {L"status=300", kStatusServerError},
        {L"status=400", kStatusBadRequest},           {L"status=401", kStatusServerUnreachable},
        {L"status=403", kStatusServerUnreachable},    {L"status=404", kStatusNotFound},
        {L"status=405", kStatusBadRequest},           {L"status=407", kStatusProxyAuthRequired},
        {L"auth=407", kStatusProxyAuthRequired},      {L"status=408", kStatusHttpTimeout},
        {L"status=410", kStatusServerUnreachable},    {L"status=500", kStatusServerError},
        {L"status=501", kStatusUnexpectedHttpStatus}, {L"status=502", kStatusServerUnreachable},
        {L"status=503", kStatusServerUnreachable},    {L"status=504", kStatusServerUnreachable},
        {L"status=505", kStatusBadRequest},
    };
    for (const auto& c : cases) {
        WsHttpSession session;
        session.SetSilent(true);
        std::string response;
        const std::string tag = ScriptedServer::UniqueTag("status");
        const std::wstring url = Server().Url(Script(tag, c.script));
        const std::string label = testing::PrintToString(std::wstring(c.script));
        EXPECT_EQ(SubmitStatus(session, url, response), c.status) << label;
        EXPECT_EQ(Server().RecordCount(tag), 1) << label;
    }
}

TEST(HttpSession, UnreachableServerAndBadUrl)
{
    WsHttpSession session;
    std::string response;
    EXPECT_EQ(SubmitStatus(session, L"not a url", response), kStatusBadUrl);
    // Port 1 on the loopback refuses connections.
    EXPECT_EQ(SubmitStatus(session, L"http://127.0.0.1:1/x", response), kStatusServerUnreachable);
}

// Verifying a large file that is already whole takes a while; an abort stops
// it between blocks and the transaction ends as aborted, without a response.
TEST(HttpTransfer, AbortStopsTheChecksum)
{
    constexpr uint64_t kLarge = 192u << 20;
    ScratchFolder scratch;
    const std::wstring target = scratch / L"target.bin";
    {
        std::ofstream file(std::filesystem::path(target), std::ios::binary);
        for (uint64_t offset = 0; offset < kLarge; offset += 1u << 20)
            file << ScriptedServer::PatternBytes(offset, 1u << 20);
    }
    WsHttpSession session;
    session.SetStreamToFile(true, target, L"00000000000000000000000000000000");
    std::thread aborter([&session] {
        WsHttpProgress progress;
        for (int i = 0; i < 2000; ++i) {
            session.GetProgress(progress);
            if (progress.status == kStatusTransferVerifying && progress.bytesVerified > 0)
                break;
            Sleep(1);
        }
        session.Abort();
    });
    std::string response;
    const uint32_t status =
        SubmitStatus(session, Server().Url(L"size=" + std::to_wstring(kLarge)), response);
    aborter.join();
    EXPECT_EQ(status, kStatusTransferIdle);
    WsHttpProgress progress;
    session.GetProgress(progress);
    EXPECT_LT(progress.bytesVerified, kLarge) << "the checksum ran to its end";
    EXPECT_TRUE(response.empty());
    EXPECT_EQ(std::filesystem::file_size(target), kLarge);
}

// Into a file: DownloadExports.FilesResumeOrStayWhole.
TEST(HttpTransfer, GzipBodiesAreDecodedExactlyOnceInMemory)
{
    // The body itself starts with the gzip magic: decoding it twice would fail.
    const std::string magicText = "\x1F\x8B not compressed twice";
    const struct {
        const wchar_t* script;
        std::string expected;
    } memoryCases[] = {
        {L"gzip=1;body=%3Cpacket%3Ehello%3C%2Fpacket%3E", "<packet>hello</packet>"},
        {L"gzip=1;encoding=GZIP;body=%3Cpacket%3Ehello%3C%2Fpacket%3E", "<packet>hello</packet>"},
        {L"gzip=1;body=%1F%8B%20not%20compressed%20twice", magicText},
        {L"body=%1F%8B%20not%20compressed%20twice", magicText},
        {L"encoding=deflate;body=raw", "raw"},
    };
    for (const auto& c : memoryCases) {
        WsHttpSession session;
        session.SetUseCompression(true);
        std::string response;
        const std::wstring url = Server().Url(Script(ScriptedServer::UniqueTag("gzip"), c.script));
        EXPECT_EQ(SubmitStatus(session, url, response), kStatusTransferComplete) << c.expected;
        EXPECT_EQ(response, c.expected);
    }
}

// An answer fails alike in memory and in a file, or in a file only: a file needs a content type
// and the digest it was promised (in lower case), and one that does not match is kept. A gzip body
// that does not decode fails as unreadable, one cut short as a broken connection; neither leaves a
// decoded temporary file behind.
TEST(HttpTransfer, FailuresInMemoryAndInAFile)
{
    const struct {
        const wchar_t* script;
        const wchar_t* checksum;
        uint32_t memory;
        uint32_t file;
    } cases[] = {
        {L"size=10;ctype=none", L"", kStatusTransferComplete, kStatusBadContentType},
        {L"size=100000", L"6b1237bb4c34b3268422138306a9da00", kStatusTransferComplete,
         kStatusTransferComplete},
        {L"size=100000", L"6B1237BB4C34B3268422138306A9DA00", kStatusTransferComplete,
         kStatusChecksumMismatch},
        {L"size=100000", L"00000000000000000000000000000000", kStatusTransferComplete,
         kStatusChecksumMismatch},
        {L"gzip=bad", L"", kStatusReceiveFailed, kStatusReceiveFailed},
        {L"gzip=1;size=100000;cut=100", L"", kStatusServerUnreachable, kStatusServerUnreachable},
        {L"gzip=1;size=100000;cut=100;reset=1", L"", kStatusServerUnreachable,
         kStatusServerUnreachable},
    };
    for (const auto& c : cases) {
        const std::string label =
            testing::PrintToString(std::wstring(c.script) + L" " + c.checksum);
        const std::wstring url = Server().Url(Script(ScriptedServer::UniqueTag("fail"), c.script));
        // A reset reaches the reader as WinINet's broken connection or, at
        // times under Wine, as the socket's own error, another system error.
        const bool reset = std::wstring(c.script).find(L"reset=1") != std::wstring::npos;
        const auto expect = [&label, reset](uint32_t got, uint32_t expected) {
            EXPECT_TRUE(got == expected || (reset && got == kStatusReceiveFailed))
                << label << " " << std::hex << got;
        };
        WsHttpSession memory;
        memory.SetUseCompression(true);
        std::string response;
        expect(SubmitStatus(memory, url, response), c.memory);

        ScratchFolder scratch;
        const std::wstring target = scratch / L"target.bin";
        WsHttpSession file;
        file.SetStreamToFile(true, target, c.checksum);
        expect(SubmitStatus(file, url, response), c.file);
        EXPECT_FALSE(Exists(target + L".temp")) << label;
        EXPECT_TRUE((c.file != kStatusChecksumMismatch && c.file != kStatusTransferComplete) ||
                    ScriptedServer::FileHoldsPattern(target, 100000))
            << label;
    }
}

// An announced length beyond what the installed browser carries fails before
// any byte is read; one it carries goes on until this server closes early. Only
// a major version that reads as a number counts.
TEST(HttpTransfer, AnnouncedLengthLimitsFollowTheBrowserVersion)
{
    constexpr uint64_t k1GiB = 1ull << 30;
    const struct {
        const wchar_t* version; // nullptr: the registry holds none
        uint64_t length;
        uint32_t status;
    } cases[] = {
        {L"6.0.2900.2180", 2 * k1GiB - 1, kStatusServerUnreachable},
        {L"6.0.2900.2180", 2 * k1GiB, kStatusTooLargeForBrowser7},
        {L"6.0.2900.2180", 5 * k1GiB, kStatusTooLargeForBrowser8},
        {L"7.0", 4 * k1GiB - 1, kStatusServerUnreachable},
        {L"7.0", 4 * k1GiB, kStatusTooLargeForBrowser8},
        {L"8.0.6001.18702", 5 * k1GiB, kStatusServerUnreachable},
        {L"11.0.9600.0", 5 * k1GiB, kStatusServerUnreachable},
        {nullptr, 3 * k1GiB, kStatusTooLargeForBrowser7},
        {L"x.1", 2 * k1GiB, kStatusTooLargeForBrowser7},
        {L"4294967295.0", 2 * k1GiB, kStatusTooLargeForBrowser7},
    };
    for (const auto& c : cases) {
        const ScopedRegistryValue version(InternetExplorerKeyPath(), L"Version", c.version);
        WsHttpSession session;
        std::string response;
        const std::wstring url =
            Server().Url(L"size=1;cut=0;header=Content-Length:" + std::to_wstring(c.length));
        EXPECT_EQ(SubmitStatus(session, url, response), c.status)
            << testing::PrintToString(std::wstring(c.version != nullptr ? c.version : L"none"))
            << ", " << c.length;
    }
}

// The log notes what a host cannot see otherwise: a new target file counted
// as an existing one of 0 bytes, and an encoding that is kept as it came.
TEST(HttpTransfer, LogNotesANewTargetFileAndAnUnsupportedEncoding)
{
    ScratchFolder scratch;
    const std::wstring log = scratch / L"transfer.log";
    const std::wstring target = scratch / L"target.bin";
    {
        ScopedRegistryValue logging(InternalTestingKeyPath(), L"vostrellogging", log);
        WsHttpSession session;
        std::string response;
        ASSERT_EQ(SubmitStatus(session, Server().Url(L"encoding=deflate;body=raw"), response),
                  kStatusTransferComplete);
        session.SetStreamToFile(true, target);
        ASSERT_EQ(SubmitStatus(session, Server().Url(L"size=10"), response),
                  kStatusTransferComplete);
    }
    const std::wstring text = Utf16Text(ReadBytes(log));
    for (const wchar_t* line : {L"]: **ERROR: Unsupported content encoding on response: deflate\n",
                                L"]: \t[Submit]: File already exists: 0\n"})
        EXPECT_NE(text.find(line), std::wstring::npos)
            << testing::PrintToString(std::wstring(line));
}
