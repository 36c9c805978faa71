#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

using korvel::host::KorvelLibrary;

extern "C" uint32_t HeaderAsCInvalidSession(void);
extern "C" size_t HeaderAsCTextBufferSize(void);

TEST(Exports, HeaderCompilesAsC)
{
    EXPECT_EQ(HeaderAsCInvalidSession(), 0x80001001u);
    EXPECT_EQ(HeaderAsCTextBufferSize(), 260u);
}

TEST(Exports, IdsFollowTheOrderOfOpening)
{
    KorvelLibrary korvel;
    uint32_t ids[3] = {};
    for (auto& id : ids)
        ASSERT_EQ(korvel->WsUdOpen(L"app", L"1", L"", L"", L"en", &id), 0u);
    EXPECT_EQ(ids[0], 1u);
    EXPECT_EQ(ids[1], 2u);
    EXPECT_EQ(ids[2], 3u);
}
