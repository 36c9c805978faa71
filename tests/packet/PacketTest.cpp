// Request packets as whole texts, and what is read from response packets.
#include "packet/PipelineConfig.h"
#include "packet/WsContentQuery.h"
#include "packet/WsPacket.h"
#include "tests/packet/RaisedStatus.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

using namespace korvel;
using korvel::test::RaisedStatus;

namespace {

WsClientInfo HostClient()
{
    return {L"HostApp", L"2.1", L"HostWrap", L"1.0", CorelibName(), CorelibVersion()};
}

WsString RequestText(const WsPacket& packet)
{
    WsXmlDocument document(L"packet", PacketNamespaceUri());
    packet.Serialize(document, document.Root());
    return document.ToString(true, true);
}

// The start of every request packet, up to its header's client element.
std::wstring PacketStart(const std::wstring& localeElement)
{
    const std::wstring ns = PacketNamespaceUri();
    return L"\xFEFF<?xml version=\"1.0\"?>\n"
           L"<packet xmlns=\"" +
           ns +
           L"\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:schemaLocation=\"" +
           ns +
           L" Schemas/Common/2.0/Packet.xsd\" schemaVersion=\"2.0\">\n"
           L"\t<header>\n"
           L"\t\t" +
           localeElement +
           L"\n"
           L"\t\t<date />\n";
}

const wchar_t kHostClient[] = L"\t\t<client>\n"
                              L"\t\t\t<swapp version=\"2.1\">HostApp</swapp>\n"
                              L"\t\t\t<corelib version=\"19.0.0\">korvel</corelib>\n"
                              L"\t\t\t<wrapperlib version=\"1.0\">HostWrap</wrapperlib>\n"
                              L"\t\t</client>\n"
                              L"\t</header>\n";

WsPacketHeader ParsedHeader(const std::string& headerXml)
{
    WsXmlDocument document;
    document.Parse("<packet>" + headerXml + "</packet>");
    return WsPacket(document).Header();
}

} // namespace

TEST(Packet, ContentQueryRequestOfOneTerm)
{
    WsContentQuery query;
    query.OpenGroup(0);
    query.AddTerm(L"ProductId", L"1234");
    query.CloseGroup();
    const WsPacket packet(WsPacketHeader(HostClient(), L"en-US"), L"contentQuery", &query);
    EXPECT_EQ(RequestText(packet), PacketStart(L"<locale>en-US</locale>") + kHostClient +
                                       L"\t<body>\n"
                                       L"\t\t<contentQuery>\n"
                                       L"\t\t\t<query type=\"And\">\n"
                                       L"\t\t\t\t<metadata field=\"ProductId\">1234</metadata>\n"
                                       L"\t\t\t</query>\n"
                                       L"\t\t</contentQuery>\n"
                                       L"\t</body>\n"
                                       L"</packet>\n");
}

TEST(Packet, EmptyClientAndNoBody)
{
    const WsPacket packet{WsPacketHeader(WsClientInfo{}, L"")};
    EXPECT_EQ(RequestText(packet), PacketStart(L"<locale />") +
                                       L"\t\t<client>\n"
                                       L"\t\t\t<swapp version=\"\"></swapp>\n"
                                       L"\t\t\t<corelib version=\"\"></corelib>\n"
                                       L"\t\t\t<wrapperlib version=\"\"></wrapperlib>\n"
                                       L"\t\t</client>\n"
                                       L"\t</header>\n"
                                       L"</packet>\n");
}

TEST(Packet, QueryFailuresStopTheRequestBeforeItIsWritten)
{
    const struct {
        void (*build)(WsContentQuery&);
        WsStatus status;
    } cases[] = {
        {[](WsContentQuery&) {}, kStatusQueryEmpty},
        {[](WsContentQuery& q) { q.OpenGroup(0); }, kStatusGroupNotClosed},
        {[](WsContentQuery& q) {
             q.OpenGroup(2);
             q.CloseGroup();
         },
         kStatusBadGroupType},
    };
    for (const auto& c : cases) {
        WsContentQuery query;
        c.build(query);
        const WsPacket packet(WsPacketHeader(HostClient(), L"en"), L"contentQuery", &query);
        EXPECT_EQ(RaisedStatus([&] { RequestText(packet); }), c.status);
    }
}

TEST(Packet, ResponseHeaderFields)
{
    const WsPacketHeader header =
        ParsedHeader("<header><server><status code=\"600\">line one\nline two</status></server>"
                     "<date>Sat, 05 Dec 2026 17:00:00 GMT</date>"
                     "<client><wrapperlib version=\"3\">Wrap</wrapperlib><swapp "
                     "version=\"1\">App</swapp></client>"
                     "</header>");
    EXPECT_EQ(header.StatusCode(), 600);
    EXPECT_EQ(header.StatusText(), L"line one\r\nline two");
    EXPECT_EQ(header.Date(), L"Sat, 05 Dec 2026 17:00:00 GMT");
    EXPECT_EQ(header.Client().swappName, L"App");
    EXPECT_EQ(header.Client().swappVersion, L"1");
    EXPECT_EQ(header.Client().wrapperlibVersion, L"3");
    EXPECT_TRUE(header.Client().corelibName.empty());
}

TEST(Packet, StatusCodeReadsAsSignedDecimal)
{
    const struct {
        const char* header;
        int32_t code;
    } cases[] = {
        {"<header><server><status code=\"0\">OK</status></server></header>", 0},
        {"<header><server><status code=\" 12ab\"/></server></header>", 12},
        {"<header><server><status code=\"abc\"/></server></header>", 0},
        {"<header><server><status code=\"-300\"/></server></header>", -300},
        {"<header><server><status>no code</status></server></header>", 0},
        {"<header><server/></header>", 0},
        {"<header/>", 0},
        {"<other/>", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParsedHeader(c.header).StatusCode(), c.code) << c.header;
}

TEST(Packet, ResponseBodyIsCopiedIntoANewPacket)
{
    WsXmlDocument response;
    response.Parse("<packet><header/><body><contentResult count=\"1\"/></body></packet>");
    WsPacket parsed(response);
    ASSERT_TRUE(parsed.BodyElement());
    const WsString text = RequestText(parsed);
    EXPECT_NE(text.find(L"\t<body>\n\t\t<contentResult count=\"1\" />\n\t</body>\n"),
              WsString::npos)
        << testing::PrintToString(text);
}
