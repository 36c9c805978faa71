// Queries and pings as a host drives them through the exports, with the
// pipeline URL pointed at the scripted server through the registry.
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <optional>
#include <string>
#include <vector>

using korvel::host::KorvelLibrary;
using namespace korvel::test;

namespace {

const wchar_t kPipelineKey[] = L"SOFTWARE\\Talvessa\\Pipeline";

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The pipeline URL for a scripted answer; extra script items before the body.
std::wstring PipelineUrl(const std::string& tag, const std::string& body,
                         const std::wstring& extra = L"")
{
    return ScriptedServer::Get().Url(L"tag=" + Wide(tag) + L";ctype=text%2Fxml;" + extra +
                                         L"body=" + PercentEncode(body),
                                     L"lumq/pipeline");
}

class QueryExports : public testing::Test {
protected:
    uint32_t Open(uint32_t flags = 0)
    {
        uint32_t id = 0;
        EXPECT_EQ(korvel_->WsUdOpen2(L"HostApp", L"2.1", L"", L"", L"en-US", flags, &id), 0u);
        return id;
    }

    // Answers every pipeline request of the test with this body.
    void Answer(const std::string& tag, const std::string& body, const std::wstring& extra = L"")
    {
        url_.reset();
        url_.emplace(kPipelineKey, L"S_URL", PipelineUrl(tag, body, extra));
    }

    void BuildQuery(uint32_t id)
    {
        ASSERT_EQ(korvel_->WsUdQueryReset(id), 0u);
        ASSERT_EQ(korvel_->WsUdQueryOpenGroup(id, 0), 0u);
        ASSERT_EQ(korvel_->WsUdQueryAddTerm(id, L"ProductId", L"1234"), 0u);
        ASSERT_EQ(korvel_->WsUdQueryAddText(id, L"Title", L"driver", 77, 2), 0u);
        ASSERT_EQ(korvel_->WsUdQueryCloseGroup(id), 0u);
    }

    std::string ResultBytes(uint32_t id)
    {
        uint32_t size = 0xFFFF;
        EXPECT_EQ(korvel_->WsUdQueryResultSize(id, &size), 0u);
        std::vector<uint8_t> buffer(size + 4, 0xAA);
        EXPECT_EQ(korvel_->WsUdQueryResult(id, buffer.data()), 0u);
        for (size_t i = size; i < buffer.size(); ++i)
            EXPECT_EQ(buffer[i], 0xAA) << "written past the body at " << i;
        return std::string(buffer.begin(), buffer.begin() + size);
    }

    uint32_t PollQuery(uint32_t id, int& completions)
    {
        uint32_t last = kStatusPending;
        for (int i = 0; i < 500; ++i) {
            last = korvel_->WsUdQueryCheck(id, 10);
            if (last == kStatusPending)
                continue;
            if (last == kStatusSuccess)
                ++completions;
            return last;
        }
        return last;
    }

    KorvelLibrary korvel_;
    std::optional<ScopedRegistryValue> url_;
};

const std::string kOkPacket = ResponsePacket("<status code=\"0\">OK</status>", "today");

} // namespace

TEST_F(QueryExports, SynchronousSubmitAndItsResult)
{
    const uint32_t id = Open();
    const std::string tag = ScriptedServer::UniqueTag("sync");
    Answer(tag, kOkPacket);
    BuildQuery(id);
    EXPECT_EQ(korvel_->WsUdQuerySubmit(id, 25, 10000), 0u);
    EXPECT_EQ(korvel_->WsUdQueryCheck(id, 0), kStatusNotRunning);
    EXPECT_EQ(ResultBytes(id), kOkPacket);
    uint32_t status = 99;
    EXPECT_EQ(korvel_->WsUdQueryStatus(id, &status), 0u);
    EXPECT_EQ(status, 0u);
    VARIANT variant;
    VariantInit(&variant);
    EXPECT_EQ(korvel_->WsUdQueryResultVariant(id, &variant), 0u);
    ASSERT_EQ(V_VT(&variant), VT_BSTR);
    EXPECT_EQ(std::wstring(V_BSTR(&variant)), Wide(kOkPacket));
    VariantClear(&variant);
    uint32_t hits = 99;
    EXPECT_EQ(korvel_->WsUdQueryGetHitCount(id, &hits), 0u);
    EXPECT_EQ(hits, 0u);
    wchar_t buffer[260] = L"stale";
    EXPECT_EQ(korvel_->WsUdQueryGetId(id, 0, buffer), kStatusEntryIndex);
    EXPECT_STREQ(buffer, L"");

    const std::string head = ScriptedServer::Get().RecordedHead(tag).value_or("");
    EXPECT_NE(head.find("?cmd=ContentCmd:Query&MaxHits=25&pipeline%5Fversion=2%2E0 "),
              std::string::npos)
        << head;
    EXPECT_NE(head.find("(vostrel 19.0.0;HostApp 2.1;korvel 19.0.0; ;)"), std::string::npos)
        << head;
}

