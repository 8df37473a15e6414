// Whole-process measurements of libkorvel32 against korvel-gateway, each
// with the baseline it is compared with. One measurement per call; the
// results are printed as "name value" lines for scripts/bench.sh.
//
//   rx SEC               receive throughput: the gateway floods one instance
//   rx-baseline SEC      the same stream read by a plain loopback TCP reader
//   tx SEC               transmit throughput, one message per call
//   tx-baseline SEC      the same frames from a plain loopback TCP writer
//   burst                time until 100 messages written in one call arrive
//   rtt N INSTANCES [FILE]  N round trips through an echoing gateway, with
//                        INSTANCES-1 further idle instances open
//   rtt-baseline N [FILE]   the same round trips over a plain loopback socket
//   idle INSTANCES SEC   CPU time of a process holding idle instances
//   idle-baseline SEC    CPU time of a thread that wakes every millisecond
//   scale INSTANCES SEC  every instance sends and receives 100 frames/s
//   scale-baseline INSTANCES SEC  the same over plain loopback sockets
//
// FILE receives the round-trip times in microseconds, one per line.
#include "bench_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sched.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// Frames of the floods: standard, 8 data bytes, 60 bytes of text each.
const std::vector<std::string> kFloodFrames = {"-I", "123", "-D", "1122334455667788"};
constexpr double kFrameBytes = 60;
constexpr double kReadBytes = 65535; // one network read per service cycle
constexpr double kCyclesPerSecond = 1000;

void Print(const char *name, double value) { std::printf("%s %.6g\n", name, value); }

void SleepUs(int64_t us) { std::this_thread::sleep_for(std::chrono::microseconds(us)); }

std::vector<std::string> With(std::vector<std::string> a, const std::vector<std::string> &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

uint16_t CanState(int32_t instance) {
    uint16_t state = 0;
    KORVEL_GetCanState(instance, &state);
    return state;
}

bool WaitTxEmpty(int32_t instance, int64_t timeoutNs) {
    const int64_t deadline = bench::NowNs() + timeoutNs;
    BufferInfo info{};
    while (bench::NowNs() < deadline) {
        if (KORVEL_GetCanBufferInfo(instance, &info) == KORVEL_OK && info.txCount == 0) return true;
        SleepUs(20);
    }
    return false;
}

// The application reads in batches of 1000 until the buffer is empty and
// then sleeps 0.5 ms; the receive buffer covers 60 ms of the flood.
int Rx(double seconds) {
    bench::Gateway gateway(With({"-g", "-r", "max"}, kFloodFrames));
    int32_t instance = bench::OpenInstance(gateway.Port(), 16, 65535);
    if (instance < 0) return 1;
    std::vector<CanMsg> msgs(1000);
    uint64_t frames = 0;
    int64_t start = 0, end = 0;
    const int64_t cpu0 = bench::ProcessCpuNs();
    while (start == 0 || end - start < (int64_t)(seconds * 1e9)) {
        uint32_t read = 0;
        KORVEL_ReadCanMsg(instance, msgs.data(), (uint32_t)msgs.size(), &read);
        if (read > 0 && start == 0) {
            start = bench::NowNs(); // the first batch only starts the clock
        } else {
            frames += read;
        }
        if (read < msgs.size()) SleepUs(500);
        end = bench::NowNs();
    }
    const int64_t cpu = bench::ProcessCpuNs() - cpu0;
    const bool overrun = (CanState(instance) & KORVEL_CANSTATE_RX_OVERRUN) != 0;
    KORVEL_Shutdown(instance);
    const double fps = frames / ((end - start) / 1e9);
    const double ceiling = std::floor(kReadBytes / kFrameBytes) * kCyclesPerSecond;
    Print("rx_frames_per_s", fps);
    Print("rx_ceiling_frames_per_s", ceiling);
    Print("rx_of_ceiling", fps / ceiling);
    Print("rx_overrun", overrun ? 1 : 0);
    Print("rx_cpu_cores", cpu / (double)(end - start));
    return 0;
}

int RxBaseline(double seconds) {
    bench::Gateway gateway(With({"-g", "-r", "max"}, kFloodFrames));
    int fd = bench::ConnectTcp(gateway.Port());
    if (fd < 0) return 1;
    std::vector<char> buffer(65535);
    uint64_t bytes = 0;
    int64_t start = 0, end = 0;
    while (start == 0 || end - start < (int64_t)(seconds * 1e9)) {
        ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) break;
        if (start == 0)
            start = bench::NowNs();
        else
            bytes += (uint64_t)n;
        end = bench::NowNs();
    }
    close(fd);
    Print("rx_baseline_frames_per_s", bytes / kFrameBytes / ((end - start) / 1e9));
    return 0;
}

