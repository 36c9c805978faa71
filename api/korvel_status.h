/* korvel_status.h: the names and meanings of the status codes of korvel.dll,
 * for hosts that show them in messages and logs. Header-only; C and C++.
 *
 *     uint32_t status = WsUdQuerySubmit(session, 20, 30000);
 *     if (status != kStatusSuccess && KorvelStatusName(status) != NULL)
 *         fprintf(stderr, "query failed: 0x%08X %s\n  %s\n", (unsigned)status,
 *                 KorvelStatusName(status), KorvelStatusMeaning(status));
 */
#ifndef KORVEL_STATUS_H
#define KORVEL_STATUS_H

#include <stddef.h>

#include "korvel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct KorvelStatusInfo {
    uint32_t code;
    /* The name korvel.h gives the code, such as "kStatusNotFound". */
    const char* name;
    /* One sentence saying what the code means, for the person who reads a
     * host's error message. */
    const char* meaning;
} KorvelStatusInfo;

/* The entry of a status code; NULL for a code the library does not define. */
static inline const KorvelStatusInfo* KorvelStatusLookup(uint32_t status)
{
#define KORVEL_STATUS_INFO(code, meaning)                                                          \
    {                                                                                              \
        code, #code, meaning                                                                       \
    }
    static const KorvelStatusInfo table[] = {
        KORVEL_STATUS_INFO(kStatusSuccess, "The operation succeeded."),

        /* States. */
        KORVEL_STATUS_INFO(kStatusNotRunning,
                           "Nothing is running: the operation was never started, already reported "
                           "its end, or was cancelled."),
        KORVEL_STATUS_INFO(kStatusPending, "The operation is still running."),
        KORVEL_STATUS_INFO(kStatusTransferIdle,
                           "The transfer has not started, or it ended after being cancelled."),
        KORVEL_STATUS_INFO(kStatusTransferStarted,
                           "The transfer is connecting to the server and waiting for its answer."),
        KORVEL_STATUS_INFO(kStatusTransferResuming,
                           "The transfer is asking the server for the rest of a partial file."),
        KORVEL_STATUS_INFO(kStatusTransferReceiving, "The transfer is receiving data."),
        KORVEL_STATUS_INFO(kStatusTransferComplete, "The transfer finished successfully."),
        KORVEL_STATUS_INFO(kStatusTransferVerifying,
                           "The downloaded file's checksum is being verified."),

        /* General and session. */
        KORVEL_STATUS_INFO(kStatusInvalidSession, "The session id names no open session."),
        KORVEL_STATUS_INFO(kStatusUnexpected, "The library failed unexpectedly (for example it ran "
                                              "out of memory or the operation is not available)."),
        KORVEL_STATUS_INFO(kStatusAlreadyRunning,
                           "A request was started while it was still running."),
        KORVEL_STATUS_INFO(kStatusBadUrl,
                           "The URL cannot be split into scheme, host, port and path."),
        KORVEL_STATUS_INFO(kStatusInternetOpenFailed,
                           "The system's internet client could not be started."),
        KORVEL_STATUS_INFO(kStatusNoSuchItem,
                           "The entry has no install condition of that type or index."),

        /* HTTP transport. */
        KORVEL_STATUS_INFO(kStatusServerUnreachable,
                           "The server cannot be reached, refused access (HTTP 401, 403, 410, 502, "
                           "503 or 504) or dropped the connection before the answer was complete."),
        KORVEL_STATUS_INFO(kStatusRequestOpenFailed,
                           "The HTTP request could not be opened on the connection."),
        KORVEL_STATUS_INFO(kStatusSendFailed, "The request could not be sent to the server."),
        KORVEL_STATUS_INFO(kStatusReceiveFailed, "Reading the server's answer failed part way."),
        KORVEL_STATUS_INFO(kStatusHttpTimeout,
                           "The server answered HTTP 408: it timed out waiting for the request."),
        KORVEL_STATUS_INFO(kStatusFileCreateFailed,
                           "The target file cannot be created or opened for writing."),
        KORVEL_STATUS_INFO(kStatusNotFound,
                           "The server answered HTTP 404: nothing exists at that URL."),
        KORVEL_STATUS_INFO(
            kStatusBadContentType,
            "The server's answer carries no content type, so it is not taken as a file."),
        KORVEL_STATUS_INFO(kStatusBadRequest,
                           "The server refused the request as malformed (HTTP 400, 405 or 505)."),
        KORVEL_STATUS_INFO(
            kStatusServerError,
            "The server reported an error of its own (HTTP 500) or a redirection (HTTP 300)."),
        KORVEL_STATUS_INFO(kStatusUnexpectedHttpStatus,
                           "The server answered with an HTTP status the library does not handle."),
        KORVEL_STATUS_INFO(kStatusProxyAuthRequired,
                           "A proxy demands credentials and none were given."),
        KORVEL_STATUS_INFO(
            kStatusTooLargeForBrowser7,
            "The download is 2 GiB or larger, more than the installed browser components support."),
        KORVEL_STATUS_INFO(
            kStatusTooLargeForBrowser8,
            "The download is 4 GiB or larger, more than the installed browser components support."),
        KORVEL_STATUS_INFO(
            kStatusRetryFailed,
            "The server certificate's revocation could not be checked, even on a second try."),
        KORVEL_STATUS_INFO(kStatusDiskFull, "There is not enough free disk space for the download, "
                                            "or the target file was named without a folder."),
        KORVEL_STATUS_INFO(kStatusTimeout,
                           "The operation did not finish within its time limit and was cancelled."),
        KORVEL_STATUS_INFO(kStatusConnectTimeout,
                           "Connecting to the server or sending the request timed out."),
        KORVEL_STATUS_INFO(kStatusPostFileFailed, "The file to be posted cannot be read."),
        KORVEL_STATUS_INFO(kStatusCertDateInvalid,
                           "The server certificate has expired or is not yet valid."),
        KORVEL_STATUS_INFO(kStatusCertNameInvalid,
                           "The server certificate was issued for another host name."),
        KORVEL_STATUS_INFO(kStatusChecksumMismatch,
                           "The downloaded file's checksum differs from the expected one."),

        /* Query and catalog. */
        KORVEL_STATUS_INFO(kStatusBadGroupType,
                           "A query group is neither \"And\" (0) nor \"Or\" (1)."),
        KORVEL_STATUS_INFO(kStatusEntryIndex, "The entry index is beyond the result's entries."),
        KORVEL_STATUS_INFO(kStatusNoGroup,
                           "A query item or group end was given with no open group."),
        KORVEL_STATUS_INFO(kStatusGroupNotClosed,
                           "The query was submitted before its outermost group was closed."),
        KORVEL_STATUS_INFO(kStatusQueryEmpty, "The query was submitted without any group."),

        /* XML documents. */
        KORVEL_STATUS_INFO(kStatusXmlParseFailed, "The server's answer is not well-formed XML."),
        KORVEL_STATUS_INFO(kStatusXmlNoRoot,
                           "The server's answer is empty or holds no XML element."),

        /* Install package. */
        KORVEL_STATUS_INFO(kStatusExtractFailed,
                           "The downloaded package cannot be opened or extracted."),
        KORVEL_STATUS_INFO(kStatusPackageNotTrusted,
                           "The package is not signed by a key of the registry value PackageKeys, "
                           "or its installer lies outside it; the installer was not started."),

        /* Pipeline server answers to a ping. */
        KORVEL_STATUS_INFO(
            kStatusBadResponse,
            "The pipeline server answered with a status code the library does not know."),
        KORVEL_STATUS_INFO(kStatusServer900, "The pipeline server answered with status 900."),
        KORVEL_STATUS_INFO(kStatusServer100,
                           "The pipeline server answered with status 100 or 200."),
        KORVEL_STATUS_INFO(kStatusServer300,
                           "The pipeline server answered with status 300, 400, 500 or 600."),
        KORVEL_STATUS_INFO(kStatusServer700,
                           "The pipeline server answered with status 700 or 800."),
        KORVEL_STATUS_INFO(kStatusServer10, "The pipeline server answered with status 10."),
        KORVEL_STATUS_INFO(kStatusServer6000, "The pipeline server answered with status 6000."),

        /* Installer. */
        KORVEL_STATUS_INFO(
            kStatusInstallFailed,
            "The installer could not be found or started, or it reported a failure."),
        KORVEL_STATUS_INFO(kStatusInstallCancelled,
                           "The installer was cancelled by its user (exit code 1602)."),

        /* ---- Server ping ------------------------------------------------------- */

        /* Empties the query: no groups, no current group. */

        /* Aborts the query and discards its request and result. */

        /* Byte length of the response body (0 when there is none). */

        /* Entry id. */

        /* Entry id, as a BSTR. */

        /* Entry type. */

        /* Entry type, as a BSTR. */

        /* Product (UPC) of the entry. */

        /* Product (UPC) of the entry, as a BSTR. */

        /* Product version of the entry. */

        /* Product version of the entry, as a BSTR. */

        /* Minimum product version the entry applies to. */

        /* Minimum product version the entry applies to, as a BSTR. */

        /* Download GUID of the entry. */

        /* Download GUID of the entry, as a BSTR. */

        /* Download size in bytes: its low 32 bits only (written only on success). */

        /* Number of install-condition types of the entry (written only on success). */

        /* Does nothing; returns 0 for any id. */

        /* Aborts the package download (waiting briefly for it) and returns 0. */

        /* Does nothing; returns 0 for any id. */

        /* Does nothing; returns 0 for any id. */

        /* Returns 0 for an open session; the installer is not stopped. */

        /* Does nothing; returns 0 for any id. */
    };
#undef KORVEL_STATUS_INFO
    size_t i;

    for (i = 0; i < sizeof table / sizeof table[0]; ++i)
        if (table[i].code == status)
            return &table[i];
    return NULL;
}

/* "kStatusNotFound" for 0x80002007; NULL for a code the library does not
 * define. */
static inline const char* KorvelStatusName(uint32_t status)
{
    const KorvelStatusInfo* info = KorvelStatusLookup(status);
    return info != NULL ? info->name : NULL;
}

/* One sentence of meaning; NULL for a code the library does not define. */
static inline const char* KorvelStatusMeaning(uint32_t status)
{
    const KorvelStatusInfo* info = KorvelStatusLookup(status);
    return info != NULL ? info->meaning : NULL;
}

#ifdef __cplusplus
}
#endif

#endif
