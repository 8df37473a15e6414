// The API-cost and throughput measurements in a form that builds for Linux
// and for Windows alike, so that the native library and the Windows DLL
// under Wine can be compared with the same program. It uses only the public
// interface; scripts/bench.sh starts the three gateways it talks to:
//
//   korvel_portable_bench SINK FILLED FLOOD
//     SINK    port of a gateway that only reads
//     FILLED  port of a gateway that sends each client 65535 frames at once
//     FLOOD   port of a gateway that floods each client without end
//
// Prints "name value" lines: medians of 5 runs for the call costs (ns per
// message), the receive rate over 2 s and the transmit rate over 1 s
// (frames/s, one message per call, retried at once on code 12).
#include "korvel32.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kMessages = 60000;
constexpr uint16_t kBufferSize = 65535;

double Seconds(Clock::time_point from) {
    return std::chrono::duration<double>(Clock::now() - from).count();
}

int32_t Open(uint16_t port, uint16_t tx, uint16_t rx) {
    static InitParams records[64]; // kept until the process ends
    static int used = 0;
    InitParams &p = records[used++ % 64];
    std::memset(&p, 0, sizeof(p));
    p.size = sizeof(p);
    std::strcpy(p.ipAddress, "127.0.0.1");
    p.port = port;
    p.protocol = KORVEL_PROTOCOL_TCP;
    p.txBufferSize = tx;
    p.rxBufferSize = rx;
    p.connectTimeout = 5000;
    p.shutdownTimeout = 5000;
    int32_t instance = -1;
    if (KORVEL_Initialize(&instance, &p, nullptr, 0) != KORVEL_OK) {
        std::fprintf(stderr, "portable_bench: no connection to port %u\n", port);
        std::exit(1);
    }
    return instance;
}

CanMsg Msg() {
    CanMsg m;
    std::memset(&m, 0, sizeof(m));
    m.id = 0x123;
    m.length = 8;
    return m;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

double WriteCost(uint16_t sink, uint32_t count) {
    int32_t instance = Open(sink, kBufferSize, 16);
    std::vector<CanMsg> msgs(count, Msg());
    const auto start = Clock::now();
    for (int i = 0; i < kMessages / (int)count; ++i) {
        uint32_t written = 0;
        KORVEL_WriteCanMsg(instance, msgs.data(), count, &written);
    }
    const double ns = Seconds(start) * 1e9 / kMessages;
    KORVEL_Shutdown(instance);
    return ns;
}

double ReadCost(uint16_t filled, uint32_t count) {
    int32_t instance = Open(filled, 16, kBufferSize);
    BufferInfo info;
    std::memset(&info, 0, sizeof(info));
    const auto start = Clock::now();
    while (info.rxCount < kBufferSize && Seconds(start) < 20) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        KORVEL_GetCanBufferInfo(instance, &info);
    }
    std::vector<CanMsg> msgs(count);
    const auto t0 = Clock::now();
    for (int i = 0; i < kMessages / (int)count; ++i) {
        uint32_t read = 0;
        KORVEL_ReadCanMsg(instance, msgs.data(), count, &read);
    }
    const double ns = Seconds(t0) * 1e9 / kMessages;
    KORVEL_Shutdown(instance);
    return ns;
}

double StateCost(uint16_t sink) {
    int32_t instance = Open(sink, 16, 16);
    const auto start = Clock::now();
    for (int i = 0; i < kMessages; ++i) {
        uint16_t state = 0;
        KORVEL_GetCanState(instance, &state);
    }
    const double ns = Seconds(start) * 1e9 / kMessages;
    KORVEL_Shutdown(instance);
    return ns;
}

void Rx(uint16_t flood) {
    int32_t instance = Open(flood, 16, kBufferSize);
    std::vector<CanMsg> msgs(1000);
    double frames = 0;
    Clock::time_point start;
    bool started = false;
    while (!started || Seconds(start) < 2) {
        uint32_t read = 0;
        KORVEL_ReadCanMsg(instance, msgs.data(), (uint32_t)msgs.size(), &read);
        if (read > 0 && !started) {
            started = true;
            start = Clock::now();
        } else {
            frames += read;
        }
        if (read < msgs.size()) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    const double fps = frames / Seconds(start);
    uint16_t state = 0;
    KORVEL_GetCanState(instance, &state);
    KORVEL_Shutdown(instance);
    std::printf("rx_frames_per_s %.0f\nrx_overrun %d\n", fps,
                (state & KORVEL_CANSTATE_RX_OVERRUN) ? 1 : 0);
}

void Tx(uint16_t sink) {
    int32_t instance = Open(sink, 256, 16);
    const CanMsg msg = Msg();
    double written = 0;
    uint32_t failure = 0;
    const auto start = Clock::now();
    while (!failure && Seconds(start) < 1) {
        uint32_t n = 0;
        uint32_t status = KORVEL_WriteCanMsg(instance, &msg, 1, &n);
        if (status != KORVEL_OK && status != KORVEL_ERR_TX_BUFFER_FULL) failure = status;
        written += n;
    }
    const double seconds = Seconds(start);
    BufferInfo info;
    std::memset(&info, 0, sizeof(info));
    KORVEL_GetCanBufferInfo(instance, &info);
    KORVEL_Shutdown(instance);
    std::printf("tx_frames_per_s %.0f\ntx_failure %u\n",
                (written - (failure ? 0 : info.txCount)) / seconds, failure);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: korvel_portable_bench SINK FILLED FLOOD\n");
        return 2;
    }
    const uint16_t sink = (uint16_t)std::atoi(argv[1]);
    const uint16_t filled = (uint16_t)std::atoi(argv[2]);
    const uint16_t flood = (uint16_t)std::atoi(argv[3]);
    std::vector<double> w1, w100, r1, r100, state;
    for (int rep = 0; rep < 5; ++rep) {
        w1.push_back(WriteCost(sink, 1));
        w100.push_back(WriteCost(sink, 100));
        r1.push_back(ReadCost(filled, 1));
        r100.push_back(ReadCost(filled, 100));
        state.push_back(StateCost(sink));
    }
    std::printf("write1_ns %.1f\nwrite100_ns %.1f\nread1_ns %.1f\nread100_ns %.1f\n"
                "getcanstate_ns %.1f\n",
                Median(w1), Median(w100), Median(r1), Median(r100), Median(state));
    std::fflush(stdout);
    Rx(flood);
    Tx(sink);
    return 0;
}