TEST_F(QueryExports, PollingSeesExactlyOneEnd)
{
    const uint32_t id = Open();
    BuildQuery(id);
    for (const std::wstring extra : {L"delay=300;", L"delay=300;status=404;"}) {
        Answer(ScriptedServer::UniqueTag("poll"), kOkPacket, extra);
        EXPECT_EQ(korvel_->WsUdQuerySubmit(id, 5, 0), kStatusPending);
        int completions = 0;
        const uint32_t end = PollQuery(id, completions);
        EXPECT_EQ(end, extra.find(L"404") == std::wstring::npos ? kStatusSuccess : kStatusNotFound);
        EXPECT_EQ(korvel_->WsUdQueryCheck(id, 0), kStatusNotRunning);
    }
}

TEST_F(QueryExports, ExpiredWaitAndCancel)
{
    const uint32_t id = Open();
    BuildQuery(id);
    Answer(ScriptedServer::UniqueTag("slow"), kOkPacket, L"delay=3000;");
    EXPECT_EQ(korvel_->WsUdQuerySubmit(id, 5, 300), kStatusTimeout);
    EXPECT_EQ(korvel_->WsUdQueryCheck(id, 0), kStatusNotRunning);
    EXPECT_EQ(korvel_->WsUdQuerySubmit(id, 5, 0), kStatusPending);
    EXPECT_EQ(korvel_->WsUdQueryCancel(id), 0u);
    EXPECT_EQ(korvel_->WsUdQueryCheck(id, 0), kStatusNotRunning);
    uint32_t size = 99;
    EXPECT_EQ(korvel_->WsUdQueryResultSize(id, &size), 0u);
    EXPECT_EQ(size, 0u);
}

TEST_F(QueryExports, SecondSubmitReplacesTheFirst)
{
    const uint32_t id = Open();
    BuildQuery(id);
    const std::string first = ScriptedServer::UniqueTag("first");
    Answer(first, ResponsePacket("<status code=\"1\"/>"), L"delay=600;");
    EXPECT_EQ(korvel_->WsUdQuerySubmit(id, 5, 0), kStatusPending);
    const std::string second = ScriptedServer::UniqueTag("second");
    const std::string secondPacket = ResponsePacket("<status code=\"2\"/>");
    Answer(second, secondPacket);
    const uint32_t submitted = korvel_->WsUdQuerySubmit(id, 5, 0);
    int completions = submitted == kStatusSuccess ? 1 : 0;
    if (submitted == kStatusPending) {
        EXPECT_EQ(PollQuery(id, completions), kStatusSuccess);
    }
    EXPECT_EQ(completions, 1);
    EXPECT_EQ(ResultBytes(id), secondPacket);
    uint32_t status = 0;
    EXPECT_EQ(korvel_->WsUdQueryStatus(id, &status), 0u);
    EXPECT_EQ(status, 2u);
}

