// A command-line tool as a child process, its standard output and error
// read through one pipe.
#ifndef KORVEL_TESTS_TOOL_PROCESS_H
#define KORVEL_TESTS_TOOL_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

class ToolProcess {
  public:
    // With `ignoreInterrupt` the tool starts with SIGINT ignored, as a shell
    // starts a background job.
    explicit ToolProcess(const std::vector<std::string> &args, bool ignoreInterrupt = false);
    ~ToolProcess();

    // Waits until the output contains text `count` times; false when the
    // tool ended or the wait ran out first.
    bool WaitFor(const std::string &text, size_t count = 1);
    // Sends the signal and finishes as below.
    int Stop(int signalNumber);
    // Waits for the end of the tool and returns its exit status (-1 when it
    // did not end within the wait or ended by a signal).
    int Finish();
    const std::string &Output() const { return m_output; }
    // The output lines that begin with prefix.
    std::vector<std::string> Lines(const std::string &prefix) const;

  private:
    bool ReadOutput();

    pid_t m_pid = -1;
    int m_out = -1;
    bool m_eof = false;
    std::string m_output;
};

// Runs the tool to its end; its exit status, the output in *output.
int RunTool(const std::vector<std::string> &args, std::string *output = nullptr);

// Every wait for a tool ends after this long at the latest.
constexpr int kToolWaitMs = 10000;
// How often `part` occurs in `text`.
size_t Count(const std::string &text, const std::string &part);
// Throws std::runtime_error naming the failed call and errno's text.
void Fail(const std::string &what);

#endif
