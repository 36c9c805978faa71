// The exports' outputs that need more than a copy. A text buffer only ever
// receives the empty text of a failure, as the catalog behind it stays empty
// (Exports.IdsThatNameNoSessionAreRefusedByEveryExport checks what it holds).
#include "api/Marshal.h"

#include "api/korvel.h"

#include <gtest/gtest.h>
#include <oleauto.h>

using namespace korvel;

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
