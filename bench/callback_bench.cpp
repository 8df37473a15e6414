// Latency of a library call made inside the received-message callback:
// KORVEL_ReadCanMsg, timed call by call, while the main thread calls
// KORVEL_GetCanState on the same instance in a loop. Baseline in the same
// run: the same calls with the main thread idle.
//
//   callback_bench [FRAMES]   frames per run (default 300), sent by
//                             korvel-gateway at 1000 frames per second
//
// Prints "name value" lines for scripts/bench.sh.
#include "bench_support.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

constexpr int64_t kWaitNs = 20000000000; // a run that takes longer has lost frames

struct Run {
    std::vector<double> us; // reserved up front: the callback never allocates
    std::atomic<int> read{0};
    std::atomic<int> notices{0};
};

Run *g_run = nullptr;

// Reads until the buffer is empty, timing every call.
void KORVEL_CALL OnEvent(int32_t instance, uint32_t code, uint32_t) {
    if (code != EVENT_MSG_RECEIVED) return;
    Run &run = *g_run;
    ++run.notices;
    for (;;) {
        CanMsg msg;
        uint32_t n = 0;
        const int64_t t0 = bench::NowNs();
        const uint32_t r = KORVEL_ReadCanMsg(instance, &msg, 1, &n);
        const double us = (bench::NowNs() - t0) / 1e3;
        if (run.us.size() < run.us.capacity()) run.us.push_back(us);
        if (r != KORVEL_OK || n == 0) return;
        ++run.read;
    }
}

double Quantile(std::vector<double> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * v.size()))];
}

bool Measure(const char *name, uint16_t port, int frames, bool contend) {
    Run run;
    run.us.reserve(static_cast<size_t>(frames) * 2 + 64);
    g_run = &run;
    static InitParams params;
    params.size = sizeof(InitParams);
    std::strcpy(params.ipAddress, "127.0.0.1");
    params.port = port;
    params.protocol = KORVEL_PROTOCOL_TCP;
    params.txBufferSize = 16;
    params.rxBufferSize = 1024;
    int32_t instance = 0;
    if (KORVEL_Initialize(&instance, &params, OnEvent, 0) != KORVEL_OK)
        return std::fprintf(stderr, "callback_bench: no instance\n"), false;
    const int64_t end = bench::NowNs() + kWaitNs;
    uint64_t polls = 0;
    while (run.read < frames && bench::NowNs() < end) {
        if (contend) {
            uint16_t state = 0;
            KORVEL_GetCanState(instance, &state);
            ++polls;
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    KORVEL_Shutdown(instance); // ends the callback thread: its figures are complete
    std::printf("%s_read_median_us %.6g\n", name, Quantile(run.us, 0.5));
    std::printf("%s_read_p99_us %.6g\n", name, Quantile(run.us, 0.99));
    std::printf("%s_read_max_us %.6g\n", name, Quantile(run.us, 1.0));
    std::printf("%s_calls %zu\n", name, run.us.size());
    std::printf("%s_frames %d\n", name, run.read.load());
    std::printf("%s_notices %d\n", name, run.notices.load());
    if (contend) std::printf("%s_main_calls %llu\n", name, static_cast<unsigned long long>(polls));
    return run.read == frames;
}

} // namespace

int main(int argc, char **argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 300;
    if (frames <= 0) return std::fprintf(stderr, "usage: callback_bench [FRAMES]\n"), 2;
    const std::string count = std::to_string(frames);
    bench::Gateway gateway(
        {"-g", "-r", "1000", "-n", count, "-I", "123", "-D", "1122334455667788"});
    std::printf("frames %d\n", frames);
    bool ok = Measure("idle", gateway.Port(), frames, false);
    ok = Measure("busy", gateway.Port(), frames, true) && ok;
    gateway.Stop();
    return ok ? 0 : 1;
}