// Writes one message per call for the given time, retrying at once on a
// full transmit buffer; the gateway counts what arrives. A send that the
// socket refuses ends the connection's usefulness (the error stays set), so
// the run stops there and reports how far it got.
int Tx(double seconds) {
    bench::Gateway gateway({});
    int32_t instance = bench::OpenInstance(gateway.Port(), 256, 16);
    if (instance < 0) return 1;
    const CanMsg msg = bench::MakeMsg(0x123, 0);
    uint64_t written = 0, refused = 0;
    uint32_t failure = 0;
    const int64_t start = bench::NowNs();
    while (!failure && bench::NowNs() - start < (int64_t)(seconds * 1e9)) {
        uint32_t n = 0;
        uint32_t status = KORVEL_WriteCanMsg(instance, &msg, 1, &n);
        if (status == KORVEL_ERR_TX_BUFFER_FULL)
            ++refused;
        else if (status != KORVEL_OK)
            failure = status;
        written += n;
    }
    const int64_t end = bench::NowNs();
    BufferInfo info{};
    KORVEL_GetCanBufferInfo(instance, &info);
    // The frames still buffered at the end leave at one per millisecond
    // afterwards; they count as not sent within the time.
    if (!failure) WaitTxEmpty(instance, 10000000000);
    SleepUs(100000); // the last frames reach the gateway
    KORVEL_Shutdown(instance);
    const uint64_t arrived = bench::FramesIn(gateway.Stop());
    const double sentInTime = (double)written - (failure ? 0 : info.txCount);
    Print("tx_frames_per_s", std::min<double>(sentInTime, arrived) / ((end - start) / 1e9));
    Print("tx_seconds", (end - start) / 1e9);
    Print("tx_written", (double)written);
    Print("tx_arrived", (double)arrived);
    Print("tx_failure", failure);
    Print("tx_refusals_per_frame", refused / (double)std::max<uint64_t>(written, 1));
    return 0;
}

// The same frames written by a plain loopback TCP client, one send call per
// frame, counted at the gateway.
int TxBaseline(double seconds) {
    bench::Gateway gateway({});
    int fd = bench::ConnectTcp(gateway.Port());
    if (fd < 0) return 1;
    const std::string frame = "$CAN;S;D;0x123;0x8;0x0;0x0;0x0;0x0;0x55;0x66;0x77;0x88;#";
    const int64_t start = bench::NowNs();
    while (bench::NowNs() - start < (int64_t)(seconds * 1e9))
        if (send(fd, frame.data(), frame.size(), 0) != (ssize_t)frame.size()) return 1;
    const int64_t end = bench::NowNs();
    SleepUs(100000);
    close(fd);
    SleepUs(100000);
    const uint64_t arrived = bench::FramesIn(gateway.Stop());
    Print("tx_baseline_frames_per_s", arrived / ((end - start) / 1e9));
    return 0;
}

// Reads the time stamps of a record file ("(seconds.micros) ...") in ns.
std::vector<int64_t> RecordStamps(const std::string &path) {
    std::vector<int64_t> stamps;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        long long s = 0, us = 0;
        if (std::sscanf(line.c_str(), "(%lld.%lld)", &s, &us) == 2)
            stamps.push_back(s * 1000000000 + us * 1000);
    }
    return stamps;
}

