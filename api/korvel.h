/* korvel.dll: the Updates API of KORVEL 19.0.0.
 *
 * Every function returns a status code: 0 is success, 0x8000xxxx a failure,
 * 0x4000xxxx a state (still running, nothing running, transfer progress).
 * Text is UTF-16. Buffers named WsUdText receive at most 259 characters and a
 * terminating zero; a longer value arrives as an empty string. VARIANT
 * outputs are cleared with VariantClear and then hold a BSTR that the caller
 * frees. Sessions are used from one thread at a time. */
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
enum WsStatus : uint32_t {
#else
enum WsStatus {
#endif
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

/* Sessions. Flags of WsUdOpen2: bit 0 silent (a proxy asking for credentials
 * fails the request instead of showing a dialog), bits 1-3 the invocation
 * type sent with pings. WsUdOpen is WsUdOpen2 with flags 0. */
uint32_t WsUdOpen(const wchar_t* swappName, const wchar_t* swappVersion,
                  const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                  const wchar_t* locale, uint32_t* sessionId);
uint32_t WsUdOpen2(const wchar_t* swappName, const wchar_t* swappVersion,
                   const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                   const wchar_t* locale, uint32_t flags, uint32_t* sessionId);
uint32_t WsUdClose(uint32_t sessionId);

/* Asks the pipeline service to answer; serverDate receives its date. */
uint32_t WsUdServerPing(uint32_t sessionId, uint32_t timeoutMs, VARIANT* serverDate);
/* Owner window of the proxy authentication dialog of later pings. */
uint32_t WsUdSetParentWindow(uint32_t sessionId, HWND window);

/* Query building: groups (0 "And", 1 "Or") nest; terms and texts go into the
 * current group. */
uint32_t WsUdQueryOpenGroup(uint32_t sessionId, uint32_t groupType);
uint32_t WsUdQueryCloseGroup(uint32_t sessionId);
uint32_t WsUdQueryAddTerm(uint32_t sessionId, const wchar_t* field, const wchar_t* value);
uint32_t WsUdQueryAddText(uint32_t sessionId, const wchar_t* field, const wchar_t* value,
                          int32_t reserved, uint32_t compareType);
uint32_t WsUdQueryReset(uint32_t sessionId);

/* Query execution: a timeoutMs of 0 starts and returns 0x40001002; poll with
 * WsUdQueryCheck until it stops returning 0x40001002. */
uint32_t WsUdQuerySubmit(uint32_t sessionId, uint32_t maxHits, uint32_t timeoutMs);
uint32_t WsUdQueryCheck(uint32_t sessionId, uint32_t timeoutMs);
uint32_t WsUdQueryCancel(uint32_t sessionId);

/* Results: the raw response body, and the server status code in its header.
 * The buffer of WsUdQueryResult holds at least WsUdQueryResultSize bytes. */
uint32_t WsUdQueryResultSize(uint32_t sessionId, uint32_t* size);
uint32_t WsUdQueryResult(uint32_t sessionId, uint8_t* buffer);
uint32_t WsUdQueryResultVariant(uint32_t sessionId, VARIANT* result);
uint32_t WsUdQueryStatus(uint32_t sessionId, uint32_t* serverStatus);
uint32_t WsUdQueryGetHitCount(uint32_t sessionId, uint32_t* count);

/* Entry accessors of the result catalog, by 0-based entry index. */
uint32_t WsUdQueryGetId(uint32_t sessionId, uint32_t index, WsUdText value);
uint32_t WsUdQueryGetIdVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
uint32_t WsUdQueryGetType(uint32_t sessionId, uint32_t index, WsUdText value);
uint32_t WsUdQueryGetTypeVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
uint32_t WsUdQueryGetUPC(uint32_t sessionId, uint32_t index, WsUdText value);
uint32_t WsUdQueryGetUPCVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
uint32_t WsUdQueryGetUPCVersion(uint32_t sessionId, uint32_t index, WsUdText value);
uint32_t WsUdQueryGetUPCVersionVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
uint32_t WsUdQueryGetUPCMinVersion(uint32_t sessionId, uint32_t index, WsUdText value);
uint32_t WsUdQueryGetUPCMinVersionVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
uint32_t WsUdQueryGetDownloadGuid(uint32_t sessionId, uint32_t index, WsUdText value);
uint32_t WsUdQueryGetDownloadGuidVariant(uint32_t sessionId, uint32_t index, VARIANT* value);
/* The low 32 bits of the download size. */
uint32_t WsUdQueryGetDownloadSize(uint32_t sessionId, uint32_t index, uint32_t* size);
uint32_t WsUdQueryGetInstallConditionsTypeCount(uint32_t sessionId, uint32_t index,
                                                uint32_t* count);
uint32_t WsUdQueryGetInstallConditionsType(uint32_t sessionId, uint32_t index, uint32_t typeIndex,
                                           WsUdText value);
uint32_t WsUdQueryGetInstallConditionsTypeVariant(uint32_t sessionId, uint32_t index,
                                                  uint32_t typeIndex, VARIANT* value);
uint32_t WsUdQueryGetInstallConditionsCount(uint32_t sessionId, uint32_t index,
                                            const wchar_t* conditionType, uint32_t* count);
uint32_t WsUdQueryGetInstallConditions(uint32_t sessionId, uint32_t index,
                                       const wchar_t* conditionType, uint32_t conditionIndex,
                                       WsUdText value);
uint32_t WsUdQueryGetInstallConditionsVariant(uint32_t sessionId, uint32_t index,
                                              const wchar_t* conditionType, uint32_t conditionIndex,
                                              VARIANT* value);

/* Download kept for the install step: progress is 0.0 to 1.0, sizeKnown 1
 * when the server announced the length. */
uint32_t WsUdDownloadOpen(uint32_t sessionId);
uint32_t WsUdDownloadSubmit(uint32_t sessionId, const wchar_t* url, uint32_t timeoutMs,
                            double* progress, uint8_t* sizeKnown);
uint32_t WsUdDownloadCheck(uint32_t sessionId, uint32_t timeoutMs, double* progress,
                           uint8_t* sizeKnown);
uint32_t WsUdDownloadCancel(uint32_t sessionId);
uint32_t WsUdDownloadClose(uint32_t sessionId);

/* Download to a file, resuming a partial one. WsUdDownloadCheck2 returns the
 * transfer state (0x4000200x) or the failure it ended with. */
uint32_t WsUdDownloadSubmit2(uint32_t sessionId, const wchar_t* url, const wchar_t* targetFile);
uint32_t WsUdDownloadCheck2(uint32_t sessionId, uint32_t timeoutMs, uint64_t* bytesReceived,
                            uint64_t* bytesTotal);
uint32_t WsUdDownloadCancel2(uint32_t sessionId);

/* Install the package of the last WsUdDownloadSubmit. */
uint32_t WsUdInstallOpen(uint32_t sessionId);
uint32_t WsUdInstallSubmit(uint32_t sessionId, uint32_t timeoutMs);
uint32_t WsUdInstallCheck(uint32_t sessionId, uint32_t timeoutMs);
uint32_t WsUdInstallCancel(uint32_t sessionId);
uint32_t WsUdInstallClose(uint32_t sessionId);

#ifdef __cplusplus
}
#endif

#endif
