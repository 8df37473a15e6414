// Queuing and sending of one client's frames.
#include "output.h"

#include "gateway_frame.h"

#include <cerrno>
#include <sys/socket.h>

namespace {

// Frames that no reader may decode: a wrong format letter, a wrong kind
// letter, an identifier and a data byte that are no numbers. Each is
// complete, so the frames behind it can still be found.
const char *const kMalformed[] = {
    "$CAN;s;D;0x1;0x0;#",
    "$CAN;S;d;0x2;0x0;#",
    "$CAN;S;D;0xzz;0x0;#",
    "$CAN;S;D;0x4;0x2;0x1;zz;#",
};

// Garbage never holds '$', '#' or a zero byte, so it cannot start, end or
// cut short a frame in a reader that skips what lies between frames.
const char kGarbage[] = "abcdefghijklmnopqrstuvwxyz0123456789 ;\r\n";

const size_t kCompactBytes = 65536;

// The endless garbage has "#" but no "C", so it can never hold "$CAN".
const char kEndlessGarbage[] = "abcdefghijklmnopqrstuvwxyz0123456789 ;#$\r\n";

} // namespace

FrameOutput::FrameOutput(const FaultOptions &faults, uint32_t seed)
    : m_faults(faults), m_random(seed * 2654435761u + 7) {}

void FrameOutput::PutGarbage() {
    unsigned n = 1 + Random() % 8;
    for (unsigned i = 0; i < n; ++i)
        m_buffer += kGarbage[Random() % (sizeof(kGarbage) - 1)];
}

void FrameOutput::PutMalformed() {
    m_buffer += kMalformed[m_malformed % (sizeof(kMalformed) / sizeof(kMalformed[0]))];
    ++m_malformed;
}

// Drops what is sent, so the buffer does not grow.
void FrameOutput::Compact() {
    if (m_pos < kCompactBytes) return;
    m_base += m_pos;
    m_buffer.erase(0, m_pos);
    m_pos = 0;
}

void FrameOutput::PutPart(const CanMsg &msg) {
    Compact();
    char frame[kGatewayFrameMax];
    size_t length = FormatGatewayFrame(msg, frame);
    m_buffer.append(frame, 1 + Random() % (length - 1));
}

void FrameOutput::PutEndless(EndlessMode mode, size_t bytes) {
    Compact();
    if (mode == EndlessMode::kFrame) {
        // One frame head, then data tokens that never end in "#".
        if (!m_endlessStarted) m_buffer += "$CAN;S;D;0x1;0x8;";
        for (size_t n = 0; n < bytes; n += 5)
            m_buffer += "0x5a;";
    } else {
        for (size_t n = 0; n < bytes; ++n)
            m_buffer += kEndlessGarbage[Random() % (sizeof(kEndlessGarbage) - 1)];
    }
    m_endlessStarted = true;
}

void FrameOutput::Put(const CanMsg &msg) {
    Compact();
    if (m_faults.garbage) PutGarbage();
    char frame[kGatewayFrameMax];
    size_t length = FormatGatewayFrame(msg, frame);
    if (m_faults.split) m_cuts.push_back(m_base + m_buffer.size() + 1 + Random() % (length - 1));
    m_buffer.append(frame, length);
    ++m_frames;
    if (m_faults.malformedEvery > 0 && m_frames % m_faults.malformedEvery == 0) PutMalformed();
}

FrameOutput::SendResult FrameOutput::Send(int fd) {
    while (m_pos < m_buffer.size()) {
        uint64_t end = m_base + m_buffer.size();
        while (!m_cuts.empty() && m_cuts.front() <= m_base + m_pos)
            m_cuts.pop_front();
        if (!m_cuts.empty()) end = m_cuts.front();
        size_t size = (size_t)(end - (m_base + m_pos));
        ssize_t sent = ::send(fd, m_buffer.data() + m_pos, size, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK ? kBlocked : kFailed;
        }
        m_pos += (size_t)sent;
        m_sentBytes += (uint64_t)sent;
    }
    m_base += m_pos;
    m_buffer.clear();
    m_pos = 0;
    return kSent;
}
