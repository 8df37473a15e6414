// korvel-soak: opens and closes instances from several threads against
// korvel-gateway processes that play one fault each, in polling and callback
// mode, and accounts for every frame the gateways send. A watchdog fails the
// run when a library call does not return; the resident memory is sampled at
// the start and end of each round. Exit status 0 only when every frame is
// accounted for and every fault showed as documented.
#include "gateway_child.h"
#include "scenarios.h"
#include "session.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <random>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
const bool kSanitized = true; // the sanitizers' own memory makes RSS meaningless
#else
const bool kSanitized = false;
#endif

namespace {

struct Options {
    int seconds = 60;
    int round = 10;
    unsigned threads = 4;
    uint32_t seed = 0;
    std::string gateway = KORVEL_GATEWAY_PROGRAM;
};

const int kWatchdogMs = 60000;
const uint64_t kRssGrowthLimit = 16u << 20;

struct ScenarioState {
    std::unique_ptr<GatewayChild> gateway;
    std::mutex busy; // one connection at a time, so client numbers match
    unsigned clients = 0;
    bool lost = false;
    uint64_t sessions[2] = {}; // polling, callback
    uint64_t problems = 0;
};

struct Run {
    Options options;
    std::vector<ScenarioState> scenarios;
    uint16_t refusedPort = 0;
    std::atomic<bool> stop{false};
    int64_t deadlineMs = 0;
    CallClock clocks[kMaxWorkers];
    std::mutex lock; // everything below
    LedgerTotals totals;
    uint64_t written = 0, gatewayIn = 0, malformedSent = 0, problems = 0;
    std::vector<std::string> problemLines;
};

uint64_t RssBytes() {
    long pages = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return (uint64_t)resident * (uint64_t)sysconf(_SC_PAGESIZE);
}

uint16_t ClosedPort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(a);
    bind(fd, (sockaddr *)&a, sizeof(a));
    getsockname(fd, (sockaddr *)&a, &length);
    close(fd);
    return ntohs(a.sin_port);
}

SessionPlan MakePlan(Run &run, size_t index, unsigned worker, std::mt19937 &rng) {
    const Scenario &sc = Scenarios()[index];
    SessionPlan plan;
    plan.scenario = &sc;
    plan.slot = worker;
    plan.callback = rng() % 2 == 1;
    static const uint16_t kRxSizes[] = {50, 1000, 65535};
    plan.rxSize = sc.flood ? 200 : kRxSizes[rng() % 3];
    plan.batch = 1 + rng() % 64;
    plan.activeMs = 100 + (int)(rng() % (run.options.seconds >= 600 ? 3000 : 800));
    if (sc.end == PeerEnd::kRefused) {
        plan.port = run.refusedPort;
    } else {
        ScenarioState &state = run.scenarios[index];
        plan.gateway = state.gateway.get();
        plan.port = plan.gateway->Port();
        plan.client = ++state.clients;
    }
    return plan;
}

void Record(Run &run, size_t index, const SessionPlan &plan, const SessionResult &result) {
    std::lock_guard<std::mutex> guard(run.lock);
    ScenarioState &state = run.scenarios[index];
    ++state.sessions[plan.callback ? 1 : 0];
    if (result.gatewayLost) state.lost = true;
    run.totals.Add(result.totals);
    run.written += result.written;
    run.gatewayIn += result.gatewayIn;
    run.malformedSent += result.malformedSent;
    if (result.problem.empty()) return;
    ++state.problems;
    ++run.problems;
    if (run.problemLines.size() < 50)
        run.problemLines.push_back(std::string(Scenarios()[index].name) +
                                   (plan.callback ? " (callback):" : " (polling):") +
                                   result.problem);
    std::printf("korvel-soak: problem: %s\n", run.problemLines.back().c_str());
    std::fflush(stdout);
}

