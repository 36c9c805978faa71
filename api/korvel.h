/* korvel.dll: the Updates API of KORVEL 19.0.0 (64-bit Windows).
 *
 * Every function returns a status code: 0 is success, 0x8000xxxx a failure,
 * 0x4000xxxx a state (still running, nothing running, transfer progress).
 * Text is UTF-16; a null text argument counts as empty and a null output
 * pointer is skipped. Buffers named WsUdText receive at most 259 characters
 * and a terminating zero; a longer value arrives as an empty string. VARIANT
 * outputs are cleared with VariantClear and then hold a BSTR that the caller
 * frees. A session is used from one thread at a time; waiting calls dispatch
 * the calling thread's window messages. Names and meanings of the status
 * codes: korvel_status.h. Guide: docs/API.md. */
#ifndef KORVEL_H
#define KORVEL_H

#include <oaidl.h>
#include <stdint.h>
#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Size in UTF-16 code units of the text buffers of the buffer accessors. */
#define WSUD_TEXT_BUFFER_SIZE 260

typedef wchar_t WsUdText[WSUD_TEXT_BUFFER_SIZE];

#ifdef __cplusplus
/* C++: a typed enumeration, so that a status converts to uint32_t and
 * overloads can tell it from other numbers. */
enum WsStatus : uint32_t {
    kStatusSuccess = 0,

    /* States. */
    kStatusNotRunning = 0x40001001,
    kStatusPending = 0x40001002,
    kStatusTransferIdle = 0x40002001,
    kStatusTransferStarted = 0x40002002,
    kStatusTransferResuming = 0x40002003,
    kStatusTransferReceiving = 0x40002004,
    kStatusTransferComplete = 0x40002005,
    kStatusTransferVerifying = 0x40002007,

    /* General and session. */
    kStatusInvalidSession = 0x80001001u,
    kStatusUnexpected = 0x80001002u,
    kStatusAlreadyRunning = 0x80001004u,
    kStatusBadUrl = 0x80001006u,
    kStatusInternetOpenFailed = 0x80001007u,
    kStatusNoSuchItem = 0x8000100cu,

    /* HTTP transport. */
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

    /* Query and catalog. */
    kStatusBadGroupType = 0x80003001u,
    kStatusEntryIndex = 0x80003002u,
    kStatusNoGroup = 0x80003003u,
    kStatusGroupNotClosed = 0x80003004u,
    kStatusQueryEmpty = 0x80003005u,

    /* XML documents. */
    kStatusXmlParseFailed = 0x80004002u,
    kStatusXmlNoRoot = 0x80004003u,

    /* Install package. */
    kStatusExtractFailed = 0x80006002u,
    kStatusPackageNotTrusted = 0x80006003u,

    /* Pipeline server answers to a ping. */
    kStatusBadResponse = 0x80008001u,
    kStatusServer900 = 0x80008002u,
    kStatusServer100 = 0x80008003u,
    kStatusServer300 = 0x80008004u,
    kStatusServer700 = 0x80008005u,
    kStatusServer10 = 0x80008006u,
    kStatusServer6000 = 0x80008007u,

    /* Installer. */
    kStatusInstallFailed = 0x80009001u,
    kStatusInstallCancelled = 0x80009002u
};

#else
/* C: unsigned constants, since ISO C limits enumerators to the range of int. */
typedef uint32_t WsStatus;

#define kStatusSuccess ((uint32_t)0x00000000u)

/* States. */
#define kStatusNotRunning ((uint32_t)0x40001001u)
#define kStatusPending ((uint32_t)0x40001002u)
#define kStatusTransferIdle ((uint32_t)0x40002001u)
#define kStatusTransferStarted ((uint32_t)0x40002002u)
#define kStatusTransferResuming ((uint32_t)0x40002003u)
#define kStatusTransferReceiving ((uint32_t)0x40002004u)
#define kStatusTransferComplete ((uint32_t)0x40002005u)
#define kStatusTransferVerifying ((uint32_t)0x40002007u)

/* General and session. */
#define kStatusInvalidSession ((uint32_t)0x80001001u)
#define kStatusUnexpected ((uint32_t)0x80001002u)
#define kStatusAlreadyRunning ((uint32_t)0x80001004u)
#define kStatusBadUrl ((uint32_t)0x80001006u)
#define kStatusInternetOpenFailed ((uint32_t)0x80001007u)
#define kStatusNoSuchItem ((uint32_t)0x8000100cu)

