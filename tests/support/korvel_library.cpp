#include "korvel_library.h"

#include <cstring>

bool KorvelLibrary::Load(const std::string &file, std::string *error) {
    if (!handle) handle = OpenLibrary(file, error);
    if (!handle) return false;
    struct Entry {
        const char *name;
        void **slot;
    } entries[] = {
        {"KORVEL_ResetCan", reinterpret_cast<void **>(&ResetCan)},
        {"KORVEL_GetCanBufferInfo", reinterpret_cast<void **>(&GetCanBufferInfo)},
        {"KORVEL_GetCanState", reinterpret_cast<void **>(&GetCanState)},
        {"KORVEL_GetConnectionState", reinterpret_cast<void **>(&GetConnectionState)},
        {"KORVEL_GetVersion", reinterpret_cast<void **>(&GetVersion)},
        {"KORVEL_Initialize", reinterpret_cast<void **>(&Initialize)},
        {"KORVEL_ReadCanMsg", reinterpret_cast<void **>(&ReadCanMsg)},
        {"KORVEL_RegisterCanMsg", reinterpret_cast<void **>(&RegisterCanMsg)},
        {"KORVEL_ResetCanState", reinterpret_cast<void **>(&ResetCanState)},
        {"KORVEL_Shutdown", reinterpret_cast<void **>(&Shutdown)},
        {"KORVEL_WriteCanMsg", reinterpret_cast<void **>(&WriteCanMsg)},
    };
    for (const Entry &e : entries) {
        *e.slot = FindSymbol(handle, e.name);
        if (!*e.slot) {
            *error = std::string("export missing: ") + e.name;
            return false;
        }
    }
    return true;
}

void KorvelLibrary::Unload() {
    if (handle) CloseLibrary(handle);
    handle = nullptr;
}

InitParams MakeParams(const char *address) {
    InitParams p;
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(InitParams);
    std::strncpy(p.ipAddress, address, sizeof(p.ipAddress) - 1);
    p.port = 55000;
    p.protocol = KORVEL_PROTOCOL_TCP;
    p.txBufferSize = 16;
    p.rxBufferSize = 16;
    p.connectTimeout = 50;
    p.shutdownTimeout = 50;
    return p;
}