// Takes a free scenario whose gateway is usable; index on success.
bool TakeScenario(Run &run, std::mt19937 &rng, size_t *index) {
    for (int tries = 0; tries < 100; ++tries) {
        size_t i = rng() % Scenarios().size();
        if (Scenarios()[i].end == PeerEnd::kRefused) return *index = i, true;
        ScenarioState &state = run.scenarios[i];
        if (!state.busy.try_lock()) continue;
        bool lost;
        {
            std::lock_guard<std::mutex> guard(run.lock);
            lost = state.lost;
        }
        if (!lost) return *index = i, true;
        state.busy.unlock();
    }
    return false;
}

void Worker(Run &run, unsigned worker) {
    std::mt19937 rng(run.options.seed * 7919u + worker);
    while (!run.stop && SoakNowMs() < run.deadlineMs) {
        size_t index;
        if (!TakeScenario(run, rng, &index)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        SessionPlan plan = MakePlan(run, index, worker, rng);
        SessionResult result;
        RunSession(plan, &run.clocks[worker], &result);
        if (plan.gateway != nullptr) run.scenarios[index].busy.unlock();
        Record(run, index, plan, result);
    }
}

void Watchdog(Run &run) {
    while (!run.stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        for (unsigned i = 0; i < run.options.threads; ++i) {
            int64_t since = run.clocks[i].sinceMs;
            if (since != 0 && SoakNowMs() - since > kWatchdogMs) {
                std::printf("korvel-soak: FAIL: %s has not returned after %d s (thread %u)\n",
                            run.clocks[i].name.load(), kWatchdogMs / 1000, i);
                std::fflush(stdout);
                std::_Exit(3);
            }
        }
    }
}

bool ParseOptions(int argc, char **argv, Options *o) {
    o->seed = (uint32_t)std::chrono::steady_clock::now().time_since_epoch().count();
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        const char *value = argv[i + 1];
        if (name == "--seconds")
            o->seconds = std::atoi(value);
        else if (name == "--round")
            o->round = std::atoi(value);
        else if (name == "--threads")
            o->threads = (unsigned)std::atoi(value);
        else if (name == "--seed")
            o->seed = (uint32_t)std::strtoul(value, nullptr, 10);
        else if (name == "--gateway")
            o->gateway = value;
        else
            return false;
    }
    return argc % 2 == 1 && o->seconds > 0 && o->round > 0 && o->threads > 0 &&
           o->threads <= kMaxWorkers && o->threads < 10; // at most 10 instances open
}

void PrintTotals(const char *prefix, const LedgerTotals &t) {
    std::printf("%sconnections %llu, frames sent %llu, read %llu, explained: overrun %llu, "
                "behind malformed %llu, in flight at reset %llu, in flight at shutdown %llu; "
                "unaccounted %llu, corrupt %llu\n",
                prefix, (unsigned long long)t.connections, (unsigned long long)t.sent,
                (unsigned long long)t.read, (unsigned long long)t.overrun,
                (unsigned long long)t.malformed, (unsigned long long)t.inFlightReset,
                (unsigned long long)t.inFlightShutdown, (unsigned long long)t.unaccounted,
                (unsigned long long)t.corrupt);
}

bool StartGateways(Run &run) {
    run.scenarios = std::vector<ScenarioState>(Scenarios().size());
    for (size_t i = 0; i < Scenarios().size(); ++i) {
        if (Scenarios()[i].end == PeerEnd::kRefused) continue;
        std::string error;
        run.scenarios[i].gateway.reset(new GatewayChild);
        if (!run.scenarios[i].gateway->Start(run.options.gateway, Scenarios()[i].options, &error)) {
            std::fprintf(stderr, "korvel-soak: %s\n", error.c_str());
            return false;
        }
    }
    for (ScenarioState &s : run.scenarios)
        if (s.gateway) s.gateway->StartReader();
    run.refusedPort = ClosedPort();
    return true;
}

