#include "engine/service_list.h"

#include "engine/process_data.h"
#include "net/process_thread.h"
#include "os/system.h"
#include "os/thread.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <vector>

namespace {

// Exit first: the service thread waits on both as one array.
OsHandle g_serviceEvents[2] = {nullptr, nullptr};
OsHandle &g_doExitEvent = g_serviceEvents[0];
OsHandle &g_wakeUpEvent = g_serviceEvents[1];
OsCriticalSection g_engineListLock;
std::vector<CProcessData *> g_engineList;
uint8_t g_engineCount = 0;
CProcessThread *g_serviceThread = nullptr;
ThreadDesc g_serviceThreadDesc;
bool g_stateSetUp = false;

constexpr uint32_t kServicePeriodMs = 1;

// One pass over every served engine, in the order they joined.
void ServicePass() {
    OsLockGuard guard(&g_engineListLock);
    size_t count = g_engineList.size();
    for (size_t i = 0; i < count; ++i)
        g_engineList[i]->Service();
}

uint32_t ServiceThreadProc(void *) {
    for (;;) {
        const OsWaitResult r = OsWaitForEvents(2, g_serviceEvents, kServicePeriodMs);
        if (r.status == OsWaitStatus::Signalled && r.index == 0) return 0; // "DO_EXIT"
        if (r.status != OsWaitStatus::Failed)
            ServicePass();
        else
            OsSleep(kServicePeriodMs); // a failed wait must not turn into a busy loop
    }
}

// Names are unique per loaded copy of the library: "DO_EXIT" of another
// process, or of another copy in this process, must never end this copy's
// service thread.
OsHandle CreateNamedEvent(const char *stem) {
    char name[64];
    std::snprintf(name, sizeof(name), "%s.%lu.%llx", stem,
                  static_cast<unsigned long>(OsCurrentProcessId()),
                  static_cast<unsigned long long>(OsModuleBase()));
    return OsCreateEvent(name);
}

bool StartServiceThread() {
    g_serviceThreadDesc = ThreadDesc{
        ServiceThreadProc, &g_engineList, OsThreadPriority::TimeCritical, OS_INVALID_HANDLE, 0,
        g_doExitEvent};
    g_serviceThread = new (std::nothrow) CProcessThread;
    if (!g_serviceThread) return false;
    if (g_serviceThread->Start(&g_serviceThreadDesc) == PROCESS_THREAD_OK) return true;
    delete g_serviceThread;
    g_serviceThread = nullptr;
    return false;
}

} // namespace

bool SetUpServiceState() {
    if (g_engineCount != 0 || g_stateSetUp) return true;
    OsInitCriticalSection(&g_engineListLock);
    g_engineList.clear();
    // Room for every possible instance now, so that joining never allocates.
    try {
        g_engineList.reserve(256);
    } catch (const std::bad_alloc &) {
        OsDeleteCriticalSection(&g_engineListLock);
        return false;
    }
    g_doExitEvent = CreateNamedEvent("DO_EXIT");
    g_wakeUpEvent = CreateNamedEvent("WAKE_UP");
    g_stateSetUp = true;
    return g_doExitEvent && g_wakeUpEvent && StartServiceThread();
}

void TearDownServiceStateIfUnused() {
    if (g_engineCount != 0 || !g_stateSetUp) return;
    if (g_serviceThread) {
        g_serviceThread->Stop(&g_serviceThreadDesc);
        delete g_serviceThread;
        g_serviceThread = nullptr;
    }
    for (OsHandle &event : g_serviceEvents) {
        if (event) OsCloseEvent(event);
        event = nullptr;
    }
    g_engineList.clear();
    OsDeleteCriticalSection(&g_engineListLock);
    g_stateSetUp = false;
}

bool ServiceStateIsSetUp() { return g_stateSetUp; }

void JoinServiceList(CProcessData *engine) {
    OsLockGuard guard(&g_engineListLock);
    g_engineList.push_back(engine);
    ++g_engineCount;
}

bool LeaveServiceList(CProcessData *engine) {
    OsLockGuard guard(&g_engineListLock);
    auto it = std::find(g_engineList.begin(), g_engineList.end(), engine);
    if (it == g_engineList.end()) return false;
    g_engineList.erase(it);
    --g_engineCount;
    return true;
}

void WakeServiceThread() {
    if (g_wakeUpEvent) OsSetEvent(g_wakeUpEvent);
}
