// Linux: a socket whose descriptor is above the range of select's sets
// (1024) still connects and carries data, because readiness is tested
// with poll.
#include "socket_fixture.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <vector>

namespace {

using WinSocket::CWinSock;

// Occupies every free descriptor below `above`, so that the next one that
// the system hands out lies above it.
class LowDescriptorsTaken {
  public:
    explicit LowDescriptorsTaken(int above) {
        int fd = open("/dev/null", O_RDONLY);
        while (fd >= 0 && fd < above) {
            m_fds.push_back(fd);
            fd = dup(fd);
        }
        if (fd >= 0) close(fd);
    }
    ~LowDescriptorsTaken() {
        for (int fd : m_fds)
            close(fd);
    }

  private:
    std::vector<int> m_fds;
};

TEST_F(SocketTest, SocketAboveTheSelectRangeConnectsAndCarriesData) {
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    if (limit.rlim_max < 1200) GTEST_SKIP() << "the descriptor limit is below 1200";
    if (limit.rlim_cur < 1200) {
        limit.rlim_cur = 1200;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    LowDescriptorsTaken taken(1100);
    CWinSock &s = Connected();
    EXPECT_EQ(WSOCK_OK, s.PushSend(NewChunk("high"), 4));
    EXPECT_EQ(WSOCK_OK, s.Poll());
    ASSERT_TRUE(m_gateway.WaitForBytes(0, 4));
    EXPECT_EQ("high", m_gateway.Received(0));
    ASSERT_TRUE(m_gateway.Send(0, "back"));
    EXPECT_EQ("back", ReceiveBytes(4));
}

} // namespace
