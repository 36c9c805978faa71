#pragma once

#include <windows.h>

#include <wininet.h>

#include <vector>

namespace korvel {

// Closes handles of a chain in the given order (children first) on a thread of
// the process's pool. Some WinINet implementations read a request's unread
// answer to its end on the thread that closes it, and fail when a parent and
// its child are closed on two threads at once: such a chain is closed here,
// whole, away from the transaction and the host. The pool's callback holds a
// reference on this module, which the pool lets go after the callback has
// returned. Called on a host thread; while the module is unloading, when no
// reference can keep it, the pool closes the chain's root by calling WinINet
// directly, and the root takes its children along.
void CloseInBackground(std::vector<HINTERNET> handles);

} // namespace korvel
