// Reading replay logs and writing the record of received frames.
#include "log_files.h"

#include "can_text.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace {

// Lines of a log that the gateway cannot send, skipped with one warning per kind.
enum SkippedKind { kSkippedComment, kSkippedErrorFrame, kSkippedFd, kSkippedKinds };

const char *const kSkippedText[kSkippedKinds] = {
    "comment lines ('#')",
    "error frame lines (error frames cannot be carried)",
    "CAN FD lines (CAN FD frames cannot be carried)",
};

// The kind of a line to skip, or kSkippedKinds for a line to read.
int SkippedKindOf(const char *line, int status) {
    if (line[std::strspn(line, " \t")] == '#') return kSkippedComment;
    if (status == CAN_TEXT_ERR_ERROR_FRAME) return kSkippedErrorFrame;
    if (status == CAN_TEXT_ERR_FD) return kSkippedFd;
    return kSkippedKinds;
}

} // namespace

bool LoadReplayLog(const std::string &path, std::vector<ReplayFrame> *frames) {
    FILE *file = std::fopen(path.c_str(), "r");
    if (file == nullptr) {
        std::fprintf(stderr, "korvel-gateway: open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    char line[512];
    unsigned number = 0;
    uint64_t skipped[kSkippedKinds] = {};
    int64_t first = 0, last = 0;
    bool ok = true;
    while (ok && std::fgets(line, sizeof(line), file) != nullptr) {
        ++number;
        if (line[std::strspn(line, " \t\r\n")] == '\0') continue;
        CanLogRecord record;
        int status = ParseCandumpLog(line, &record);
        int kind = SkippedKindOf(line, status);
        if (kind != kSkippedKinds) {
            ++skipped[kind];
            continue;
        }
        if (status != CAN_TEXT_OK) {
            std::fprintf(stderr, "korvel-gateway: %s:%u: %s\n", path.c_str(), number,
                         CanTextStatusText(status));
            ok = false;
            break;
        }
        int64_t stamp = record.seconds * 1000000000 + (int64_t)record.micros * 1000;
        if (frames->empty()) first = last = stamp;
        if (stamp < last) stamp = last; // time never runs backwards in a replay
        last = stamp;
        frames->push_back(ReplayFrame{stamp - first, record.msg});
    }
    if (ok && std::ferror(file)) {
        std::fprintf(stderr, "korvel-gateway: read %s: %s\n", path.c_str(), std::strerror(errno));
        ok = false;
    }
    std::fclose(file);
    for (int kind = 0; ok && kind < kSkippedKinds; ++kind)
        if (skipped[kind] > 0)
            std::fprintf(stderr, "korvel-gateway: %s: skipped %llu %s\n", path.c_str(),
                         (unsigned long long)skipped[kind], kSkippedText[kind]);
    return ok;
}

FrameRecorder::~FrameRecorder() {
    if (m_file != nullptr) std::fclose(m_file);
}

bool FrameRecorder::Open(const std::string &path, const std::string &interfaceName) {
    m_file = std::fopen(path.c_str(), "a");
    if (m_file == nullptr) {
        std::fprintf(stderr, "korvel-gateway: open %s: %s\n", path.c_str(), std::strerror(errno));
        return false;
    }
    m_interface = interfaceName;
    return true;
}

void FrameRecorder::Record(const CanMsg &msg) {
    if (m_file == nullptr) return;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    CanLogRecord record;
    std::memset(&record, 0, sizeof(record));
    record.seconds = now.tv_sec;
    record.micros = (uint32_t)(now.tv_nsec / 1000);
    std::strncpy(record.interfaceName, m_interface.c_str(), sizeof(record.interfaceName) - 1);
    record.msg = msg;
    std::string line = FormatCandumpLog(record);
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), m_file);
    m_dirty = true;
}

void FrameRecorder::Flush() {
    if (!m_dirty) return;
    if (std::fflush(m_file) != 0)
        std::fprintf(stderr, "korvel-gateway: write record: %s\n", std::strerror(errno));
    m_dirty = false;
}
