// Reading a pipeline answer for `korvel-cli query`, the listing made from its
// entries, and the JSON for scripts: strings escaped so that any parser reads
// back the same text, numbers only where the text is one.
#include "tools/korvel-cli/ContentAnswer.h"
#include "tools/korvel-cli/Json.h"

#include <gtest/gtest.h>

using namespace korvel::cli;

namespace {

// The reference server's answer, as its README documents it.
const char kAnswer[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
    "<packet xmlns=\"http://schemas.example/Schemas/RHO/2.0\" schemaVersion=\"2.0\">"
    "<header><date>Sat, 05 Dec 2026 17:00:00 GMT</date>"
    "<client><swapp version=\"2.1\">HostApp</swapp></client>"
    "<server><status code=\"0\">OK</status></server></header>"
    "<body><contentResult count=\"2\" total=\"3\">"
    "<entry id=\"hostapp-2.1.3-win-en\" type=\"Update\">"
    "<upc version=\"2.1.3\" minVersion=\"2.0.0\">HostApp</upc>"
    "<download guid=\"{6F1C2A0E}\" size=\"1843200\" "
    "url=\"http://127.0.0.1:8080/packages/hostapp-2.1.3.zip\"/>"
    "<installConditions><condition type=\"MinOsVersion\">10.0</condition>"
    "<condition type=\"Architecture\">x64</condition></installConditions>"
    "<metadata field=\"ProductId\">1234</metadata>"
    "<metadata field=\"Os\">Windows 10</metadata>"
    "<metadata field=\"Os\">Windows 11</metadata>"
    "<metadata field=\"Title\">Fixes &amp; &lt;improvements&gt; &#8211; &#x263A;</metadata>"
    "</entry>"
    "<entry id=\"content-2026-11\" type=\"Content\"><upc version=\"\" minVersion=\"\"/>"
    "<download guid=\"\" size=\"0\" url=\"\"/><installConditions/></entry>"
    "</contentResult></body></packet>\n";

TEST(ContentAnswer, ListsEachEntryReadably)
{
    const std::string listing = FormatContentAnswer(*ReadContentAnswer(kAnswer));
    EXPECT_EQ(listing,
              "2 of 3 matching updates:\n"
              "\n"
              "  hostapp-2.1.3-win-en  [Update]\n"
              "    product      HostApp 2.1.3 (updates 2.0.0 and later)\n"
              "    download     1.8 MiB  http://127.0.0.1:8080/packages/hostapp-2.1.3.zip\n"
              "    guid         {6F1C2A0E}\n"
              "    conditions   MinOsVersion 10.0; Architecture x64\n"
              "    ProductId    1234\n"
              "    Os           Windows 10, Windows 11\n"
              "    Title        Fixes & <improvements> \xE2\x80\x93 \xE2\x98\xBA\n"
              "\n"
              "  content-2026-11  [Content]\n");
}

TEST(ContentAnswer, HeadlinesForNoneOneAndAll)
{
    ContentAnswer answer;
    EXPECT_EQ(FormatContentAnswer(answer), "No matching updates.\n");
    answer.total = "4";
    EXPECT_EQ(FormatContentAnswer(answer), "No updates listed (4 matching).\n");
    answer.total = "1";
    answer.entries.push_back(UpdateEntry{});
    answer.entries.back().id = "x";
    EXPECT_EQ(FormatContentAnswer(answer), "1 matching update:\n\n  x\n");
}

TEST(ContentAnswer, JsonForScriptsGroupsRepeatedFieldsIntoLists)
{
    EXPECT_EQ(
        ContentAnswerJson(*ReadContentAnswer(kAnswer), 0),
        "{\"serverStatus\":0,\"statusText\":\"OK\",\"date\":\"Sat, 05 Dec 2026 17:00:00 GMT\","
        "\"count\":2,\"total\":3,\"entries\":["
        "{\"id\":\"hostapp-2.1.3-win-en\",\"type\":\"Update\",\"upc\":\"HostApp\","
        "\"upcVersion\":\"2.1.3\",\"upcMinVersion\":\"2.0.0\",\"downloadGuid\":\"{6F1C2A0E}\","
        "\"downloadSize\":1843200,"
        "\"downloadUrl\":\"http://127.0.0.1:8080/packages/hostapp-2.1.3.zip\","
        "\"installConditions\":{\"MinOsVersion\":[\"10.0\"],\"Architecture\":[\"x64\"]},"
        "\"metadata\":{\"ProductId\":[\"1234\"],\"Os\":[\"Windows 10\",\"Windows 11\"],"
        "\"Title\":[\"Fixes & <improvements> \xE2\x80\x93 \xE2\x98\xBA\"]}},"
        "{\"id\":\"content-2026-11\",\"type\":\"Content\",\"upc\":\"\",\"upcVersion\":\"\","
        "\"upcMinVersion\":\"\",\"downloadGuid\":\"\",\"downloadSize\":0,\"downloadUrl\":\"\","
        "\"installConditions\":{},\"metadata\":{}}]}\n");
}

TEST(ContentAnswer, JsonOfARefusalCarriesTheStatusAndNoCounts)
{
    ContentAnswer answer;
    answer.statusText = "Failure \"x\"\\\n";
    EXPECT_EQ(ContentAnswerJson(answer, -5),
              "{\"serverStatus\":-5,\"statusText\":\"Failure \\\"x\\\"\\\\\\n\",\"date\":\"\","
              "\"count\":null,\"total\":null,\"entries\":[]}\n");
}

TEST(ContentAnswer, TextWithoutAnyElementIsNoAnswer)
{
    EXPECT_FALSE(ReadContentAnswer("").has_value());
    EXPECT_FALSE(ReadContentAnswer("Service Unavailable").has_value());
    EXPECT_FALSE(ReadContentAnswer("<?xml version=\"1.0\"?><!-- nothing -->").has_value());
}

TEST(Json, StringsEscapeQuotesBackslashesAndControlCharacters)
{
    const struct {
        std::string text;
        const char* json;
    } cases[] = {
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"C:\\x\\y", "\"C:\\\\x\\\\y\""},
        {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
        {std::string("\x01\x1F", 2), "\"\\u0001\\u001f\""},
        {std::string("nul\0in", 6), "\"nul\\u0000in\""},
        {"\xC3\xA9\xE2\x98\xBA", "\"\xC3\xA9\xE2\x98\xBA\""},
        {"", "\"\""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonString(c.text), c.json);
}

TEST(Json, NumbersFromTextOnlyWhenTheTextIsOne)
{
    const struct {
        std::optional<std::string> text;
        const char* json;
    } cases[] = {
        {"8519680", "8519680"},
        {"0", "0"},
        {"18446744073709551615", "null"},
        {"-5", "null"},
        {"1.5", "null"},
        {"", "null"},
        {" 7", "null"},
        {std::nullopt, "null"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(JsonNumberOrNull(c.text), c.json) << c.text.value_or("(none)");
    EXPECT_EQ(JsonNumber(uint64_t{18446744073709551615u}), "18446744073709551615");
    EXPECT_EQ(JsonNumber(1.5), "1.500");
}

} // namespace