/* HTTP transport. */
#define kStatusServerUnreachable ((uint32_t)0x80002001u)
#define kStatusRequestOpenFailed ((uint32_t)0x80002002u)
#define kStatusSendFailed ((uint32_t)0x80002003u)
#define kStatusReceiveFailed ((uint32_t)0x80002004u)
#define kStatusHttpTimeout ((uint32_t)0x80002005u)
#define kStatusFileCreateFailed ((uint32_t)0x80002006u)
#define kStatusNotFound ((uint32_t)0x80002007u)
#define kStatusBadContentType ((uint32_t)0x80002008u)
#define kStatusBadRequest ((uint32_t)0x80002009u)
#define kStatusServerError ((uint32_t)0x8000200au)
#define kStatusUnexpectedHttpStatus ((uint32_t)0x8000200bu)
#define kStatusProxyAuthRequired ((uint32_t)0x8000200cu)
#define kStatusTooLargeForBrowser7 ((uint32_t)0x8000200du)
#define kStatusTooLargeForBrowser8 ((uint32_t)0x8000200eu)
#define kStatusRetryFailed ((uint32_t)0x8000200fu)
#define kStatusDiskFull ((uint32_t)0x80002010u)
#define kStatusTimeout ((uint32_t)0x80002011u)
#define kStatusConnectTimeout ((uint32_t)0x80002012u)
#define kStatusPostFileFailed ((uint32_t)0x80002013u)
#define kStatusCertDateInvalid ((uint32_t)0x80002014u)
#define kStatusCertNameInvalid ((uint32_t)0x80002015u)
#define kStatusChecksumMismatch ((uint32_t)0x80002016u)

/* Query and catalog. */
#define kStatusBadGroupType ((uint32_t)0x80003001u)
#define kStatusEntryIndex ((uint32_t)0x80003002u)
#define kStatusNoGroup ((uint32_t)0x80003003u)
#define kStatusGroupNotClosed ((uint32_t)0x80003004u)
#define kStatusQueryEmpty ((uint32_t)0x80003005u)

/* XML documents. */
#define kStatusXmlParseFailed ((uint32_t)0x80004002u)
#define kStatusXmlNoRoot ((uint32_t)0x80004003u)

/* Install package. */
#define kStatusExtractFailed ((uint32_t)0x80006002u)
#define kStatusPackageNotTrusted ((uint32_t)0x80006003u)

/* Pipeline server answers to a ping. */
#define kStatusBadResponse ((uint32_t)0x80008001u)
#define kStatusServer900 ((uint32_t)0x80008002u)
#define kStatusServer100 ((uint32_t)0x80008003u)
#define kStatusServer300 ((uint32_t)0x80008004u)
#define kStatusServer700 ((uint32_t)0x80008005u)
#define kStatusServer10 ((uint32_t)0x80008006u)
#define kStatusServer6000 ((uint32_t)0x80008007u)

/* Installer. */
#define kStatusInstallFailed ((uint32_t)0x80009001u)
#define kStatusInstallCancelled ((uint32_t)0x80009002u)

#endif

/* ---- Sessions ----------------------------------------------------------
 * Open a session first, pass its id to every other call, close it last. */

/* Opens a session for an application (swapp) and its wrapper library;
 * locale goes into query packets. Writes the new id (1, 2, 3, ...; never
 * reused) to *sessionId, or 0 on failure. Same as WsUdOpen2 with flags 0. */
uint32_t WsUdOpen(const wchar_t* swappName, const wchar_t* swappVersion,
                  const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                  const wchar_t* locale, uint32_t* sessionId);
/* As WsUdOpen, with flags: bit 0 silent (a proxy asking for credentials fails
 * queries and pings with 0x8000200c instead of showing a dialog), bits 1-3
 * the invocation type (0-7) sent with pings. Other bits are ignored. */
uint32_t WsUdOpen2(const wchar_t* swappName, const wchar_t* swappVersion,
                   const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                   const wchar_t* locale, uint32_t flags, uint32_t* sessionId);
/* Cancels the session's transfers and destroys it; its downloaded package
 * file is deleted. 0 also for an id already closed or below 1. */
uint32_t WsUdClose(uint32_t sessionId);

/* ---- Server ping ------------------------------------------------------- */

/* Pings the pipeline service and blocks until the ping ends (timeoutMs 0: no
 * bound, else 0x80002011 when it expires). 0, 0x8000800x for a non-zero server
 * status, or the failure. serverDate always gets a BSTR: the date, or empty. */
