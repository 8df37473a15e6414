#include "test_gateway.h"

#include <chrono>

TestGateway::TestGateway() : m_listener(TestListen(&m_port)) {
    if (Listening()) m_acceptor = std::thread(&TestGateway::AcceptLoop, this);
}

TestGateway::~TestGateway() {
    if (Listening()) {
        TestShutdown(m_listener);
        TestClose(m_listener);
        m_acceptor.join();
    }
    for (auto &client : m_clients) {
        if (client->closed) continue;
        TestShutdown(client->socket);
        client->reader.join();
        TestClose(client->socket);
    }
}

void TestGateway::AcceptLoop() {
    for (;;) {
        TestSocket s = TestAccept(m_listener);
        if (s == kNoTestSocket) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_clients.push_back(std::make_unique<Client>());
        Client *client = m_clients.back().get();
        client->socket = s;
        client->reader = std::thread(&TestGateway::ReadLoop, this, client);
        m_changed.notify_all();
    }
}

void TestGateway::ReadLoop(Client *client) {
    char buffer[65536];
    for (;;) {
        int n = TestRecv(client->socket, buffer, sizeof(buffer));
        std::lock_guard<std::mutex> lock(m_mutex);
        if (n <= 0) {
            client->ended = true;
            m_changed.notify_all();
            return;
        }
        client->received.append(buffer, static_cast<size_t>(n));
        m_changed.notify_all();
    }
}

template <typename Condition> bool TestGateway::WaitUntil(uint32_t timeoutMs, Condition condition) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), condition);
}

bool TestGateway::WaitForClients(size_t count, uint32_t timeoutMs) {
    return WaitUntil(timeoutMs, [&] { return m_clients.size() >= count; });
}

bool TestGateway::WaitForBytes(size_t index, size_t bytes, uint32_t timeoutMs) {
    return WaitUntil(timeoutMs, [&] {
        return index < m_clients.size() && m_clients[index]->received.size() >= bytes;
    });
}

bool TestGateway::WaitForClientEnd(size_t index, uint32_t timeoutMs) {
    return WaitUntil(timeoutMs,
                     [&] { return index < m_clients.size() && m_clients[index]->ended; });
}

std::string TestGateway::Received(size_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_clients.size() ? m_clients[index]->received : std::string();
}

TestGateway::Client *TestGateway::At(size_t index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return index < m_clients.size() ? m_clients[index].get() : nullptr;
}

bool TestGateway::Send(size_t index, const std::string &bytes) {
    Client *client = At(index);
    return client && !client->closed && TestSendAll(client->socket, bytes.data(), bytes.size());
}

bool TestGateway::SendUrgent(size_t index, char byte) {
    Client *client = At(index);
    return client && !client->closed && TestSendUrgent(client->socket, byte);
}

void TestGateway::Close(size_t index) {
    if (Client *client = At(index)) TestShutdown(client->socket);
}

void TestGateway::Reset(size_t index) {
    Client *client = At(index);
    if (!client || client->closed) return;
    client->closed = true;
    bool closeAfterReader = TestAbort(client->socket);
    client->reader.join();
    if (closeAfterReader) TestClose(client->socket);
}

uint16_t UnusedLoopbackPort() {
    uint16_t port = 0;
    TestSocket s = TestListen(&port);
    TestClose(s);
    return port;
}
