// Queries and pings as a host drives them through the exports, with the
// pipeline URL pointed at the scripted server through the registry.
#include "tests/api/ExportFixture.h"

#include <oleauto.h>

using namespace korvel::test;

namespace {

using QueryExports = ExportFixture;

} // namespace

TEST_F(QueryExports, SynchronousSubmitSendsThePacketAndKeepsTheAnswer)
{
    const std::string tag = ScriptedServer::UniqueTag("sync");
    AnswerPipeline(tag, kOkPacket);
    BuildQuery(Id());
    EXPECT_EQ(K().WsUdQuerySubmit(Id(), 25, 10000), 0u);
    EXPECT_EQ(K().WsUdQueryCheck(Id(), 0), kStatusNotRunning);
    EXPECT_EQ(QueryResult(), kOkPacket);
    uint32_t status = 99;
    EXPECT_EQ(K().WsUdQueryStatus(Id(), &status), 0u);
    EXPECT_EQ(status, 0u);
    VARIANT variant;
    VariantInit(&variant);
    EXPECT_EQ(K().WsUdQueryResultVariant(Id(), &variant), 0u);
    ASSERT_EQ(V_VT(&variant), VT_BSTR);
    EXPECT_EQ(std::wstring(V_BSTR(&variant)), Widened(kOkPacket));
    VariantClear(&variant);
    uint32_t hits = 99;
    EXPECT_EQ(K().WsUdQueryGetHitCount(Id(), &hits), 0u);
    EXPECT_EQ(hits, 0u);

    // The request itself is PipelineRequest.QueryOnTheWire's; a session without
    // a wrapper library names a blank one.
    const std::string head = Server().RecordedHead(tag).value_or("");
    EXPECT_NE(head.find("(vostrel 19.0.0;HostApp 2.1;korvel 19.0.0; ;)"), std::string::npos)
        << head;
}

TEST_F(QueryExports, PollingSeesExactlyOneEnd)
{
    for (const auto& [extra, end] : {std::pair{L"delay=300;", kStatusSuccess},
                                     std::pair{L"delay=300;status=404;", kStatusNotFound}}) {
        AnswerPipeline(ScriptedServer::UniqueTag("poll"), kOkPacket, extra);
        EXPECT_EQ(Query(0), kStatusPending);
        int completions = 0;
        EXPECT_EQ(QueryToEnd(completions), end);
        EXPECT_EQ(completions, end == kStatusSuccess);
        EXPECT_EQ(K().WsUdQueryCheck(Id(), 0), kStatusNotRunning);
    }
}

