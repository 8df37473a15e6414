#include "korvel_library.h"

#include <algorithm>
#include <atomic>
#include <cstring>

KorvelLibrary *g_lib = nullptr;
std::atomic<int> g_events[EVENT_DISCONNECTED + 1];
std::atomic<int32_t> g_lastEventInstance{0};
std::atomic<uint32_t> g_lastEventUser{0};

void KORVEL_CALL CountEvent(int32_t instance, uint32_t code, uint32_t user) {
    g_lastEventInstance = instance;
    g_lastEventUser = user;
    if (code <= EVENT_DISCONNECTED) ++g_events[code];
}

namespace {

// The highest number an instance can have.
constexpr int32_t kMaxInstanceNumber = 254;

template <typename Fn>
bool Resolve(const KorvelLibrary &lib, const char *name, Fn *slot, std::string *error) {
    *slot = lib.Find<Fn>(name);
    if (!*slot) *error = std::string("export missing: ") + name;
    return *slot != nullptr;
}

} // namespace

bool KorvelLibrary::Load(const std::string &file, std::string *error) {
    if (!handle) handle = OpenLibrary(file, error);
#define KORVEL_RESOLVE(name) &&Resolve(*this, "KORVEL_" #name, &name, error)
    return handle != nullptr KORVEL_EXPORTS(KORVEL_RESOLVE);
#undef KORVEL_RESOLVE
}

void KorvelLibrary::Unload() {
    if (handle) CloseLibrary(handle);
    handle = nullptr;
}

InitParams MakeParams(const char *address) {
    InitParams p = {sizeof(InitParams), {}, 55000, {}, KORVEL_PROTOCOL_TCP, 16, 16, 50, 50};
    std::strncpy(p.ipAddress, address, sizeof(p.ipAddress) - 1);
    return p;
}

void ShutdownAll(KorvelLibrary &lib) {
    if (!lib.handle) return;
    for (int32_t n = 1; n <= kMaxInstanceNumber; ++n)
        lib.Shutdown(n);
}

CanMsg Msg(uint32_t id, uint8_t length, uint8_t first) {
    CanMsg m;
    std::memset(&m, 0, sizeof(m));
    m.id = id;
    m.length = length;
    for (uint8_t i = 0; i < length && i < sizeof(m.data); ++i)
        m.data[i] = first + i;
    return m;
}

size_t Frames(const std::string &bytes) {
    return static_cast<size_t>(std::count(bytes.begin(), bytes.end(), '#'));
}