// Rounds of the main thread: RSS at the start and end of each.
void Rounds(Run &run, uint64_t *rssFirstRoundEnd, uint64_t *rssEnd) {
    for (int round = 1; SoakNowMs() < run.deadlineMs; ++round) {
        uint64_t start = RssBytes();
        int64_t end = std::min<int64_t>(run.deadlineMs, SoakNowMs() + run.options.round * 1000);
        while (SoakNowMs() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        uint64_t now = RssBytes();
        if (round == 1) *rssFirstRoundEnd = now;
        *rssEnd = now;
        std::lock_guard<std::mutex> guard(run.lock);
        char prefix[160];
        std::snprintf(prefix, sizeof(prefix), "korvel-soak: round %d: RSS %llu -> %llu KiB, ",
                      round, (unsigned long long)start >> 10, (unsigned long long)now >> 10);
        PrintTotals(prefix, run.totals);
        std::fflush(stdout);
    }
}

} // namespace

int main(int argc, char **argv) {
    Run run;
    if (!ParseOptions(argc, argv, &run.options)) {
        std::fprintf(stderr, "usage: korvel-soak [--seconds N] [--round SEC] [--threads 1..9] "
                             "[--seed N] [--gateway PATH]\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    uint64_t rssStart = RssBytes();
    if (!StartGateways(run)) return 1;
    std::printf("korvel-soak: %d s, %u threads, seed %u, %zu faults\n", run.options.seconds,
                run.options.threads, run.options.seed, Scenarios().size());
    int64_t started = SoakNowMs();
    run.deadlineMs = started + run.options.seconds * 1000;
    std::thread watchdog(Watchdog, std::ref(run));
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < run.options.threads; ++i)
        workers.emplace_back(Worker, std::ref(run), i);
    uint64_t rssFirst = 0, rssEnd = 0;
    Rounds(run, &rssFirst, &rssEnd);
    for (std::thread &t : workers)
        t.join();
    run.stop = true;
    watchdog.join();
    uint64_t rssAfter = RssBytes();
    for (ScenarioState &s : run.scenarios)
        s.gateway.reset();

    std::printf("korvel-soak: ran %.1f s\n", (double)(SoakNowMs() - started) / 1000);
    std::printf("%-20s %9s %9s %9s\n", "fault", "polling", "callback", "problems");
    for (size_t i = 0; i < Scenarios().size(); ++i)
        std::printf("%-20s %9llu %9llu %9llu\n", Scenarios()[i].name,
                    (unsigned long long)run.scenarios[i].sessions[0],
                    (unsigned long long)run.scenarios[i].sessions[1],
                    (unsigned long long)run.scenarios[i].problems);
    PrintTotals("korvel-soak: ", run.totals);
    std::printf("korvel-soak: malformed frames sent %llu; messages written %llu, received by the "
                "gateways %llu\n",
                (unsigned long long)run.malformedSent, (unsigned long long)run.written,
                (unsigned long long)run.gatewayIn);
    std::printf("korvel-soak: RSS at start %llu KiB, after round 1 %llu KiB, at the end %llu KiB, "
                "after the last shutdown %llu KiB%s\n",
                (unsigned long long)rssStart >> 10, (unsigned long long)rssFirst >> 10,
                (unsigned long long)rssEnd >> 10, (unsigned long long)rssAfter >> 10,
                kSanitized ? " (sanitizer build: not judged)" : "");
    bool rssFlat = kSanitized || rssEnd <= rssFirst + kRssGrowthLimit;
    bool pass = run.problems == 0 && run.totals.unaccounted == 0 && run.totals.corrupt == 0 &&
                rssFlat && run.totals.connections > 0;
    if (!rssFlat)
        std::printf("korvel-soak: memory grew by more than %llu KiB\n",
                    (unsigned long long)kRssGrowthLimit >> 10);
    std::printf("korvel-soak: %s\n", pass ? "PASS" : "FAIL");
    return pass ? 0 : 1;
}
