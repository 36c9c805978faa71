// The library behind an HTTP proxy, set the way a machine sets one: ctest
// starts this program with http_proxy naming one of the tinyproxy instances of
// scripts/proxy-server.sh (the open one for OpenProxy, the one that demands
// Basic credentials for AuthenticatingProxy), and the library's preconfigured
// internet access follows it.
#include "tests/api/HostSession.h"
#include "tests/support/ScriptedServer.h"

#include <algorithm>
#include <filesystem>
#include <map>
#include <sstream>

using korvel::host::KorvelLibrary;
using namespace korvel::test;

namespace {

const ScriptedServer& Server()
{
    return ScriptedServer::Get();
}

// One of the proxies, after checking that http_proxy names it: without that,
// these tests would not be testing a proxy at all.
struct ProxyUnderTest {
    explicit ProxyUnderTest(const std::wstring& kind)
        : folder(FindServerFolder(L"KORVEL_PROXY_DIR", kind + L"\\port")), kind(kind)
    {
        wchar_t setting[260] = L"";
        GetEnvironmentVariableW(L"http_proxy", setting, 260);
        EXPECT_EQ(std::wstring(setting), L"http://127.0.0.1:" + std::to_wstring(folder.port));
    }

    // Every request the proxy has passed on or refused so far.
    std::string Log() const
    {
        return ReadWholeFile(folder.path + L"\\" + kind + L"\\tinyproxy.log").value_or("");
    }

    ServerFolder folder;
    std::wstring kind;
};

std::wstring Tagged(const std::string& tag, const std::wstring& script)
{
    return L"tag=" + std::wstring(tag.begin(), tag.end()) + L";" + script;
}

// The start of the request line that the proxy logs for a URL.
std::string ProxiedRequest(const char* verb, const std::wstring& url)
{
    return std::string(verb) + " " + std::string(url.begin(), url.end());
}

std::wstring TempPath(const char* name)
{
    const auto path =
        std::filesystem::temp_directory_path() / (std::string("korvel-proxy-") + name);
    std::filesystem::remove(path);
    return path.wstring();
}

// A proxy's demand ends a call without a wait.
constexpr DWORD kPromptMs = 5000;

} // namespace

TEST(OpenProxy, TransfersPassThroughItUnchanged)
{
    const ProxyUnderTest proxy(L"open");
    KorvelLibrary korvel;
    HostSession session(korvel, 1);

    constexpr uint64_t kSize = 5000000;
    const std::wstring fileUrl =
        Server().Url(Tagged(ScriptedServer::UniqueTag("proxied-file"), L"size=5000000"));
    const std::wstring target = TempPath("file.bin");
    EXPECT_EQ(session.DownloadToFile(fileUrl, target), kStatusTransferComplete);
    EXPECT_TRUE(ScriptedServer::FileHoldsPattern(target, kSize))
        << ScriptedServer::DescribePatternMismatch(target, kSize);
    std::filesystem::remove(target);

    const std::wstring packageUrl =
        Server().Url(Tagged(ScriptedServer::UniqueTag("proxied-package"), L"size=200000"));
    EXPECT_EQ(session.Download(packageUrl), kStatusNotRunning);

    const std::string queryTag = ScriptedServer::UniqueTag("proxied-query");
    const std::string packet = ResponsePacket("<status code=\"0\">OK</status>", "today");
    const std::wstring pipelineUrl =
        Server().Url(PipelineScript(queryTag, packet), L"lumq/pipeline");
    session.SetPipelineUrl(pipelineUrl);
    EXPECT_EQ(session.Query(), 0u);
    EXPECT_EQ(session.QueryResult(), packet);

    const std::string log = proxy.Log();
    EXPECT_NE(log.find(ProxiedRequest("GET", fileUrl + L" HTTP/1.1")), std::string::npos) << log;
    EXPECT_NE(log.find(ProxiedRequest("GET", packageUrl + L" HTTP/1.1")), std::string::npos) << log;
    EXPECT_NE(log.find(ProxiedRequest("POST", pipelineUrl + L"?cmd=ContentCmd:Query")),
              std::string::npos)
        << log;
}

