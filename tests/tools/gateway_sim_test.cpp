// korvel-gateway end to end: the program on an ephemeral port, plain TCP
// clients, and the summary lines it prints when it ends.
#include "gateway_harness.h"

#include "can_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

std::vector<uint32_t> SortedIds(const std::vector<CanMsg> &frames) {
    std::vector<uint32_t> ids;
    for (const CanMsg &msg : frames)
        ids.push_back(msg.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

TEST(GatewayEcho, EachModeReturnsFramesToItsClients) {
    // Client 1 sends frame 1, client 2 frame 2; what each gets back.
    const struct {
        const char *mode;
        std::vector<uint32_t> first, second;
    } modes[] = {{"sender", {1}, {2}}, {"all", {1, 2}, {1, 2}}, {"others", {2}, {1}}};
    for (const auto &m : modes) {
        GatewayProcess gateway({"--echo", m.mode});
        TestClient a(gateway.Port()), b(gateway.Port());
        ASSERT_TRUE(gateway.WaitForLines("connected", 2));
        a.Send(CanMsg{1, 0, 1, {7}, {}, 0});
        b.Send(CanMsg{2, 0, 0, {}, {}, 0});
        EXPECT_EQ(m.first, SortedIds(a.Receive(m.first.size()))) << m.mode;
        EXPECT_EQ(m.second, SortedIds(b.Receive(m.second.size()))) << m.mode;
        EXPECT_EQ(0, gateway.Stop(SIGINT)); // Ctrl-C, even in a background job
        EXPECT_NE(std::string::npos, gateway.Output().find("(gateway stopped)"));
        EXPECT_EQ(1u, gateway.Summary(1, "in")) << m.mode;
        EXPECT_EQ(m.first.size(), gateway.Summary(1, "out")) << m.mode; // nothing more
        EXPECT_EQ(m.second.size(), gateway.Summary(2, "out")) << m.mode;
    }
}

TEST(GatewayGenerator, PacedFramesNeverRunAheadOfTheRateAndStopAtTheDuration) {
    // A replayed marker at 0.3 s comes behind every generated frame of the 0.05 s run.
    std::string log = TempPath("marker.log");
    WriteFile(log, "(100.000000) can0 7FE#\n(100.300000) can0 7FF#\n");
    int64_t start = MonotonicNs();
    GatewayProcess gateway({"-g", "-r", "1000", "-t", "0.05", "-I", "1", "--replay", log});
    TestClient client(gateway.Port());
    while (client.Frames().empty() || client.Frames().back().id != 0x7FF)
        ASSERT_GT(client.Receive(client.Frames().size() + 1).size(), 0u);
    EXPECT_GE(MonotonicNs() - start, 300000000);
    EXPECT_EQ(52u, client.Frames().size()); // 50 generated, 2 replayed
    EXPECT_EQ(0, gateway.Stop());
    std::remove(log.c_str());
}

TEST(GatewayLogs, ReplaySkipsWhatItCannotSendAndNamesTheLineOfABrokenLog) {
    // Lines as asc2log writes them, with their direction, and a comment.
    std::string log = TempPath("mixed.log");
    WriteFile(log, "(1.010000) can0 123#DEADBEEF R\n(1.020000) can0 20000080#0000000000000000\n"
                   "# a comment\n(1.030000) can0 456##11122334455667788 R\n"
                   "(1.040000) can0 12345678#0102 R\n(1.050000) can0 20000080#0000000000000000\n"
                   "(1.060000) can0 7FF#R3\n");
    GatewayProcess replay({"--replay", log});
    TestClient client(replay.Port());
    ASSERT_EQ(3u, client.Receive(3).size()) << replay.Output();
    EXPECT_EQ(0x123u, client.Frames()[0].id);
    EXPECT_EQ(0x12345678u, client.Frames()[1].id);
    EXPECT_EQ(KORVEL_MSGFLAG_EXT, client.Frames()[1].flags);
    EXPECT_EQ(KORVEL_MSGFLAG_RTR, client.Frames()[2].flags);
    EXPECT_EQ(3, client.Frames()[2].length);
    EXPECT_EQ(0, replay.Stop());
    for (const char *skipped :
         {"skipped 1 comment lines", "skipped 2 error frame lines", "skipped 1 CAN FD lines"})
        EXPECT_NE(std::string::npos, replay.Output().find(skipped)) << replay.Output();

    WriteFile(log, "(1.000000) can0 123#11\n\n(1.100000) can0 123#1\n");
    std::string output;
    EXPECT_EQ(1, RunTool({KORVEL_GATEWAY_PROGRAM, "-p", "0", "--replay", log}, &output));
    EXPECT_NE(std::string::npos, output.find("mixed.log:3:")) << output;
    std::remove(log.c_str());
}

TEST(GatewayFaults, AMalformedFrameFollowsEveryNthFrame) {
    GatewayProcess gateway({"-g", "-r", "max", "-n", "100", "--malformed", "10"});
    TestClient client(gateway.Port());
    ASSERT_EQ(100u, client.Receive(100).size());
    EXPECT_EQ(0, gateway.Stop());
    EXPECT_EQ(10u, client.Malformed());
    EXPECT_EQ(10u, gateway.Summary(1, "malformed out"));
}

TEST(GatewayCommandLine, BadArgumentsGiveStatus2) {
    for (std::vector<std::string> args : {std::vector<std::string>{"--rate", "fast"},
                                          {"--close-after", "1", "--reset-after", "1"},
                                          {"stray"}}) {
        args.insert(args.begin(), KORVEL_GATEWAY_PROGRAM);
        EXPECT_EQ(2, RunTool(args)) << args[1];
    }
}

} // namespace