TEST_F(QueryExports, ExpiredWaitAndCancel)
{
    AnswerPipeline(ScriptedServer::UniqueTag("slow"), kOkPacket, L"delay=3000;");
    EXPECT_EQ(Query(300), kStatusTimeout);
    EXPECT_EQ(K().WsUdQueryCheck(Id(), 0), kStatusNotRunning);
    EXPECT_EQ(Query(0), kStatusPending);
    EXPECT_EQ(K().WsUdQueryCancel(Id()), 0u);
    EXPECT_EQ(K().WsUdQueryCheck(Id(), 0), kStatusNotRunning);
    uint32_t size = 99;
    EXPECT_EQ(K().WsUdQueryResultSize(Id(), &size), 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(QueryExports, SecondSubmitReplacesTheFirst)
{
    AnswerPipeline(ScriptedServer::UniqueTag("first"), ResponsePacket("<status code=\"1\"/>"),
                   L"delay=600;");
    EXPECT_EQ(Query(0), kStatusPending);
    const std::string secondPacket = ResponsePacket("<status code=\"2\"/>");
    AnswerPipeline(ScriptedServer::UniqueTag("second"), secondPacket);
    const uint32_t submitted = K().WsUdQuerySubmit(Id(), 5, 0);
    int completions = submitted == kStatusSuccess;
    if (submitted == kStatusPending) {
        EXPECT_EQ(QueryToEnd(completions), kStatusSuccess);
    }
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(QueryResult(), secondPacket);
    uint32_t status = 0;
    EXPECT_EQ(K().WsUdQueryStatus(Id(), &status), 0u);
    EXPECT_EQ(status, 2u);
}

// A query that cannot be written is refused before anything is sent: items
// outside any group at once, leaving nothing behind, and a query that is
// empty, still open or holds a group type that does not exist when it is
// submitted.
TEST_F(QueryExports, QueriesThatCannotBeWritten)
{
    const std::string tag = ScriptedServer::UniqueTag("never");
    AnswerPipeline(tag, kOkPacket);
    EXPECT_EQ(K().WsUdQueryCloseGroup(Id()), kStatusNoGroup);
    EXPECT_EQ(K().WsUdQueryAddTerm(Id(), L"a", L"b"), kStatusNoGroup);
    EXPECT_EQ(K().WsUdQueryAddText(Id(), L"a", L"b", 0, 1), kStatusNoGroup);
    EXPECT_EQ(K().WsUdQuerySubmit(Id(), 5, 10000), kStatusQueryEmpty);
    K().WsUdQueryOpenGroup(Id(), 0);
    K().WsUdQueryOpenGroup(Id(), 1);
    K().WsUdQueryCloseGroup(Id());
    EXPECT_EQ(K().WsUdQuerySubmit(Id(), 5, 10000), kStatusGroupNotClosed);
    // The first type past the two that exist, at the root, and the last one, nested.
    K().WsUdQueryReset(Id());
    K().WsUdQueryOpenGroup(Id(), 2);
    K().WsUdQueryCloseGroup(Id());
    EXPECT_EQ(K().WsUdQuerySubmit(Id(), 5, 10000), kStatusBadGroupType);
    K().WsUdQueryReset(Id());
    K().WsUdQueryOpenGroup(Id(), 1);
    K().WsUdQueryOpenGroup(Id(), 0xFFFFFFFF);
    K().WsUdQueryCloseGroup(Id());
    K().WsUdQueryCloseGroup(Id());
    EXPECT_EQ(K().WsUdQuerySubmit(Id(), 5, 10000), kStatusBadGroupType);
    EXPECT_EQ(K().WsUdQueryCheck(Id(), 0), kStatusNotRunning);
    EXPECT_EQ(Server().RecordCount(tag), 0);
}

TEST_F(QueryExports, ResultsAndServerStatusCodes)
{
    uint32_t status = 77;
    EXPECT_EQ(K().WsUdQueryStatus(Id(), &status), kStatusXmlNoRoot) << "no query yet";
    EXPECT_EQ(status, 77u);
    const struct {
        std::string body;
        uint32_t result;
        uint32_t code;
        size_t size;
    } rows[] = {
        {ResponsePacket("<status code=\"600\"/>"), 0, 600, std::string::npos},
        {ResponsePacket("<status>none</status>"), 0, 0, std::string::npos},
        {ResponsePacket("<status code=\" 12ab\"/>"), 0, 12, std::string::npos},
        {ResponsePacket("<status code=\"abc\"/>"), 0, 0, std::string::npos},
        {"<packet><header>", kStatusXmlParseFailed, 77, 16},
        {"plain text", kStatusXmlNoRoot, 77, 10},
        {"", kStatusXmlNoRoot, 77, 0},
        {std::string("<a/>\0<b/>", 9), 0, 0, 4},
    };
    for (const auto& row : rows) {
        AnswerPipeline(ScriptedServer::UniqueTag("status"), row.body);
        ASSERT_EQ(Query(), 0u) << row.body;
        status = 77;
        EXPECT_EQ(K().WsUdQueryStatus(Id(), &status), row.result) << row.body;
        EXPECT_EQ(status, row.code) << row.body;
        const std::string result = QueryResult();
        EXPECT_EQ(result, row.size == std::string::npos ? row.body : row.body.substr(0, row.size));
    }
}

TEST_F(QueryExports, PingCarriesTheInvocationTypeAndReturnsTheDate)
{
    for (const auto& [flags, token] :
         {std::pair{0x5u, "InvocationType=2;"}, std::pair{0x0u, "InvocationType=0;"},
          std::pair{0xFFFFFFFFu, "InvocationType=7;"}}) {
        const uint32_t id = Open(flags);
        const std::string tag = ScriptedServer::UniqueTag("ping");
        AnswerPipeline(tag, ResponsePacket("<status code=\"400\"/>", "Sat, 05 Dec 2026"));
        VARIANT date;
        VariantInit(&date);
        EXPECT_EQ(K().WsUdServerPing(id, 5000, &date), kStatusServer300);
        ASSERT_EQ(V_VT(&date), VT_BSTR);
        EXPECT_EQ(std::wstring(V_BSTR(&date)), L"Sat, 05 Dec 2026");
        VariantClear(&date);
        const std::string head = Server().RecordedHead(tag).value_or("");
        EXPECT_NE(head.find(token), std::string::npos) << head;
        EXPECT_EQ(K().WsUdQueryCheck(id, 0), kStatusNotRunning)
            << "the ping leaves the session's request without a run";
    }
}