// Five bursts of 100 messages in one call, each on a fresh connection; the
// gateway's record file tells when each frame arrived.
int Burst() {
    std::vector<double> first, last, drained;
    for (int rep = 0; rep < 5; ++rep) {
        std::string path = "/tmp/korvel-burst-" + std::to_string(getpid()) + ".log";
        std::remove(path.c_str());
        bench::Gateway gateway({"--record", path});
        int32_t instance = bench::OpenInstance(gateway.Port(), 256, 16);
        if (instance < 0) return 1;
        SleepUs(50000);
        std::vector<CanMsg> msgs(100, bench::MakeMsg(0x123, 0));
        uint32_t written = 0;
        const int64_t wall0 = bench::WallNs(), t0 = bench::NowNs();
        KORVEL_WriteCanMsg(instance, msgs.data(), 100, &written);
        WaitTxEmpty(instance, 5000000000);
        drained.push_back((bench::NowNs() - t0) / 1e6);
        SleepUs(100000);
        KORVEL_Shutdown(instance);
        gateway.Stop();
        std::vector<int64_t> stamps = RecordStamps(path);
        std::remove(path.c_str());
        if (written != 100 || stamps.size() != 100)
            return std::fprintf(stderr, "driver: burst %u written, %zu arrived\n", written,
                                stamps.size()),
                   1;
        first.push_back((stamps.front() - wall0) / 1e6);
        last.push_back((stamps.back() - wall0) / 1e6);
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    Print("burst_first_ms", median(first));
    Print("burst_last_ms", median(last));
    Print("burst_tx_empty_ms", median(drained));
    return 0;
}

void PrintLatencies(const char *prefix, std::vector<double> us, const char *file) {
    if (file) {
        std::ofstream out(file);
        for (double v : us)
            out << v << "\n";
    }
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[std::min(us.size() - 1, (size_t)(q * us.size()))]; };
    std::string p(prefix);
    Print((p + "_p50_us").c_str(), at(0.5));
    Print((p + "_p99_us").c_str(), at(0.99));
    Print((p + "_p999_us").c_str(), at(0.999));
    Print((p + "_max_us").c_str(), us.back());
}

// Writes one message and polls until its echo is readable, yielding the
// processor between polls.
int Rtt(int count, int instances, const char *file) {
    bench::Gateway gateway({"-e", "sender"});
    std::vector<int32_t> open;
    for (int i = 0; i < instances; ++i) {
        open.push_back(bench::OpenInstance(gateway.Port(), 256, 256));
        if (open.back() < 0) return 1;
    }
    const int32_t instance = open.front();
    std::vector<double> us;
    for (int i = 0; i < count + 100; ++i) { // the first 100 warm up
        CanMsg msg = bench::MakeMsg(0x123, (uint32_t)i), back{};
        uint32_t n = 0;
        const int64_t t0 = bench::NowNs();
        if (KORVEL_WriteCanMsg(instance, &msg, 1, &n) != KORVEL_OK)
            return std::fprintf(stderr, "driver: write failed\n"), 1;
        for (;;) {
            if (KORVEL_ReadCanMsg(instance, &back, 1, &n) == KORVEL_OK && n == 1 &&
                std::memcmp(back.data, msg.data, 8) == 0)
                break;
            if (bench::NowNs() - t0 > 5000000000)
                return std::fprintf(stderr, "driver: echo lost\n"), 1;
            sched_yield();
        }
        if (i >= 100) us.push_back((bench::NowNs() - t0) / 1e3);
    }
    for (int32_t i : open)
        KORVEL_Shutdown(i);
    PrintLatencies("rtt", us, file);
    return 0;
}

