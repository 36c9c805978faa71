// The library behind an HTTP proxy, set the way a machine sets one: ctest
// starts this program with http_proxy naming one of the tinyproxy instances of
// scripts/proxy-server.sh (the open one for OpenProxy, the one that demands
// Basic credentials for AuthenticatingProxy), and the library's preconfigured
// internet access follows it.
#include "tests/api/ExportFixture.h"

#include <algorithm>
#include <map>
#include <sstream>

using namespace korvel::test;

namespace {

// A proxy's demand ends a call without a wait.
constexpr DWORD kDemandMs = 5000;

// One of the proxies, after checking that http_proxy names it: without that,
// these tests would not be testing a proxy at all.
template <const wchar_t* kKind> class ProxyTest : public ExportFixture {
protected:
    ProxyTest() : folder_(FindServerFolder(L"KORVEL_PROXY_DIR", kKind + std::wstring(L"\\port")))
    {
        wchar_t setting[260] = L"";
        GetEnvironmentVariableW(L"http_proxy", setting, 260);
        EXPECT_EQ(std::wstring(setting), L"http://127.0.0.1:" + std::to_wstring(folder_.port));
    }

    // Every request the proxy has passed on or refused so far.
    std::string ProxyLog() const
    {
        return ReadWholeFile(folder_.path + L"\\" + kKind + L"\\tinyproxy.log").value_or("");
    }

    ServerFolder folder_;
};

constexpr wchar_t kOpen[] = L"open";
constexpr wchar_t kAuth[] = L"auth";
using OpenProxy = ProxyTest<kOpen>;
using AuthenticatingProxy = ProxyTest<kAuth>;

} // namespace

TEST_F(OpenProxy, TransfersPassThroughItUnchanged)
{
    SetFlags(1);
    constexpr uint64_t kSize = 5000000;
    const std::wstring fileUrl =
        Server().Url(Tagged(ScriptedServer::UniqueTag("proxied-file"), L"size=5000000"));
    const std::wstring target = TempTarget("proxied.bin");
    EXPECT_EQ(DownloadToFile(fileUrl, target), kStatusTransferComplete);
    EXPECT_EQ(ScriptedServer::DescribePatternMismatch(target, kSize), "");
    std::filesystem::remove(target);

    const std::wstring packageUrl =
        Server().Url(Tagged(ScriptedServer::UniqueTag("proxied-package"), L"size=200000"));
    EXPECT_EQ(Download(packageUrl), kStatusNotRunning);

    const std::wstring pipelineUrl = Server().Url(
        PipelineScript(ScriptedServer::UniqueTag("proxied-query"), kOkPacket), L"lumq/pipeline");
    PointPipelineAt(pipelineUrl);
    EXPECT_EQ(Query(), 0u);
    EXPECT_EQ(QueryResult(), kOkPacket);

    const std::string log = ProxyLog();
    for (const std::wstring& request :
         {L"GET " + fileUrl + L" HTTP/1.1", L"GET " + packageUrl + L" HTTP/1.1",
          L"POST " + pipelineUrl + L"?cmd=ContentCmd:Query"})
        EXPECT_NE(log.find(Narrow(request)), std::string::npos) << Narrow(request) << "\n" << log;
}

// Every call of a silent session ends in the demand without asking anyone;
// downloads are never silent and ask through the system's dialog, which
// headless Wine does not show for a proxy's demand: they end in it as well.
// The library's log tells whether the dialog was asked for.
TEST_F(AuthenticatingProxy, EveryCallEndsInTheDemand)
{
    const std::wstring logPath = TempTarget("proxy.log");
    enum Call { kPing, kQuery, kPackage, kFile };
    const struct {
        const char* name;
        uint32_t flags;
        Call call;
        bool asksUser;
    } rows[] = {
        {"silent ping", 1, kPing, false},
        {"silent query", 1, kQuery, false},
        {"ping", 0, kPing, true},
        {"query", 0, kQuery, true},
        {"package download", 1, kPackage, true},
        {"file download", 1, kFile, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string tag = ScriptedServer::UniqueTag("behind-auth");
        Reload(logPath);
        SetFlags(row.flags);
        AnswerPipeline(tag, ResponsePacket("<status/>"));
        const std::wstring url = Server().Url(Tagged(tag, L"size=10"));
        const TimedStatus outcome = Timed([&] {
            return row.call == kPing    ? Ping()
                   : row.call == kQuery ? Query()
                   : row.call == kFile  ? DownloadToFile(url, TempTarget("refused.bin"))
                                        : Download(url);
        });
        Unload();
        EXPECT_EQ(outcome.status, kStatusProxyAuthRequired) << std::hex << outcome.status;
        EXPECT_LT(outcome.ms, kDemandMs);
        EXPECT_EQ(Server().RecordCount(tag), 0) << "nothing got past the proxy";
        const std::vector<std::wstring> log = LogMessages(logPath);
        auto logged = [&](const wchar_t* text) {
            return std::any_of(log.begin(), log.end(), [&](const std::wstring& line) {
                return line.find(text) != std::wstring::npos;
            });
        };
        EXPECT_TRUE(logged(L"\tStatus Code: 407"));
        EXPECT_EQ(logged(L"<WsHttpSession::AskForAuthentication>"), row.asksUser);
    }
    DeleteFileW(logPath.c_str());
}

// The proxy answers a POST before it reads the body and closes the connection
// with the body unread, which resets it while the query is still being sent:
// the demand must still come out, every time.
TEST_F(AuthenticatingProxy, SilentQueriesAlwaysGetTheDemand)
{
    SetFlags(1);
    const std::string tag = ScriptedServer::UniqueTag("behind-auth-query");
    AnswerPipeline(tag, ResponsePacket("<status/>"));
    std::map<uint32_t, int> outcomes;
    DWORD slowestMs = 0;
    for (int i = 0; i < 50; ++i) {
        const TimedStatus outcome = Timed([&] { return Query(); });
        ++outcomes[outcome.status];
        slowestMs = std::max(slowestMs, outcome.ms);
    }
    EXPECT_LT(slowestMs, kDemandMs);
    std::ostringstream seen;
    for (const auto& [status, count] : outcomes)
        seen << std::hex << status << ": " << std::dec << count << "  ";
    EXPECT_EQ(outcomes[kStatusProxyAuthRequired], 50) << seen.str();
    EXPECT_EQ(Server().RecordCount(tag), 0);
}
