// Throughput of the receive stream parser on a stream of typical frames
// (standard and extended identifiers, 0 to 8 data bytes), read in chunks of
// a given size, against a scan of the same chunks that only looks for the
// separators ";" and "#". Compare the figures of one run with each other:
//   frames/s and bytes/s   parser and scan at 64 KiB chunks
//   s/frame                parser at 1 KiB and at 64 KiB chunks, and the
//                          clock read that stamps each frame
//   s/chunk                one-byte chunks of bytes that never form a frame,
//                          parsed behind a full pending fragment and behind
//                          an empty one
#include "base/process_status.h"
#include "codec/frame_format.h"
#include "codec/frame_parser.h"
#include "os/system.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr size_t kStreamBytes = 1 << 20;

// A deterministic mix: every fourth frame extended, lengths 0 to 8.
struct Stream {
    std::string bytes;
    size_t frames = 0;
};

const Stream &TypicalStream() {
    static const Stream stream = [] {
        Stream s;
        uint32_t x = 12345;
        uint16_t length = 0;
        while (s.bytes.size() < kStreamBytes) {
            x = x * 1103515245u + 12345u;
            CanMsg m = {};
            const bool extended = (s.frames % 4) == 3;
            m.id = extended ? (x >> 3) & 0x1FFFFFFF : (x >> 8) & 0x7FF;
            m.flags = extended ? KORVEL_MSGFLAG_EXT : 0;
            m.length = static_cast<uint8_t>(s.frames % 9);
            for (int i = 0; i < 8; ++i)
                m.data[i] = static_cast<uint8_t>(x >> (i * 3));
            FormatCanFrame(&m, 1, &s.bytes, &length);
            ++s.frames;
        }
        return s;
    }();
    return stream;
}

std::vector<std::string> Chunks(size_t size) {
    const std::string &bytes = TypicalStream().bytes;
    std::vector<std::string> chunks;
    for (size_t at = 0; at < bytes.size(); at += size)
        chunks.push_back(bytes.substr(at, size));
    return chunks;
}

