// The tools as programs: korvel-gateway with plain TCP clients, and
// korvel-dump and korvel-send against it: frames out and back, the gateway's
// echo modes, generator, replay and faults, candump's time stamps and
// filters, reconnecting, and the dump's log read by Debian's can-utils.
#include "gateway_harness.h"
#include "test_gateway.h"
#include "tool_process.h"

#include "can_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <regex>

namespace {

const std::string kDump = KORVEL_DUMP_PROGRAM;
const std::string kSend = KORVEL_SEND_PROGRAM;
// Debian's can-utils, which scripts/install-deps.sh installs.
const std::string kLog2Asc = "/usr/bin/log2asc", kAsc2Log = "/usr/bin/asc2log";

std::string Address(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

// The frames of candump log lines, in order; fails the test on a bad line.
std::vector<CanMsg> LogFrames(const std::vector<std::string> &lines) {
    std::vector<CanMsg> frames;
    for (const std::string &line : lines) {
        CanLogRecord record;
        EXPECT_EQ(CAN_TEXT_OK, ParseCandumpLog(line.c_str(), &record)) << line;
        frames.push_back(record.msg);
    }
    return frames;
}

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
        ASSERT_TRUE(gateway.WaitFor("connected", 2));
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

TEST(GatewayLogs, GeneratorAndReplayKeepTheirTimeAndReplaySkipsWhatItCannotSend) {
    // Lines as asc2log writes them, with their direction, and a comment. The
    // last line, at 0.3 s, comes behind every frame of the 0.05 s generator run.
    std::string log = TempPath("mixed.log");
    WriteFile(log, "(1.000000) can0 123#DEADBEEF R\n(1.020000) can0 20000080#0000000000000000\n"
                   "# a comment\n(1.030000) can0 456##11122334455667788 R\n"
                   "(1.040000) can0 12345678#0102 R\n(1.050000) can0 20000080#0000000000000000\n"
                   "(1.300000) can0 7FF#R3\n");
    int64_t start = MonotonicNs();
    GatewayProcess gateway({"-g", "-r", "1000", "-t", "0.05", "-I", "1", "--replay", log});
    TestClient client(gateway.Port());
    ASSERT_EQ(53u, client.Receive(53).size()); // 50 generated, 3 replayed
    EXPECT_GE(MonotonicNs() - start, 300000000);
    std::vector<CanMsg> replayed;
    for (const CanMsg &msg : client.Frames())
        if (msg.id != 1) replayed.push_back(msg);
    ASSERT_EQ(3u, replayed.size());
    EXPECT_TRUE(SameMsg(CanMsg{0x123, 0, 4, {0xDE, 0xAD, 0xBE, 0xEF}, {}, 0}, replayed[0]));
    EXPECT_TRUE(SameMsg(CanMsg{0x12345678, KORVEL_MSGFLAG_EXT, 2, {1, 2}, {}, 0}, replayed[1]));
    EXPECT_TRUE(SameMsg(CanMsg{0x7FF, KORVEL_MSGFLAG_RTR, 3, {}, {}, 0}, client.Frames()[52]));
    EXPECT_EQ(0, gateway.Stop());
    for (const char *skipped :
         {"skipped 1 comment lines", "skipped 2 error frame lines", "skipped 1 CAN FD lines"})
        EXPECT_NE(std::string::npos, gateway.Output().find(skipped)) << gateway.Output();

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

TEST(ToolEcho, SentFramesReachTheDumpInOrderThroughItsFilter) {
    GatewayProcess gateway({"-e", "others", "--close-after", "6"});
    // 123~7FF drops the remote frame 123.
    ToolProcess dump({kDump, "-L", Address(gateway.Port()) + ",123~7FF"});
    ASSERT_TRUE(dump.WaitFor(" connected"));
    const std::vector<std::string> texts = {"5A1#11.2233.44556677.88", "12345678#", "123#R7"};
    std::vector<std::string> args = {kSend, "-n", "2", "-g", "1", Address(gateway.Port())};
    args.insert(args.end(), texts.begin(), texts.end());
    std::string output;
    ASSERT_EQ(0, RunTool(args, &output)) << output;
    EXPECT_EQ(6u, Count(output, ": status 0 KORVEL_OK (success)")) << output;
    EXPECT_EQ(3, dump.Finish()) << dump.Output(); // closed by the gateway
    std::vector<CanMsg> received = LogFrames(dump.Lines("("));
    ASSERT_EQ(4u, received.size()) << dump.Output();
    for (size_t i = 0; i < 4; ++i) {
        CanMsg sent;
        ASSERT_EQ(CAN_TEXT_OK, ParseCanSend(texts[i % 2].c_str(), &sent));
        EXPECT_TRUE(SameMsg(sent, received[i])) << i;
    }
    EXPECT_NE(std::string::npos, dump.Output().find("korvel-dump: 4 frames, 0 overruns"));
    EXPECT_EQ(0, gateway.Stop());
    EXPECT_EQ(6u, gateway.Summary(2, "in"));
}

TEST(ToolDump, TimeStampsAreLaidOutAsCandumpLaysThemOut) {
    GatewayProcess gateway({"-g", "-r", "max", "-I", "123", "-D", "DEADBEEF"});
    const std::string frame = " korvel0  123   \\[4\\]  DE AD BE EF$"; // behind "(...) "
    const std::vector<std::pair<std::string, std::string>> modes = {
        {"a", "^ \\(\\d{10}\\.\\d{6}\\) " + frame},
        {"A", "^ \\(\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{6}\\) " + frame},
        {"d", "^ \\(\\d{3}\\.\\d{6}\\) " + frame},
        {"z", "^ \\(000\\.000000\\) " + frame}};
    for (const auto &mode : modes) {
        ToolProcess dump({kDump, "-t", mode.first, "-n", "1", Address(gateway.Port())});
        ASSERT_EQ(0, dump.Finish()) << dump.Output();
        std::vector<std::string> lines = dump.Lines(" (");
        ASSERT_EQ(1u, lines.size()) << dump.Output();
        EXPECT_TRUE(std::regex_search(lines[0], std::regex(mode.second))) << lines[0];
    }
    EXPECT_EQ(0, gateway.Stop());
}

TEST(ToolDump, ReconnectRecordsFramesSentAfterTheGatewayRestarts) {
    std::string port = std::to_string(UnusedLoopbackPort());
    auto gateway = std::make_unique<GatewayProcess>(
        std::vector<std::string>{"-p", port, "-g", "-r", "100", "-I", "111"});
    ToolProcess dump({kDump, "-R", "-L", "127.0.0.1:" + port});
    ASSERT_TRUE(dump.WaitFor("111#"));
    EXPECT_EQ(0, gateway->Stop());
    ASSERT_TRUE(dump.WaitFor("closed by the gateway"));
    gateway = std::make_unique<GatewayProcess>(
        std::vector<std::string>{"-p", port, "-g", "-r", "100", "-I", "222"});
    ASSERT_TRUE(dump.WaitFor("222#", 3)) << dump.Output();
    EXPECT_EQ(0, dump.Stop(SIGINT)) << dump.Output();
    EXPECT_EQ(1u, Count(dump.Output(), "korvel-dump: gap of ")) << dump.Output();
    EXPECT_EQ(2u, Count(dump.Output(), " connected\n")) << dump.Output();
    EXPECT_EQ(0, gateway->Stop());
}

TEST(ToolLogs, TheDumpsLogRoundTripsThroughCanUtilsAndReplays) {
    const std::string log = TempPath("dumped.log"), asc = TempPath("dumped.asc"),
                      back = TempPath("back.log");
    GatewayProcess generator(
        {"-g", "-r", "max", "-n", "100", "-I", "r", "-L", "r", "-D", "r", "-x", "--seed", "11"});
    ASSERT_EQ(0, RunTool({kDump, "-f", log, "-n", "100", Address(generator.Port())}));
    EXPECT_EQ(0, generator.Stop());
    ASSERT_EQ(0, RunTool({kLog2Asc, "-I", log, "-O", asc, "korvel0"}));
    ASSERT_EQ(0, RunTool({kAsc2Log, "-I", asc, "-O", back}));
    std::vector<CanMsg> frames = LogFrames(ReadLines(log));
    ASSERT_EQ(100u, frames.size());
    GatewayProcess replay({"--replay", back});
    TestClient client(replay.Port());
    ASSERT_EQ(100u, client.Receive(100).size()) << replay.Output();
    for (size_t i = 0; i < 100; ++i)
        EXPECT_TRUE(SameMsg(frames[i], client.Frames()[i])) << i;
    EXPECT_EQ(0, replay.Stop());
    for (const std::string &path : {log, asc, back})
        std::remove(path.c_str());
}

} // namespace
