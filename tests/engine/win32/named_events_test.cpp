// The service thread's events carry the process id in their names, so that
// another process's "DO_EXIT" can never reach this process's service thread.
#include "korvel_library.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <string>
#include <windows.h>

namespace {

bool EventExists(const std::string &name) {
    HANDLE h = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    if (h) CloseHandle(h);
    return h != nullptr;
}

TEST(NamedEvents, AreUniquePerProcessAndGoWithTheLastInstance) {
    KorvelLibrary lib;
    std::string error;
    ASSERT_TRUE(lib.Load(KORVEL_PRODUCT_LIBRARY, &error)) << error;
    TestGateway gateway;
    InitParams params = MakeParams("127.0.0.1");
    params.port = gateway.Port();
    params.connectTimeout = 3000;
    const std::string suffix = "." + std::to_string(GetCurrentProcessId());
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
