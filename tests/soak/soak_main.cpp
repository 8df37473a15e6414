// korvel-soak: opens and closes instances from several threads, in polling
// and callback mode, each against a korvel-gateway process that plays one
// fault, and accounts for every frame the gateways send. A watchdog fails
// the run when KORVEL_Initialize or KORVEL_Shutdown does not return; the
// resident memory is sampled at the end of each round. Exit status 0 only
// when every frame is accounted for and every fault showed as documented.
#include "session.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitized = true; // the sanitizers' own memory makes RSS meaningless
#else
const bool kSanitized = false;
#endif

namespace {

const int kWatchdogMs = 60000;
const uint64_t kRssGrowthLimit = 16u << 20;

struct Options {
    int seconds = 60;
    int round = 10;
    unsigned threads = 4;
    uint32_t seed = (uint32_t)std::chrono::steady_clock::now().time_since_epoch().count();
};

struct Run {
    Options options;
    int64_t deadlineMs = 0;
    std::atomic<unsigned> running{0}; // workers
    CallClock clocks[kMaxWorkers];
    std::mutex lock; // everything below
    Totals totals;
    std::vector<uint64_t> sessions[3]; // per scenario: polling, callback, with a problem
    uint64_t problems = 0;
};

uint64_t RssBytes() {
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "re");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return (uint64_t)resident * (uint64_t)sysconf(_SC_PAGESIZE);
}

void PrintTotals(const Totals &t) {
    for (int i = 0; i < kCounts; ++i)
        std::printf("%s %llu%s", kCountNames[i], (unsigned long long)t.n[i],
                    i + 1 < kCounts ? ", " : "\n");
}

void Worker(Run &run, unsigned worker) {
    std::mt19937 rng(run.options.seed * 7919u + worker);
    static const uint16_t kRxSizes[] = {50, 1000, 65535};
    while (NowMs() < run.deadlineMs) {
        SessionPlan plan;
        plan.scenario = rng() % ScenarioCount();
        plan.slot = worker;
        plan.callback = rng() % 2 == 1;
        plan.rxSize = kRxSizes[rng() % 3];
        plan.batch = 1 + rng() % 64;
        plan.activeMs = 100 + (int)(rng() % (run.options.seconds >= 600 ? 3000 : 800));
        Totals totals;
        std::string problem = RunSession(plan, &run.clocks[worker], &totals);
        std::lock_guard<std::mutex> guard(run.lock);
        run.totals.Add(totals);
        ++run.sessions[plan.callback ? 1 : 0][plan.scenario];
        if (problem.empty()) continue;
        ++run.sessions[2][plan.scenario];
        ++run.problems;
        std::printf("korvel-soak: problem: %s (%s):%s\n", ScenarioName(plan.scenario),
                    plan.callback ? "callback" : "polling", problem.c_str());
    }
    --run.running;
}

// The main thread's watch until the workers are done: a library call that
// does not return ends the run; each round ends with a report line and an
// RSS sample.
void Watch(Run &run, uint64_t *rssFirstRound, uint64_t *rssEnd) {
    int64_t roundEnd = NowMs() + run.options.round * 1000;
    for (int round = 1; run.running > 0;
         std::this_thread::sleep_for(std::chrono::milliseconds(100))) {
        for (unsigned i = 0; i < run.options.threads; ++i) {
            int64_t since = run.clocks[i].sinceMs;
            if (since == 0 || NowMs() - since <= kWatchdogMs) continue;
            std::printf("korvel-soak: FAIL: %s has not returned after %d s (thread %u)\n",
                        run.clocks[i].name.load(), kWatchdogMs / 1000, i);
            std::_Exit(3);
        }
        if (NowMs() < roundEnd) continue;
        roundEnd += run.options.round * 1000;
        *rssEnd = RssBytes();
        if (round == 1) *rssFirstRound = *rssEnd;
        std::lock_guard<std::mutex> guard(run.lock);
        std::printf("korvel-soak: round %d: RSS %llu KiB, ", round++,
                    (unsigned long long)*rssEnd >> 10);
        PrintTotals(run.totals);
    }
}

bool ParseOptions(int argc, char **argv, Options *o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        unsigned long value = std::strtoul(argv[i + 1], nullptr, 10);
        if (name == "--seconds")
            o->seconds = (int)value;
        else if (name == "--round")
            o->round = (int)value;
        else if (name == "--threads")
            o->threads = (unsigned)value;
        else if (name == "--seed")
            o->seed = (uint32_t)value;
        else
            return false;
    }
    return argc % 2 == 1 && o->seconds > 0 && o->round > 0 && o->threads > 0 &&
           o->threads <= kMaxWorkers;
}

} // namespace

int main(int argc, char **argv) {
    Run run;
    if (!ParseOptions(argc, argv, &run.options)) {
        std::fprintf(stderr,
                     "usage: korvel-soak [--seconds N] [--round SEC] [--threads 1..%u] "
                     "[--seed N]\n",
                     kMaxWorkers);
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    for (std::vector<uint64_t> &counts : run.sessions)
        counts.assign(ScenarioCount(), 0);
    std::printf("korvel-soak: %d s, %u threads, seed %u, %zu faults\n", run.options.seconds,
                run.options.threads, run.options.seed, ScenarioCount());
    int64_t started = NowMs();
    run.deadlineMs = started + run.options.seconds * 1000;
    run.running = run.options.threads;
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < run.options.threads; ++i)
        workers.emplace_back(Worker, std::ref(run), i);
    uint64_t rssFirst = 0, rssEnd = 0;
    Watch(run, &rssFirst, &rssEnd);
    for (std::thread &t : workers)
        t.join();

    std::printf("korvel-soak: ran %.1f s\n%-20s %9s %9s %9s\n", (double)(NowMs() - started) / 1000,
                "fault", "polling", "callback", "problems");
    for (size_t i = 0; i < ScenarioCount(); ++i)
        std::printf("%-20s %9llu %9llu %9llu\n", ScenarioName(i),
                    (unsigned long long)run.sessions[0][i], (unsigned long long)run.sessions[1][i],
                    (unsigned long long)run.sessions[2][i]);
    std::printf("korvel-soak: ");
    PrintTotals(run.totals);
    bool rssFlat = kSanitized || rssEnd <= rssFirst + kRssGrowthLimit;
    std::printf("korvel-soak: RSS after round 1 %llu KiB, at the end %llu KiB%s\n",
                (unsigned long long)rssFirst >> 10, (unsigned long long)rssEnd >> 10,
                kSanitized ? " (sanitizer build: not judged)"
                : rssFlat  ? ""
                           : ": grew by more than 16 MiB");
    bool pass = run.problems == 0 && run.totals.n[kUnaccounted] == 0 &&
                run.totals.n[kCorrupt] == 0 && rssFlat && run.totals.n[kConnections] > 0;
    std::printf("korvel-soak: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