uint32_t WsUdServerPing(uint32_t sessionId, uint32_t timeoutMs, VARIANT* serverDate);
/* Sets the owner window of the proxy authentication dialog of later pings
 * (the desktop window when none is set). */
uint32_t WsUdSetParentWindow(uint32_t sessionId, HWND window);

/* ---- Query building ----------------------------------------------------
 * Groups (0 "And", 1 "Or") nest; terms and texts go into the current group.
 * The query stays in the session and is reused by every submit until reset. */

/* Opens a group: the outermost one, or one nested in the current group; the
 * new group becomes current. A type other than 0 and 1 fails at submit. */
uint32_t WsUdQueryOpenGroup(uint32_t sessionId, uint32_t groupType);
/* Closes the current group; its parent becomes current (the outermost group
 * stays current). 0x80003003 when the query has no group. */
uint32_t WsUdQueryCloseGroup(uint32_t sessionId);
/* Adds a term (field equals value) to the current group; 0x80003003 when the
 * query has no group. */
uint32_t WsUdQueryAddTerm(uint32_t sessionId, const wchar_t* field, const wchar_t* value);
/* Adds a text item with a compare type (0 equal, 1 NotEqual, 2 Contains, 3 >,
 * 4 >=, 5 <, 6 <=); reserved is ignored. 0x80003003 when there is no group. */
uint32_t WsUdQueryAddText(uint32_t sessionId, const wchar_t* field, const wchar_t* value,
                          int32_t reserved, uint32_t compareType);
/* Empties the query: no groups, no current group. */
uint32_t WsUdQueryReset(uint32_t sessionId);

/* ---- Query execution ---------------------------------------------------
 * A timeoutMs of 0 starts the query and returns 0x40001002; poll with
 * WsUdQueryCheck until it stops returning 0x40001002. */

/* Posts the query (at most maxHits entries wanted), replacing any earlier
 * query request. 0 when done within timeoutMs, 0x40001002 with timeoutMs 0,
 * 0x80002011 (cancelled) when a non-zero wait expires, or the failure. */
uint32_t WsUdQuerySubmit(uint32_t sessionId, uint32_t maxHits, uint32_t timeoutMs);
/* Waits up to timeoutMs: 0x40001002 still running; 0 (or the failure) once
 * when it has ended; 0x40001001 afterwards and when nothing was submitted. */
uint32_t WsUdQueryCheck(uint32_t sessionId, uint32_t timeoutMs);
/* Aborts the query and discards its request and result. */
uint32_t WsUdQueryCancel(uint32_t sessionId);

/* ---- Query results -----------------------------------------------------
 * Read after the query has ended: the raw response body as received, and
 * the server status code of its header. */

/* Byte length of the response body (0 when there is none). */
uint32_t WsUdQueryResultSize(uint32_t sessionId, uint32_t* size);
/* Copies the body, byte for byte and without a terminator, into buffer, which
 * holds at least WsUdQueryResultSize bytes. */
uint32_t WsUdQueryResult(uint32_t sessionId, uint8_t* buffer);
/* The body as a BSTR, converted from the system ANSI code page (not from
 * UTF-8); prefer WsUdQueryResult for XML. */
uint32_t WsUdQueryResultVariant(uint32_t sessionId, VARIANT* result);
/* The "code" of the response header's server status (written only on
 * success). 0x80004002 for a body that is no XML, 0x80004003 for none. */
uint32_t WsUdQueryStatus(uint32_t sessionId, uint32_t* serverStatus);
/* Number of entries in the result catalog. The library does not fill the
 * catalog: always 0; read the entries from the raw response. */
uint32_t WsUdQueryGetHitCount(uint32_t sessionId, uint32_t* count);

/* ---- Entry accessors ---------------------------------------------------
 * Fields of result catalog entry `index` (0-based), as a WsUdText buffer or a
 * VARIANT. While the catalog is empty every accessor returns 0x80003002 with
 * an empty string (numbers are left unchanged). */

