#include "bench_support.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace bench {

namespace {

int64_t ClockNs(clockid_t clock) {
    timespec t;
    clock_gettime(clock, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

std::string BesideSelf(const char *name) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return name;
    self[n] = '\0';
    std::string path(self);
    return path.substr(0, path.rfind('/') + 1) + name;
}

// Reads from the descriptor until a whole line is there; false at the end.
bool ReadLine(int fd, std::string *text, std::string *line) {
    for (;;) {
        size_t end = text->find('\n');
        if (end != std::string::npos) {
            *line = text->substr(0, end);
            return true;
        }
        char buffer[4096];
        ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        text->append(buffer, (size_t)n);
    }
}

uint64_t SumCounts(const std::string &text, const char *key) {
    uint64_t sum = 0;
    for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1))
        sum += std::strtoull(text.c_str() + at + std::strlen(key), nullptr, 10);
    return sum;
}

} // namespace

int64_t NowNs() { return ClockNs(CLOCK_MONOTONIC); }
int64_t WallNs() { return ClockNs(CLOCK_REALTIME); }

int64_t ProcessCpuNs() { return ClockNs(CLOCK_PROCESS_CPUTIME_ID); }

Gateway::Gateway(const std::vector<std::string> &options, std::string program) {
    if (program.empty()) program = BesideSelf("korvel-gateway");
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::vector<std::string> args = {program, "-p", "0"};
    args.insert(args.end(), options.begin(), options.end());
    m_pid = fork();
    if (m_pid == 0) {
        dup2(pipeFds[1], 1);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char *> argv;
        for (auto &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        std::perror(argv[0]);
        _exit(127);
    }
    close(pipeFds[1]);
    m_out = pipeFds[0];
    std::string line, rest;
    const char *key = "listening on ";
    if (!ReadLine(m_out, &rest, &line) || line.find(key) == std::string::npos) {
        std::fprintf(stderr, "bench: %s did not start\n", program.c_str());
        std::exit(1);
    }
    m_port = (uint16_t)std::atoi(line.c_str() + line.rfind(':') + 1);
    m_text = rest;
}

Gateway::~Gateway() { Stop(); }

std::string Gateway::Stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        char buffer[4096];
        for (ssize_t n; (n = read(m_out, buffer, sizeof(buffer))) != 0;) {
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) break;
            m_text.append(buffer, (size_t)n);
        }
        waitpid(m_pid, nullptr, 0);
        close(m_out);
        m_pid = -1;
    }
    return m_text;
}

uint64_t FramesIn(const std::string &text) { return SumCounts(text, ": in "); }
uint64_t FramesOut(const std::string &text) { return SumCounts(text, "), out "); }

int32_t OpenInstance(uint16_t port, uint16_t txBufferSize, uint16_t rxBufferSize) {
    static std::deque<InitParams> records; // kept until the process ends
    records.emplace_back();
    InitParams &p = records.back();
    p = InitParams{};
    p.size = sizeof(p);
    std::strcpy(p.ipAddress, "127.0.0.1");
    p.port = port;
    p.protocol = KORVEL_PROTOCOL_TCP;
    p.txBufferSize = txBufferSize;
    p.rxBufferSize = rxBufferSize;
    p.connectTimeout = 5000;
    p.shutdownTimeout = 5000;
    int32_t instance = -1;
    uint32_t status = KORVEL_Initialize(&instance, &p, nullptr, 0);
    if (status != KORVEL_OK) {
        std::fprintf(stderr, "bench: KORVEL_Initialize -> %u\n", status);
        return -1;
    }
    return instance;
}

int ConnectTcp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || connect(fd, (sockaddr *)&a, sizeof(a)) != 0) {
        std::perror("bench: connect");
        if (fd >= 0) close(fd);
        return -1;
    }
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    return fd;
}

CanMsg MakeMsg(uint32_t id, uint32_t tag) {
    CanMsg m{};
    m.id = id;
    m.length = 8;
    std::memcpy(m.data, &tag, 4);
    for (int i = 4; i < 8; ++i)
        m.data[i] = (uint8_t)(0x11 * (i + 1));
    return m;
}

} // namespace bench
