// The public headers: the status codes as C and C++ spell them, the name
// table both share, and the function-pointer types of the exports. The C
// side is HeaderAsC.c, compiled as strict ISO C.
#include "api/korvel.h"
#include "api/korvel_status.h"
#include "tools/host/KorvelLibrary.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <type_traits>

extern "C" {
size_t HeaderAsCCodeCount(void);
uint32_t HeaderAsCCode(size_t index, const char** name);
const char* HeaderAsCStatusName(uint32_t status);
const char* HeaderAsCStatusMeaning(uint32_t status);
int HeaderAsCIsState(uint32_t status);
size_t HeaderAsCTextBufferSize(void);
int HeaderAsCResolveAll(HMODULE module);
uint32_t HeaderAsCOpenAndClose(HMODULE module);
}

namespace {

// Each pointer type matches its export's declaration exactly.
static_assert(std::is_same_v<PFN_WsUdOpen, decltype(&::WsUdOpen)>);
static_assert(std::is_same_v<PFN_WsUdOpen2, decltype(&::WsUdOpen2)>);
static_assert(std::is_same_v<PFN_WsUdClose, decltype(&::WsUdClose)>);
static_assert(std::is_same_v<PFN_WsUdServerPing, decltype(&::WsUdServerPing)>);
static_assert(std::is_same_v<PFN_WsUdSetParentWindow, decltype(&::WsUdSetParentWindow)>);
static_assert(std::is_same_v<PFN_WsUdQueryOpenGroup, decltype(&::WsUdQueryOpenGroup)>);
static_assert(std::is_same_v<PFN_WsUdQueryCloseGroup, decltype(&::WsUdQueryCloseGroup)>);
static_assert(std::is_same_v<PFN_WsUdQueryAddTerm, decltype(&::WsUdQueryAddTerm)>);
static_assert(std::is_same_v<PFN_WsUdQueryAddText, decltype(&::WsUdQueryAddText)>);
static_assert(std::is_same_v<PFN_WsUdQueryReset, decltype(&::WsUdQueryReset)>);
static_assert(std::is_same_v<PFN_WsUdQuerySubmit, decltype(&::WsUdQuerySubmit)>);
static_assert(std::is_same_v<PFN_WsUdQueryCheck, decltype(&::WsUdQueryCheck)>);
static_assert(std::is_same_v<PFN_WsUdQueryCancel, decltype(&::WsUdQueryCancel)>);
static_assert(std::is_same_v<PFN_WsUdQueryResultSize, decltype(&::WsUdQueryResultSize)>);
static_assert(std::is_same_v<PFN_WsUdQueryResult, decltype(&::WsUdQueryResult)>);
static_assert(std::is_same_v<PFN_WsUdQueryResultVariant, decltype(&::WsUdQueryResultVariant)>);
static_assert(std::is_same_v<PFN_WsUdQueryStatus, decltype(&::WsUdQueryStatus)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetHitCount, decltype(&::WsUdQueryGetHitCount)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetId, decltype(&::WsUdQueryGetId)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetIdVariant, decltype(&::WsUdQueryGetIdVariant)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetType, decltype(&::WsUdQueryGetType)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetTypeVariant, decltype(&::WsUdQueryGetTypeVariant)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetUPC, decltype(&::WsUdQueryGetUPC)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetUPCVariant, decltype(&::WsUdQueryGetUPCVariant)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetUPCVersion, decltype(&::WsUdQueryGetUPCVersion)>);
static_assert(
    std::is_same_v<PFN_WsUdQueryGetUPCVersionVariant, decltype(&::WsUdQueryGetUPCVersionVariant)>);
static_assert(
    std::is_same_v<PFN_WsUdQueryGetUPCMinVersion, decltype(&::WsUdQueryGetUPCMinVersion)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetUPCMinVersionVariant,
                             decltype(&::WsUdQueryGetUPCMinVersionVariant)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetDownloadGuid, decltype(&::WsUdQueryGetDownloadGuid)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetDownloadGuidVariant,
                             decltype(&::WsUdQueryGetDownloadGuidVariant)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetDownloadSize, decltype(&::WsUdQueryGetDownloadSize)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetInstallConditionsTypeCount,
                             decltype(&::WsUdQueryGetInstallConditionsTypeCount)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetInstallConditionsType,
                             decltype(&::WsUdQueryGetInstallConditionsType)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetInstallConditionsTypeVariant,
                             decltype(&::WsUdQueryGetInstallConditionsTypeVariant)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetInstallConditionsCount,
                             decltype(&::WsUdQueryGetInstallConditionsCount)>);
static_assert(
    std::is_same_v<PFN_WsUdQueryGetInstallConditions, decltype(&::WsUdQueryGetInstallConditions)>);
static_assert(std::is_same_v<PFN_WsUdQueryGetInstallConditionsVariant,
                             decltype(&::WsUdQueryGetInstallConditionsVariant)>);
static_assert(std::is_same_v<PFN_WsUdDownloadOpen, decltype(&::WsUdDownloadOpen)>);
static_assert(std::is_same_v<PFN_WsUdDownloadSubmit, decltype(&::WsUdDownloadSubmit)>);
static_assert(std::is_same_v<PFN_WsUdDownloadCheck, decltype(&::WsUdDownloadCheck)>);
static_assert(std::is_same_v<PFN_WsUdDownloadCancel, decltype(&::WsUdDownloadCancel)>);
static_assert(std::is_same_v<PFN_WsUdDownloadClose, decltype(&::WsUdDownloadClose)>);
static_assert(std::is_same_v<PFN_WsUdDownloadSubmit2, decltype(&::WsUdDownloadSubmit2)>);
static_assert(std::is_same_v<PFN_WsUdDownloadCheck2, decltype(&::WsUdDownloadCheck2)>);
static_assert(std::is_same_v<PFN_WsUdDownloadCancel2, decltype(&::WsUdDownloadCancel2)>);
static_assert(std::is_same_v<PFN_WsUdInstallOpen, decltype(&::WsUdInstallOpen)>);
static_assert(std::is_same_v<PFN_WsUdInstallSubmit, decltype(&::WsUdInstallSubmit)>);
static_assert(std::is_same_v<PFN_WsUdInstallCheck, decltype(&::WsUdInstallCheck)>);
static_assert(std::is_same_v<PFN_WsUdInstallCancel, decltype(&::WsUdInstallCancel)>);
static_assert(std::is_same_v<PFN_WsUdInstallClose, decltype(&::WsUdInstallClose)>);

TEST(Header, CAndCppGiveEveryNameTheSameCode)
{
    ASSERT_EQ(HeaderAsCCodeCount(), 54u);
    std::set<uint32_t> codes;
    for (size_t i = 0; i < HeaderAsCCodeCount(); ++i) {
        const char* name = nullptr;
        const uint32_t code = HeaderAsCCode(i, &name);
        EXPECT_TRUE(codes.insert(code).second) << name << " repeats a code";
        // The C++ build of the table is keyed by the enumerators.
        ASSERT_NE(KorvelStatusName(code), nullptr) << name;
        EXPECT_STREQ(KorvelStatusName(code), name);
        EXPECT_STREQ(HeaderAsCStatusName(code), name);
        EXPECT_STREQ(HeaderAsCStatusMeaning(code), KorvelStatusMeaning(code)) << name;
        // The area bits tell a state from a failure, in a C switch as well.
        EXPECT_EQ(HeaderAsCIsState(code) == 1, (code & 0xC0000000u) == 0x40000000u) << name;
    }
}

TEST(Header, EveryCodeHasAOneSentenceMeaningOfItsOwn)
{
    std::set<std::string> meanings;
    for (size_t i = 0; i < HeaderAsCCodeCount(); ++i) {
        const char* name = nullptr;
        const char* meaning = KorvelStatusMeaning(HeaderAsCCode(i, &name));
        ASSERT_NE(meaning, nullptr) << name;
        const size_t length = std::strlen(meaning);
        EXPECT_GT(length, 10u) << name;
        EXPECT_EQ(meaning[length - 1], '.') << name << ": one sentence";
        EXPECT_EQ(std::strchr(meaning, '\n'), nullptr) << name << ": one line";
        EXPECT_TRUE(meanings.insert(meaning).second) << name << " repeats a meaning";
    }
}

TEST(Header, CodesTheLibraryDoesNotDefineHaveNoName)
{
    for (const uint32_t code : {0x80002017u, 0x12345678u, 0x40002006u, 0xFFFFFFFFu}) {
        EXPECT_EQ(KorvelStatusLookup(code), nullptr) << std::hex << code;
        EXPECT_EQ(KorvelStatusName(code), nullptr) << std::hex << code;
        EXPECT_EQ(HeaderAsCStatusMeaning(code), nullptr) << std::hex << code;
    }
}

TEST(Header, ACHostReachesEveryExportThroughItsPointerType)
{
    EXPECT_EQ(HeaderAsCTextBufferSize(), 260u);
    const korvel::host::KorvelLibrary korvel;
    EXPECT_EQ(HeaderAsCResolveAll(korvel.Module()), 50);
    EXPECT_EQ(HeaderAsCOpenAndClose(korvel.Module()), 0u);
}

} // namespace
