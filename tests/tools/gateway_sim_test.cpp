// korvel-gateway end to end: the program on an ephemeral port, plain TCP
// clients, and the summary lines it prints when it ends.
#include "gateway_harness.h"

#include "can_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

void WriteFile(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

TEST(GatewayEcho, SenderModeReturnsFramesToTheirSenderOnly) {
    GatewayProcess gateway({"--echo", "sender"});
    TestClient a(gateway.Port()), b(gateway.Port());
    ASSERT_TRUE(gateway.WaitForLines("connected", 2));
    CanMsg sent[] = {TestMsg(0x123, 3, 1), TestMsg(0x7FF, 0), TestMsg(0x12345678, 8, 0xF8)};
    sent[2].flags = KORVEL_MSGFLAG_EXT;
    for (const CanMsg &msg : sent)
        a.Send(msg);
    ASSERT_EQ(3u, a.Receive(3).size());
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(SameMsg(sent[i], a.Frames()[i])) << i;
    // Anything meant for b was queued before b's own echo.
    b.Send(TestMsg(0x42, 1));
    ASSERT_GE(b.Receive(1).size(), 1u);
    EXPECT_EQ(0x42u, b.Frames()[0].id);
    EXPECT_EQ(0, gateway.Stop(SIGINT)); // Ctrl-C, even in a background job
    EXPECT_NE(std::string::npos, gateway.Output().find("(gateway stopped)"));
    EXPECT_EQ(3u, gateway.Summary(1, "in"));
    EXPECT_EQ(3u, gateway.Summary(1, "out"));
}

TEST(GatewayEcho, AllModeIsASharedBusAndOthersLeavesOutTheSender) {
    GatewayProcess all({"-e", "all"});
    TestClient a(all.Port()), b(all.Port());
    ASSERT_TRUE(all.WaitForLines("connected", 2));
    a.Send(TestMsg(1, 1));
    a.Send(TestMsg(2, 2));
    EXPECT_EQ(2u, a.Receive(2).size());
    EXPECT_EQ(2u, b.Receive(2).size());

    GatewayProcess others({"-e", "others"});
    TestClient c(others.Port()), d(others.Port());
    ASSERT_TRUE(others.WaitForLines("connected", 2));
    c.Send(TestMsg(3, 0));
    ASSERT_EQ(1u, d.Receive(1).size());
    d.Send(TestMsg(4, 0));
    ASSERT_GE(c.Receive(1).size(), 1u);
    EXPECT_EQ(4u, c.Frames()[0].id); // its own frame never came back
    EXPECT_EQ(0, all.Stop());
    EXPECT_EQ(0, others.Stop());
}

TEST(GatewayInput, MalformedFramesAndGarbageAreCountedAndDropped) {
    GatewayProcess gateway({"-e", "sender"});
    TestClient client(gateway.Port());
    client.Send("hello\r\n$CAN;S;D;0x1;0x1;0x11;#$CAN;S;d;0x2;0x0;#$CAN;S;D;0x3;0x0;#");
    ASSERT_EQ(2u, client.Receive(2).size());
    EXPECT_EQ(1u, client.Frames()[0].id);
    EXPECT_EQ(3u, client.Frames()[1].id);
    EXPECT_EQ(0, gateway.Stop());
    EXPECT_EQ(2u, gateway.Summary(1, "in"));
    EXPECT_EQ(1u, gateway.Summary(1, "malformed in"));
    EXPECT_EQ(7u, gateway.Summary(1, "garbage in"));
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

    GatewayProcess paced({"-g", "-r", "200", "-n", "20"});
    start = MonotonicNs();
    TestClient second(paced.Port());
    ASSERT_EQ(20u, second.Receive(20).size());
    EXPECT_GE(MonotonicNs() - start, 90000000); // frame 20 is due after 95 ms
    EXPECT_EQ(0, paced.Stop());
}

TEST(GatewayLogs, RecordedFramesReplayAsTheyWereReceived) {
    std::string record = TempPath("record.log");
    std::remove(record.c_str());
    CanMsg sent[] = {TestMsg(0x123, 4, 0xDE), TestMsg(0x5A1, 8, 0x11), TestMsg(0x1F, 0)};
    sent[2].flags = KORVEL_MSGFLAG_RTR | KORVEL_MSGFLAG_EXT;
    sent[2].length = 3;
    {
        GatewayProcess gateway({"--record", record, "--interface", "bench7"});
        TestClient client(gateway.Port());
        for (const CanMsg &msg : sent)
            client.Send(msg);
        int64_t deadline = MonotonicNs() + (int64_t)kWaitMs * 1000000;
        while (ReadLines(record).size() < 3 && MonotonicNs() < deadline)
            usleep(1000);
        EXPECT_EQ(0, gateway.Stop());
    }
    std::vector<std::string> lines = ReadLines(record);
    ASSERT_EQ(3u, lines.size());
    for (int i = 0; i < 3; ++i) {
        CanLogRecord entry;
        ASSERT_EQ(CAN_TEXT_OK, ParseCandumpLog(lines[i].c_str(), &entry)) << lines[i];
        EXPECT_STREQ("bench7", entry.interfaceName);
        EXPECT_TRUE(SameMsg(sent[i], entry.msg)) << lines[i];
    }
    GatewayProcess replay({"--replay", record});
    TestClient client(replay.Port());
    ASSERT_EQ(3u, client.Receive(3).size());
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(SameMsg(sent[i], client.Frames()[i])) << i;
    EXPECT_EQ(0, replay.Stop());
    std::remove(record.c_str());
}

TEST(GatewayLogs, ABrokenReplayLogStopsTheStartWithItsLineNumber) {
    std::string log = TempPath("broken.log");
    WriteFile(log, "(1.000000) can0 123#11\n\n(1.100000) can0 123#1\n");
    std::string command =
        std::string(KORVEL_GATEWAY_PROGRAM) + " -p 0 --replay " + log + " 2>" + log + ".err";
    EXPECT_EQ(1, WEXITSTATUS(std::system(command.c_str())));
    std::vector<std::string> error = ReadLines(log + ".err");
    ASSERT_FALSE(error.empty());
    EXPECT_NE(std::string::npos, error[0].find("broken.log:3:"));
    std::remove(log.c_str());
    std::remove((log + ".err").c_str());
}

TEST(GatewayFaults, AMalformedFrameFollowsEveryNthFrame) {
    GatewayProcess gateway({"-g", "-r", "max", "-n", "100", "--malformed", "10"});
    TestClient client(gateway.Port());
    ASSERT_EQ(100u, client.Receive(100).size());
    EXPECT_EQ(0, gateway.Stop());
    EXPECT_EQ(10u, client.Malformed());
    EXPECT_EQ(10u, gateway.Summary(1, "malformed out"));
}

TEST(GatewayCommandLine, HelpAndBadArgumentsGiveTheirExitStatus) {
    std::string program = KORVEL_GATEWAY_PROGRAM;
    auto run = [&](const std::string &args) {
        return WEXITSTATUS(std::system((program + " " + args + " >/dev/null 2>&1").c_str()));
    };
    EXPECT_EQ(0, run("--help"));
    EXPECT_EQ(2, run("--rate fast"));
    EXPECT_EQ(2, run("--echo nobody"));
    EXPECT_EQ(2, run("-L 9"));
    EXPECT_EQ(2, run("-D 123"));
    EXPECT_EQ(2, run("--port 70000"));
    EXPECT_EQ(2, run("--close-after 1 --reset-after 1"));
    EXPECT_EQ(2, run("--reset-after 1 --reset-inside 1"));
    EXPECT_EQ(2, run("--endless forever"));
    EXPECT_EQ(2, run("stray"));
    EXPECT_EQ(1, run("-p 0 -a 300.1.1.1"));
    GatewayProcess idle({"-r", "100"});
    EXPECT_EQ(0, idle.Stop());
    EXPECT_NE(std::string::npos, idle.Output().find("warning: --rate has no effect without -g"));
}

} // namespace
