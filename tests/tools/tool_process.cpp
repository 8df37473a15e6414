// Child processes of the tool tests.
#include "tool_process.h"

#include "eventually.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

void Fail(const std::string &what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

size_t Count(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

ToolProcess::ToolProcess(const std::vector<std::string> &args, bool ignoreInterrupt) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) Fail("pipe");
    m_pid = fork();
    if (m_pid < 0) Fail("fork");
    if (m_pid == 0) {
        dup2(pipeFds[1], STDOUT_FILENO);
        dup2(pipeFds[1], STDERR_FILENO);
        if (ignoreInterrupt) signal(SIGINT, SIG_IGN);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char *> argv;
        for (auto &arg : args)
            argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    m_out = pipeFds[0];
}

ToolProcess::~ToolProcess() {
    if (m_pid > 0) {
        kill(m_pid, SIGKILL);
        waitpid(m_pid, nullptr, 0);
    }
    if (m_out >= 0) close(m_out);
}

// Reads what the tool has written so far; true once it has closed its output.
bool ToolProcess::ReadOutput() {
    struct pollfd p = {m_out, POLLIN, 0};
    char buffer[65536];
    ssize_t n = 1;
    while (!m_eof && poll(&p, 1, 0) > 0 && (n = read(m_out, buffer, sizeof(buffer))) > 0)
        m_output.append(buffer, (size_t)n);
    m_eof = m_eof || n <= 0;
    return m_eof;
}

bool ToolProcess::WaitFor(const std::string &text, size_t count) {
    Eventually([&] { return ReadOutput() || Count(m_output, text) >= count; }, kToolWaitMs);
    return Count(m_output, text) >= count;
}

int ToolProcess::Stop(int signalNumber) {
    if (m_pid > 0) kill(m_pid, signalNumber);
    return Finish();
}

int ToolProcess::Finish() {
    int status = 0;
    if (!Eventually([&] { return ReadOutput() && waitpid(m_pid, &status, WNOHANG) != 0; },
                    kToolWaitMs))
        return -1;
    m_pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> ToolProcess::Lines(const std::string &prefix) const {
    std::vector<std::string> lines;
    std::istringstream in(m_output);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    return lines;
}

int RunTool(const std::vector<std::string> &args, std::string *output) {
    ToolProcess tool(args);
    int status = tool.Finish();
    if (output != nullptr) *output = tool.Output();
    return status;
}
