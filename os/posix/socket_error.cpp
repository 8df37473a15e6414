#include "os/posix/socket_error.h"

#include "os/socket.h"

#include <cerrno>

namespace {

thread_local int t_lastError = 0;

struct ErrorPair {
    int posix;
    int winSock;
};

// The one translation from errno to WinSock numbers. EWOULDBLOCK equals
// EAGAIN on Linux and needs no line of its own there.
constexpr ErrorPair kErrors[] = {
    {EINTR, 10004},           {EBADF, 10009},           {EACCES, 10013},
    {EFAULT, 10014},          {EINVAL, 10022},          {EMFILE, 10024},
    {ENFILE, 10024},          {EAGAIN, 10035},          {EINPROGRESS, 10036},
    {EALREADY, 10037},        {ENOTSOCK, 10038},        {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},        {EPROTOTYPE, 10041},      {ENOPROTOOPT, 10042},
    {EPROTONOSUPPORT, 10043}, {ESOCKTNOSUPPORT, 10044}, {EOPNOTSUPP, 10045},
    {EPFNOSUPPORT, 10046},    {EAFNOSUPPORT, 10047},    {EADDRINUSE, 10048},
    {EADDRNOTAVAIL, 10049},   {ENETDOWN, 10050},        {ENETUNREACH, 10051},
    {ENETRESET, 10052},       {ECONNABORTED, 10053},    {ECONNRESET, 10054},
    {ENOBUFS, 10055},         {ENOMEM, 10055},          {EISCONN, 10056},
    {ENOTCONN, 10057},        {EPIPE, 10058},           {ESHUTDOWN, 10058},
    {ETIMEDOUT, 10060},       {ECONNREFUSED, 10061},    {EHOSTDOWN, 10064},
    {EHOSTUNREACH, 10065},
};

// WSASYSCALLFAILURE: a failure WinSock has no closer number for.
constexpr int kOtherFailure = 10107;

} // namespace

int WinSockErrorFromErrno(int error) {
    if (error == EWOULDBLOCK) return OS_WSAEWOULDBLOCK;
    for (const ErrorPair &e : kErrors)
        if (e.posix == error) return e.winSock;
    return kOtherFailure;
}

int FailWith(int winSockError) {
    t_lastError = winSockError;
    return OS_SOCKET_ERROR;
}

int FailWithErrno() { return FailWith(WinSockErrorFromErrno(errno)); }

int OsSocketLastError() { return t_lastError; }
