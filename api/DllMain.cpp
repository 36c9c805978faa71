#include "base/ProcessState.h"

#include <windows.h>

// The run time calls this before it destroys the library's static objects.
// A detach with a non-null reserved argument means the process is ending.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH) {
        if (reserved != nullptr)
            korvel::MarkProcessExiting();
        else
            korvel::MarkModuleUnloading();
    }
    return TRUE;
}
