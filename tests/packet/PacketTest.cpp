// Request packets as whole texts on the wire, where the registry sends them, and pings and their
// statuses. What a host reads of a response packet, its status code and date, is
// QueryExports.ResultsAndServerStatusCodes's and the pings' below.
#include "packet/DeploymentHosts.h"
#include "packet/PipelineConfig.h"
#include "packet/WsContentQuery.h"
#include "packet/WsPacket.h"
#include "packet/WsPipelineRequest.h"
#include "tests/archive/ScratchFolder.h"
#include "tests/packet/RaisedStatus.h"
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

using namespace korvel;
using namespace korvel::test;

namespace {

const wchar_t kPipelineKey[] = L"SOFTWARE\\Talvessa\\Pipeline";

const WsClientInfo kClient{L"HostApp", L"2.1",        L"HostWrap",
                           L"1.0",     CorelibName(), CorelibVersion()};

// Points the secure pipeline URL at the scripted server answering with this body.
ScopedRegistryValue PipelineAtServer(const std::string& tag, const std::string& body)
{
    return ScopedRegistryValue(kPipelineKey, L"S_URL",
                               ScriptedServer::Get().Url(L"tag=" + Widened(tag) +
                                                             L";ctype=text%2Fxml;body=" +
                                                             PercentEncode(body),
                                                         L"lumq/pipeline"));
}

// The start of every request packet, up to its header's client element.
std::wstring PacketStart(const std::wstring& localeElement)
{
    const std::wstring ns = PacketNamespaceUri();
    return L"\xFEFF<?xml version=\"1.0\"?>\n<packet xmlns=\"" + ns +
           L"\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"" +
           ns + L" Schemas/Common/2.0/Packet.xsd\" schemaVersion=\"2.0\">\n\t<header>\n\t\t" +
           localeElement + L"\n\t\t<date />\n";
}

} // namespace

TEST(Packet, EmptyClientAndNoBody)
{
    WsXmlDocument document(L"packet", PacketNamespaceUri());
    WsPacket(WsPacketHeader(WsClientInfo{}, L"")).Serialize(document, document.Root());
    EXPECT_EQ(document.ToString(true, true), PacketStart(L"<locale />") +
                                                 L"\t\t<client>\n"
                                                 L"\t\t\t<swapp version=\"\"></swapp>\n"
                                                 L"\t\t\t<corelib version=\"\"></corelib>\n"
                                                 L"\t\t\t<wrapperlib version=\"\"></wrapperlib>\n"
                                                 L"\t\t</client>\n"
                                                 L"\t</header>\n"
                                                 L"</packet>\n");
}

TEST(PipelineConfig, ServerUrlPrecedence)
{
    const std::wstring wrapperKey = std::wstring(kPipelineKey) + L"\\HostWrap";
    const std::wstring fallback = std::wstring(kDefaultPipelineHost) + L"/lumq/pipeline";
    const struct {
        const wchar_t* pipelineValue;
        const wchar_t* wrapperValue;
        const wchar_t* wrapperName;
        std::wstring expected;
    } cases[] = {
        // Both keys, with and without the wrapper's name, and neither:
        // PipelineLocation.TheWrappersKeyTheMainKeyOrTheDefault. The library
        // only ever asks for the secure URL.
        {L"https://main/p", nullptr, L"HostWrap", L"https://main/p"},
        {nullptr, L"https://wrap/p", L"Other", L"https://" + fallback},
    };
    for (const auto& c : cases) {
        const ScopedRegistryValue pipeline(kPipelineKey, L"S_URL", c.pipelineValue);
        const ScopedRegistryValue wrapper(wrapperKey, L"S_URL", c.wrapperValue);
        EXPECT_EQ(GetServerUrl(true, c.wrapperName), c.expected);
    }
}

