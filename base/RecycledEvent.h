#pragma once

#include <windows.h>

namespace korvel {

// An event object that comes from the process's shelf of spare ones, in the
// unsignalled state, and goes back to it when its owner is done. Every query
// waits on three events; creating and closing them each time would cost a
// system call apiece. The shelf holds a few events of each kind and closes
// them when the library is unloaded.
class RecycledEvent {
public:
    enum class Kind { kManualReset, kAutoReset };

    RecycledEvent() = default;
    explicit RecycledEvent(Kind kind) { Take(kind); }
    ~RecycledEvent() { GiveBack(); }
    RecycledEvent(const RecycledEvent&) = delete;
    RecycledEvent& operator=(const RecycledEvent&) = delete;

    // Gives back the event held, then takes one of the kind: false when none
    // could be created.
    bool Take(Kind kind);
    // An event that may be signalled is reset on its way back to the shelf.
    void GiveBack();

    bool IsOpen() const { return handle_ != nullptr; }
    HANDLE Get() const { return handle_; }
    // Whoever signals the event or consumes its signal says what state it
    // leaves: only an event known to be unsignalled goes back without a reset.
    void SetMaySignal(bool maySignal) { maySignal_ = maySignal; }

private:
    HANDLE handle_ = nullptr;
    Kind kind_ = Kind::kAutoReset;
    bool maySignal_ = true;
};

} // namespace korvel
