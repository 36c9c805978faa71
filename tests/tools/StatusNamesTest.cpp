// The status table that host tools print errors with.
#include "tools/host/StatusNames.h"

#include "api/korvel.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

using namespace korvel::host;

namespace {

#define KORVEL_STATUS(name)                                                                        \
    {                                                                                              \
        name, #name                                                                                \
    }
const struct {
    uint32_t code;
    const char* name;
} kEveryStatus[] = {
    KORVEL_STATUS(kStatusSuccess),
    KORVEL_STATUS(kStatusNotRunning),
    KORVEL_STATUS(kStatusPending),
    KORVEL_STATUS(kStatusTransferIdle),
    KORVEL_STATUS(kStatusTransferStarted),
    KORVEL_STATUS(kStatusTransferResuming),
    KORVEL_STATUS(kStatusTransferReceiving),
    KORVEL_STATUS(kStatusTransferComplete),
    KORVEL_STATUS(kStatusTransferVerifying),
    KORVEL_STATUS(kStatusInvalidSession),
    KORVEL_STATUS(kStatusUnexpected),
    KORVEL_STATUS(kStatusAlreadyRunning),
    KORVEL_STATUS(kStatusBadUrl),
    KORVEL_STATUS(kStatusInternetOpenFailed),
    KORVEL_STATUS(kStatusNoSuchItem),
    KORVEL_STATUS(kStatusServerUnreachable),
    KORVEL_STATUS(kStatusRequestOpenFailed),
    KORVEL_STATUS(kStatusSendFailed),
    KORVEL_STATUS(kStatusReceiveFailed),
    KORVEL_STATUS(kStatusHttpTimeout),
    KORVEL_STATUS(kStatusFileCreateFailed),
    KORVEL_STATUS(kStatusNotFound),
    KORVEL_STATUS(kStatusBadContentType),
    KORVEL_STATUS(kStatusBadRequest),
    KORVEL_STATUS(kStatusServerError),
    KORVEL_STATUS(kStatusUnexpectedHttpStatus),
    KORVEL_STATUS(kStatusProxyAuthRequired),
    KORVEL_STATUS(kStatusTooLargeForBrowser7),
    KORVEL_STATUS(kStatusTooLargeForBrowser8),
    KORVEL_STATUS(kStatusRetryFailed),
    KORVEL_STATUS(kStatusDiskFull),
    KORVEL_STATUS(kStatusTimeout),
    KORVEL_STATUS(kStatusConnectTimeout),
    KORVEL_STATUS(kStatusPostFileFailed),
    KORVEL_STATUS(kStatusCertDateInvalid),
    KORVEL_STATUS(kStatusCertNameInvalid),
    KORVEL_STATUS(kStatusChecksumMismatch),
    KORVEL_STATUS(kStatusBadGroupType),
    KORVEL_STATUS(kStatusEntryIndex),
    KORVEL_STATUS(kStatusNoGroup),
    KORVEL_STATUS(kStatusGroupNotClosed),
    KORVEL_STATUS(kStatusQueryEmpty),
    KORVEL_STATUS(kStatusXmlParseFailed),
    KORVEL_STATUS(kStatusXmlNoRoot),
    KORVEL_STATUS(kStatusExtractFailed),
    KORVEL_STATUS(kStatusBadResponse),
    KORVEL_STATUS(kStatusServer900),
    KORVEL_STATUS(kStatusServer100),
    KORVEL_STATUS(kStatusServer300),
    KORVEL_STATUS(kStatusServer700),
    KORVEL_STATUS(kStatusServer10),
    KORVEL_STATUS(kStatusServer6000),
    KORVEL_STATUS(kStatusInstallFailed),
    KORVEL_STATUS(kStatusInstallCancelled),
};
#undef KORVEL_STATUS

TEST(StatusNames, EveryCodeOfTheHeaderHasItsOwnNameAndAMeaning)
{
    std::set<std::string> meanings;
    for (const auto& status : kEveryStatus) {
        ASSERT_NE(StatusName(status.code), nullptr) << status.name;
        EXPECT_STREQ(StatusName(status.code), status.name);
        const char* meaning = StatusMeaning(status.code);
        ASSERT_NE(meaning, nullptr) << status.name;
        const size_t length = std::strlen(meaning);
        EXPECT_GT(length, 10u) << status.name;
        EXPECT_EQ(meaning[length - 1], '.') << status.name << ": one sentence";
        EXPECT_TRUE(meanings.insert(meaning).second) << status.name << " repeats a meaning";
    }
}

TEST(StatusNames, UnknownCodesAreSaidToBeUnknown)
{
    EXPECT_EQ(StatusName(0x80002017u), nullptr);
    EXPECT_EQ(StatusMeaning(0x12345678u), nullptr);
    EXPECT_EQ(DescribeStatus(0x12345678u), "0x12345678 unknown status");
}

TEST(StatusNames, DescriptionsUseEightHexDigits)
{
    EXPECT_EQ(DescribeStatus(kStatusNotFound), "0x80002007 kStatusNotFound");
    EXPECT_EQ(DescribeStatus(kStatusServerError), "0x8000200A kStatusServerError");
    EXPECT_EQ(DescribeStatus(0), "0x00000000 kStatusSuccess");
}

} // namespace
