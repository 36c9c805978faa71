#include "session/WsUpdatesManager.h"

#include <windows.h>

// mingw-w64's start-up code calls this first and then runs the destructors of
// the static objects at every detach; the library's own objects have none to
// run and are torn down here, on a FreeLibrary only. A detach with a non-null
// reserved argument means the process is ending: its other threads are gone,
// perhaps holding locks that a teardown would wait for, and the system frees
// all the library holds, so nothing of the library runs then.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved)
{
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr)
        korvel::OnLibraryUnload();
    return TRUE;
}
