// An in-process gateway on 127.0.0.1 for tests: it accepts connections,
// records what each client sends and sends what a test tells it to.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A plain blocking TCP socket, independent of the library's own socket code.
typedef intptr_t TestSocket;
constexpr TestSocket kNoTestSocket = -1;

class TestGateway {
  public:
    TestGateway();
    ~TestGateway();
    TestGateway(const TestGateway &) = delete;
    TestGateway &operator=(const TestGateway &) = delete;

    bool Listening() const { return m_listener != kNoTestSocket; }
    uint16_t Port() const { return m_port; }

    // Waits until `count` clients have connected.
    bool WaitForClients(size_t count, uint32_t timeoutMs = 5000);
    // Waits until client `index` has sent at least `bytes` bytes in all.
    bool WaitForBytes(size_t index, size_t bytes, uint32_t timeoutMs = 5000);
    // Waits until client `index` has ended its stream.
    bool WaitForClientEnd(size_t index, uint32_t timeoutMs = 5000);
    std::string Received(size_t index);

    bool Send(size_t index, const std::string &bytes);
    // One byte of TCP urgent data: a lasting exception condition at the client.
    bool SendUrgent(size_t index, char byte);
    // Orderly end of the stream towards the client.
    void Close(size_t index);
    // Connection reset.
    void Reset(size_t index);

  private:
    struct Client {
        TestSocket socket = kNoTestSocket;
        std::string received;
        bool ended = false;
        bool closed = false;
        std::thread reader;
    };
    template <typename Condition> bool WaitUntil(uint32_t timeoutMs, Condition condition);
    void AcceptLoop();
    void ReadLoop(Client *client);
    Client *At(size_t index);

    uint16_t m_port = 0; // before m_listener, which fills it
    TestSocket m_listener;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::unique_ptr<Client>> m_clients;
    std::thread m_acceptor;
};

// A port on 127.0.0.1 where nothing listens (it was free a moment ago).
uint16_t UnusedLoopbackPort();
