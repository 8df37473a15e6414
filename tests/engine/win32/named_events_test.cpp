// The service thread's events carry the process id and the library's module
// handle in their names, so that the "DO_EXIT" of another process, or of
// another copy of the library in this process, never reaches this copy's
// service thread.
#include "korvel_library.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <windows.h>

namespace {

bool EventExists(const std::string &name) {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (h) CloseHandle(h);
    return h != nullptr;
}

TEST(NamedEvents, AreUniquePerLoadedCopyAndGoWithTheLastInstance) {
    KorvelLibrary lib;
    std::string error;
    ASSERT_TRUE(lib.Load(KORVEL_PRODUCT_LIBRARY, &error)) << error;
    TestGateway gateway;
    InitParams params = MakeParams("127.0.0.1");
    params.port = gateway.Port();
    params.connectTimeout = 3000;
    char id[64];
    std::snprintf(id, sizeof(id), ".%lu.%llx", GetCurrentProcessId(),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(lib.handle)));
    const std::string suffix = id;
    int32_t n = 0;
    ASSERT_EQ(0u, lib.Initialize(&n, &params, nullptr, 0));
    EXPECT_TRUE(EventExists("DO_EXIT" + suffix));
    EXPECT_TRUE(EventExists("WAKE_UP" + suffix));
    EXPECT_FALSE(EventExists("DO_EXIT"));
    EXPECT_FALSE(EventExists("WAKE_UP"));
    EXPECT_EQ(0u, lib.Shutdown(n));
    EXPECT_FALSE(EventExists("DO_EXIT" + suffix));
}

} // namespace