TEST_F(QueryExports, QueriesThatCannotBeWritten)
{
    const uint32_t id = Open();
    Answer(ScriptedServer::UniqueTag("never"), kOkPacket);
    const struct {
        std::vector<std::pair<uint32_t, bool>> groups; // type, closed
        uint32_t status;
    } cases[] = {
        {{}, kStatusQueryEmpty},
        {{{0, false}}, kStatusGroupNotClosed},
        {{{7, true}}, kStatusBadGroupType},
    };
    for (const auto& c : cases) {
        korvel_->WsUdQueryReset(id);
        for (const auto& [type, closed] : c.groups) {
            korvel_->WsUdQueryOpenGroup(id, type);
            if (closed)
                korvel_->WsUdQueryCloseGroup(id);
        }
        EXPECT_EQ(korvel_->WsUdQuerySubmit(id, 5, 10000), c.status);
        EXPECT_EQ(korvel_->WsUdQueryCheck(id, 0), kStatusNotRunning);
    }
    korvel_->WsUdQueryReset(id);
    EXPECT_EQ(korvel_->WsUdQueryCloseGroup(id), kStatusNoGroup);
    EXPECT_EQ(korvel_->WsUdQueryAddTerm(id, L"a", L"b"), kStatusNoGroup);
    EXPECT_EQ(korvel_->WsUdQueryAddText(id, L"a", L"b", 0, 1), kStatusNoGroup);
}

TEST_F(QueryExports, ResultsAndServerStatusCodes)
{
    const uint32_t id = Open();
    BuildQuery(id);
    uint32_t status = 77;
    EXPECT_EQ(korvel_->WsUdQueryStatus(id, &status), kStatusXmlNoRoot) << "no query yet";
    EXPECT_EQ(status, 77u);
    const struct {
        std::string body;
        uint32_t result;
        uint32_t code;
        size_t size;
    } cases[] = {
        {ResponsePacket("<status code=\"600\"/>"), 0, 600, std::string::npos},
        {ResponsePacket("<status>none</status>"), 0, 0, std::string::npos},
        {ResponsePacket("<status code=\" 12ab\"/>"), 0, 12, std::string::npos},
        {ResponsePacket("<status code=\"abc\"/>"), 0, 0, std::string::npos},
        {"<packet><header>", kStatusXmlParseFailed, 77, 16},
        {"plain text", kStatusXmlNoRoot, 77, 10},
        {"", kStatusXmlNoRoot, 77, 0},
        {std::string("<a/>\0<b/>", 9), 0, 0, 4},
    };
    for (const auto& c : cases) {
        Answer(ScriptedServer::UniqueTag("status"), c.body);
        ASSERT_EQ(korvel_->WsUdQuerySubmit(id, 5, 10000), 0u);
        status = 77;
        EXPECT_EQ(korvel_->WsUdQueryStatus(id, &status), c.result) << c.body;
        EXPECT_EQ(status, c.code) << c.body;
        const std::string bytes = ResultBytes(id);
        EXPECT_EQ(bytes.size(), c.size == std::string::npos ? c.body.size() : c.size) << c.body;
    }
}

TEST_F(QueryExports, PingCarriesTheInvocationTypeAndReturnsTheDate)
{
    for (const auto& [flags, token] :
         {std::pair{0x5u, "InvocationType=2;"}, std::pair{0x0u, "InvocationType=0;"},
          std::pair{0xFFFFFFFFu, "InvocationType=7;"}}) {
        const uint32_t id = Open(flags);
        for (const uint32_t wait : {5000u, 0u}) {
            const std::string tag = ScriptedServer::UniqueTag("ping");
            Answer(tag, ResponsePacket("<status code=\"400\"/>", "Sat, 05 Dec 2026"));
            VARIANT date;
            VariantInit(&date);
            EXPECT_EQ(korvel_->WsUdServerPing(id, wait, &date), kStatusServer300);
            ASSERT_EQ(V_VT(&date), VT_BSTR);
            EXPECT_EQ(std::wstring(V_BSTR(&date)), L"Sat, 05 Dec 2026");
            VariantClear(&date);
            const std::string head = ScriptedServer::Get().RecordedHead(tag).value_or("");
            EXPECT_NE(head.find(token), std::string::npos) << head;
            EXPECT_EQ(head.rfind("GET ", 0), 0u);
        }
        EXPECT_EQ(korvel_->WsUdQueryCheck(id, 0), kStatusNotRunning)
            << "the ping leaves the session's request without a run";
    }
}
