// Cost of the engine's receive step on one full network read: a 65,535-byte
// chunk of 8-byte standard data frames (1092 whole frames and the start of
// the next) into an empty receive buffer, against the parser alone on the
// same chunk, with a clock reading per frame and without one (the step reads
// the clock once per batch). The step's cost per frame less the parser's
// without readings is what the step adds to the parsing: the records, the
// time stamps, the buffer's lock, the state word and the queue.
//
// Each pass is timed by the thread's CPU clock, so that time the thread
// spends preempted on a busy machine does not count.
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "codec/frame_parser.h"
#include "engine/process_data.h"
#include "net/win_sock.h"
#include "os/system.h"
#include "tests/support/process_data_probe.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <time.h>

namespace {

using Probe = CProcessDataProbe;

constexpr size_t kReadBytes = 65535;

// One full read of a stream like the rx benchmark's: 60-byte frames, each
// with a three-digit identifier and eight two-digit data bytes.
const std::string &Read() {
    static const std::string bytes = [] {
        std::string s;
        uint16_t length = 0;
        CanMsg m = {};
        m.length = 8;
        for (uint32_t i = 0; s.size() < kReadBytes; ++i) {
            m.id = 0x100 + (i & 0x6FF);
            for (uint8_t &byte : m.data)
                byte = static_cast<uint8_t>(0x10 + (i + &byte - m.data) % 0xF0);
            FormatCanFrame(&m, 1, &s, &length);
        }
        s.resize(kReadBytes);
        return s;
    }();
    return bytes;
}

size_t FramesInRead() {
    static const size_t frames = [] {
        std::string chunk = Read();
        PendingFragment pending;
        size_t cursor = 0, n = 0;
        CanMsg record = {};
        while (ParseCanFrame(&chunk, &cursor, &pending, &record, 0) == PROCESS_OK)
            ++n;
        return n;
    }();
    return frames;
}

void Report(benchmark::State &state) {
    const double frames = static_cast<double>(FramesInRead()) * state.iterations();
    state.counters["s/frame"] =
        benchmark::Counter(frames, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

double ThreadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The parser with a clock reading per frame, and without.
ProcessStatus ParseStampedEach(std::string *chunk, size_t *cursor, PendingFragment *pending,
                               CanMsg *record) {
    return ParseCanFrame(chunk, cursor, pending, record, OsTimeGetTime());
}
ProcessStatus ParseUnstamped(std::string *chunk, size_t *cursor, PendingFragment *pending,
                             CanMsg *record) {
    return ParseCanFrame(chunk, cursor, pending, record, 0);
}

// The baselines: the same chunk through the parser alone, into one record.
template <ProcessStatus (*Parse)(std::string *, size_t *, PendingFragment *, CanMsg *)>
void BM_Parser(benchmark::State &state) {
    std::string chunk;
    PendingFragment pending;
    for (auto _ : state) {
        chunk = Read();
        pending = PendingFragment();
        const double start = ThreadSeconds();
        size_t cursor = 0;
        CanMsg record = {};
        while (Parse(&chunk, &cursor, &pending, &record) == PROCESS_OK) {
            benchmark::DoNotOptimize(record);
            record = CanMsg{};
        }
        state.SetIterationTime(ThreadSeconds() - start);
    }
    Report(state);
}

// The receive step on a polling engine whose buffer holds every frame.
void BM_ReceiveStep(benchmark::State &state) {
    InitParams params = {};
    params.size = sizeof params;
    params.protocol = KORVEL_PROTOCOL_TCP;
    params.rxBufferSize = 0xFFFF;
    CProcessData engine(&params);
    Probe::AttachSocket(engine);
    for (auto _ : state) {
        Probe::Reset(engine);
        Probe::QueueChunk(engine, Read());
        const double start = ThreadSeconds();
        Probe::ReceiveStep(engine);
        state.SetIterationTime(ThreadSeconds() - start);
    }
    uint32_t count = 0;
    engine.GetRxBufferCount(&count);
    if (count != FramesInRead()) state.SkipWithError("frames lost");
    Probe::Reset(engine);
    engine.ReleaseSocket();
    Report(state);
}

BENCHMARK(BM_Parser<ParseStampedEach>)->Name("BM_ParseRead")->UseManualTime();
BENCHMARK(BM_Parser<ParseUnstamped>)->Name("BM_DecodeRead")->UseManualTime();
BENCHMARK(BM_ReceiveStep)->UseManualTime();

// Keeps the cost per frame of each benchmark (the median when repeated).
class PerFrameReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const auto counter = run.counters.find("s/frame");
            const bool wanted = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
            if (wanted && counter != run.counters.end())
                m_perFrame[run.run_name.function_name] = counter->second.value;
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double PerFrame(const std::string &name) const {
        const auto found = m_perFrame.find(name);
        return found == m_perFrame.end() ? 0 : found->second;
    }

  private:
    std::map<std::string, double> m_perFrame;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    PerFrameReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double step = reporter.PerFrame("BM_ReceiveStep");
    const double parse = reporter.PerFrame("BM_ParseRead");
    const double decode = reporter.PerFrame("BM_DecodeRead");
    if (step > 0 && parse > 0 && decode > 0) {
        std::printf("\n%zu frames per read, ratios within this run:\n", FramesInRead());
        std::printf("%-44s %6.2f\n", "receive step / parser", step / parse);
        std::printf("%-44s %6.2f\n", "parser without clock readings / with", decode / parse);
        std::printf("%-44s %6.1f ns\n", "receive step's own cost per frame (- parser)",
                    (step - decode) * 1e9);
    }
    benchmark::Shutdown();
    return 0;
}
