#include "api/Marshal.h"

#include "api/korvel.h"

#include <gtest/gtest.h>
#include <oleauto.h>

using namespace korvel;

TEST(Marshal, TextIntoBufferArrivesWholeOrEmpty)
{
    struct Case {
        size_t length;
        size_t expected;
    } cases[] = {{0, 0}, {1, 1}, {259, 259}, {260, 0}, {1000, 0}};
    for (const auto& c : cases) {
        wchar_t buffer[WSUD_TEXT_BUFFER_SIZE + 1];
        wmemset(buffer, L'#', WSUD_TEXT_BUFFER_SIZE + 1);
        CopyToBuffer(WsString(std::wstring(c.length, L'v')), buffer);
        EXPECT_EQ(wcslen(buffer), c.expected) << c.length;
        EXPECT_EQ(buffer[WSUD_TEXT_BUFFER_SIZE], L'#') << "wrote past the buffer for " << c.length;
    }
}

TEST(Marshal, NullOutputsAreSkipped)
{
    CopyToBuffer(L"abc", nullptr);
    CopyToVariant(L"abc", nullptr);
    CopyBodyToVariant("abc", nullptr);
    CopyBodyToBuffer("abc", nullptr);
}

TEST(Marshal, BodyIntoVariantUsesTheAnsiCodePage)
{
    VARIANT variant;
    VariantInit(&variant);
    // 0xE9 is e-acute in the ANSI code page; as UTF-8 it would be invalid.
    CopyBodyToVariant("<a>\xE9</a>", &variant);
    ASSERT_EQ(V_VT(&variant), VT_BSTR);
    wchar_t expected[16] = {};
    MultiByteToWideChar(CP_ACP, 0, "<a>\xE9</a>", -1, expected, 16);
    EXPECT_STREQ(V_BSTR(&variant), expected);
    EXPECT_EQ(SysStringLen(V_BSTR(&variant)), 8u);
    VariantClear(&variant);
}
