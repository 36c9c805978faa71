// The exported functions. Each lets the process's manager find the session
// and, inside its failure boundary, copy the text arguments and run the
// operation; the outputs are marshalled whatever the status was.
#include "api/korvel.h"

#include "api/Marshal.h"
#include "session/WsUpdatesManager.h"

using namespace korvel;

namespace {

using Session = WsUpdatesSession;

WsUpdatesManager& Manager()
{
    return ProcessManager();
}

// Runs an operation that reports failures only by raising them.
template <class Operation> uint32_t ForwardVoid(uint32_t id, Operation&& operation)
{
    return Manager().Forward(id, [&](Session& session) -> uint32_t {
        operation(session);
        return korvel::kStatusSuccess;
    });
}

// The text fields of a catalog entry, read by the buffer and VARIANT twins.
using EntryField = WsString WsUpdateEntry::*;

uint32_t ReadEntryField(uint32_t id, uint32_t index, EntryField field, WsString& value)
{
    return ForwardVoid(id,
                       [&](Session& session) { value = session.GetCatalog().At(index).*field; });
}

uint32_t EntryFieldToBuffer(uint32_t id, uint32_t index, EntryField field, wchar_t* buffer)
{
    WsString value;
    const uint32_t status = ReadEntryField(id, index, field, value);
    CopyToBuffer(value, buffer);
    return status;
}

uint32_t EntryFieldToVariant(uint32_t id, uint32_t index, EntryField field, VARIANT* variant)
{
    WsString value;
    const uint32_t status = ReadEntryField(id, index, field, value);
    CopyToVariant(value, variant);
    return status;
}

uint32_t ReadConditionType(uint32_t id, uint32_t index, uint32_t typeIndex, WsString& value)
{
    return ForwardVoid(id, [&](Session& session) {
        value = InstallConditionType(session.GetCatalog().At(index), typeIndex);
    });
}

uint32_t ReadCondition(uint32_t id, uint32_t index, const wchar_t* conditionType,
                       uint32_t conditionIndex, WsString& value)
{
    return ForwardVoid(id, [&](Session& session) {
        value = InstallCondition(session.GetCatalog().At(index), TextArgument(conditionType),
                                 conditionIndex);
    });
}

} // namespace