// The query's packet arrives as its exact text in UTF-16 with a byte order mark and without a
// terminator, posted to the pipeline URL with the command and the encoded parameters; the body
// is compressed unless DisableEncoding says otherwise (which texts do is ParseBool's).
TEST(PipelineRequest, QueryOnTheWire)
{
    const std::wstring expectedBody = PacketStart(L"<locale>en-US</locale>") +
                                      L"\t\t<client>\n"
                                      L"\t\t\t<swapp version=\"2.1\">HostApp</swapp>\n"
                                      L"\t\t\t<corelib version=\"19.0.0\">korvel</corelib>\n"
                                      L"\t\t\t<wrapperlib version=\"1.0\">HostWrap</wrapperlib>\n"
                                      L"\t\t</client>\n"
                                      L"\t</header>\n"
                                      L"\t<body>\n"
                                      L"\t\t<contentQuery>\n"
                                      L"\t\t\t<query type=\"And\">\n"
                                      L"\t\t\t\t<metadata field=\"ProductId\">1234</metadata>\n"
                                      L"\t\t\t</query>\n"
                                      L"\t\t</contentQuery>\n"
                                      L"\t</body>\n"
                                      L"</packet>\n";
    for (const wchar_t* disable : {static_cast<const wchar_t*>(nullptr), L"0", L"1"}) {
        const bool disableEncoding = disable != nullptr && *disable == L'1';
        const ScopedRegistryValue encoding(kPipelineKey, L"DisableEncoding", disable);
        const std::string tag = ScriptedServer::UniqueTag("query");
        const auto pipeline =
            PipelineAtServer(tag, ResponsePacket("<status code=\"0\">OK</status>"));
        WsContentQuery query;
        query.OpenGroup(0);
        query.AddTerm(L"ProductId", L"1234");
        query.CloseGroup();
        const WsPacket packet(WsPacketHeader(kClient, L"en-US"), L"contentQuery", &query);
        WsPipelineRequest request(kClient, L"ContentCmd:Query", packet, true);
        request.AddParameter(L"MaxHits", 5u);
        ASSERT_EQ(request.Run(10000, false), kStatusSuccess);
        const std::string head = ScriptedServer::Get().RecordedHead(tag).value_or("");
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
        EXPECT_EQ(body.size() % 2, 0u);
        EXPECT_EQ(Utf16Text(body), expectedBody);
        EXPECT_EQ(request.GetResponsePacket().Header().StatusText(), L"OK");
        // Every run adds the version once more.
        ASSERT_EQ(request.Run(10000, false), kStatusSuccess);
        EXPECT_NE(ScriptedServer::Get().RecordedHead(tag, 2).value_or("").find(
                      "&MaxHits=5&pipeline%5Fversion=2%2E0&pipeline%5Fversion=2%2E0 "),
                  std::string::npos);
    }
}

TEST(PipelineRequest, ServerStatusCodesMapToStatuses)
{
    const struct {
        int32_t code;
        uint32_t status;
    } cases[] = {
        {10, kStatusServer10},    {100, kStatusServer100},   {200, kStatusServer100},
        {300, kStatusServer300},  {400, kStatusServer300},   {500, kStatusServer300},
        {600, kStatusServer300},  {700, kStatusServer700},   {800, kStatusServer700},
        {900, kStatusServer900},  {6000, kStatusServer6000}, {450, kStatusBadResponse},
        {-1, kStatusBadResponse},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MapPipelineStatus(c.code), c.status) << c.code;
}

// A ping is a GET of its own with the invocation token in the user agent; its status comes from
// the answer's header, also when the caller does not wait.
TEST(PipelineRequest, PingOnTheWireAndItsStatus)
{
    const std::string date = "Sat, 05 Dec 2026 17:00:00 GMT";
    const struct {
        std::string body;
        uint32_t wait;
        uint32_t status;
    } cases[] = {
        {ResponsePacket("<status code=\"0\">OK</status>", date), 5000, kStatusSuccess},
        {"<packet><header><date>" + date + "</date></header></packet>", 5000, kStatusSuccess},
        {ResponsePacket("<status code=\"900\"/>", date), 0, kStatusServer900},
        {"not xml <", 5000, kStatusXmlParseFailed},
        {"", 5000, kStatusXmlNoRoot},
    };
    for (const auto& c : cases) {
        const std::string tag = ScriptedServer::UniqueTag("ping");
        const auto pipeline = PipelineAtServer(tag, c.body);
        WsPipelineRequest source(kClient, true);
        WsString answerDate;
        EXPECT_EQ(RaisedStatus([&] {
                      return source.PingServer(c.wait, true, L"InvocationType=2", answerDate);
                  }),
                  c.status)
            << c.body;
        EXPECT_EQ(answerDate, c.body.find(date) != std::string::npos ? Widened(date) : L"");
        const std::string head = ScriptedServer::Get().RecordedHead(tag).value_or("");
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
