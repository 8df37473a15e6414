#include "korvel_library.h"

#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

void *OpenLibrary(const std::string &file, std::string *error) {
    void *h = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) *error = dlerror();
    return h;
}

void *FindSymbol(void *handle, const char *name) { return dlsym(handle, name); }
void CloseLibrary(void *handle) { dlclose(handle); }

bool KorvelLibrary::IsMapped(const std::string &file) {
    void *h = dlopen(file.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (h) dlclose(h);
    return h != nullptr;
}

void SetMaxInstancesSetting(const uint32_t *value) {
    if (value)
        setenv("KORVEL_MAXINSTANCES", std::to_string(*value).c_str(), 1);
    else
        unsetenv("KORVEL_MAXINSTANCES");
}

bool RunningUnderWine() { return false; }

const int kTimeCriticalLevel = -2;
const int kAboveNormalLevel = -1;

int RunningThreadLevel() {
    return getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
}

bool MayRaiseThreadLevel() {
    bool raised = false;
    std::thread probe([&] {
        raised = setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), -2) == 0;
    });
    probe.join();
    return raised;
}
