#pragma once

#include "base/CriticalSection.h"
#include "http/InternetConnection.h"
#include "http/NoticeGate.h"
#include "http/TransferWorker.h"
#include "session/FailureBoundary.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace korvel {

// Guards the session table of the process's one manager. It lives beside the
// manager, not in it, and is constructed before it at library load.
CriticalSection& SessionTableLock();

// The table of open sessions. Slot i holds the session whose id is i + 1; a
// closed session leaves an empty slot, so ids follow the order of opening and
// are never issued twice.
template <class Session> class WsGenericManager {
public:
    WsGenericManager() = default;
    WsGenericManager(const WsGenericManager&) = delete;
    WsGenericManager& operator=(const WsGenericManager&) = delete;

    virtual ~WsGenericManager() = default;

    uint32_t AddSession(std::shared_ptr<Session> session)
    {
        CriticalSectionLock lock(SessionTableLock());
        sessions_.push_back(std::move(session));
        return static_cast<uint32_t>(sessions_.size());
    }

    // The caller uses the session outside the lock, and keeps it while it
    // does: a window message that an export's wait dispatches may close it.
    std::shared_ptr<Session> FindSession(uint32_t id)
    {
        CriticalSectionLock lock(SessionTableLock());
        const auto signedId = static_cast<int32_t>(id);
        if (signedId < 1 || static_cast<size_t>(signedId - 1) >= sessions_.size())
            Raise(kStatusInvalidSession);
        std::shared_ptr<Session> session = sessions_[signedId - 1];
        if (!session)
            Raise(kStatusInvalidSession);
        return session;
    }

    // The session is destroyed under the lock: lookups on other threads wait
    // until its requests have stopped.
    uint32_t CloseSession(uint32_t id)
    {
        return CallWithinFailureBoundary([&]() -> uint32_t {
            CriticalSectionLock lock(SessionTableLock());
            const auto signedId = static_cast<int32_t>(id);
            if (signedId < 1)
                return kStatusSuccess;
            auto& slot = sessions_.at(static_cast<size_t>(signedId - 1));
            if (ownsSessions_)
                slot.reset();
            return kStatusSuccess;
        });
    }

    // Finds the session and runs the operation on it inside the failure
    // boundary; the operation returns the export's status.
    template <class Operation> uint32_t Forward(uint32_t id, Operation&& operation) noexcept
    {
        return CallWithinFailureBoundary([&]() -> uint32_t {
            const std::shared_ptr<Session> session = FindSession(id);
            return operation(*session);
        });
    }

protected:
    // Destroys the remaining sessions in id order, without the lock: it runs
    // at library unload, when no export can be called any more. Every
    // transfer is told to stop and has ended before any session goes, so no
    // wait of theirs waits or dispatches a message inside DllMain.
    void DestroySessions()
    {
        for (auto& slot : sessions_)
            if (slot)
                slot->AbortTransfers();
        TransferWorker::EndAll();
        for (auto& slot : sessions_)
            slot.reset();
        InternetConnection::Sweep(true);
        NoticeGate::Close();
    }

private:
    bool ownsSessions_ = true;
    std::vector<std::shared_ptr<Session>> sessions_;
};

} // namespace korvel