int RttBaseline(int count, const char *file) {
    bench::Gateway gateway({"-e", "sender"});
    int fd = bench::ConnectTcp(gateway.Port());
    if (fd < 0) return 1;
    const std::string frame = "$CAN;S;D;0x123;0x8;0x11;0x22;0x33;0x44;0x55;0x66;0x77;0x88;#";
    std::vector<double> us;
    char buffer[4096];
    for (int i = 0; i < count + 100; ++i) {
        const int64_t t0 = bench::NowNs();
        if (send(fd, frame.data(), frame.size(), 0) != (ssize_t)frame.size()) return 1;
        for (size_t got = 0; got < frame.size();) {
            ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
            if (n <= 0) return std::fprintf(stderr, "driver: echo lost\n"), 1;
            got += (size_t)n;
        }
        if (i >= 100) us.push_back((bench::NowNs() - t0) / 1e3);
    }
    close(fd);
    PrintLatencies("rtt_baseline", us, file);
    return 0;
}

int Idle(int instances, double seconds) {
    bench::Gateway gateway({});
    std::vector<int32_t> open;
    for (int i = 0; i < instances; ++i) {
        open.push_back(bench::OpenInstance(gateway.Port(), 256, 256));
        if (open.back() < 0) return 1;
    }
    SleepUs(200000);
    const int64_t cpu0 = bench::ProcessCpuNs(), t0 = bench::NowNs();
    SleepUs((int64_t)(seconds * 1e6));
    const int64_t cpu = bench::ProcessCpuNs() - cpu0, wall = bench::NowNs() - t0;
    for (int32_t i : open)
        KORVEL_Shutdown(i);
    const double cycles = wall / 1e9 * kCyclesPerSecond;
    Print("idle_core_share", cpu / (double)wall);
    Print("idle_us_per_cycle", cpu / 1e3 / cycles);
    Print("idle_us_per_instance_cycle", cpu / 1e3 / cycles / instances);
    return 0;
}

// A thread that does nothing but wait 1 ms on a condition variable, the
// floor of any design that wakes every millisecond. It waits with the same
// 1 us timer slack as the library's threads, so that its wake-ups per second
// are the service thread's cycles per second.
int IdleBaseline(double seconds) {
    std::mutex lock;
    std::condition_variable wake;
    std::atomic<bool> stop{false};
    uint64_t wakes = 0;
    std::thread waiter([&] {
        prctl(PR_SET_TIMERSLACK, 1000UL);
        std::unique_lock<std::mutex> hold(lock);
        while (!stop) {
            wake.wait_for(hold, std::chrono::milliseconds(1));
            ++wakes;
        }
    });
    SleepUs(100000);
    const int64_t cpu0 = bench::ProcessCpuNs(), t0 = bench::NowNs();
    const uint64_t wakes0 = wakes;
    SleepUs((int64_t)(seconds * 1e6));
    const int64_t cpu = bench::ProcessCpuNs() - cpu0, wall = bench::NowNs() - t0;
    const uint64_t counted = wakes - wakes0;
    stop = true;
    waiter.join();
    Print("idle_baseline_core_share", cpu / (double)wall);
    Print("idle_baseline_us_per_wake", cpu / 1e3 / (double)counted);
    Print("idle_baseline_wakes_per_s", counted / (wall / 1e9));
    return 0;
}

struct ScaleInstance {
    int32_t number = -1;
    int64_t nextSendNs = 0;
    std::vector<int64_t> sentNs;
};

