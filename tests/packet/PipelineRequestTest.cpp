// Pipeline requests and pings against the scripted server: the registry's
// say in where they go, and what goes on the wire.
#include "packet/DeploymentHosts.h"
#include "packet/PipelineConfig.h"
#include "packet/WsContentQuery.h"
#include "packet/WsPipelineRequest.h"
#include "tests/packet/RaisedStatus.h"
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

#include <optional>

using namespace korvel;
using namespace korvel::test;

namespace {

const wchar_t kPipelineKey[] = L"SOFTWARE\\Talvessa\\Pipeline";

const WsClientInfo kClient{L"HostApp", L"2.1",        L"HostWrap",
                           L"1.0",     CorelibName(), CorelibVersion()};

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// Points the secure pipeline URL at the scripted server with this script.
class PipelineAtServer {
public:
    PipelineAtServer(const std::string& tag, const std::string& body)
        : value_(kPipelineKey, L"S_URL",
                 ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";ctype=text%2Fxml;body=" +
                                               PercentEncode(body),
                                           L"lumq/pipeline"))
    {
    }

private:
    ScopedRegistryValue value_;
};

std::string Head(const std::string& tag)
{
    return ScriptedServer::Get().RecordedHead(tag).value_or("");
}

} // namespace

TEST(PipelineConfig, ServerUrlPrecedence)
{
    const std::wstring wrapperKey = std::wstring(kPipelineKey) + L"\\HostWrap";
    struct Case {
        const wchar_t* pipelineValue;
        const wchar_t* wrapperValue;
        const wchar_t* wrapperName;
        bool secure;
        std::wstring expected;
    } cases[] = {
        {nullptr, nullptr, L"HostWrap", true,
         std::wstring(L"https://") + kDefaultPipelineHost + L"/lumq/pipeline"},
        {nullptr, nullptr, L"HostWrap", false,
         std::wstring(L"http://") + kDefaultPipelineHost + L"/lumq/pipeline"},
        {L"https://main/p", nullptr, L"HostWrap", true, L"https://main/p"},
        {L"https://main/p", L"https://wrap/p", L"HostWrap", true, L"https://wrap/p"},
        {L"https://main/p", L"https://wrap/p", L"", true, L"https://main/p"},
        {nullptr, L"https://wrap/p", L"Other", true,
         std::wstring(L"https://") + kDefaultPipelineHost + L"/lumq/pipeline"},
    };
    for (const auto& c : cases) {
        const wchar_t* name = c.secure ? L"S_URL" : L"URL";
        std::optional<ScopedRegistryValue> pipeline;
        std::optional<ScopedRegistryValue> wrapper;
        std::optional<ScopedRegistryValueAbsent> noPipeline;
        std::optional<ScopedRegistryValueAbsent> noWrapper;
        if (c.pipelineValue != nullptr)
            pipeline.emplace(kPipelineKey, name, c.pipelineValue);
        else
            noPipeline.emplace(kPipelineKey, name);
        if (c.wrapperValue != nullptr)
            wrapper.emplace(wrapperKey, name, c.wrapperValue);
        else
            noWrapper.emplace(wrapperKey, name);
        EXPECT_EQ(GetServerUrl(c.secure, c.wrapperName), c.expected);
    }
}

TEST(PipelineConfig, DisableEncodingValues)
{
    const struct {
        const wchar_t* value;
        bool enabled;
    } cases[] = {{L"1", false},  {L"TRUE", false}, {L"true", false}, {L"0", true},
                 {L"yes", true}, {L"", true},      {L" true", true}};
    for (const auto& c : cases) {
        ScopedRegistryValue value(kPipelineKey, L"DisableEncoding", c.value);
        EXPECT_EQ(IsEncodingEnabled(), c.enabled) << testing::PrintToString(std::wstring(c.value));
    }
    ScopedRegistryValueAbsent absent(kPipelineKey, L"DisableEncoding");
    EXPECT_TRUE(IsEncodingEnabled());
}

