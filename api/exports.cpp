// The exported functions, each a thin frame around one engine operation, with
// the instance table, the status mapping and the version query they use.
// Output arguments are written only on the paths that reach the operation.
#include "korvel32.h"

#include "api/korvel.h"
#include "api/library.h"
#include "engine/process_data.h"
#include "os/system.h"
#include "os/thread.h"

#include <new>

namespace {

// No exception leaves an export. Only a standard container that runs out of
// memory can throw inside the library.
template <typename Body> uint32_t Guarded(uint32_t outOfMemoryStatus, Body body) {
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return outOfMemoryStatus;
    } catch (...) {
        return KORVEL_ERR_UNKNOWN;
    }
}

// The common frame of the instance functions: API lock, lookup, the
// function's own checks, the pending engine error, then the operation.
template <typename Check, typename Operation>
uint32_t InstanceCall(int32_t instance, Check check, Operation operation) {
    return Guarded(KORVEL_ERR_OUT_OF_MEMORY, [&]() -> uint32_t {
        ApiLock lock;
        CKorvel *korvel = lock.Held() ? FindInstance(instance) : nullptr;
        if (!korvel) return KORVEL_ERR_ILLEGAL_INSTANCE;
        uint32_t status = check();
        if (status != KORVEL_OK) return status;
        CProcessData &engine = *korvel->Engine();
        const ProcessStatus pending = engine.TakeLastError();
        if (pending != PROCESS_OK) return MapProcessStatus(pending);
        return operation(engine);
    });
}

uint32_t NoCheck() { return KORVEL_OK; }

uint32_t WriteMessages(CProcessData &engine, const CanMsg *msgs, uint32_t count,
                       uint32_t *written) {
    uint32_t accepted = 0;
    ProcessStatus status = PROCESS_OK;
    for (; accepted < count; ++accepted) {
        // More than 8 data bytes cannot go on a CAN bus: refuse the record
        // rather than change the application's data.
        if (msgs[accepted].length > 8) {
            *written = accepted;
            return KORVEL_ERR_ILLEGAL_PARAMETER;
        }
        status = engine.WriteCanMsg(&msgs[accepted]);
        if (status != PROCESS_OK) break;
    }
    *written = accepted;
    return MapProcessStatus(status);
}

// Exactly `count` attempts; a failed attempt does not advance in the array.
uint32_t ReadMessages(CProcessData &engine, CanMsg *msgs, uint32_t count, uint32_t *read) {
    uint32_t taken = 0;
    uint32_t result = KORVEL_OK;
    for (uint32_t attempt = 0; attempt < count; ++attempt) {
        const ProcessStatus status = engine.ReadCanMsg(&msgs[taken]);
        if (status == PROCESS_OK)
            ++taken;
        else if (attempt == 0 && status == PROCESS_ERR_EMPTY)
            result = KORVEL_ERR_NO_MESSAGE;
    }
    *read = taken;
    return result;
}

} // namespace

// ---- The instance table ----

namespace {

// Plain arrays sized for the highest limit: they need no construction before
// the load-time initialisation runs and no allocation that could fail.
uint8_t g_numberTable[kMaxInstanceLimit + 1];
uint8_t g_registeredCount = 0;
CKorvel *g_instanceList[kMaxInstanceLimit];
uint32_t g_instanceListLength = 0;
OsCriticalSection g_instanceListLock;

} // namespace

void InstanceTableLoad() {
    for (uint8_t &entry : g_numberTable)
        entry = 0;
    g_registeredCount = 0;
    g_instanceListLength = 0;
}

void InstanceTableUnload() { InstanceTableLoad(); }

bool AllocateInstanceNumber(int32_t *number) {
    if (g_registeredCount <= MaxInstances()) {
        for (int32_t n = 1; n <= MaxInstances(); ++n) {
            if (g_numberTable[n] == 0) {
                *number = n;
                return true;
            }
        }
    }
    *number = -1;
    return false;
}

CKorvel *FindInstance(int32_t number) {
    if (number < 1 || number > MaxInstances() || g_instanceListLength == 0) return nullptr;
    OsLockGuard guard(&g_instanceListLock);
    for (uint32_t i = 0; i < g_instanceListLength; ++i)
        if (g_instanceList[i]->InstanceNumber() == number) return g_instanceList[i];
    return nullptr;
}

