// Construction, destruction, Create and Bind, and the process-wide start
// and stop of the network.
#include "net/win_sock.h"

namespace WinSocket {

uint32_t g_wsaStarted = 0;
uint8_t g_socketCount = 0;

namespace {

// Keep-alive probes after 1 s without traffic, then every second.
constexpr uint32_t kKeepAliveMs = 1000;

std::string DottedText(uint32_t address) {
    char text[16];
    OsInetNtoa(address, text);
    return text;
}

} // namespace

CWinSock::CWinSock(const char *address, uint16_t port, NotifyFn notify, void *notifyArg) {
    InitCommon();
    // No text is no address, like any text that is not one.
    if (!address) address = "";
    m_remoteAddressText = address;
    m_remotePort = port;
    // Not validated: anything but dotted IPv4 text gives 255.255.255.255,
    // which Connect then uses unchanged. Host names are not resolved.
    m_remoteAddress = OsInetAddr(address);
    m_localAddressText = DottedText(0);
    m_notify = notify;
    m_notifyArg = notifyArg;
    ++g_socketCount;
}

CWinSock::CWinSock(uint32_t address, uint16_t port, NotifyFn notify, void *notifyArg) {
    InitCommon();
    m_remoteAddress = address;
    m_remoteAddressText = DottedText(address);
    m_remotePort = port;
    m_localAddressText = DottedText(0);
    m_notify = notify;
    m_notifyArg = notifyArg;
    ++g_socketCount;
}

// A failed start leaves a usable object whose every Poll reports WSOCK_ERR_STARTUP.
void CWinSock::InitCommon() {
    m_remoteAddress = m_localAddress = 0;
    m_remotePort = m_localPort = 0;
    m_remoteAddressText = "000.000.000.000";
    m_handle = OS_INVALID_SOCKET;
    m_state = WSOCK_STATE_CLOSED;
    m_error = WSOCK_OK;
    m_family = m_type = m_protocol = 0;
    m_notify = nullptr;
    m_notifyArg = nullptr;
    m_readyFlags = 0;
    m_sendLock = m_recvLock = nullptr;
    if (g_wsaStarted != 1 && g_socketCount == 0) {
        if (OsNetworkStartup() == 0)
            g_wsaStarted = 1;
        else
            m_error = WSOCK_ERR_STARTUP;
    }
}

CWinSock::~CWinSock() {
    --g_socketCount;
    StopNetworkIfUnused();
}

WSockResult CWinSock::Create(int32_t family, int32_t type, int32_t protocol) {
    if (m_handle != OS_INVALID_SOCKET) return WSOCK_ERR_STATE;
    // A failing socket call shows as a failure of the first option.
    m_handle = OsSocketOpen(family, type, protocol);
    m_family = family;
    m_type = type;
    m_protocol = protocol;
    if (OsSocketSetNonBlocking(m_handle) != 0 ||
        OsSocketSetRecvBuffer(m_handle, WSOCK_CHUNK_MAX) != 0) {
        Close();
        return WSOCK_ERR_CREATE;
    }
    if (OsSocketSetSendBuffer(m_handle, WSOCK_CHUNK_MAX) != 0) {
        Close();
        return WSOCK_ERR_FAILED;
    }
    // Without keep-alive the handle stays open in WSOCK_STATE_CLOSED; Close
    // releases it.
    if (OsSocketSetKeepAlive(m_handle, kKeepAliveMs, kKeepAliveMs) != 0) return WSOCK_ERR_FAILED;
    m_state = WSOCK_STATE_CREATED;
    return WSOCK_OK;
}

WSockResult CWinSock::Bind() {
    if (m_handle == OS_INVALID_SOCKET) return WSOCK_ERR_NO_SOCKET;
    if (m_state != WSOCK_STATE_CREATED) return WSOCK_ERR_STATE;
    uint32_t address = OsInetAddr(m_localAddressText.c_str());
    if (OsSocketBind(m_handle, OS_AF_INET, address, m_localPort) != 0) return WSOCK_ERR_FAILED;
    return WSOCK_OK;
}

WSockResult CWinSock::IsValid() const {
    return m_handle != OS_INVALID_SOCKET ? WSOCK_OK : WSOCK_ERR_NO_SOCKET;
}

WSockResult CWinSock::StartNetwork() {
    if (OsNetworkStartup() != 0) return WSOCK_ERR_FAILED;
    g_wsaStarted = 1;
    return WSOCK_OK;
}

WSockResult CWinSock::StopNetwork() {
    if (!g_wsaStarted) return WSOCK_OK;
    WSockResult result = OsNetworkCleanup() == 0 ? WSOCK_OK : WSOCK_ERR_FAILED;
    g_wsaStarted = 0;
    return result;
}

void CWinSock::StopNetworkIfUnused() {
    if (g_wsaStarted == 1 && g_socketCount == 0) {
        OsNetworkCleanup();
        g_wsaStarted = 0;
    }
}

uint32_t CWinSock::IsNetworkStarted() { return g_wsaStarted; }

} // namespace WinSocket
