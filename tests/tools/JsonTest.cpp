// The JSON korvel-cli writes for scripts: strings escaped so that any parser
// reads back the same text, numbers only where the text is one.
#include "tools/korvel-cli/Json.h"

#include <gtest/gtest.h>

using namespace korvel::cli;

namespace {

TEST(Json, StringsEscapeQuotesBackslashesAndControlCharacters)
{
    const struct {
        std::string text;
        const char* json;
    } cases[] = {
        {"plain", "\"plain\""},
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

TEST(Json, ObjectsAndArraysKeepTheirOrder)
{
    EXPECT_EQ(JsonObject().Text(), "{}");
    EXPECT_EQ(JsonArray({}), "[]");
    EXPECT_EQ(JsonObject()
                  .Add("b", "1")
                  .Add("a\"", JsonArray({JsonString("x"), "null"}))
                  .Add("c", JsonObject().Add("d", "true").Text())
                  .Text(),
              "{\"b\":1,\"a\\\"\":[\"x\",null],\"c\":{\"d\":true}}");
}

} // namespace
