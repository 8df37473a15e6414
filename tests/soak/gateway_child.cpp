// Spawning korvel-gateway and reading its client lines.
#include "gateway_child.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// "korvel-gateway: client 3 127.0.0.1:40000 ended (peer closed) after ...:
// in 0 frames (0/s), out 123 frames (...)": the number behind "key ".
uint64_t NumberAfter(const std::string &line, const std::string &key) {
    size_t at = line.find(key);
    return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + key.size(), nullptr, 10);
}

} // namespace

GatewayChild::~GatewayChild() {
    if (m_pid > 0) kill(m_pid, SIGTERM);
    if (m_reader.joinable()) m_reader.join();
    if (m_pid > 0) waitpid(m_pid, nullptr, 0);
    if (m_out >= 0) close(m_out);
}

bool GatewayChild::Start(const std::string &program, const std::vector<std::string> &options,
                         std::string *error) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return *error = "pipe: " + std::string(strerror(errno)), false;
    std::vector<std::string> args = {program, "--port", "0"};
    args.insert(args.end(), options.begin(), options.end());
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    m_pid = fork();
    if (m_pid == 0) {
        // A soak that ends abnormally (sanitizer halt, watchdog) takes its
        // gateways along.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(fds[1], STDOUT_FILENO);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(fds[1]);
    m_out = fds[0];
    if (m_pid < 0) return *error = "fork: " + std::string(strerror(errno)), false;
    // The first line names the port.
    std::string line;
    for (char c; line.find('\n') == std::string::npos;) {
        struct pollfd p = {m_out, POLLIN, 0};
        if (poll(&p, 1, 10000) <= 0 || read(m_out, &c, 1) != 1)
            return *error = "no start-up line from " + program, false;
        line += c;
    }
    size_t colon = line.rfind(':');
    m_port = (uint16_t)std::atoi(line.c_str() + colon + 1);
    if (line.find("listening on") == std::string::npos || m_port == 0)
        return *error = "unexpected start-up line: " + line, false;
    return true;
}

void GatewayChild::StartReader() {
    m_reader = std::thread([this] { ReadLines(); });
}

void GatewayChild::ReadLines() {
    char buffer[4096];
    for (;;) {
        ssize_t n = read(m_out, buffer, sizeof(buffer));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        m_pending.append(buffer, (size_t)n);
        for (size_t end; (end = m_pending.find('\n')) != std::string::npos;) {
            Parse(m_pending.substr(0, end));
            m_pending.erase(0, end + 1);
        }
    }
}

void GatewayChild::Parse(const std::string &line) {
    unsigned client = (unsigned)NumberAfter(line, "client ");
    if (client == 0) return;
    std::lock_guard<std::mutex> lock(m_mutex);
    if (line.size() > 10 && line.compare(line.size() - 10, 10, " connected") == 0) {
        if (client > m_connected) m_connected = client;
    } else if (line.find(" ended (") != std::string::npos) {
        ClientSummary &s = m_summaries[client];
        size_t open = line.find(" ended (") + 8;
        s.reason = line.substr(open, line.find(')', open) - open);
        s.in = NumberAfter(line, " s: in ");
        s.out = NumberAfter(line, " out ");
        s.malformedOut = NumberAfter(line, "malformed out ");
    }
    m_changed.notify_all();
}

bool GatewayChild::WaitConnected(unsigned client, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return m_connected >= client; });
}

bool GatewayChild::WaitSummary(unsigned client, int timeoutMs, ClientSummary *summary) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                            [&] { return m_summaries.count(client) > 0; }))
        return false;
    *summary = m_summaries[client];
    m_summaries.erase(client);
    return true;
}