/* Entry id. */
uint32_t WsUdQueryGetId(uint32_t sessionId, uint32_t index, WsUdText value);
/* Entry id, as a BSTR. */
uint32_t WsUdQueryGetIdVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
/* Entry type. */
uint32_t WsUdQueryGetType(uint32_t sessionId, uint32_t index, WsUdText value);
/* Entry type, as a BSTR. */
uint32_t WsUdQueryGetTypeVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
/* Product (UPC) of the entry. */
uint32_t WsUdQueryGetUPC(uint32_t sessionId, uint32_t index, WsUdText value);
/* Product (UPC) of the entry, as a BSTR. */
uint32_t WsUdQueryGetUPCVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
/* Product version of the entry. */
uint32_t WsUdQueryGetUPCVersion(uint32_t sessionId, uint32_t index, WsUdText value);
/* Product version of the entry, as a BSTR. */
uint32_t WsUdQueryGetUPCVersionVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
/* Minimum product version the entry applies to. */
uint32_t WsUdQueryGetUPCMinVersion(uint32_t sessionId, uint32_t index, WsUdText value);
/* Minimum product version the entry applies to, as a BSTR. */
uint32_t WsUdQueryGetUPCMinVersionVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
/* Download GUID of the entry. */
uint32_t WsUdQueryGetDownloadGuid(uint32_t sessionId, uint32_t index, WsUdText value);
/* Download GUID of the entry, as a BSTR. */
uint32_t WsUdQueryGetDownloadGuidVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
/* Download size in bytes: its low 32 bits only (written only on success). */
uint32_t WsUdQueryGetDownloadSize(uint32_t sessionId, uint32_t index, uint32_t* size);
/* Number of install-condition types of the entry (written only on success). */
uint32_t WsUdQueryGetInstallConditionsTypeCount(uint32_t sessionId, uint32_t index,
                                                uint32_t* count);
/* Name of install-condition type typeIndex; 0x8000100c when typeIndex is out
 * of range. */
uint32_t WsUdQueryGetInstallConditionsType(uint32_t sessionId, uint32_t index, uint32_t typeIndex,
                                           WsUdText value);
/* Name of install-condition type typeIndex, as a BSTR; 0x8000100c when
 * typeIndex is out of range. */
uint32_t WsUdQueryGetInstallConditionsTypeVariant(uint32_t sessionId, uint32_t index,
                                                  uint32_t typeIndex, VARIANT* value);
/* Number of conditions of conditionType (exact, case-sensitive match); 0 with
 * status 0 for a type the entry does not have. */
uint32_t WsUdQueryGetInstallConditionsCount(uint32_t sessionId, uint32_t index,
                                            const wchar_t* conditionType, uint32_t* count);
/* Condition conditionIndex of conditionType; 0x8000100c for an unknown type
 * or an index out of range. */
uint32_t WsUdQueryGetInstallConditions(uint32_t sessionId, uint32_t index,
                                       const wchar_t* conditionType, uint32_t conditionIndex,
                                       WsUdText value);
/* Condition conditionIndex of conditionType, as a BSTR; 0x8000100c for an
 * unknown type or an index out of range. */
uint32_t WsUdQueryGetInstallConditionsVariant(uint32_t sessionId, uint32_t index,
                                              const wchar_t* conditionType, uint32_t conditionIndex,
                                              VARIANT* value);

/* ---- Download, first version ------------------------------------------
 * The package for the install step, streamed to a temporary file of the
 * session's own ("korvel-<GUID>.pkg" in the user's temp folder). progress is
 * 0.0 to 1.0, sizeKnown 1 when the server announced the length. */

/* Does nothing; returns 0 for any id. */
uint32_t WsUdDownloadOpen(uint32_t sessionId);
/* Starts a GET of url (the previous package download is cancelled and its
 * file deleted), waits up to timeoutMs, then 50 ms more: 0x40001002 running,
 * 0 or 0x40001001 finished, else the failure (0x80002011: the wait expired). */
uint32_t WsUdDownloadSubmit(uint32_t sessionId, const wchar_t* url, uint32_t timeoutMs,
                            double* progress, uint8_t* sizeKnown);
/* Waits up to timeoutMs and reports progress: 0x40001002 still running; 0 (or
 * the failure) once at the end; 0x40001001 afterwards. 0 before any submit. */
uint32_t WsUdDownloadCheck(uint32_t sessionId, uint32_t timeoutMs, double* progress,
                           uint8_t* sizeKnown);
/* Aborts the package download (waiting briefly for it) and returns 0. */
uint32_t WsUdDownloadCancel(uint32_t sessionId);
/* Does nothing; returns 0 for any id. */
uint32_t WsUdDownloadClose(uint32_t sessionId);

