// The library's entry point. Loading needs nothing of it: the menu-pending flag and the rest
// are set up by the runtime. Unloading by FreeLibrary takes the entry out of the host's
// native menu with the hook and the window procedure behind it, and destroys the service
// tool's dialogs (their windows would otherwise outlive their code); at process exit nothing
// is touched, as other threads are gone and the windows go with the process.
#include <windows.h>

#include "platform/win32/NativeMenuEntry.h"
#include "platform/win32/ServiceTool.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)instance;
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        fuel::win32::StopNativeMenuEntry();
        fuel::win32::CloseServiceTool();
    }
    return TRUE;
}
