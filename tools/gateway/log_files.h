// Log files in candump's log format: frames to replay and the record of
// received frames.
#ifndef KORVEL_GATEWAY_LOG_FILES_H
#define KORVEL_GATEWAY_LOG_FILES_H

#include "korvel32.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct ReplayFrame {
    int64_t offsetNs; // time behind the log's first frame
    CanMsg msg;
};

// Reads a whole log. Blank lines are skipped; so are comment lines ('#'),
// error frames and CAN FD frames, with one warning per kind on stderr giving
// their number. Any other line that is no log line fails the load with a
// message naming the file and line on stderr.
bool LoadReplayLog(const std::string &path, std::vector<ReplayFrame> *frames);

// Appends received frames to a log, stamped with the wall clock.
class FrameRecorder {
  public:
    ~FrameRecorder();
    bool Open(const std::string &path, const std::string &interfaceName);
    bool IsOpen() const { return m_file != nullptr; }
    void Record(const CanMsg &msg);
    // Pushes written lines to the file, so that readers see them while the gateway runs.
    void Flush();

  private:
    FILE *m_file = nullptr;
    std::string m_interface;
    bool m_dirty = false;
};

#endif
