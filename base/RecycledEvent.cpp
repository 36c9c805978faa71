#include "base/RecycledEvent.h"

#include "base/SrwLockGuard.h"

#include <cstddef>
#include <utility>

namespace korvel {

namespace {

constexpr std::size_t kShelfPlaces = 8;

// Constant-initialised and trivially destructible, so that sessions that
// static destructors close at unload may still give their events back; the
// closer below empties the shelf at unload, and any event given back after it
// is closed at once.
struct Shelf {
    SRWLOCK lock = SRWLOCK_INIT;
    HANDLE events[2][kShelfPlaces] = {};
    std::size_t counts[2] = {};
    bool closed = false;
};
Shelf shelf;

struct ShelfCloser {
    ~ShelfCloser()
    {
        const SrwExclusiveLock lock(shelf.lock);
        shelf.closed = true;
        for (std::size_t kind = 0; kind < 2; ++kind)
            while (shelf.counts[kind] != 0)
                CloseHandle(shelf.events[kind][--shelf.counts[kind]]);
    }
};
ShelfCloser closer;

std::size_t Row(RecycledEvent::Kind kind)
{
    return kind == RecycledEvent::Kind::kManualReset ? 0 : 1;
}

} // namespace

bool RecycledEvent::Take(Kind kind)
{
    GiveBack();
    kind_ = kind;
    maySignal_ = true;
    {
        const SrwExclusiveLock lock(shelf.lock);
        std::size_t& count = shelf.counts[Row(kind)];
        if (count != 0)
            handle_ = shelf.events[Row(kind)][--count];
    }
    if (handle_ == nullptr)
        handle_ = CreateEventW(nullptr, kind == Kind::kManualReset, FALSE, nullptr);
    return handle_ != nullptr;
}

void RecycledEvent::GiveBack()
{
    if (handle_ == nullptr)
        return;
    const HANDLE event = std::exchange(handle_, nullptr);
    if (maySignal_ && !ResetEvent(event)) {
        CloseHandle(event);
        return;
    }
    {
        const SrwExclusiveLock lock(shelf.lock);
        std::size_t& count = shelf.counts[Row(kind_)];
        if (!shelf.closed && count < kShelfPlaces) {
            shelf.events[Row(kind_)][count++] = event;
            return;
        }
    }
    CloseHandle(event);
}

} // namespace korvel
