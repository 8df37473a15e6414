// The exported functions: each is a thin frame around one engine operation.
// Output arguments are written only on the paths that reach the operation.
#include "korvel32.h"

#include "api/instance_table.h"
#include "api/korvel.h"
#include "api/library.h"
#include "api/status_map.h"
#include "base/process_status.h"
#include "engine/process_data.h"

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
