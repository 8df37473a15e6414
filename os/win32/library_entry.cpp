// The DLL entry point: load and unload of the library.
#include "api/library.h"
#include "os/win32/module.h"

#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID) {
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        Win32SetModule(module);
        return KorvelProcessAttach() ? TRUE : FALSE;
    case DLL_PROCESS_DETACH:
        KorvelProcessDetach();
        return TRUE;
    default:
        return TRUE;
    }
}