void RegisterInstance(CKorvel *instance) {
    OsLockGuard guard(&g_instanceListLock);
    // The number table admits at most MaxInstances registered instances.
    if (g_instanceListLength < kMaxInstanceLimit) g_instanceList[g_instanceListLength++] = instance;
    g_numberTable[instance->InstanceNumber()] = 1;
    ++g_registeredCount;
}

void RemoveInstance(CKorvel *instance) {
    OsLockGuard guard(&g_instanceListLock);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < g_instanceListLength; ++i)
        if (g_instanceList[i] != instance) g_instanceList[kept++] = g_instanceList[i];
    g_instanceListLength = kept;
    g_numberTable[instance->InstanceNumber()] = 0;
    --g_registeredCount;
}

uint8_t RegisteredCount() { return g_registeredCount; }

void InstanceListLockInit() { OsInitCriticalSection(&g_instanceListLock); }
void InstanceListLockDelete() { OsDeleteCriticalSection(&g_instanceListLock); }

// ---- Status mapping and version words ----

// PROCESS_ERR_UNKNOWN and values outside the set are unexpected.
uint32_t MapProcessStatus(ProcessStatus processStatus) {
    switch (processStatus) {
    case PROCESS_OK:
        return KORVEL_OK;
    case PROCESS_ERR_CONNECTION:
        return KORVEL_ERR_CONNECTION;
    case PROCESS_ERR_DISCONNECT:
        return KORVEL_ERR_DISCONNECT;
    case PROCESS_ERR_RESOURCE:
        return KORVEL_ERR_RESOURCE;
    case PROCESS_ERR_NULL_POINTER:
        return KORVEL_ERR_NULL_POINTER;
    case PROCESS_ERR_PROTOCOL:
        return KORVEL_ERR_ILLEGAL_PARAMETER;
    case PROCESS_ERR_TX_BUFFER_FULL:
        return KORVEL_ERR_TX_BUFFER_FULL;
    case PROCESS_ERR_RX_BUFFER_FULL:
        return KORVEL_ERR_RX_BUFFER_OVERRUN;
    case PROCESS_ERR_EMPTY:
    case PROCESS_ERR_NO_FRAME:
        return KORVEL_ERR_NO_MESSAGE;
    case PROCESS_ERR_OUT_OF_MEMORY:
        return KORVEL_ERR_OUT_OF_MEMORY;
    case PROCESS_ERR_SEND:
        return KORVEL_ERR_SEND;
    case PROCESS_ERR_RECEIVE:
        return KORVEL_ERR_RECEIVE;
    case PROCESS_ERR_UNKNOWN:
        return KORVEL_ERR_UNKNOWN;
    }
    return KORVEL_ERR_UNKNOWN;
}

void VersionFromProductWords(uint32_t ms, uint32_t ls, VersionInfo *version) {
    version->major = static_cast<uint8_t>(ms >> 16);
    version->minor = static_cast<uint8_t>(ms & 0xFFFFu);
    version->release = static_cast<uint8_t>(ls >> 16);
    version->build = static_cast<uint16_t>(ls & 0xFFFFu);
}

// ---- The exported functions ----

