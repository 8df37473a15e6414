// Cost of the message calls as the application sees it: KORVEL_WriteCanMsg
// and KORVEL_ReadCanMsg with one and with 100 messages per call, on an
// instance connected to korvel-gateway, while the service thread runs beside
// them. Baseline in the same run: KORVEL_GetCanState on the same instance,
// the cheapest call that takes the library lock and finds the instance.
//
// Each run opens a fresh instance; the read runs start with a receive buffer
// that the gateway has filled with 65535 frames, so that every timed read
// finds messages. Times are wall-clock (the service thread runs in parallel).
#include "bench_support.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr uint16_t kBufferSize = 65535;
constexpr int64_t kMessagesPerRun = 60000;

std::unique_ptr<bench::Gateway> g_sink;  // reads and drops what it gets
std::unique_ptr<bench::Gateway> g_flood; // sends each client 65535 frames at once

void BM_WriteCanMsg(benchmark::State &state) {
    const uint32_t count = (uint32_t)state.range(0);
    int32_t instance = bench::OpenInstance(g_sink->Port(), kBufferSize, 16);
    if (instance < 0) return state.SkipWithError("no instance");
    std::vector<CanMsg> msgs(count, bench::MakeMsg(0x123, 7));
    int64_t refused = 0;
    for (auto _ : state) {
        uint32_t written = 0;
        if (KORVEL_WriteCanMsg(instance, msgs.data(), count, &written) != KORVEL_OK) ++refused;
        benchmark::DoNotOptimize(written);
    }
    KORVEL_Shutdown(instance);
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["refused"] = (double)refused;
}

bool WaitForFullReceiveBuffer(int32_t instance) {
    const int64_t deadline = bench::NowNs() + 10000000000;
    BufferInfo info{};
    while (bench::NowNs() < deadline) {
        if (KORVEL_GetCanBufferInfo(instance, &info) == KORVEL_OK && info.rxCount >= kBufferSize)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    std::fprintf(stderr, "api_bench: receive buffer holds only %u messages\n", info.rxCount);
    return false;
}

void BM_ReadCanMsg(benchmark::State &state) {
    const uint32_t count = (uint32_t)state.range(0);
    int32_t instance = bench::OpenInstance(g_flood->Port(), 16, kBufferSize);
    if (instance < 0) return state.SkipWithError("no instance");
    if (!WaitForFullReceiveBuffer(instance)) {
        KORVEL_Shutdown(instance);
        return state.SkipWithError("receive buffer not filled");
    }
    std::vector<CanMsg> msgs(count);
    int64_t empty = 0;
    for (auto _ : state) {
        uint32_t read = 0;
        if (KORVEL_ReadCanMsg(instance, msgs.data(), count, &read) != KORVEL_OK) ++empty;
        benchmark::DoNotOptimize(msgs.data());
    }
    KORVEL_Shutdown(instance);
    state.SetItemsProcessed(state.iterations() * count);
    state.counters["empty"] = (double)empty;
}

void BM_GetCanState(benchmark::State &state) {
    int32_t instance = bench::OpenInstance(g_sink->Port(), 16, 16);
    if (instance < 0) return state.SkipWithError("no instance");
    for (auto _ : state) {
        uint16_t canState = 0;
        KORVEL_GetCanState(instance, &canState);
        benchmark::DoNotOptimize(canState);
    }
    KORVEL_Shutdown(instance);
    state.SetItemsProcessed(state.iterations());
}

BENCHMARK(BM_WriteCanMsg)->Arg(1)->Iterations(kMessagesPerRun)->UseRealTime();
BENCHMARK(BM_WriteCanMsg)->Arg(100)->Iterations(kMessagesPerRun / 100)->UseRealTime();
BENCHMARK(BM_ReadCanMsg)->Arg(1)->Iterations(kMessagesPerRun)->UseRealTime();
BENCHMARK(BM_ReadCanMsg)->Arg(100)->Iterations(kMessagesPerRun / 100)->UseRealTime();
BENCHMARK(BM_GetCanState)->Iterations(kMessagesPerRun)->UseRealTime();

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    g_sink = std::make_unique<bench::Gateway>(std::vector<std::string>{});
    g_flood = std::make_unique<bench::Gateway>(std::vector<std::string>{
        "-g", "-r", "max", "-n", "65535", "-I", "123", "-D", "1122334455667788"});
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_flood.reset();
    g_sink.reset();
    return 0;
}
