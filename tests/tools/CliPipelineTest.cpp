// korvel-cli ping and query against the scripted server, which the library
// finds through the pipeline URL in the registry.
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tests/tools/CliProcess.h"

#include <gtest/gtest.h>

#include <optional>

using namespace korvel::test;

namespace {

const wchar_t kPipelineKey[] = L"SOFTWARE\\Talvessa\\Pipeline";
const char kDate[] = "Sat, 05 Dec 2026 17:00:00 GMT";

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// The request packet the library posted, which is UTF-16 text of ASCII here.
std::string Narrow(const std::string& utf16)
{
    std::string text;
    for (size_t i = 2; i + 1 < utf16.size(); i += 2)
        text += utf16[i];
    return text;
}

std::string Packet(const std::string& status, const std::string& result)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
           "<packet xmlns=\"http://schemas.korvel.example/Schemas/RHO/2.0\" "
           "schemaVersion=\"2.0\"><header><date>" +
           std::string(kDate) + "</date><server>" + status + "</server></header><body>" + result +
           "</body></packet>\n";
}

const std::string kTwoEntries =
    Packet("<status code=\"0\">OK</status>",
           "<contentResult count=\"2\" total=\"2\">"
           "<entry id=\"hostapp-2.1.3-win-en\" type=\"Update\">"
           "<upc version=\"2.1.3\" minVersion=\"2.0.0\">HostApp</upc>"
           "<download guid=\"{6F1C2A0E}\" size=\"1843200\" url=\"http://127.0.0.1:8080/p/a.zip\"/>"
           "<installConditions><condition type=\"Architecture\">x64</condition></installConditions>"
           "<metadata field=\"Os\">Windows 10</metadata><metadata field=\"Os\">Linux</metadata>"
           "</entry>"
           "<entry id=\"hostapp-2.0.9-win-en\" type=\"Update\">"
           "<upc version=\"2.0.9\" minVersion=\"1.8.0\">HostApp</upc>"
           "<download guid=\"{C4A1D3E7}\" size=\"1700000\" url=\"http://127.0.0.1:8080/p/b.zip\"/>"
           "</entry></contentResult>");

class CliPipeline : public testing::Test {
protected:
    // Every pipeline request of the test gets this answer.
    void Answer(const std::string& body, const std::wstring& extra = L"")
    {
        tag_ = ScriptedServer::UniqueTag("cli");
        url_.reset();
        url_.emplace(kPipelineKey, L"S_URL",
                     ScriptedServer::Get().Url(L"tag=" + Wide(tag_) + L";ctype=text%2Fxml;" +
                                                   extra + L"body=" + PercentEncode(body),
                                               L"lumq/pipeline"));
    }

    std::string RecordedHead() const
    {
        return ScriptedServer::Get().RecordedHead(tag_).value_or("(no request)");
    }

    std::string RecordedPacket() const
    {
        return Narrow(ScriptedServer::Get().RecordedBody(tag_).value_or(""));
    }

    std::string tag_;
    std::optional<ScopedRegistryValue> url_;
};

TEST_F(CliPipeline, PingPrintsTheServerDateAndStatus)
{
    Answer(ResponsePacket("<status code=\"0\">OK</status>", kDate));
    const CliResult result = RunCli({L"--app", L"MyApp", L"--app-version=2.5", L"ping",
                                     L"--invocation-type", L"3", L"--timeout", L"20000"});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out, "Server date: Sat, 05 Dec 2026 17:00:00 GMT\n"
                          "Status:      0x00000000 kStatusSuccess\n");
    EXPECT_EQ(result.err, "");
    const std::string head = RecordedHead();
    EXPECT_NE(head.find("MyApp 2.5"), std::string::npos) << head;
    EXPECT_NE(head.find("InvocationType=3"), std::string::npos) << head;
}