extern "C" {

uint32_t KORVEL_CALL KORVEL_ResetCan(int32_t instance, uint32_t flags) {
    return InstanceCall(instance, NoCheck, [&](CProcessData &engine) {
        return MapProcessStatus(engine.ResetCan(static_cast<uint16_t>(flags)));
    });
}

uint32_t KORVEL_CALL KORVEL_GetCanBufferInfo(int32_t instance, BufferInfo *info) {
    auto check = [&] { return info ? KORVEL_OK : KORVEL_ERR_NULL_POINTER; };
    return InstanceCall(instance, check, [&](CProcessData &engine) {
        engine.GetRxBufferCount(&info->rxCount);
        engine.GetTxBufferCount(&info->txCount);
        engine.GetRxBufferSize(&info->rxBufferSize);
        engine.GetTxBufferSize(&info->txBufferSize);
        return KORVEL_OK;
    });
}

uint32_t KORVEL_CALL KORVEL_GetCanState(int32_t instance, uint16_t *state) {
    auto check = [&] { return state ? KORVEL_OK : KORVEL_ERR_NULL_POINTER; };
    return InstanceCall(instance, check, [&](CProcessData &engine) {
        return MapProcessStatus(engine.GetCanState(state));
    });
}

uint32_t KORVEL_CALL KORVEL_GetConnectionState(int32_t instance, uint32_t *state) {
    auto check = [&] { return state ? KORVEL_OK : KORVEL_ERR_NULL_POINTER; };
    return InstanceCall(instance, check, [&](CProcessData &engine) {
        return MapProcessStatus(engine.GetConnectionState(state));
    });
}

uint32_t KORVEL_CALL KORVEL_GetVersion(VersionInfo *version) {
    ApiLock lock;
    if (!lock.Held()) return KORVEL_ERR_ILLEGAL_INSTANCE;
    if (!version) return KORVEL_ERR_NULL_POINTER;
    uint32_t ms = 0;
    uint32_t ls = 0;
    if (!OsReadProductVersion(&ms, &ls)) return KORVEL_ERR_RESOURCE;
    VersionFromProductWords(ms, ls, version);
    return KORVEL_OK;
}

uint32_t KORVEL_CALL KORVEL_Initialize(int32_t *instance, const InitParams *params,
                                       EventCallback callback, uint32_t userValue) {
    return Guarded(KORVEL_ERR_RESOURCE, [&]() -> uint32_t {
        ApiLock lock;
        if (!lock.Held()) return KORVEL_ERR_ILLEGAL_INSTANCE;
        if (!instance || !params) return KORVEL_ERR_NULL_POINTER;
        if (!AllocateInstanceNumber(instance)) return KORVEL_ERR_NO_FREE_INSTANCE;
        CKorvel *korvel = new (std::nothrow) CKorvel(*instance, params, callback, userValue);
        if (!korvel) return KORVEL_ERR_RESOURCE;
        uint32_t status = korvel->Open();
        if (status != KORVEL_OK) delete korvel;
        return status;
    });
}

uint32_t KORVEL_CALL KORVEL_ReadCanMsg(int32_t instance, CanMsg *msgs, uint32_t count,
                                       uint32_t *read) {
    auto check = [&] { return msgs && read ? KORVEL_OK : KORVEL_ERR_NULL_POINTER; };
    return InstanceCall(instance, check, [&](CProcessData &engine) {
        return ReadMessages(engine, msgs, count, read);
    });
}

uint32_t KORVEL_CALL KORVEL_RegisterCanMsg(int32_t instance, uint32_t, uint32_t) {
    return InstanceCall(instance, NoCheck, [](CProcessData &) { return KORVEL_OK; });
}

uint32_t KORVEL_CALL KORVEL_ResetCanState(int32_t instance, uint32_t mask) {
    return InstanceCall(instance, NoCheck, [&](CProcessData &engine) {
        return MapProcessStatus(engine.ResetCanState(mask & 0xFFFFu));
    });
}

uint32_t KORVEL_CALL KORVEL_Shutdown(int32_t instance) {
    return Guarded(KORVEL_ERR_UNKNOWN, [&]() -> uint32_t {
        ApiLock lock;
        CKorvel *korvel = lock.Held() ? FindInstance(instance) : nullptr;
        if (!korvel) return KORVEL_ERR_ILLEGAL_INSTANCE;
        uint32_t status = korvel->Close();
        delete korvel;
        return status;
    });
}

uint32_t KORVEL_CALL KORVEL_WriteCanMsg(int32_t instance, const CanMsg *msgs, uint32_t count,
                                        uint32_t *written) {
    auto check = [&] {
        if (!msgs || !written) return KORVEL_ERR_NULL_POINTER;
        return count == 0 ? KORVEL_ERR_ILLEGAL_PARAMETER : KORVEL_OK;
    };
    return InstanceCall(instance, check, [&](CProcessData &engine) {
        return WriteMessages(engine, msgs, count, written);
    });
}

} // extern "C"
