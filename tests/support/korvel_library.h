// Loads the library the way an application does and resolves its exports.
#pragma once

#include "korvel32.h"

#include <cstdint>
#include <string>

// The eleven exports in the order of their ordinals.
// clang-format off
#define KORVEL_EXPORTS(X)                                                                   \
    X(ResetCan) X(GetCanBufferInfo) X(GetCanState) X(GetConnectionState) X(GetVersion)      \
    X(Initialize) X(ReadCanMsg) X(RegisterCanMsg) X(ResetCanState) X(Shutdown) X(WriteCanMsg)
// clang-format on

struct KorvelLibrary {
#define KORVEL_EXPORT_SLOT(name) decltype(&KORVEL_##name) name = nullptr;
    KORVEL_EXPORTS(KORVEL_EXPORT_SLOT)
#undef KORVEL_EXPORT_SLOT

    // Loads `file` and resolves all eleven exports by name; false and a
    // message in *error when anything is missing.
    bool Load(const std::string &file, std::string *error);
    void Unload();
    // Whether the library `file` is still mapped into the process.
    static bool IsMapped(const std::string &file);
    // Another function the library exports, by name; null when it has none.
    template <typename Fn> Fn Find(const char *name) const;

    ~KorvelLibrary() { Unload(); }

    void *handle = nullptr;
};

// Platform parts of the loader.
void *OpenLibrary(const std::string &file, std::string *error);
void *FindSymbol(void *handle, const char *name);
void CloseLibrary(void *handle);

template <typename Fn> Fn KorvelLibrary::Find(const char *name) const {
    return reinterpret_cast<Fn>(FindSymbol(handle, name));
}

// Sets the "MaxInstances" setting that the next load reads; no value
// removes it.
void SetMaxInstancesSetting(const uint32_t *value);

// Whether the test runs as a Windows program under Wine, whose sockets
// differ from Windows in a few documented points.
bool RunningUnderWine();

// Polling-mode parameters for the given address text.
InitParams MakeParams(const char *address);

// Shuts down every instance number that can be open: what a test left open
// must not outlive it.
void ShutdownAll(KorvelLibrary &lib);

// A record with `length` data bytes counting up from `first`.
CanMsg Msg(uint32_t id, uint8_t length = 0, uint8_t first = 0);
// The frames in the bytes a gateway received: the number of "#".
size_t Frames(const std::string &bytes);

// The scheduling level the calling thread really runs at (its nice value on
// Linux, its priority on Windows); the levels the library's threads are
// meant to run at; and whether this process may raise a thread above normal
// at all (Linux needs the privilege for it).
int RunningThreadLevel();
bool MayRaiseThreadLevel();
constexpr int kNormalLevel = 0;
extern const int kTimeCriticalLevel;
extern const int kAboveNormalLevel;