/* ---- Download, second version ------------------------------------------
 * Download into a file of the host's choice, resuming a partial one.
 * WsUdDownloadCheck2 returns the transfer state (0x4000200x) or the failure
 * the transfer ended with. */

/* Starts a GET of url into targetFile (a full path), replacing the session's
 * previous file download. Normally returns 0x40001002: the transfer runs on. */
uint32_t WsUdDownloadSubmit2(uint32_t sessionId, const wchar_t* url, const wchar_t* targetFile);
/* Returns at once (timeoutMs is ignored) with the transfer state: 0x40002002-4
 * or 0x40002007 running, 0x40002005 done, 0x40002001 cancelled, 0x8000xxxx
 * failed. Byte counts include a resumed file's bytes. 0 before any submit. */
uint32_t WsUdDownloadCheck2(uint32_t sessionId, uint32_t timeoutMs, uint64_t* bytesReceived,
                            uint64_t* bytesTotal);
/* Aborts the file download and returns 0 at once; the partial file stays for
 * a later resume. */
uint32_t WsUdDownloadCancel2(uint32_t sessionId);

/* ---- Install -----------------------------------------------------------
 * Installs the package of the session's last finished WsUdDownloadSubmit.
 * The waits of these calls do not dispatch window messages. */

/* Does nothing; returns 0 for any id. */
uint32_t WsUdInstallOpen(uint32_t sessionId);
/* Extracts the package into a new temp folder, starts the installer that its
 * "pakord.id" names and waits up to timeoutMs: 0x40001002 still running, else
 * 0, 0x80009002 (user cancelled), 0x80009001, 0x80006002 or, when the
 * registry value PackageKeys is set, 0x80006003 (not signed by those keys). */
uint32_t WsUdInstallSubmit(uint32_t sessionId, uint32_t timeoutMs);
/* Waits up to timeoutMs for the installer: 0x40001002 still running, else its
 * outcome as for WsUdInstallSubmit; the extracted folder is then removed. */
uint32_t WsUdInstallCheck(uint32_t sessionId, uint32_t timeoutMs);
/* Returns 0 for an open session; the installer is not stopped. */
uint32_t WsUdInstallCancel(uint32_t sessionId);
/* Does nothing; returns 0 for any id. */
uint32_t WsUdInstallClose(uint32_t sessionId);

/* ---- Function-pointer types -------------------------------------------
 * One per export, for hosts that load the library at run time. GetProcAddress
 * returns a FARPROC; convert it through a plain function pointer type, which
 * ISO C allows and -Wcast-function-type accepts:
 *
 *     PFN_WsUdOpen open = (PFN_WsUdOpen)(void (*)(void))GetProcAddress(module, "WsUdOpen");
 */

typedef uint32_t (*PFN_WsUdOpen)(const wchar_t* swappName, const wchar_t* swappVersion,
                                 const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                                 const wchar_t* locale, uint32_t* sessionId);
typedef uint32_t (*PFN_WsUdOpen2)(const wchar_t* swappName, const wchar_t* swappVersion,
                                  const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                                  const wchar_t* locale, uint32_t flags, uint32_t* sessionId);
typedef uint32_t (*PFN_WsUdClose)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdServerPing)(uint32_t sessionId, uint32_t timeoutMs, VARIANT* serverDate);
typedef uint32_t (*PFN_WsUdSetParentWindow)(uint32_t sessionId, HWND window);
typedef uint32_t (*PFN_WsUdQueryOpenGroup)(uint32_t sessionId, uint32_t groupType);
typedef uint32_t (*PFN_WsUdQueryCloseGroup)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdQueryAddTerm)(uint32_t sessionId, const wchar_t* field,
                                         const wchar_t* value);
typedef uint32_t (*PFN_WsUdQueryAddText)(uint32_t sessionId, const wchar_t* field,
                                         const wchar_t* value, int32_t reserved,
                                         uint32_t compareType);
