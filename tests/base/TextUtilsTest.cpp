#include "base/TextUtils.h"
#include "tests/support/WsStringPrinter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>

namespace korvel {
namespace {

constexpr std::size_t npos = WsString::npos;

TEST(TextUtilsTest, FormatNumberPrintsSignedDecimalOrUpperCaseHexadecimalOfTheWidth)
{
    const std::tuple<std::uint64_t, bool, int, const wchar_t*> cases[] = {
        {0, true, 32, L"0x0"},
        {0x80002003u, true, 32, L"0x80002003"},
        {4294967295u, false, 32, L"-1"},
        {0x1FFFFFFFFull, true, 32, L"0xFFFFFFFF"},
        {0x100000005ull, false, 32, L"5"},
        {4294967295u, false, 64, L"4294967295"},
        {1ull << 63, false, 64, L"-9223372036854775808"},
        {0x123456789ABCDEF0ull, true, 64, L"0x123456789ABCDEF0"},
        {1ull << 63, false, 16, L"-9223372036854775808"}};
    for (const auto& [value, hexadecimal, widthBits, expected] : cases) {
        WsString text(L"old");
        EXPECT_TRUE(FormatNumber(value, text, hexadecimal, widthBits));
        EXPECT_EQ(text, expected) << value << " width " << widthBits;
    }
    WsString text;
    EXPECT_TRUE(FormatNumber(std::uint32_t{0x8000200E}, text, true) && text == L"0x8000200E");
    EXPECT_TRUE(FormatNumber(std::uint32_t{0xFFFFFFFE}, text, false) && text == L"-2");
}

TEST(TextUtilsTest, NumberParsingAcceptsOnlyDigitsOrALeadingZeroX)
{
    const std::tuple<const wchar_t*, std::uint64_t> numbers[] = {{L"1252", 1252},
                                                                 {L"0", 0},
                                                                 {L"0x1F", 31},
                                                                 {L"0X10", 16},
                                                                 {L"0x", 0},
                                                                 {L"0XaBcDeF", 0xABCDEF},
                                                                 {L"18446744073709551615", ~0ull}};
    for (const auto& [text, number] : numbers) {
        std::uint64_t value = 99;
        EXPECT_TRUE(ParseUInt64(text, value, 7)) << text;
        EXPECT_EQ(value, number) << text;
    }
    for (const wchar_t* text : {L"1F", L"00x1", L"-5", L"+1", L"A", L" 1", L"1 ", L"", L"0xx1",
                                L"x1", L"1x", L"0xg", L"0x1.5"}) {
        std::uint64_t value = 99;
        EXPECT_FALSE(ParseUInt64(text, value, 7)) << "\"" << text << "\"";
        EXPECT_EQ(value, 7u) << "\"" << text << "\"";
    }
}

TEST(TextUtilsTest, ParseBoolIsTrueOnlyForTrueAndOne)
{
    for (const wchar_t* text : {L"true", L"TRUE", L"True", L"tRuE", L"1"})
        EXPECT_TRUE(ParseBool(text)) << text;
    for (const wchar_t* text : {L"yes", L"0", L"", L" true", L"true ", L"11", L"tru", L"01"})
        EXPECT_FALSE(ParseBool(text)) << "\"" << text << "\"";
}

TEST(TextUtilsTest, CaseInsensitiveComparisonAndSearchFoldAsciiLettersOnly)
{
    const std::tuple<const wchar_t*, const wchar_t*, std::size_t, bool> equals[] = {
        {L"ExePath", L"EXEPATH", 0, true},
        {L"ExePath", L"ExePat", 0, false},
        {L"ExePath", L"EXEPATHX", 7, true},
        {L"abc", L"abd", 2, true},
        {L"abc", L"abd", 3, false},
        {L"ab", L"abc", 5, false},
        {L"ab", L"AB", 5, true},
        {L"", L"", 0, true},
        {L"\u00C9t\u00E9", L"\u00E9T\u00E9", 0, false},
        {L"[", L"{", 0, false},
        {L"@", L"`", 0, false}};
    for (const auto& [left, right, count, equal] : equals)
        EXPECT_EQ(EqualsNoCase(left, right, count), equal)
            << left << " / " << right << " / " << count;
    const std::tuple<const wchar_t*, const wchar_t*, std::size_t, std::size_t> finds[] = {
        {L"C:/Program Files/X", L"program", 0, 3},
        {L"abcABC", L"ABC", 1, 3},
        {L"aXa", L"xA", 0, 1},
        {L"abc", L"d", 0, npos},
        {L"abc", L"a", 4, npos},
        {L"\u00C9", L"\u00E9", 0, npos},
        {L"{", L"[", 0, npos}};
    for (const auto& [haystack, needle, start, position] : finds)
        EXPECT_EQ(FindNoCase(haystack, needle, start), position) << haystack << " / " << needle;
}

} // namespace
} // namespace korvel
