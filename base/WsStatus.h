#pragma once

#include <cstdint>

namespace korvel {

// The status every operation of the library ends with: 0 is success,
// 0x8000xxxx values are failures, 0x4000xxxx values are states. The values
// are the ones the public header promises to hosts; the exports check that
// they agree.
enum WsStatus : uint32_t {
    kStatusSuccess = 0,

    // States.
    kStatusNotRunning = 0x40001001,
    kStatusPending = 0x40001002,
    kStatusTransferIdle = 0x40002001,
    kStatusTransferStarted = 0x40002002,
    kStatusTransferResuming = 0x40002003,
    kStatusTransferReceiving = 0x40002004,
    kStatusTransferComplete = 0x40002005,
    kStatusTransferVerifying = 0x40002007,

    // General and session.
    kStatusInvalidSession = 0x80001001u,
    kStatusUnexpected = 0x80001002u,
    kStatusAlreadyRunning = 0x80001004u,
    kStatusBadUrl = 0x80001006u,
    kStatusInternetOpenFailed = 0x80001007u,
    kStatusNoSuchItem = 0x8000100cu,

    // HTTP transport.
    kStatusServerUnreachable = 0x80002001u,
    kStatusRequestOpenFailed = 0x80002002u,
    kStatusSendFailed = 0x80002003u,
    kStatusReceiveFailed = 0x80002004u,
    kStatusHttpTimeout = 0x80002005u,
    kStatusFileCreateFailed = 0x80002006u,
    kStatusNotFound = 0x80002007u,
    kStatusBadContentType = 0x80002008u,
    kStatusBadRequest = 0x80002009u,
    kStatusServerError = 0x8000200au,
    kStatusUnexpectedHttpStatus = 0x8000200bu,
    kStatusProxyAuthRequired = 0x8000200cu,
    kStatusTooLargeForBrowser7 = 0x8000200du,
    kStatusTooLargeForBrowser8 = 0x8000200eu,
    kStatusRetryFailed = 0x8000200fu,
    kStatusDiskFull = 0x80002010u,
    kStatusTimeout = 0x80002011u,
    kStatusConnectTimeout = 0x80002012u,
    kStatusPostFileFailed = 0x80002013u,
    kStatusCertDateInvalid = 0x80002014u,
    kStatusCertNameInvalid = 0x80002015u,
    kStatusChecksumMismatch = 0x80002016u,

    // Query and catalog.
    kStatusBadGroupType = 0x80003001u,
    kStatusEntryIndex = 0x80003002u,
    kStatusNoGroup = 0x80003003u,
    kStatusGroupNotClosed = 0x80003004u,
    kStatusQueryEmpty = 0x80003005u,

    // XML documents.
    kStatusXmlParseFailed = 0x80004002u,
    kStatusXmlNoRoot = 0x80004003u,

    // Install package.
    kStatusExtractFailed = 0x80006002u,
    kStatusPackageNotTrusted = 0x80006003u,

    // Pipeline server answers to a ping.
    kStatusBadResponse = 0x80008001u,
    kStatusServer900 = 0x80008002u,
    kStatusServer100 = 0x80008003u,
    kStatusServer300 = 0x80008004u,
    kStatusServer700 = 0x80008005u,
    kStatusServer10 = 0x80008006u,
    kStatusServer6000 = 0x80008007u,

    // Installer.
    kStatusInstallFailed = 0x80009001u,
    kStatusInstallCancelled = 0x80009002u
};

// Raises a failure inside the library. The session manager's forwarders turn
// it back into the status an export returns.
[[noreturn]] inline void Raise(WsStatus status)
{
    throw status;
}

// Failures have the top bit set; 0 and the 0x4000xxxx states are not failures.
inline bool IsFailure(uint32_t status)
{
    return static_cast<int32_t>(status) < 0;
}

} // namespace korvel
