// Child-process and client helpers for the gateway tests.
#include "gateway_harness.h"

#include "eventually.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <regex>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

int64_t MonotonicNs() {
    return std::chrono::nanoseconds(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string TempPath(const std::string &name) {
    return ::testing::TempDir() + "korvel_tools_" + std::to_string(getpid()) + "_" + name;
}

std::vector<std::string> ReadLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool SameMsg(const CanMsg &a, const CanMsg &b) { return std::memcmp(&a, &b, sizeof(CanMsg)) == 0; }

namespace {

std::vector<std::string> GatewayArgs(const std::vector<std::string> &options) {
    std::vector<std::string> args = {KORVEL_GATEWAY_PROGRAM, "--port", "0"};
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

} // namespace

GatewayProcess::GatewayProcess(const std::vector<std::string> &options)
    : ToolProcess(GatewayArgs(options), true) {
    if (!WaitFor("listening on 127.0.0.1:")) throw std::runtime_error("no start-up line");
    m_port = (uint16_t)std::stoi(Output().substr(Output().find("127.0.0.1:") + 10));
}

uint64_t GatewayProcess::Summary(unsigned number, const std::string &key) const {
    const std::regex field("client " + std::to_string(number) +
                           " [^\n]* ended \\([^\n]*?\\) after [^\n]*? " + key + " (\\d+)");
    std::smatch match;
    if (!std::regex_search(Output(), match, field))
        throw std::runtime_error("no " + key + " in the summary of client " +
                                 std::to_string(number));
    return std::stoull(match[1]);
}

TestClient::TestClient(uint16_t port) {
    m_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (m_fd < 0 || connect(m_fd, (sockaddr *)&address, sizeof(address)) != 0) Fail("connect");
}

TestClient::~TestClient() { close(m_fd); }

void TestClient::Send(const CanMsg &msg) {
    std::string frame;
    AppendGatewayFrame(msg, frame);
    if (send(m_fd, frame.data(), frame.size(), MSG_NOSIGNAL) != (ssize_t)frame.size()) Fail("send");
}

const std::vector<CanMsg> &TestClient::Receive(size_t count) {
    struct pollfd p = {m_fd, POLLIN, 0};
    char buffer[65536];
    ssize_t n = 1;
    auto done = [&] {
        while (m_frames.size() < count && poll(&p, 1, 0) > 0 &&
               (n = recv(m_fd, buffer, sizeof(buffer), 0)) > 0) {
            m_reader.Feed(buffer, (size_t)n);
            CanMsg msg;
            for (GatewayFrameReader::Result r;
                 (r = m_reader.Next(&msg)) != GatewayFrameReader::kNeedMore;) {
                if (r == GatewayFrameReader::kFrame)
                    m_frames.push_back(msg);
                else
                    ++m_malformed;
            }
        }
        return n <= 0 || m_frames.size() >= count;
    };
    Eventually(done, kToolWaitMs);
    return m_frames;
}