// Every call of a silent session ends in the demand without asking anyone;
// downloads are never silent and ask through the system's dialog, which
// headless Wine does not show for a proxy's demand: they end in it as well.
// The library's log tells whether the dialog was asked for.
TEST(AuthenticatingProxy, EveryCallEndsInTheDemand)
{
    const ProxyUnderTest proxy(L"auth");
    const std::wstring logPath = TempPath("library.log");
    using Call = uint32_t (*)(HostSession&, const std::wstring& url);
    const struct {
        const char* name;
        uint32_t flags;
        Call call;
        bool asksUser;
    } cases[] = {
        {"silent ping", 1, [](HostSession& s, const std::wstring&) { return s.Ping(); }, false},
        {"silent query", 1, [](HostSession& s, const std::wstring&) { return s.Query(); }, false},
        {"ping", 0, [](HostSession& s, const std::wstring&) { return s.Ping(); }, true},
        {"query", 0, [](HostSession& s, const std::wstring&) { return s.Query(); }, true},
        {"package download", 1,
         [](HostSession& s, const std::wstring& url) { return s.Download(url); }, true},
        {"file download", 1,
         [](HostSession& s, const std::wstring& url) {
             return s.DownloadToFile(url, TempPath("refused.bin"));
         },
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string tag = ScriptedServer::UniqueTag("behind-auth");
        TimedStatus outcome{};
        {
            DeleteFileW(logPath.c_str());
            ScopedRegistryValue log(L"SOFTWARE\\Talvessa\\InternalTesting", L"vostrellogging",
                                    logPath);
            KorvelLibrary korvel;
            HostSession session(korvel, c.flags);
            session.SetPipelineUrl(
                Server().Url(PipelineScript(tag, ResponsePacket("<status/>")), L"lumq/pipeline"));
            outcome = Timed([&] { return c.call(session, Server().Url(Tagged(tag, L"size=10"))); });
        }
        EXPECT_EQ(outcome.status, kStatusProxyAuthRequired) << std::hex << outcome.status;
        EXPECT_LT(outcome.ms, kPromptMs);
        EXPECT_EQ(Server().RecordCount(tag), 0) << "nothing got past the proxy";
        const std::string log = ReadWholeFile(logPath).value_or("");
        const std::wstring text(reinterpret_cast<const wchar_t*>(log.data()), log.size() / 2);
        EXPECT_NE(text.find(L"\tStatus Code: 407"), std::wstring::npos);
        EXPECT_EQ(text.find(L"<WsHttpSession::AskForAuthentication>") != std::wstring::npos,
                  c.asksUser);
    }
    DeleteFileW(logPath.c_str());
}

// The proxy answers a POST before it reads the body and closes the connection
// with the body unread, which resets it while the query is still being sent:
// the demand must still come out, every time.
TEST(AuthenticatingProxy, SilentQueriesAlwaysGetTheDemand)
{
    const ProxyUnderTest proxy(L"auth");
    KorvelLibrary korvel;
    HostSession session(korvel, 1);
    const std::string tag = ScriptedServer::UniqueTag("behind-auth-query");
    session.SetPipelineUrl(
        Server().Url(PipelineScript(tag, ResponsePacket("<status/>")), L"lumq/pipeline"));
    std::map<uint32_t, int> outcomes;
    DWORD slowestMs = 0;
    for (int i = 0; i < 50; ++i) {
        const TimedStatus outcome = Timed([&] { return session.Query(); });
        ++outcomes[outcome.status];
        slowestMs = std::max(slowestMs, outcome.ms);
    }
    EXPECT_LT(slowestMs, kPromptMs);
    EXPECT_EQ(outcomes[kStatusProxyAuthRequired], 50) << [&] {
        std::ostringstream others;
        for (const auto& [status, count] : outcomes)
            others << std::hex << status << ": " << std::dec << count << "  ";
        return others.str();
    }();
    EXPECT_EQ(Server().RecordCount(tag), 0);
}
