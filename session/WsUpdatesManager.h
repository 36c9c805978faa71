#pragma once

#include "session/WsGenericManager.h"
#include "session/WsUpdatesSession.h"

namespace korvel {

// The process's one session manager, alive from library load to unload.
class WsUpdatesManager : public WsGenericManager<WsUpdatesSession> {
public:
    WsUpdatesManager();
    ~WsUpdatesManager() override;

    uint32_t OpenSession(const WsString& swappName, const WsString& swappVersion,
                         const WsString& wrapperlibName, const WsString& wrapperlibVersion,
                         const WsString& locale, uint32_t flags, uint32_t* sessionId) noexcept;
};

WsUpdatesManager& ProcessManager();

// Tears the library down on a FreeLibrary: the manager's closing line, the
// sessions aborted and destroyed, the log closed with its last user. Never at
// a process exit: the other threads are gone by then, perhaps still holding
// locks that this would wait for.
void OnLibraryUnload();

} // namespace korvel
