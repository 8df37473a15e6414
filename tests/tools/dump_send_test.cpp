// korvel-dump and korvel-send as programs: their exit status on bad input,
// and the gateway's modes and faults seen through the library by them.
#include "gateway_harness.h"
#include "test_gateway.h"
#include "tool_process.h"

#include "can_text.h"
#include "korvel_library.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <unistd.h>

namespace {

const std::string kDump = KORVEL_DUMP_PROGRAM;
const std::string kSend = KORVEL_SEND_PROGRAM;

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

// A log line without its time stamp.
std::string WithoutStamp(const std::string &line) { return line.substr(line.find(')') + 1); }

TEST(ToolCommandLine, BadArgumentsGiveStatus2AndHelpStatus0) {
    std::string output;
    EXPECT_EQ(0, RunTool({kDump, "--help"}, &output));
    EXPECT_NE(std::string::npos, output.find("Examples:"));
    EXPECT_EQ(0, RunTool({kSend, "-h"}, &output));
    EXPECT_NE(std::string::npos, output.find("Exit status:"));
    const std::vector<std::vector<std::string>> bad = {
        {kDump, "-t", "x"},         {kDump, "-n", "0"},
        {kDump, "-b", "65536"},     {kDump, "localhost"},
        {kDump, "1.2.3.4", "5"},    {kDump, "--bogus"},
        {kDump, "-d", "-1"},        {kSend},
        {kSend, "127.0.0.1"},       {kSend, "-g", "x", "127.0.0.1", "1#"},
        {kSend, "host:1", "123#11"}};
    for (const auto &args : bad)
        EXPECT_EQ(2, RunTool(args)) << args.back();
}

TEST(ToolCommandLine, AMalformedFrameShowsTheSyntaxAndNothingIsSent) {
    GatewayProcess gateway({"-e", "sender"});
    std::string output;
    EXPECT_EQ(2, RunTool({kSend, Address(gateway.Port()), "123#11", "123#DEADBEE"}, &output));
    EXPECT_NE(std::string::npos, output.find("bad frame '123#DEADBEE'"));
    EXPECT_NE(std::string::npos, output.find("expected <id>#<data> or <id>#R[<len>]"));
    EXPECT_EQ(2, RunTool({kSend, Address(gateway.Port()), "800#"}, &output));
    EXPECT_EQ(0, gateway.Stop());
    EXPECT_EQ(std::string::npos, gateway.Output().find("connected")); // never connected
}

TEST(ToolCommandLine, AClosedPortGivesStatus1WithTheLibrarysAnswer) {
    std::string port = std::to_string(UnusedLoopbackPort());
    std::string output;
    EXPECT_EQ(1, RunTool({kSend, "-c", "300", "127.0.0.1:" + port, "123#11"}, &output));
    EXPECT_NE(std::string::npos, output.find("status 7 KORVEL_ERR_CONNECTION")) << output;
    EXPECT_EQ(1, RunTool({kDump, "-c", "300", "127.0.0.1:" + port}, &output));
    EXPECT_NE(std::string::npos, output.find("no connection to 127.0.0.1:" + port)) << output;
}

size_t Count(const std::string &text, const std::string &part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
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

TEST(ToolGenerator, TheDumpShowsEveryGeneratedFrameInOrder) {
    GatewayProcess gateway({"-g", "-r", "max", "-n", "3000", "-I", "i", "-L", "i", "-x"});
    ToolProcess dump({kDump, "-L", "-n", "3000", "-b", "65535", Address(gateway.Port())});
    ASSERT_EQ(0, dump.Finish()) << dump.Output();
    std::vector<CanMsg> frames = LogFrames(dump.Lines("("));
    ASSERT_EQ(3000u, frames.size());
    for (uint32_t i = 0; i < 3000; ++i) {
        ASSERT_EQ(i, frames[i].id);
        ASSERT_EQ(KORVEL_MSGFLAG_EXT, frames[i].flags);
        ASSERT_EQ(i % 9, frames[i].length);
    }
    EXPECT_EQ(0, gateway.Stop());
}

TEST(ToolGenerator, AnOverrunOfTheReceiveBufferIsReported) {
    // A buffer of one message overflows with the first read that holds two frames.
    GatewayProcess gateway({"-g", "-r", "max", "-n", "100000", "--close-after", "100000"});
    ToolProcess dump({kDump, "-s", "-b", "0", Address(gateway.Port())});
    EXPECT_EQ(3, dump.Finish()) << dump.Output();
    EXPECT_NE(std::string::npos, dump.Output().find("receive buffer overrun, frames dropped"));
    EXPECT_NE(std::string::npos, dump.Output().find("closed by the gateway"));
    EXPECT_EQ(0, gateway.Stop());
}

TEST(ToolFaults, SplitFramesAndGarbageReachTheDumpWhole) {
    GatewayProcess gateway({"-g", "-r", "max", "-n", "5000", "-I", "i", "--split", "--garbage",
                            "--seed", "3", "--close-after", "5000"});
    ToolProcess dump({kDump, "-L", "-b", "65535", Address(gateway.Port())});
    EXPECT_EQ(3, dump.Finish()) << dump.Output();
    std::vector<CanMsg> frames = LogFrames(dump.Lines("("));
    ASSERT_EQ(5000u, frames.size());
    for (uint32_t i = 0; i < 5000; ++i) {
        ASSERT_EQ(i % 0x800, frames[i].id);
        ASSERT_EQ(i & 0xFF, frames[i].data[0]);
    }
    EXPECT_NE(std::string::npos, dump.Output().find("closed by the gateway"));
    EXPECT_EQ(0, gateway.Stop());
}

TEST(ToolFaults, MalformedFramesAreNeverShown) {
    // What follows a malformed frame in the same read may be lost, never changed.
    GatewayProcess gateway(
        {"-g", "-r", "500", "-n", "60", "-I", "i", "--malformed", "3", "--close-after", "60"});
    ToolProcess dump({kDump, "-L", Address(gateway.Port())});
    EXPECT_EQ(3, dump.Finish()) << dump.Output();
    std::vector<CanMsg> frames = LogFrames(dump.Lines("("));
    ASSERT_FALSE(frames.empty());
    ASSERT_LE(frames.size(), 60u);
    for (size_t i = 0; i < frames.size(); ++i) {
        EXPECT_EQ(frames[i].id, frames[i].data[0]) << i;
        EXPECT_EQ(8, frames[i].length) << i;
        if (i > 0) {
            EXPECT_GT(frames[i].id, frames[i - 1].id) << i;
        }
    }
    EXPECT_EQ(0, gateway.Stop());
    EXPECT_EQ(20u, gateway.Summary(1, "malformed out"));
}

TEST(ToolFaults, AResetEndsTheDumpWithStatus3) {
    // Paced, so that the library has seen the connection before the reset.
    GatewayProcess gateway({"-g", "-r", "1000", "-I", "i", "--reset-after", "100"});
    ToolProcess dump({kDump, "-L", "-b", "65535", Address(gateway.Port())});
    EXPECT_EQ(3, dump.Finish()) << dump.Output();
    std::vector<CanMsg> frames = LogFrames(dump.Lines("("));
    ASSERT_LE(frames.size(), 100u);
    for (uint32_t i = 0; i < frames.size(); ++i)
        ASSERT_EQ(i, frames[i].id);
    EXPECT_EQ(0, gateway.Stop());
}

// Reads `count` messages from the replaying gateway through the library,
// then writes them all back to it.
void ForwardThroughTheLibrary(uint16_t port, size_t count) {
    KorvelLibrary korvel;
    std::string error;
    ASSERT_TRUE(korvel.Load(KORVEL_PRODUCT_LIBRARY, &error)) << error;
    InitParams params = MakeParams("127.0.0.1");
    params.port = port;
    params.rxBufferSize = 4096;
    params.txBufferSize = 4096;
    int32_t instance = 0;
    ASSERT_EQ(KORVEL_OK, korvel.Initialize(&instance, &params, nullptr, 0));
    std::vector<CanMsg> msgs(count);
    uint32_t taken = 0;
    int64_t deadline = MonotonicNs() + (int64_t)kWaitMs * 1000000;
    while (taken < count && MonotonicNs() < deadline) {
        uint32_t read = 0;
        uint32_t status = korvel.ReadCanMsg(instance, &msgs[taken], (uint32_t)count - taken, &read);
        ASSERT_TRUE(status == KORVEL_OK || status == KORVEL_ERR_NO_MESSAGE) << status;
        taken += read;
        if (status == KORVEL_ERR_NO_MESSAGE) usleep(1000);
    }
    EXPECT_EQ(count, taken);
    uint32_t written = 0;
    EXPECT_EQ(KORVEL_OK, korvel.WriteCanMsg(instance, msgs.data(), taken, &written));
    BufferInfo info = {};
    while (korvel.GetCanBufferInfo(instance, &info) == KORVEL_OK && info.txCount > 0 &&
           MonotonicNs() < deadline)
        usleep(1000);
    EXPECT_EQ(KORVEL_OK, korvel.Shutdown(instance));
}

TEST(ToolLogs, ADumpLogReplaysAndIsRecordedAgainUnchanged) {
    std::string dumped = TempPath("dumped.log"), recorded = TempPath("recorded.log");
    std::remove(recorded.c_str());
    {
        GatewayProcess generator(
            {"-g", "-r", "2000", "-n", "300", "-I", "r", "-L", "r", "-D", "r", "--seed", "11"});
        ToolProcess dump({kDump, "-f", dumped, "-n", "300", Address(generator.Port())});
        int status = dump.Finish();
        EXPECT_EQ(0, generator.Stop());
        ASSERT_EQ(0, status) << dump.Output() << generator.Output();
    }
    std::vector<std::string> first = ReadLines(dumped);
    ASSERT_EQ(300u, first.size());
    GatewayProcess replay({"--replay", dumped, "--record", recorded});
    ForwardThroughTheLibrary(replay.Port(), 300);
    int64_t deadline = MonotonicNs() + (int64_t)kWaitMs * 1000000;
    while (ReadLines(recorded).size() < 300 && MonotonicNs() < deadline)
        usleep(1000);
    EXPECT_EQ(0, replay.Stop());
    std::vector<std::string> second = ReadLines(recorded);
    ASSERT_EQ(300u, second.size()) << replay.Output();
    for (size_t i = 0; i < 300; ++i)
        ASSERT_EQ(WithoutStamp(first[i]), WithoutStamp(second[i])) << i;
    std::remove(dumped.c_str());
    std::remove(recorded.c_str());
}

} // namespace
