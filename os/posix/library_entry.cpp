// Load and unload of the shared library. The work is the library's own,
// defined above this layer (api/library.cpp); this file only runs it at the
// moments the system gives, and is linked into the shared library alone.
bool KorvelProcessAttach();
void KorvelProcessDetach();

__attribute__((constructor)) static void OnLoad() { KorvelProcessAttach(); }
__attribute__((destructor)) static void OnUnload() { KorvelProcessDetach(); }
