// korvel-cli ping and query against the scripted server, which the library
// finds through the pipeline URL in the registry.
#include "packet/DeploymentHosts.h"
#include "tests/support/PercentEncode.h"
#include "tests/support/ScopedRegistryValue.h"
#include "tests/support/ScriptedServer.h"
#include "tests/tools/CliProcess.h"

#include <gtest/gtest.h>

#include <algorithm>
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
        pipelineUrl_ = ScriptedServer::Get().Url(L"tag=" + Wide(tag_) + L";ctype=text%2Fxml;" +
                                                     extra + L"body=" + PercentEncode(body),
                                                 L"lumq/pipeline");
        url_.reset();
        url_.emplace(kPipelineKey, L"S_URL", pipelineUrl_);
    }

    // The lines that say where a failed request went.
    std::string PipelineLines() const
    {
        return "  pipeline: " + std::string(pipelineUrl_.begin(), pipelineUrl_.end()) +
               "\n  (from the registry value S_URL under HKLM\\SOFTWARE\\Talvessa\\Pipeline)\n";
    }

    // Waits until the server has the request, so that Ctrl+C comes while
    // korvel-cli waits for the answer.
    bool RequestArrived() const
    {
        for (int i = 0; i < 500; ++i) {
            if (ScriptedServer::Get().RecordCount(tag_) > 0)
                return true;
            Sleep(20);
        }
        return false;
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
    std::wstring pipelineUrl_;
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
                          "  The server answered HTTP 404: nothing exists at that URL.\n" +
                              PipelineLines());
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
    EXPECT_NE(result.err.find(PipelineLines()), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "") << "no sign of waiting on a pipe";
}

TEST_F(CliPipeline, QueryAsJsonForScripts)
{
    Answer(kTwoEntries);
    const CliResult result = RunCli({L"query", L"ProductId=1234", L"--json"});
    EXPECT_EQ(result.exitCode, 0u) << result.err;
    EXPECT_EQ(result.out.rfind("{\"serverStatus\":0,\"statusText\":\"OK\",\"date\":\"" +
                                   std::string(kDate) +
                                   "\",\"count\":2,\"total\":2,\"entries\":[{\"id\":"
                                   "\"hostapp-2.1.3-win-en\",",
                               0),
              0u)
        << result.out;
    EXPECT_NE(result.out.find("\"downloadSize\":1700000,"), std::string::npos) << result.out;
    EXPECT_EQ(std::count(result.out.begin(), result.out.end(), '\n'), 1) << result.out;

    Answer(Packet("<status code=\"6000\">Failure</status>", ""));
    const CliResult refused = RunCli({L"query", L"a=1", L"--json"});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_EQ(refused.out, "{\"serverStatus\":6000,\"statusText\":\"Failure\",\"date\":\"" +
                               std::string(kDate) +
                               "\",\"count\":null,\"total\":null,\"entries\":[]}\n");
    EXPECT_EQ(refused.err, "korvel-cli: the server refused the query with status 6000 (Failure); "
                           "--raw shows its whole answer\n");
}

TEST_F(CliPipeline, CtrlCEndsAPingOrAQueryWith130)
{
    const SharedConsole console;
    ASSERT_TRUE(console.Ready()) << "AllocConsole failed, error " << GetLastError();
    const struct {
        std::vector<std::wstring> arguments;
        const char* err;
    } cases[] = {
        // The library cannot cancel a ping: the program ends at once.
        {{L"ping"}, "korvel-cli: cancelled with Ctrl+C\n"},
        // A query is cancelled through the library.
        {{L"query", L"a=1"}, "korvel-cli: query cancelled\n"},
    };
    for (const auto& c : cases) {
        Answer(ResponsePacket("<status code=\"0\">OK</status>", kDate), L"delay=8000;");
        CliProcess process(c.arguments);
        ASSERT_TRUE(RequestArrived()) << c.err;
        const ULONGLONG start = GetTickCount64();
        ASSERT_TRUE(CliProcess::SendCtrlC()) << "error " << GetLastError();
        const CliResult result = process.Finish(15000);
        EXPECT_LT(GetTickCount64() - start, 5000u) << c.err;
        EXPECT_EQ(result.exitCode, 130u) << c.err;
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, c.err);
    }
}

TEST(CliPipelineLocation, AFailedPingSaysWhereThePipelineIsAndWhy)
{
    const std::wstring key = kPipelineKey;
    const std::wstring refused = L"http://127.0.0.1:1/lumq/pipeline";
    const std::string main = "HKLM\\SOFTWARE\\Talvessa\\Pipeline";
    const std::string wrapper = main + "\\CliWrap";
    const std::string fallback = "https://" +
                                 std::string(std::begin(korvel::kDefaultPipelineHost),
                                             std::end(korvel::kDefaultPipelineHost) - 1) +
                                 "/lumq/pipeline";
    const struct {
        const wchar_t* mainValue;    // nullptr: none
        const wchar_t* wrapperValue; // nullptr: none
        const wchar_t* wrapperName;
        std::string lines;
    } cases[] = {
        {refused.c_str(), nullptr, L"",
         "  pipeline: http://127.0.0.1:1/lumq/pipeline\n  (from the registry value S_URL under " +
             main + ")\n"},
        {L"http://127.0.0.1:2/x", refused.c_str(), L"CliWrap",
         "  pipeline: http://127.0.0.1:1/lumq/pipeline\n  (from the registry value S_URL under " +
             wrapper + ")\n"},
        {nullptr, nullptr, L"CliWrap",
         "  pipeline: " + fallback +
             "\n  (from the library's built-in default, as there is no S_URL under " + wrapper +
             " or " + main + ")\n"},
    };
    for (const auto& c : cases) {
        std::optional<ScopedRegistryValue> mainValue;
        std::optional<ScopedRegistryValueAbsent> mainAbsent;
        if (c.mainValue)
            mainValue.emplace(key, L"S_URL", c.mainValue);
        else
            mainAbsent.emplace(key, L"S_URL");
        std::optional<ScopedRegistryValue> wrapperValue;
        std::optional<ScopedRegistryValueAbsent> wrapperAbsent;
        if (c.wrapperValue)
            wrapperValue.emplace(key + L"\\CliWrap", L"S_URL", c.wrapperValue);
        else
            wrapperAbsent.emplace(key + L"\\CliWrap", L"S_URL");
        const CliResult result = RunCli({L"ping", L"--wrapper", c.wrapperName});
        EXPECT_EQ(result.exitCode, 1u);
        EXPECT_EQ(result.err, "korvel-cli: the ping failed: 0x80002001 kStatusServerUnreachable\n"
                              "  The server cannot be reached, refused access (HTTP 401, 403, "
                              "410, 502, 503 or 504) or dropped the connection before the answer "
                              "was complete.\n" +
                                  c.lines);
    }
}

} // namespace
