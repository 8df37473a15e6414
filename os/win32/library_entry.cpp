// The DLL entry point. The load and unload work is the library's own,
// defined above this layer (api/library.cpp); this file only runs it at the
// moments the loader gives, and is linked into the DLL alone.
#include <windows.h>

bool KorvelProcessAttach();
void KorvelProcessDetach();
// Keeps the module, whose version resource the version query reads
// (os/win32/system.cpp).
void Win32SetModule(HMODULE module);

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
