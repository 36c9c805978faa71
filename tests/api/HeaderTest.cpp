// The public headers: the status codes as C and C++ spell them, the name
// table both share, and the function-pointer types of the exports. The C
// side is HeaderAsC.c, compiled as strict ISO C.
#include "api/korvel.h"
#include "api/korvel_status.h"
#include "base/WsStatus.h"
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

// The library raises the very codes the public header promises to hosts.
static_assert(uint32_t(::kStatusSuccess) == uint32_t(korvel::kStatusSuccess));
static_assert(uint32_t(::kStatusNotRunning) == uint32_t(korvel::kStatusNotRunning));
static_assert(uint32_t(::kStatusPending) == uint32_t(korvel::kStatusPending));
static_assert(uint32_t(::kStatusTransferIdle) == uint32_t(korvel::kStatusTransferIdle));
static_assert(uint32_t(::kStatusTransferStarted) == uint32_t(korvel::kStatusTransferStarted));
static_assert(uint32_t(::kStatusTransferResuming) == uint32_t(korvel::kStatusTransferResuming));
static_assert(uint32_t(::kStatusTransferReceiving) == uint32_t(korvel::kStatusTransferReceiving));
static_assert(uint32_t(::kStatusTransferComplete) == uint32_t(korvel::kStatusTransferComplete));
static_assert(uint32_t(::kStatusTransferVerifying) == uint32_t(korvel::kStatusTransferVerifying));
static_assert(uint32_t(::kStatusInvalidSession) == uint32_t(korvel::kStatusInvalidSession));
static_assert(uint32_t(::kStatusUnexpected) == uint32_t(korvel::kStatusUnexpected));
static_assert(uint32_t(::kStatusAlreadyRunning) == uint32_t(korvel::kStatusAlreadyRunning));
static_assert(uint32_t(::kStatusBadUrl) == uint32_t(korvel::kStatusBadUrl));
static_assert(uint32_t(::kStatusInternetOpenFailed) == uint32_t(korvel::kStatusInternetOpenFailed));
static_assert(uint32_t(::kStatusNoSuchItem) == uint32_t(korvel::kStatusNoSuchItem));
static_assert(uint32_t(::kStatusServerUnreachable) == uint32_t(korvel::kStatusServerUnreachable));
static_assert(uint32_t(::kStatusRequestOpenFailed) == uint32_t(korvel::kStatusRequestOpenFailed));
static_assert(uint32_t(::kStatusSendFailed) == uint32_t(korvel::kStatusSendFailed));
static_assert(uint32_t(::kStatusReceiveFailed) == uint32_t(korvel::kStatusReceiveFailed));
static_assert(uint32_t(::kStatusHttpTimeout) == uint32_t(korvel::kStatusHttpTimeout));
static_assert(uint32_t(::kStatusFileCreateFailed) == uint32_t(korvel::kStatusFileCreateFailed));
static_assert(uint32_t(::kStatusNotFound) == uint32_t(korvel::kStatusNotFound));
static_assert(uint32_t(::kStatusBadContentType) == uint32_t(korvel::kStatusBadContentType));
static_assert(uint32_t(::kStatusBadRequest) == uint32_t(korvel::kStatusBadRequest));
static_assert(uint32_t(::kStatusServerError) == uint32_t(korvel::kStatusServerError));
static_assert(uint32_t(::kStatusUnexpectedHttpStatus) ==
              uint32_t(korvel::kStatusUnexpectedHttpStatus));
static_assert(uint32_t(::kStatusProxyAuthRequired) == uint32_t(korvel::kStatusProxyAuthRequired));
static_assert(uint32_t(::kStatusTooLargeForBrowser7) ==
              uint32_t(korvel::kStatusTooLargeForBrowser7));
static_assert(uint32_t(::kStatusTooLargeForBrowser8) ==
              uint32_t(korvel::kStatusTooLargeForBrowser8));
static_assert(uint32_t(::kStatusRetryFailed) == uint32_t(korvel::kStatusRetryFailed));
static_assert(uint32_t(::kStatusDiskFull) == uint32_t(korvel::kStatusDiskFull));
static_assert(uint32_t(::kStatusTimeout) == uint32_t(korvel::kStatusTimeout));
static_assert(uint32_t(::kStatusConnectTimeout) == uint32_t(korvel::kStatusConnectTimeout));
static_assert(uint32_t(::kStatusPostFileFailed) == uint32_t(korvel::kStatusPostFileFailed));
static_assert(uint32_t(::kStatusCertDateInvalid) == uint32_t(korvel::kStatusCertDateInvalid));
static_assert(uint32_t(::kStatusCertNameInvalid) == uint32_t(korvel::kStatusCertNameInvalid));
static_assert(uint32_t(::kStatusChecksumMismatch) == uint32_t(korvel::kStatusChecksumMismatch));
static_assert(uint32_t(::kStatusBadGroupType) == uint32_t(korvel::kStatusBadGroupType));
static_assert(uint32_t(::kStatusEntryIndex) == uint32_t(korvel::kStatusEntryIndex));
static_assert(uint32_t(::kStatusNoGroup) == uint32_t(korvel::kStatusNoGroup));
static_assert(uint32_t(::kStatusGroupNotClosed) == uint32_t(korvel::kStatusGroupNotClosed));
static_assert(uint32_t(::kStatusQueryEmpty) == uint32_t(korvel::kStatusQueryEmpty));
static_assert(uint32_t(::kStatusXmlParseFailed) == uint32_t(korvel::kStatusXmlParseFailed));
static_assert(uint32_t(::kStatusXmlNoRoot) == uint32_t(korvel::kStatusXmlNoRoot));
static_assert(uint32_t(::kStatusExtractFailed) == uint32_t(korvel::kStatusExtractFailed));
static_assert(uint32_t(::kStatusBadResponse) == uint32_t(korvel::kStatusBadResponse));
static_assert(uint32_t(::kStatusServer900) == uint32_t(korvel::kStatusServer900));
static_assert(uint32_t(::kStatusServer100) == uint32_t(korvel::kStatusServer100));
static_assert(uint32_t(::kStatusServer300) == uint32_t(korvel::kStatusServer300));
static_assert(uint32_t(::kStatusServer700) == uint32_t(korvel::kStatusServer700));
static_assert(uint32_t(::kStatusServer10) == uint32_t(korvel::kStatusServer10));
static_assert(uint32_t(::kStatusServer6000) == uint32_t(korvel::kStatusServer6000));
static_assert(uint32_t(::kStatusInstallFailed) == uint32_t(korvel::kStatusInstallFailed));
static_assert(uint32_t(::kStatusInstallCancelled) == uint32_t(korvel::kStatusInstallCancelled));

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
