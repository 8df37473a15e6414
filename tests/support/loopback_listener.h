// A TCP listener on 127.0.0.1 that plays the gateway's part in socket
// tests: it accepts one connection and sends, reads and closes on command.
// Every wait is bounded.
#pragma once

#include "test_socket.h"

#include <cstdint>
#include <string>

class LoopbackListener {
  public:
    // Listens on a free port of 127.0.0.1; IsListening tells whether it
    // does. With a backlog of 0 a second connection attempt that nobody
    // accepts stays pending.
    explicit LoopbackListener(int backlog = 4);
    ~LoopbackListener();
    LoopbackListener(const LoopbackListener &) = delete;
    LoopbackListener &operator=(const LoopbackListener &) = delete;

    bool IsListening() const;
    uint16_t Port() const { return m_port; }

    // Takes the next connection, waiting at most `timeoutMs`.
    bool Accept(uint32_t timeoutMs = 5000);
    // Sends all of `bytes` to the accepted connection.
    bool SendAll(const std::string &bytes);
    // Reads from the accepted connection until `count` bytes have come or
    // `timeoutMs` has passed; returns what came.
    std::string Read(size_t count, uint32_t timeoutMs = 5000);
    // Ends the accepted connection in order.
    void ClosePeer();
    // Ends the accepted connection with a reset.
    void ResetPeer();

    // A port of 127.0.0.1 where nothing listens: one that was just free.
    static uint16_t ClosedPort();

  private:
    void CloseListener();

    uint16_t m_port = 0; // before m_listen, which fills it
    TestSocket m_listen;
    TestSocket m_peer = kNoTestSocket;
};
