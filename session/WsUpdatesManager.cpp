#include "session/WsUpdatesManager.h"

#include "base/NeverDestroyed.h"
#include "base/Registry.h"
#include "base/WsLog.h"

namespace korvel {

namespace {

// Defined in this order so that the lock exists before the manager is built
// at library load; OnLibraryUnload destroys them in the reverse order.
NeverDestroyed<CriticalSection> kSessionTableLock;
NeverDestroyed<WsUpdatesManager> kManager;

} // namespace

CriticalSection& SessionTableLock()
{
    return kSessionTableLock.Get();
}

WsUpdatesManager& ProcessManager()
{
    return kManager.Get();
}

void OnLibraryUnload()
{
    kManager.Destroy();
    kSessionTableLock.Destroy();
    CloseCachedRegistryKeys();
}

WsUpdatesManager::WsUpdatesManager()
{
    AcquireLog();
    LogLine(L"<WsUpdatesManager::WsUpdatesManager>");
}

// The manager's closing line comes before the sessions' own.
WsUpdatesManager::~WsUpdatesManager()
{
    LogLine(L"</WsUpdatesManager::WsUpdatesManager>");
    ReleaseLog();
    DestroySessions();
}

uint32_t WsUpdatesManager::OpenSession(const WsString& swappName, const WsString& swappVersion,
                                       const WsString& wrapperlibName,
                                       const WsString& wrapperlibVersion, const WsString& locale,
                                       uint32_t flags, uint32_t* sessionId) noexcept
{
    uint32_t id = 0;
    const uint32_t status = CallWithinFailureBoundary([&]() -> uint32_t {
        const WsClientInfo client{swappName,         swappVersion,  wrapperlibName,
                                  wrapperlibVersion, CorelibName(), CorelibVersion()};
        id = AddSession(std::make_shared<WsUpdatesSession>(client, locale, flags));
        return kStatusSuccess;
    });
    if (sessionId != nullptr)
        *sessionId = status == kStatusSuccess ? id : 0;
    return status;
}

} // namespace korvel