TEST_F(CliPipeline, APingTheServerRefusesShowsTheMappedStatus)
{
    Answer(ResponsePacket("<status code=\"6000\">Failure</status>", kDate));
    const CliResult result = RunCli({L"ping"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "Server date: Sat, 05 Dec 2026 17:00:00 GMT\n"
                          "Status:      0x80008007 kStatusServer6000\n");
    EXPECT_EQ(result.err, "korvel-cli: the ping failed: 0x80008007 kStatusServer6000\n"
                          "  The pipeline server answered with status 6000.\n");
}

TEST_F(CliPipeline, QueryListsTheEntriesOfTheAnswer)
{
    Answer(kTwoEntries);
    const CliResult result = RunCli({L"--locale", L"de-DE", L"query",
                                     L"ProductId=1234 and (Os=Windows or Os=Linux) and "
                                     L"Title~driver and Version>=2.0 and Lang!=de",
                                     L"--max-hits", L"7"});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out, "2 matching updates:\n"
                          "\n"
                          "  hostapp-2.1.3-win-en  [Update]\n"
                          "    product      HostApp 2.1.3 (updates 2.0.0 and later)\n"
                          "    download     1.8 MiB  http://127.0.0.1:8080/p/a.zip\n"
                          "    guid         {6F1C2A0E}\n"
                          "    conditions   Architecture x64\n"
                          "    Os           Windows 10, Linux\n"
                          "\n"
                          "  hostapp-2.0.9-win-en  [Update]\n"
                          "    product      HostApp 2.0.9 (updates 1.8.0 and later)\n"
                          "    download     1.6 MiB  http://127.0.0.1:8080/p/b.zip\n"
                          "    guid         {C4A1D3E7}\n");
    EXPECT_NE(RecordedHead().find("?cmd=ContentCmd:Query&MaxHits=7&"), std::string::npos)
        << RecordedHead();
    const std::string packet = RecordedPacket();
    for (const char* element :
         {"<locale>de-DE</locale>", "<query type=\"And\">",
          "<metadata field=\"ProductId\">1234</metadata>",
          "<text compareType=\"Contains\" field=\"Title\">driver</text>",
          "<text compareType=\"GreaterThanEqual\" field=\"Version\">2.0</text>",
          "<text compareType=\"NotEqual\" field=\"Lang\">de</text>", "<query type=\"Or\">",
          "<metadata field=\"Os\">Windows</metadata>", "<metadata field=\"Os\">Linux</metadata>"})
        EXPECT_NE(packet.find(element), std::string::npos) << element << "\n" << packet;
}

TEST_F(CliPipeline, RawPrintsTheAnswerByteForByte)
{
    const std::string answer = kTwoEntries + "\r\n\xC3\xA9 trailing bytes\n";
    Answer(answer);
    const CliResult result = RunCli({L"query", L"ProductId=1234", L"--raw"});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.rawOut, answer);
}

TEST_F(CliPipeline, StatusPrintsTheCodeInTheAnswersHeader)
{
    for (const char* code : {"600", "-5", "0"}) {
        Answer(Packet("<status code=\"" + std::string(code) + "\">x</status>", ""));
        const CliResult result = RunCli({L"query", L"a=1", L"--status"});
        EXPECT_EQ(result.exitCode, 0u) << result.err;
        EXPECT_EQ(result.out, std::string(code) + "\n");
    }
}

TEST_F(CliPipeline, AnAnswerWithAServerFailureIsNoList)
{
    Answer(Packet("<status code=\"6000\">Failure</status>", ""));
    const CliResult result = RunCli({L"query", L"a=1"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "korvel-cli: the server refused the query with status 6000 (Failure); "
                          "--raw shows its whole answer\n");
}

TEST_F(CliPipeline, AMalformedAnswerNamesTheParseFailure)
{
    Answer("<packet><header><date>");
    const CliResult result = RunCli({L"query", L"a=1"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_NE(result.err.find("0x80004002 kStatusXmlParseFailed\n  The server's answer is not "
                              "well-formed XML.\n"),
              std::string::npos)
        << result.err;
}

TEST_F(CliPipeline, AnHttpFailureIsShownWithItsStatusName)
{
    Answer(kTwoEntries, L"status=404;");
    const CliResult result = RunCli({L"query", L"a=1"});
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "korvel-cli: the query failed: 0x80002007 kStatusNotFound\n"
                          "  The server answered HTTP 404: nothing exists at that URL.\n");
}

TEST_F(CliPipeline, AQueryOverItsTimeLimitIsCancelled)
{
    Answer(kTwoEntries, L"delay=15000;");
    const ULONGLONG start = GetTickCount64();
    const CliResult result = RunCli({L"query", L"a=1", L"--timeout", L"500"}, 30000);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(result.exitCode, 1u);
    EXPECT_EQ(result.err.rfind("korvel-cli: the query did not finish within 500 ms: 0x80002011 "
                               "kStatusTimeout\n",
                               0),
              0u)
        << result.err;
    EXPECT_LT(elapsed, 10000u);
}

} // namespace
