#pragma once

#include <windows.h>

namespace korvel {

// Work a worker's procedure leaves for the end of its callback, once the
// owner has stopped waiting: it runs on the worker's thread and owns all it
// touches. What it leaves running may need this module after the callback
// has returned; the owner then offers it a reference on the module.
class WorkerTail {
public:
    virtual ~WorkerTail() = default;
    // Does the work; the result goes to an owner that waited for it.
    virtual DWORD_PTR Run() = 0;
    // Offers a reference on the module to what Run left running, given its
    // result: true when taken, false when the reference stays the caller's.
    virtual bool KeepModule(DWORD_PTR result, HMODULE reference) = 0;
};

} // namespace korvel
