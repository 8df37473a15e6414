// The fixture of the tests that use the library as an application does: it
// is loaded by path, an in-process gateway listens, and the parameters point
// at it. The tear-down shuts down every instance a test left open, so that a
// failed assertion leaves nothing behind for the next test.
#pragma once

#include "eventually.h"
#include "korvel_library.h"
#include "test_gateway.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

// The library of the running test, for the callbacks.
extern KorvelLibrary *g_lib;

// The events of all callback-mode instances since the test began, by code,
// with the instance number and user value of the last one.
extern std::atomic<int> g_events[EVENT_DISCONNECTED + 1];
extern std::atomic<int32_t> g_lastEventInstance;
extern std::atomic<uint32_t> g_lastEventUser;
void KORVEL_CALL CountEvent(int32_t instance, uint32_t code, uint32_t user);

// How a test uses its library.
struct LibraryUse {
    const char *file = KORVEL_PRODUCT_LIBRARY;
    const uint32_t *maxInstances = nullptr; // the "MaxInstances" setting at load
    // Keeps the library loaded after the test: the allocation-fault build
    // carries its own C++ runtime, whose exception memory lives as long as it
    // does, so the leak check at exit must find it still loaded.
    bool stayLoaded = false;
};

class LibraryTest : public ::testing::Test {
  protected:
    explicit LibraryTest(LibraryUse use = LibraryUse()) : m_use(use) {}

    void SetUp() override {
        SetMaxInstancesSetting(m_use.maxInstances);
        std::string error;
        ASSERT_TRUE(lib.Load(m_use.file, &error)) << error;
        ASSERT_TRUE(gateway.Listening());
        g_lib = &lib;
        for (std::atomic<int> &count : g_events)
            count = 0;
        params = MakeParams("127.0.0.1");
        params.port = gateway.Port();
        params.connectTimeout = params.shutdownTimeout = 5000;
    }
    // Once every instance is shut down, nothing keeps the library loaded.
    void TearDown() override {
        ShutdownAll(lib);
        g_lib = nullptr;
        SetMaxInstancesSetting(nullptr);
        if (m_use.stayLoaded) {
            lib.handle = nullptr; // its load is never undone
            return;
        }
        lib.Unload();
        EXPECT_FALSE(KorvelLibrary::IsMapped(m_use.file)) << "library stayed loaded";
    }

    // Opens with `params`; expects success and returns the number.
    int32_t Open(EventCallback callback = nullptr, uint32_t user = 0) {
        int32_t n = 0;
        EXPECT_EQ(KORVEL_OK, lib.Initialize(&n, &params, callback, user));
        return n;
    }

    // Waits until instance `n` is in connection state `state`.
    bool Reaches(int32_t n, uint32_t state) {
        uint32_t now = 0;
        return Eventually(
            [&] { return lib.GetConnectionState(n, &now) == KORVEL_OK && now == state; });
    }

    // Reads until `count` messages have come or the bound has passed.
    std::vector<CanMsg> ReadMessages(int32_t n, size_t count) {
        std::vector<CanMsg> got;
        Eventually([&] {
            CanMsg m;
            uint32_t read = 0;
            while (lib.ReadCanMsg(n, &m, 1, &read) == KORVEL_OK && read == 1)
                got.push_back(m);
            return got.size() >= count;
        });
        return got;
    }

    KorvelLibrary lib;
    TestGateway gateway;
    InitParams params;

  private:
    LibraryUse m_use;
};
