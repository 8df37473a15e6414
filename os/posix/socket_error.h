// The POSIX socket layer's failures, kept as WinSock numbers.
#pragma once

// The WinSock number for an errno value.
int WinSockErrorFromErrno(int error);
// Records `winSockError` as the calling thread's last socket error and
// returns OS_SOCKET_ERROR.
int FailWith(int winSockError);
// Records the current errno, translated.
int FailWithErrno();
