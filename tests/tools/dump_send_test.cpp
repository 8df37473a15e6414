// korvel-dump and korvel-send as programs against korvel-gateway: frames
// out and back, candump's time stamps and filters, reconnecting, and their
// logs read by Debian's can-utils and replayed.
#include "gateway_harness.h"
#include "test_gateway.h"
#include "tool_process.h"

#include "can_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <regex>
#include <unistd.h>

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

TEST(ToolEcho, SentFramesReachTheDumpInOrderAndRepeat) {
    GatewayProcess gateway({"-e", "all"});
    ToolProcess dump({kDump, "-L", "-n", "6", Address(gateway.Port())});
    ASSERT_TRUE(dump.WaitFor(" connected"));
    const std::vector<std::string> texts = {"5A1#11.2233.44556677.88", "12345678#", "123#R7"};
    std::vector<std::string> args = {kSend, "-n", "2", "-g", "1", Address(gateway.Port())};
    args.insert(args.end(), texts.begin(), texts.end());
    std::string output;
    ASSERT_EQ(0, RunTool(args, &output)) << output;
    EXPECT_EQ(6u, Count(output, ": status 0 KORVEL_OK (success)")) << output;
    ASSERT_EQ(0, dump.Finish()) << dump.Output();
    std::vector<CanMsg> received = LogFrames(dump.Lines("("));
    ASSERT_EQ(6u, received.size()) << dump.Output();
    for (size_t i = 0; i < 6; ++i) {
        CanMsg sent;
        ASSERT_EQ(CAN_TEXT_OK, ParseCanSend(texts[i % 3].c_str(), &sent));
        EXPECT_TRUE(SameMsg(sent, received[i])) << i;
    }
    EXPECT_NE(std::string::npos, dump.Output().find("korvel-dump: 6 frames, 0 overruns"));
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

TEST(ToolDump, FiltersPassTheFramesCandumpWouldPass) {
    // Identifiers 0 to 63; 10:7F0 passes 10..1F, 30~7F8 all but 30..37, j both.
    GatewayProcess gateway({"-g", "-r", "max", "-n", "64", "-I", "i", "--close-after", "64"});
    ToolProcess dump({kDump, "-L", Address(gateway.Port()) + ",10:7F0,30~7F8,j"});
    EXPECT_EQ(3, dump.Finish()) << dump.Output();
    std::vector<CanMsg> frames = LogFrames(dump.Lines("("));
    ASSERT_EQ(16u, frames.size()) << dump.Output();
    for (uint32_t i = 0; i < 16; ++i)
        EXPECT_EQ(0x10 + i, frames[i].id);
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
