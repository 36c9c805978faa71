#include "tools/host/StatusNames.h"

#include "api/korvel.h"

#include <cstdio>

namespace korvel::host {

namespace {

struct StatusInfo {
    uint32_t code;
    const char* name;
    const char* meaning;
};

// Meanings are written for the person reading a host's error message, so
// they say what happened and, where it helps, what to look at.
constexpr StatusInfo kStatuses[] = {
    {kStatusSuccess, "kStatusSuccess", "The operation succeeded."},
    {kStatusNotRunning, "kStatusNotRunning",
     "Nothing is running: the operation was never started, already reported its end, or was "
     "cancelled."},
    {kStatusPending, "kStatusPending", "The operation is still running."},
    {kStatusTransferIdle, "kStatusTransferIdle",
     "The transfer has not started, or it ended after being cancelled."},
    {kStatusTransferStarted, "kStatusTransferStarted",
     "The transfer is connecting to the server and waiting for its answer."},
    {kStatusTransferResuming, "kStatusTransferResuming",
     "The transfer is continuing a partial file from an earlier attempt."},
    {kStatusTransferReceiving, "kStatusTransferReceiving", "The transfer is receiving data."},
    {kStatusTransferComplete, "kStatusTransferComplete", "The transfer finished successfully."},
    {kStatusTransferVerifying, "kStatusTransferVerifying",
     "The downloaded file's checksum is being verified."},

    {kStatusInvalidSession, "kStatusInvalidSession", "The session id names no open session."},
    {kStatusUnexpected, "kStatusUnexpected",
     "The library failed unexpectedly (for example it ran out of memory or the operation is "
     "not available)."},
    {kStatusAlreadyRunning, "kStatusAlreadyRunning",
     "A request was started while it was still running."},
    {kStatusBadUrl, "kStatusBadUrl", "The URL cannot be split into scheme, host, port and path."},
    {kStatusInternetOpenFailed, "kStatusInternetOpenFailed",
     "The system's internet client could not be started."},
    {kStatusNoSuchItem, "kStatusNoSuchItem",
     "The entry has no install condition of that type or index."},

    {kStatusServerUnreachable, "kStatusServerUnreachable",
     "The server cannot be reached, refused access (HTTP 401, 403, 410, 502, 503 or 504) or "
     "dropped the connection before the answer was complete."},
    {kStatusRequestOpenFailed, "kStatusRequestOpenFailed",
     "The HTTP request could not be opened on the connection."},
    {kStatusSendFailed, "kStatusSendFailed", "The request could not be sent to the server."},
    {kStatusReceiveFailed, "kStatusReceiveFailed", "Reading the server's answer failed part way."},
    {kStatusHttpTimeout, "kStatusHttpTimeout",
     "The server answered HTTP 408: it timed out waiting for the request."},
    {kStatusFileCreateFailed, "kStatusFileCreateFailed",
     "The target file cannot be created or opened for writing."},
    {kStatusNotFound, "kStatusNotFound",
     "The server answered HTTP 404: nothing exists at that URL."},
    {kStatusBadContentType, "kStatusBadContentType",
     "The server's answer carries no content type, so it is not taken as a file."},
    {kStatusBadRequest, "kStatusBadRequest",
     "The server refused the request as malformed (HTTP 400, 405 or 505)."},
    {kStatusServerError, "kStatusServerError",
     "The server reported an error of its own (HTTP 500) or a redirection (HTTP 300)."},
    {kStatusUnexpectedHttpStatus, "kStatusUnexpectedHttpStatus",
     "The server answered with an HTTP status the library does not handle."},
    {kStatusProxyAuthRequired, "kStatusProxyAuthRequired",
     "A proxy demands credentials and none were given."},
    {kStatusTooLargeForBrowser7, "kStatusTooLargeForBrowser7",
     "The download is 2 GiB or larger, more than the installed browser components support."},
    {kStatusTooLargeForBrowser8, "kStatusTooLargeForBrowser8",
     "The download is 4 GiB or larger, more than the installed browser components support."},
    {kStatusRetryFailed, "kStatusRetryFailed",
     "The server certificate's revocation could not be checked, even on a second try."},
    {kStatusDiskFull, "kStatusDiskFull", "There is not enough free disk space for the download."},
    {kStatusTimeout, "kStatusTimeout",
     "The operation did not finish within its time limit and was cancelled."},
    {kStatusConnectTimeout, "kStatusConnectTimeout",
     "Connecting to the server or sending the request timed out."},
    {kStatusPostFileFailed, "kStatusPostFileFailed", "The file to be posted cannot be read."},
    {kStatusCertDateInvalid, "kStatusCertDateInvalid",
     "The server certificate has expired or is not yet valid."},
    {kStatusCertNameInvalid, "kStatusCertNameInvalid",
     "The server certificate was issued for another host name."},
    {kStatusChecksumMismatch, "kStatusChecksumMismatch",
     "The downloaded file's checksum differs from the expected one."},

    {kStatusBadGroupType, "kStatusBadGroupType",
     "A query group is neither \"And\" (0) nor \"Or\" (1)."},
    {kStatusEntryIndex, "kStatusEntryIndex", "The entry index is beyond the result's entries."},
    {kStatusNoGroup, "kStatusNoGroup", "A query item or group end was given with no open group."},
    {kStatusGroupNotClosed, "kStatusGroupNotClosed",
     "The query was submitted before its outermost group was closed."},
    {kStatusQueryEmpty, "kStatusQueryEmpty", "The query was submitted without any group."},

    {kStatusXmlParseFailed, "kStatusXmlParseFailed", "The server's answer is not well-formed XML."},
    {kStatusXmlNoRoot, "kStatusXmlNoRoot", "The server's answer is empty or holds no XML element."},

    {kStatusExtractFailed, "kStatusExtractFailed",
     "The downloaded package cannot be opened or extracted."},

    {kStatusBadResponse, "kStatusBadResponse",
     "The pipeline server answered with a status code the library does not know."},
    {kStatusServer900, "kStatusServer900", "The pipeline server answered with status 900."},
    {kStatusServer100, "kStatusServer100", "The pipeline server answered with status 100 or 200."},
    {kStatusServer300, "kStatusServer300",
     "The pipeline server answered with status 300, 400, 500 or 600."},
    {kStatusServer700, "kStatusServer700", "The pipeline server answered with status 700 or 800."},
    {kStatusServer10, "kStatusServer10", "The pipeline server answered with status 10."},
    {kStatusServer6000, "kStatusServer6000", "The pipeline server answered with status 6000."},

    {kStatusInstallFailed, "kStatusInstallFailed",
     "The installer could not be found or started, or it reported a failure."},
    {kStatusInstallCancelled, "kStatusInstallCancelled",
     "The installer was cancelled by its user (exit code 1602)."},
};

const StatusInfo* Find(uint32_t status)
{
    for (const StatusInfo& info : kStatuses)
        if (info.code == status)
            return &info;
    return nullptr;
}

} // namespace

const char* StatusName(uint32_t status)
{
    const StatusInfo* info = Find(status);
    return info ? info->name : nullptr;
}

const char* StatusMeaning(uint32_t status)
{
    const StatusInfo* info = Find(status);
    return info ? info->meaning : nullptr;
}

std::string DescribeStatus(uint32_t status)
{
    char hex[16];
    std::snprintf(hex, sizeof hex, "0x%08X", status);
    const char* name = StatusName(status);
    return std::string(hex) + " " + (name ? name : "unknown status");
}

} // namespace korvel::host