extern "C" {

uint32_t WsUdOpen(const wchar_t* swappName, const wchar_t* swappVersion,
                  const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                  const wchar_t* locale, uint32_t* sessionId)
{
    return WsUdOpen2(swappName, swappVersion, wrapperlibName, wrapperlibVersion, locale, 0,
                     sessionId);
}

uint32_t WsUdOpen2(const wchar_t* swappName, const wchar_t* swappVersion,
                   const wchar_t* wrapperlibName, const wchar_t* wrapperlibVersion,
                   const wchar_t* locale, uint32_t flags, uint32_t* sessionId)
{
    uint32_t id = 0;
    const uint32_t status = CallWithinFailureBoundary([&] {
        return Manager().OpenSession(TextArgument(swappName), TextArgument(swappVersion),
                                     TextArgument(wrapperlibName), TextArgument(wrapperlibVersion),
                                     TextArgument(locale), flags, &id);
    });
    CopyNumber(id, sessionId);
    return status;
}

uint32_t WsUdClose(uint32_t sessionId)
{
    return Manager().CloseSession(sessionId);
}

uint32_t WsUdServerPing(uint32_t sessionId, uint32_t timeoutMs, VARIANT* serverDate)
{
    WsString date;
    const uint32_t status = Manager().Forward(
        sessionId, [&](Session& session) { return session.ServerPing(timeoutMs, date); });
    CopyToVariant(date, serverDate);
    return status;
}

uint32_t WsUdSetParentWindow(uint32_t sessionId, HWND window)
{
    return ForwardVoid(sessionId, [&](Session& session) {
        session.SetParentWindow(reinterpret_cast<uint64_t>(window));
    });
}

uint32_t WsUdQueryOpenGroup(uint32_t sessionId, uint32_t groupType)
{
    return ForwardVoid(sessionId, [&](Session& session) { session.QueryOpenGroup(groupType); });
}

uint32_t WsUdQueryCloseGroup(uint32_t sessionId)
{
    return ForwardVoid(sessionId, [&](Session& session) { session.QueryCloseGroup(); });
}

uint32_t WsUdQueryAddTerm(uint32_t sessionId, const wchar_t* field, const wchar_t* value)
{
    return ForwardVoid(sessionId, [&](Session& session) {
        session.QueryAddTerm(TextArgument(field), TextArgument(value));
    });
}

uint32_t WsUdQueryAddText(uint32_t sessionId, const wchar_t* field, const wchar_t* value, int32_t,
                          uint32_t compareType)
{
    return ForwardVoid(sessionId, [&](Session& session) {
        session.QueryAddText(TextArgument(field), TextArgument(value), compareType);
    });
}

uint32_t WsUdQueryReset(uint32_t sessionId)
{
    return ForwardVoid(sessionId, [&](Session& session) { session.QueryReset(); });
}

uint32_t WsUdQuerySubmit(uint32_t sessionId, uint32_t maxHits, uint32_t timeoutMs)
{
    return Manager().Forward(
        sessionId, [&](Session& session) { return session.QuerySubmit(maxHits, timeoutMs); });
}

uint32_t WsUdQueryCheck(uint32_t sessionId, uint32_t timeoutMs)
{
    return Manager().Forward(sessionId,
                             [&](Session& session) { return session.QueryCheck(timeoutMs); });
}

uint32_t WsUdQueryCancel(uint32_t sessionId)
{
    return ForwardVoid(sessionId, [&](Session& session) { session.QueryCancel(); });
}

uint32_t WsUdQueryResultSize(uint32_t sessionId, uint32_t* size)
{
    std::string body;
    const uint32_t status =
        ForwardVoid(sessionId, [&](Session& session) { session.QueryResult(body); });
    CopyNumber(static_cast<uint32_t>(body.size()), size);
    return status;
}

uint32_t WsUdQueryResult(uint32_t sessionId, uint8_t* buffer)
{
    std::string body;
    const uint32_t status =
        ForwardVoid(sessionId, [&](Session& session) { session.QueryResult(body); });
    CopyBodyToBuffer(body, buffer);
    return status;
}

uint32_t WsUdQueryResultVariant(uint32_t sessionId, VARIANT* result)
{
    std::string body;
    const uint32_t status =
        ForwardVoid(sessionId, [&](Session& session) { session.QueryResult(body); });
    CopyBodyToVariant(body, result);
    return status;
}

uint32_t WsUdQueryStatus(uint32_t sessionId, uint32_t* serverStatus)
{
    return ForwardVoid(sessionId, [&](Session& session) {
        uint32_t code = 0;
        session.QueryStatus(code);
        CopyNumber(code, serverStatus);
    });
}

uint32_t WsUdQueryGetHitCount(uint32_t sessionId, uint32_t* count)
{
    return ForwardVoid(sessionId,
                       [&](Session& session) { CopyNumber(session.QueryGetHitCount(), count); });
}

uint32_t WsUdQueryGetId(uint32_t sessionId, uint32_t index, WsUdText value)
{
    return EntryFieldToBuffer(sessionId, index, &WsUpdateEntry::id, value);
}

uint32_t WsUdQueryGetIdVariant(uint32_t sessionId, uint32_t index, VARIANT* value)
{
    return EntryFieldToVariant(sessionId, index, &WsUpdateEntry::id, value);
}

uint32_t WsUdQueryGetType(uint32_t sessionId, uint32_t index, WsUdText value)
{
    return EntryFieldToBuffer(sessionId, index, &WsUpdateEntry::type, value);
}

uint32_t WsUdQueryGetTypeVariant(uint32_t sessionId, uint32_t index, VARIANT* value)
{
    return EntryFieldToVariant(sessionId, index, &WsUpdateEntry::type, value);
}

uint32_t WsUdQueryGetUPC(uint32_t sessionId, uint32_t index, WsUdText value)
{
    return EntryFieldToBuffer(sessionId, index, &WsUpdateEntry::upc, value);
}

uint32_t WsUdQueryGetUPCVariant(uint32_t sessionId, uint32_t index, VARIANT* value)
{
    return EntryFieldToVariant(sessionId, index, &WsUpdateEntry::upc, value);
}

uint32_t WsUdQueryGetUPCVersion(uint32_t sessionId, uint32_t index, WsUdText value)
{
    return EntryFieldToBuffer(sessionId, index, &WsUpdateEntry::upcVersion, value);
}

uint32_t WsUdQueryGetUPCVersionVariant(uint32_t sessionId, uint32_t index, VARIANT* value)
{
    return EntryFieldToVariant(sessionId, index, &WsUpdateEntry::upcVersion, value);
}

uint32_t WsUdQueryGetUPCMinVersion(uint32_t sessionId, uint32_t index, WsUdText value)
{
    return EntryFieldToBuffer(sessionId, index, &WsUpdateEntry::upcMinVersion, value);
}

uint32_t WsUdQueryGetUPCMinVersionVariant(uint32_t sessionId, uint32_t index, VARIANT* value)
{
    return EntryFieldToVariant(sessionId, index, &WsUpdateEntry::upcMinVersion, value);
}

uint32_t WsUdQueryGetDownloadGuid(uint32_t sessionId, uint32_t index, WsUdText value)
{
    return EntryFieldToBuffer(sessionId, index, &WsUpdateEntry::downloadGuid, value);
}

uint32_t WsUdQueryGetDownloadGuidVariant(uint32_t sessionId, uint32_t index, VARIANT* value)
{
    return EntryFieldToVariant(sessionId, index, &WsUpdateEntry::downloadGuid, value);
}

uint32_t WsUdQueryGetDownloadSize(uint32_t sessionId, uint32_t index, uint32_t* size)
{
    return ForwardVoid(sessionId, [&](Session& session) {
        CopyNumber(static_cast<uint32_t>(session.GetCatalog().At(index).downloadSize), size);
    });
}

uint32_t WsUdQueryGetInstallConditionsTypeCount(uint32_t sessionId, uint32_t index, uint32_t* count)
{
    return ForwardVoid(sessionId, [&](Session& session) {
        const auto& types = session.GetCatalog().At(index).installConditionTypes;
        CopyNumber(static_cast<uint32_t>(types.size()), count);
    });
}

uint32_t WsUdQueryGetInstallConditionsType(uint32_t sessionId, uint32_t index, uint32_t typeIndex,
                                           WsUdText value)
{
    WsString type;
    const uint32_t status = ReadConditionType(sessionId, index, typeIndex, type);
    CopyToBuffer(type, value);
    return status;
}

uint32_t WsUdQueryGetInstallConditionsTypeVariant(uint32_t sessionId, uint32_t index,
                                                  uint32_t typeIndex, VARIANT* value)
{
    WsString type;
    const uint32_t status = ReadConditionType(sessionId, index, typeIndex, type);
    CopyToVariant(type, value);
    return status;
}

uint32_t WsUdQueryGetInstallConditionsCount(uint32_t sessionId, uint32_t index,
                                            const wchar_t* conditionType, uint32_t* count)
{
    return ForwardVoid(sessionId, [&](Session& session) {
        CopyNumber(
            InstallConditionCount(session.GetCatalog().At(index), TextArgument(conditionType)),
            count);
    });
}

uint32_t WsUdQueryGetInstallConditions(uint32_t sessionId, uint32_t index,
                                       const wchar_t* conditionType, uint32_t conditionIndex,
                                       WsUdText value)
{
    WsString condition;
    const uint32_t status =
        ReadCondition(sessionId, index, conditionType, conditionIndex, condition);
    CopyToBuffer(condition, value);
    return status;
}

uint32_t WsUdQueryGetInstallConditionsVariant(uint32_t sessionId, uint32_t index,
                                              const wchar_t* conditionType, uint32_t conditionIndex,
                                              VARIANT* value)
{
    WsString condition;
    const uint32_t status =
        ReadCondition(sessionId, index, conditionType, conditionIndex, condition);
    CopyToVariant(condition, value);
    return status;
}

// The open and close calls of downloads and installs keep no state of their
// own and do not look the session up.
uint32_t WsUdDownloadOpen(uint32_t)
{
    return korvel::kStatusSuccess;
}

uint32_t WsUdDownloadClose(uint32_t)
{
    return korvel::kStatusSuccess;
}

uint32_t WsUdInstallOpen(uint32_t)
{
    return korvel::kStatusSuccess;
}

uint32_t WsUdInstallClose(uint32_t)
{
    return korvel::kStatusSuccess;
}

uint32_t WsUdDownloadSubmit(uint32_t sessionId, const wchar_t* url, uint32_t timeoutMs,
                            double* progress, uint8_t* sizeKnown)
{
    double progressValue = progress != nullptr ? *progress : 0.0;
    uint8_t sizeKnownValue = sizeKnown != nullptr ? *sizeKnown : 0;
    const uint32_t status = Manager().Forward(sessionId, [&](Session& session) {
        return session.DownloadSubmit(TextArgument(url), timeoutMs, progressValue, sizeKnownValue);
    });
    CopyNumber(progressValue, progress);
    CopyNumber(sizeKnownValue, sizeKnown);
    return status;
}

uint32_t WsUdDownloadCheck(uint32_t sessionId, uint32_t timeoutMs, double* progress,
                           uint8_t* sizeKnown)
{
    double progressValue = progress != nullptr ? *progress : 0.0;
    uint8_t sizeKnownValue = sizeKnown != nullptr ? *sizeKnown : 0;
    const uint32_t status = Manager().Forward(sessionId, [&](Session& session) {
        return session.DownloadCheck(timeoutMs, progressValue, sizeKnownValue);
    });
    CopyNumber(progressValue, progress);
    CopyNumber(sizeKnownValue, sizeKnown);
    return status;
}

uint32_t WsUdDownloadCancel(uint32_t sessionId)
{
    return Manager().Forward(sessionId, [&](Session& session) { return session.DownloadCancel(); });
}

uint32_t WsUdDownloadSubmit2(uint32_t sessionId, const wchar_t* url, const wchar_t* targetFile)
{
    return Manager().Forward(sessionId, [&](Session& session) {
        return session.DownloadSubmit2(TextArgument(url), TextArgument(targetFile));
    });
}

uint32_t WsUdDownloadCheck2(uint32_t sessionId, uint32_t timeoutMs, uint64_t* bytesReceived,
                            uint64_t* bytesTotal)
{
    uint64_t received = bytesReceived != nullptr ? *bytesReceived : 0;
    uint64_t total = bytesTotal != nullptr ? *bytesTotal : 0;
    const uint32_t status = Manager().Forward(sessionId, [&](Session& session) {
        return session.DownloadCheck2(timeoutMs, received, total);
    });
    CopyNumber(received, bytesReceived);
    CopyNumber(total, bytesTotal);
    return status;
}

uint32_t WsUdDownloadCancel2(uint32_t sessionId)
{
    return Manager().Forward(sessionId,
                             [&](Session& session) { return session.DownloadCancel2(); });
}

uint32_t WsUdInstallSubmit(uint32_t sessionId, uint32_t timeoutMs)
{
    return Manager().Forward(sessionId,
                             [&](Session& session) { return session.InstallSubmit(timeoutMs); });
}

uint32_t WsUdInstallCheck(uint32_t sessionId, uint32_t timeoutMs)
{
    return Manager().Forward(sessionId,
                             [&](Session& session) { return session.InstallCheck(timeoutMs); });
}

uint32_t WsUdInstallCancel(uint32_t sessionId)
{
    return Manager().Forward(sessionId, [&](Session& session) { return session.InstallCancel(); });
}

} // extern "C"