typedef uint32_t (*PFN_WsUdQueryReset)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdQuerySubmit)(uint32_t sessionId, uint32_t maxHits, uint32_t timeoutMs);
typedef uint32_t (*PFN_WsUdQueryCheck)(uint32_t sessionId, uint32_t timeoutMs);
typedef uint32_t (*PFN_WsUdQueryCancel)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdQueryResultSize)(uint32_t sessionId, uint32_t* size);
typedef uint32_t (*PFN_WsUdQueryResult)(uint32_t sessionId, uint8_t* buffer);
typedef uint32_t (*PFN_WsUdQueryResultVariant)(uint32_t sessionId, VARIANT* result);
typedef uint32_t (*PFN_WsUdQueryStatus)(uint32_t sessionId, uint32_t* serverStatus);
typedef uint32_t (*PFN_WsUdQueryGetHitCount)(uint32_t sessionId, uint32_t* count);
typedef uint32_t (*PFN_WsUdQueryGetId)(uint32_t sessionId, uint32_t index, WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetIdVariant)(uint32_t sessionId, uint32_t index, VARIANT* value);
typedef uint32_t (*PFN_WsUdQueryGetType)(uint32_t sessionId, uint32_t index, WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetTypeVariant)(uint32_t sessionId, uint32_t index, VARIANT* value);
typedef uint32_t (*PFN_WsUdQueryGetUPC)(uint32_t sessionId, uint32_t index, WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetUPCVariant)(uint32_t sessionId, uint32_t index, VARIANT* value);
typedef uint32_t (*PFN_WsUdQueryGetUPCVersion)(uint32_t sessionId, uint32_t index, WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetUPCVersionVariant)(uint32_t sessionId, uint32_t index,
                                                      VARIANT* value);
typedef uint32_t (*PFN_WsUdQueryGetUPCMinVersion)(uint32_t sessionId, uint32_t index,
                                                  WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetUPCMinVersionVariant)(uint32_t sessionId, uint32_t index,
                                                         VARIANT* value);
typedef uint32_t (*PFN_WsUdQueryGetDownloadGuid)(uint32_t sessionId, uint32_t index,
                                                 WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetDownloadGuidVariant)(uint32_t sessionId, uint32_t index,
                                                        VARIANT* value);
typedef uint32_t (*PFN_WsUdQueryGetDownloadSize)(uint32_t sessionId, uint32_t index,
                                                 uint32_t* size);
typedef uint32_t (*PFN_WsUdQueryGetInstallConditionsTypeCount)(uint32_t sessionId, uint32_t index,
                                                               uint32_t* count);
typedef uint32_t (*PFN_WsUdQueryGetInstallConditionsType)(uint32_t sessionId, uint32_t index,
                                                          uint32_t typeIndex, WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetInstallConditionsTypeVariant)(uint32_t sessionId, uint32_t index,
                                                                 uint32_t typeIndex,
                                                                 VARIANT* value);
typedef uint32_t (*PFN_WsUdQueryGetInstallConditionsCount)(uint32_t sessionId, uint32_t index,
                                                           const wchar_t* conditionType,
                                                           uint32_t* count);
typedef uint32_t (*PFN_WsUdQueryGetInstallConditions)(uint32_t sessionId, uint32_t index,
                                                      const wchar_t* conditionType,
                                                      uint32_t conditionIndex, WsUdText value);
typedef uint32_t (*PFN_WsUdQueryGetInstallConditionsVariant)(uint32_t sessionId, uint32_t index,
                                                             const wchar_t* conditionType,
                                                             uint32_t conditionIndex,
                                                             VARIANT* value);
typedef uint32_t (*PFN_WsUdDownloadOpen)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdDownloadSubmit)(uint32_t sessionId, const wchar_t* url,
                                           uint32_t timeoutMs, double* progress,
                                           uint8_t* sizeKnown);
typedef uint32_t (*PFN_WsUdDownloadCheck)(uint32_t sessionId, uint32_t timeoutMs, double* progress,
                                          uint8_t* sizeKnown);
typedef uint32_t (*PFN_WsUdDownloadCancel)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdDownloadClose)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdDownloadSubmit2)(uint32_t sessionId, const wchar_t* url,
                                            const wchar_t* targetFile);
typedef uint32_t (*PFN_WsUdDownloadCheck2)(uint32_t sessionId, uint32_t timeoutMs,
                                           uint64_t* bytesReceived, uint64_t* bytesTotal);
typedef uint32_t (*PFN_WsUdDownloadCancel2)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdInstallOpen)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdInstallSubmit)(uint32_t sessionId, uint32_t timeoutMs);
typedef uint32_t (*PFN_WsUdInstallCheck)(uint32_t sessionId, uint32_t timeoutMs);
typedef uint32_t (*PFN_WsUdInstallCancel)(uint32_t sessionId);
typedef uint32_t (*PFN_WsUdInstallClose)(uint32_t sessionId);

#ifdef __cplusplus
}
#endif

#endif