// Every instance writes a message every 10 ms (echoed by the gateway) and
// receives 100 generated frames/s; the loop reads every instance, then
// sleeps 0.2 ms. Round trips are timed on the echoed messages.
int Scale(int instances, double seconds) {
    const int perInstance = (int)(seconds * 100);
    bench::Gateway gateway(
        {"-e", "sender", "-g", "-r", "100", "-n", std::to_string(perInstance), "-I", "100"});
    std::vector<ScaleInstance> all(instances);
    for (auto &s : all) {
        s.number = bench::OpenInstance(gateway.Port(), 256, 1024);
        if (s.number < 0) return 1;
    }
    const int64_t start = bench::NowNs();
    for (int i = 0; i < instances; ++i)
        all[i].nextSendNs = start + 10000000LL * i / instances;
    std::vector<CanMsg> msgs(256);
    std::vector<double> us;
    uint64_t received = 0, refused = 0;
    const int64_t cpu0 = bench::ProcessCpuNs();
    int64_t now = start, quietSince = 0;
    std::vector<double> loopUs; // one pass of the application's loop, without its sleep
    while (quietSince == 0 || now - quietSince < 1000000000) {
        const int64_t loopStart = bench::NowNs();
        bool sending = false;
        for (auto &s : all) {
            if ((int)s.sentNs.size() < perInstance) sending = true;
            if ((int)s.sentNs.size() >= perInstance || now < s.nextSendNs) continue;
            CanMsg msg = bench::MakeMsg(0x7F0, (uint32_t)s.sentNs.size());
            uint32_t n = 0;
            if (KORVEL_WriteCanMsg(s.number, &msg, 1, &n) != KORVEL_OK || n != 1) {
                ++refused;
                continue;
            }
            s.sentNs.push_back(bench::NowNs());
            s.nextSendNs += 10000000;
        }
        for (auto &s : all) {
            uint32_t n = 0;
            KORVEL_ReadCanMsg(s.number, msgs.data(), (uint32_t)msgs.size(), &n);
            const int64_t t = bench::NowNs();
            received += n;
            for (uint32_t k = 0; k < n; ++k) {
                uint32_t tag;
                std::memcpy(&tag, msgs[k].data, 4);
                if (msgs[k].id == 0x7F0 && tag < s.sentNs.size())
                    us.push_back((t - s.sentNs[tag]) / 1e3);
            }
        }
        now = bench::NowNs();
        loopUs.push_back((now - loopStart) / 1e3);
        if (!sending && quietSince == 0) quietSince = now;
        SleepUs(200);
    }
    const int64_t cpu = bench::ProcessCpuNs() - cpu0, wall = now - start;
    int overruns = 0;
    for (auto &s : all) {
        if (CanState(s.number) & KORVEL_CANSTATE_RX_OVERRUN) ++overruns;
        KORVEL_Shutdown(s.number);
    }
    const uint64_t sentByGateway = bench::FramesOut(gateway.Stop());
    Print("scale_instances", instances);
    Print("scale_received", (double)received);
    Print("scale_gateway_sent", (double)sentByGateway);
    Print("scale_lost", (double)sentByGateway - (double)received);
    Print("scale_rx_overruns", overruns);
    Print("scale_write_refusals", (double)refused);
    Print("scale_cpu_cores", cpu / (double)wall);
    PrintLatencies("scale_rtt", us, nullptr);
    PrintLatencies("scale_loop", loopUs, nullptr);
    return 0;
}

// The scale test's baseline: the same schedule over plain non-blocking
// loopback sockets, the frames sent and parsed by the loop itself.
struct PlainConnection {
    int fd = -1;
    int64_t nextSendNs = 0;
    std::vector<int64_t> sentNs;
    std::string pending;
};

std::string FrameText(uint32_t tag) {
    char text[96];
    std::snprintf(text, sizeof(text), "$CAN;S;D;0x7f0;0x8;0x%x;0x%x;0x%x;0x%x;0x0;0x0;0x0;0x0;#",
                  tag & 0xFF, (tag >> 8) & 0xFF, (tag >> 16) & 0xFF, tag >> 24);
    return text;
}

// Takes the complete frames out of c.pending; the tags of echoed frames
// (identifier 0x7f0) go to *tags. Returns the number of frames.
uint64_t TakeFrames(PlainConnection &c, std::vector<uint32_t> *tags) {
    uint64_t frames = 0;
    size_t start = 0;
    for (size_t end; (end = c.pending.find('#', start)) != std::string::npos; start = end + 1) {
        ++frames;
        unsigned b[4];
        if (std::sscanf(c.pending.c_str() + start, "$CAN;S;D;0x7f0;0x8;0x%x;0x%x;0x%x;0x%x;", &b[0],
                        &b[1], &b[2], &b[3]) == 4)
            tags->push_back(b[0] | b[1] << 8 | b[2] << 16 | b[3] << 24);
    }
    c.pending.erase(0, start);
    return frames;
}

