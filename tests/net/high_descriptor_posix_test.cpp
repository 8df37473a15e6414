// Linux: a socket whose descriptor is above the range of select's sets
// (1024) still connects and carries data, because readiness is tested
// with poll.
#include "socket_fixture.h"

#include <algorithm>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

TEST_F(SocketTest, SocketAboveTheSelectRangeConnectsAndCarriesData) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1200) GTEST_SKIP() << "the descriptor limit is below 1200";
    limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, 1200);
    setrlimit(RLIMIT_NOFILE, &limit);
    // Every free descriptor below 1100 is taken, so the socket's lies above.
    std::vector<int> taken{open("/dev/null", O_RDONLY)};
    while (taken.back() >= 0 && taken.back() < 1100)
        taken.push_back(dup(taken.back()));
    WinSocket::CWinSock &s = Connected();
    EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk("high"), 4));
    EXPECT_EQ(WSOCK_OK, s.Poll());
    ASSERT_TRUE(m_gateway.WaitForBytes(0, 4));
    EXPECT_EQ("high", m_gateway.Received(0));
    ASSERT_TRUE(m_gateway.Send(0, "back"));
    EXPECT_EQ("back", ReceiveBytes(4));
    for (int fd : taken)
        if (fd >= 0) close(fd);
}

} // namespace