TEST(PipelineRequest, QueryOnTheWire)
{
    for (const bool disableEncoding : {false, true}) {
        ScopedRegistryValue encoding(kPipelineKey, L"DisableEncoding",
                                     disableEncoding ? L"1" : L"0");
        const std::string tag = ScriptedServer::UniqueTag("query");
        PipelineAtServer pipeline(tag, ResponsePacket("<status code=\"0\">OK</status>"));
        WsContentQuery query;
        query.OpenGroup(0);
        query.AddTerm(L"ProductId", L"1234");
        query.CloseGroup();
        const WsPacket packet(WsPacketHeader(kClient, L"en-US"), L"contentQuery", &query);
        WsPipelineRequest request(kClient, L"ContentCmd:Query", packet, true);
        request.AddParameter(L"MaxHits", 5u);
        ASSERT_EQ(request.Run(10000, false), kStatusSuccess);
        const std::string head = Head(tag);
        EXPECT_EQ(head.rfind("POST /s/", 0), 0u) << head;
        // Parameters are percent-encoded: pipeline_version=2.0 as the server decodes it.
        EXPECT_NE(
            head.find("/lumq/pipeline?cmd=ContentCmd:Query&MaxHits=5&pipeline%5Fversion=2%2E0 "),
            std::string::npos)
            << head;
        EXPECT_NE(head.find("User-Agent: QdWebServiceClient (vostrel 19.0.0;HostApp 2.1;korvel "
                            "19.0.0;HostWrap 1.0;)\r\n"),
                  std::string::npos)
            << head;
        EXPECT_EQ(head.find("Accept-Encoding: gzip") != std::string::npos, !disableEncoding)
            << head;
        const std::string body = ScriptedServer::Get().RecordedBody(tag).value_or("");
        ASSERT_GE(body.size(), 2u);
        EXPECT_EQ(body.substr(0, 2), "\xFF\xFE");
        const std::wstring text(reinterpret_cast<const wchar_t*>(body.data()), body.size() / 2);
        EXPECT_NE(text.find(L"<metadata field=\"ProductId\">1234</metadata>"), std::wstring::npos);
        EXPECT_EQ(request.GetResponsePacket().Header().StatusText(), L"OK");
        // Every run adds the version once more.
        ASSERT_EQ(request.Run(10000, false), kStatusSuccess);
        EXPECT_NE(ScriptedServer::Get().RecordedHead(tag, 2).value_or("").find(
                      "&MaxHits=5&pipeline%5Fversion=2%2E0&pipeline%5Fversion=2%2E0 "),
                  std::string::npos);
    }
}

TEST(PipelineRequest, PingOnTheWireAndItsStatus)
{
    const struct {
        std::string status;
        uint32_t expected;
    } cases[] = {
        {"<status code=\"0\">OK</status>", kStatusSuccess},
        {"", kStatusSuccess},
        {"<status code=\"10\"/>", kStatusServer10},
        {"<status code=\"100\"/>", kStatusServer100},
        {"<status code=\"200\"/>", kStatusServer100},
        {"<status code=\"300\"/>", kStatusServer300},
        {"<status code=\"400\"/>", kStatusServer300},
        {"<status code=\"500\"/>", kStatusServer300},
        {"<status code=\"600\"/>", kStatusServer300},
        {"<status code=\"700\"/>", kStatusServer700},
        {"<status code=\"800\"/>", kStatusServer700},
        {"<status code=\"900\"/>", kStatusServer900},
        {"<status code=\"6000\"/>", kStatusServer6000},
        {"<status code=\"450\"/>", kStatusBadResponse},
        {"<status code=\"-1\"/>", kStatusBadResponse},
        {"no server element", kStatusSuccess},
    };
    for (const auto& c : cases) {
        const std::string tag = ScriptedServer::UniqueTag("ping");
        const std::string serverDate = "Sat, 05 Dec 2026 17:00:00 GMT";
        const std::string body =
            c.status == "no server element"
                ? "<packet><header><date>" + serverDate + "</date></header></packet>"
                : ResponsePacket(c.status, serverDate);
        PipelineAtServer pipeline(tag, body);
        WsPipelineRequest source(kClient, true);
        WsString date;
        EXPECT_EQ(source.PingServer(5000, true, L"InvocationType=2", date), c.expected) << c.status;
        EXPECT_EQ(date, L"Sat, 05 Dec 2026 17:00:00 GMT");
        const std::string head = Head(tag);
        EXPECT_EQ(head.rfind("GET /s/", 0), 0u) << head;
        EXPECT_NE(head.find("/lumq/pipeline?cmd=PingCmd:Ping&module=Pipeline "), std::string::npos)
            << head;
        EXPECT_NE(head.find("User-Agent: QdWebServiceClient (vostrel 19.0.0;HostApp "
                            "2.1;InvocationType=2;)\r\n"),
                  std::string::npos)
            << head;
        EXPECT_EQ(head.find("Accept-Encoding"), std::string::npos) << head;
    }
}

TEST(PipelineRequest, PingWithoutWaitStillEvaluatesTheAnswer)
{
    const std::string tag = ScriptedServer::UniqueTag("ping0");
    PipelineAtServer pipeline(tag, ResponsePacket("<status code=\"900\"/>", "today"));
    WsPipelineRequest source(kClient, true);
    WsString date;
    EXPECT_EQ(source.PingServer(0, true, L"", date), kStatusServer900);
    EXPECT_EQ(date, L"today");
}

TEST(PipelineRequest, PingOfAnAnswerThatIsNoPacket)
{
    const struct {
        std::string body;
        WsStatus status;
    } cases[] = {{"not xml <", kStatusXmlParseFailed}, {"", kStatusXmlNoRoot}};
    for (const auto& c : cases) {
        PipelineAtServer pipeline(ScriptedServer::UniqueTag("badping"), c.body);
        WsPipelineRequest source(kClient, true);
        WsString date;
        EXPECT_EQ(RaisedStatus([&] { source.PingServer(5000, true, L"", date); }), c.status);
    }
}
