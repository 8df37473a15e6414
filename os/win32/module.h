// The module handle of the library itself, as the loader passed it.
#pragma once

#include <windows.h>

void Win32SetModule(HMODULE module);
HMODULE Win32GetModule();