void Report(benchmark::State &state, size_t frames) {
    const double total = static_cast<double>(frames) * static_cast<double>(state.iterations());
    state.SetBytesProcessed(
        static_cast<int64_t>(TypicalStream().bytes.size() * state.iterations()));
    state.counters["frames/s"] = benchmark::Counter(total, benchmark::Counter::kIsRate);
    state.counters["s/frame"] =
        benchmark::Counter(total, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Receive passes over the whole stream as the engine runs them. Every pass
// needs a fresh chunk, as a socket read delivers it; the copies are made
// outside the timed part.
void BM_ParseStream(benchmark::State &state) {
    const std::vector<std::string> reads = Chunks(static_cast<size_t>(state.range(0)));
    std::vector<std::string> chunks;
    PendingFragment pending;
    size_t frames = 0;
    for (auto _ : state) {
        state.PauseTiming();
        chunks = reads;
        state.ResumeTiming();
        frames = 0;
        for (std::string &chunk : chunks) {
            size_t cursor = 0;
            CanMsg record = {};
            while (ParseCanFrame(&chunk, &cursor, &pending, &record, OsTimeGetTime()) ==
                   PROCESS_OK) {
                benchmark::DoNotOptimize(record);
                record = CanMsg{};
                ++frames;
            }
        }
    }
    if (frames != TypicalStream().frames) state.SkipWithError("frames lost");
    Report(state, frames);
}

// The least a parser has to do: look at every byte for the two separators.
void BM_ScanSeparators(benchmark::State &state) {
    const std::vector<std::string> chunks = Chunks(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        size_t separators = 0;
        for (const std::string &read : chunks)
            for (char c : read)
                separators += (c == ';') | (c == '#');
        benchmark::DoNotOptimize(separators);
    }
    Report(state, TypicalStream().frames);
}

// The clock read that stamps every decoded frame, part of the parser's cost.
void BM_TimeStamp(benchmark::State &state) {
    for (auto _ : state) {
        for (size_t i = 0; i < TypicalStream().frames; ++i)
            benchmark::DoNotOptimize(OsTimeGetTime());
    }
    Report(state, TypicalStream().frames);
}

// What `korvel-gateway --endless garbage` sends: "$" and "#" among other
// bytes, but never a "C", so no start token ever forms.
std::string Garbage(size_t size) {
    static const char kBytes[] = "$$$#AN;x";
    std::string garbage;
    uint32_t x = 54321;
    while (garbage.size() < size) {
        x = x * 1103515245u + 12345u;
        garbage += kBytes[(x >> 16) % (sizeof kBytes - 1)];
    }
    return garbage;
}

// A gateway that trickles such garbage a byte per read. Behind a full
// pending fragment (argument 1) each read should cost about what it costs
// behind an empty one (argument 0).
void BM_TrickleGarbage(benchmark::State &state) {
    const bool full = state.range(0) != 0;
    const std::string garbage = Garbage(CODEC_MAX_PENDING_FRAGMENT);
    PendingFragment pending;
    std::string chunk = garbage;
    size_t cursor = 0;
    CanMsg record = {};
    if (full) ParseCanFrame(&chunk, &cursor, &pending, &record, 0);
    size_t next = 0;
    for (auto _ : state) {
        if (!full) pending = PendingFragment();
        chunk.assign(1, garbage[next++ % garbage.size()]);
        cursor = 0;
        benchmark::DoNotOptimize(ParseCanFrame(&chunk, &cursor, &pending, &record, 0));
    }
    if (full && pending.bytes.size() != CODEC_MAX_PENDING_FRAGMENT)
        state.SkipWithError("the pending fragment is not full");
    state.counters["s/chunk"] =
        benchmark::Counter(static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

BENCHMARK(BM_ParseStream)->Arg(1024)->Arg(64 * 1024);
BENCHMARK(BM_TrickleGarbage)->Arg(0)->Arg(1);
BENCHMARK(BM_ScanSeparators)->Arg(64 * 1024);
BENCHMARK(BM_TimeStamp);

// Keeps the cost per frame or per chunk of every benchmark (the median when
// repeated) so that the ratios of one run can be printed at its end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run> &runs) override {
        for (const Run &run : runs) {
            const bool wanted = run.run_type == Run::RT_Iteration || run.aggregate_name == "median";
            for (const char *name : {"s/frame", "s/chunk"}) {
                const auto counter = run.counters.find(name);
                if (wanted && counter != run.counters.end())
                    m_perFrame[run.run_name.str()] = counter->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void PrintRatio(const char *what, const std::string &a, const std::string &b) const {
        const auto x = m_perFrame.find(a), y = m_perFrame.find(b);
        if (x != m_perFrame.end() && y != m_perFrame.end())
            std::printf("%-48s %6.2f\n", what, x->second / y->second);
    }
    void PrintCost(const char *what, const std::string &a) const {
        const auto x = m_perFrame.find(a);
        if (x != m_perFrame.end()) std::printf("%-48s %6.2f us\n", what, x->second * 1e6);
    }

  private:
    std::map<std::string, double> m_perFrame;
};

} // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nCost per frame, ratios within this run:\n");
    reporter.PrintRatio("parser / scan-only baseline, 64 KiB chunks", "BM_ParseStream/65536",
                        "BM_ScanSeparators/65536");
    reporter.PrintRatio("parser 64 KiB chunks / parser 1 KiB chunks", "BM_ParseStream/65536",
                        "BM_ParseStream/1024");
    reporter.PrintRatio("time stamp / parser, 64 KiB chunks", "BM_TimeStamp",
                        "BM_ParseStream/65536");
    std::printf("\nOne-byte chunks of garbage without a start token:\n");
    reporter.PrintRatio("behind a full / an empty pending fragment", "BM_TrickleGarbage/1",
                        "BM_TrickleGarbage/0");
    reporter.PrintCost("behind a full pending fragment, per chunk", "BM_TrickleGarbage/1");
    benchmark::Shutdown();
    return 0;
}
