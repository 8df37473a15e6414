// Load and unload of the shared library.
#include "api/library.h"

__attribute__((constructor)) static void OnLoad() { KorvelProcessAttach(); }
__attribute__((destructor)) static void OnUnload() { KorvelProcessDetach(); }