int ScaleBaseline(int instances, double seconds) {
    const int perInstance = (int)(seconds * 100);
    bench::Gateway gateway(
        {"-e", "sender", "-g", "-r", "100", "-n", std::to_string(perInstance), "-I", "100"});
    std::vector<PlainConnection> all(instances);
    for (auto &c : all) {
        c.fd = bench::ConnectTcp(gateway.Port());
        if (c.fd < 0) return 1;
    }
    const int64_t start = bench::NowNs();
    for (int i = 0; i < instances; ++i)
        all[i].nextSendNs = start + 10000000LL * i / instances;
    std::vector<double> us;
    std::vector<uint32_t> tags;
    uint64_t received = 0;
    char buffer[65536];
    int64_t now = start, quietSince = 0;
    while (quietSince == 0 || now - quietSince < 1000000000) {
        bool sending = false;
        for (auto &c : all) {
            if ((int)c.sentNs.size() < perInstance) sending = true;
            if ((int)c.sentNs.size() >= perInstance || now < c.nextSendNs) continue;
            const std::string text = FrameText((uint32_t)c.sentNs.size());
            if (send(c.fd, text.data(), text.size(), MSG_DONTWAIT) != (ssize_t)text.size())
                return std::fprintf(stderr, "driver: send failed\n"), 1;
            c.sentNs.push_back(bench::NowNs());
            c.nextSendNs += 10000000;
        }
        for (auto &c : all) {
            ssize_t n = recv(c.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n <= 0) continue;
            const int64_t t = bench::NowNs();
            c.pending.append(buffer, (size_t)n);
            tags.clear();
            received += TakeFrames(c, &tags);
            for (uint32_t tag : tags)
                if (tag < c.sentNs.size()) us.push_back((t - c.sentNs[tag]) / 1e3);
        }
        now = bench::NowNs();
        if (!sending && quietSince == 0) quietSince = now;
        SleepUs(200);
    }
    for (auto &c : all)
        close(c.fd);
    const uint64_t sentByGateway = bench::FramesOut(gateway.Stop());
    Print("scale_baseline_received", (double)received);
    Print("scale_baseline_gateway_sent", (double)sentByGateway);
    PrintLatencies("scale_baseline_rtt", us, nullptr);
    return 0;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: korvel_bench_driver rx SEC | rx-baseline SEC | tx SEC | burst |\n"
                 "  rtt N INSTANCES [FILE] | rtt-baseline N [FILE] | idle INSTANCES SEC |\n"
                 "  idle-baseline SEC | scale INSTANCES SEC | scale-baseline INSTANCES SEC\n");
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) return Usage();
    // The library reads its instance limit when it is loaded: set it and
    // start again, so that up to 254 instances may be opened.
    if (!std::getenv("KORVEL_MAXINSTANCES")) {
        setenv("KORVEL_MAXINSTANCES", "254", 1);
        execv("/proc/self/exe", argv);
        std::perror("driver: execv");
        return 1;
    }
    const std::string what = argv[1];
    auto arg = [&](int i, double fallback) { return argc > i ? std::atof(argv[i]) : fallback; };
    const char *file = nullptr;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (what == "rx") return Rx(arg(2, 3));
    if (what == "rx-baseline") return RxBaseline(arg(2, 3));
    if (what == "tx") return Tx(arg(2, 3));
    if (what == "tx-baseline") return TxBaseline(arg(2, 3));
    if (what == "burst") return Burst();
    if (what == "rtt") {
        if (argc > 4) file = argv[4];
        return Rtt((int)arg(2, 10000), (int)arg(3, 1), file);
    }
    if (what == "rtt-baseline") {
        if (argc > 3) file = argv[3];
        return RttBaseline((int)arg(2, 10000), file);
    }
    if (what == "idle") return Idle((int)arg(2, 1), arg(3, 10));
    if (what == "idle-baseline") return IdleBaseline(arg(2, 10));
    if (what == "scale") return Scale((int)arg(2, 254), arg(3, 30));
    if (what == "scale-baseline") return ScaleBaseline((int)arg(2, 254), arg(3, 30));
    return Usage();
}
