// The exported functions as an application sees them: argument checks and
// their order, status codes, instance numbers and output arguments, against
// a library whose engine needs no network.
#include "library_test.h"

#include <cstring>
#include <deque>

namespace {

const uint32_t kUntouched = 0xA5A5A5A5u;

class Exports : public LibraryTest {
  protected:
    explicit Exports(const uint32_t *maxInstances = nullptr)
        : LibraryTest({KORVEL_TEST_LIBRARY, maxInstances}) {}
    // Opens with the behaviour of the fake engine named by `address`; the
    // record stays alive until the fixture ends, as the library keeps a
    // pointer to it.
    int32_t OpenAs(const char *address, uint32_t expected = KORVEL_OK) {
        kept.push_back(MakeParams(address));
        return OpenWith(kept.back(), expected);
    }
    int32_t OpenWith(const InitParams &p, uint32_t expected = KORVEL_OK) {
        int32_t n = 0;
        EXPECT_EQ(expected, lib.Initialize(&n, &p, nullptr, 0)) << p.ipAddress;
        return n;
    }

    std::deque<InitParams> kept;
};

// The lookup fails before any argument is looked at or written.
void ExpectEveryInstanceFunctionGives3(KorvelLibrary &lib, int32_t n) {
    uint32_t u32 = kUntouched;
    uint16_t u16 = 0xA5A5;
    BufferInfo info;
    std::memset(&info, 0xA5, sizeof(info));
    CanMsg msg = {};
    EXPECT_EQ(std::vector<uint32_t>(10, KORVEL_ERR_ILLEGAL_INSTANCE),
              (std::vector<uint32_t>{
                  lib.ResetCan(n, 0x1F), lib.GetCanBufferInfo(n, &info), lib.GetCanState(n, &u16),
                  lib.GetConnectionState(n, &u32), lib.ReadCanMsg(n, &msg, 1, &u32),
                  lib.RegisterCanMsg(n, 0, 0), lib.ResetCanState(n, 0xFFFF), lib.Shutdown(n),
                  lib.WriteCanMsg(n, &msg, 1, &u32), lib.WriteCanMsg(n, nullptr, 0, nullptr)}))
        << "instance " << n;
    EXPECT_EQ(kUntouched, u32);
    EXPECT_EQ(0xA5A5, u16);
    EXPECT_EQ(kUntouched, info.txCount);
}

TEST_F(Exports, UnknownInstanceNumbersGiveIllegalInstanceEverywhere) {
    for (int32_t n : {0, -5, 1, 10, 11})
        ExpectEveryInstanceFunctionGives3(lib, n);
    int32_t open = OpenWith(params);
    ExpectEveryInstanceFunctionGives3(lib, 2);
    EXPECT_EQ(KORVEL_OK, lib.Shutdown(open));
    ExpectEveryInstanceFunctionGives3(lib, open);
}

// Pointers are checked before the size; a larger record is accepted (only
// its first 44 bytes are read). Callback mode does not wait for the
// connection.
TEST_F(Exports, InitializeChecksArgumentsAndNumbersAreLowestFreeFirst) {
    int32_t n = 77;
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.Initialize(nullptr, &params, nullptr, 0));
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.Initialize(&n, nullptr, nullptr, 0));
    EXPECT_EQ(77, n);
    // A failed open hands the same number out again.
    InitParams other = params;
    for (uint32_t size : {0u, 40u, 43u}) {
        other.size = size;
        EXPECT_EQ(1, OpenWith(other, KORVEL_ERR_ILLEGAL_PARAMETER)) << size;
    }
    other = params;
    for (uint32_t protocol : {0u, 2u, 0xFFFFFFFFu}) {
        other.protocol = protocol;
        EXPECT_EQ(1, OpenWith(other, KORVEL_ERR_RESOURCE));
    }
    EXPECT_EQ(1, OpenAs("refuse-transport", KORVEL_ERR_RESOURCE));
    EXPECT_EQ(1, OpenAs("refuse-connect", KORVEL_ERR_CONNECTION));
    EXPECT_EQ(1, OpenAs("never-connects", KORVEL_ERR_CONNECTION));
    params.size = 0xFFFFFFFFu;
    EXPECT_EQ(1, OpenWith(params));
    ExpectEveryInstanceFunctionGives3(lib, 2);

    uint32_t state = 0;
    EXPECT_EQ(KORVEL_OK, lib.Initialize(&n, &kept[2], CountEvent, 99));
    EXPECT_EQ(KORVEL_OK, lib.GetConnectionState(n, &state));
    EXPECT_EQ(KORVEL_CONN_CONNECTING, state);
    // A failed close still frees its number.
    EXPECT_EQ(3, OpenAs("close-fails"));
    EXPECT_EQ(4, OpenWith(params));
    EXPECT_EQ(KORVEL_ERR_DISCONNECT, lib.Shutdown(3));
    ExpectEveryInstanceFunctionGives3(lib, 3);
    EXPECT_EQ(3, OpenWith(params));
}

TEST_F(Exports, WriteChecksArgumentsStopsAtTheFirstRefusedMessageAndCountsWhatItHolds) {
    params.txBufferSize = 2; // holds size + 1 = 3 messages
    params.rxBufferSize = 9;
    int32_t n = OpenWith(params);
    CanMsg msgs[5] = {Msg(1), Msg(2), Msg(3), Msg(4), Msg(5)};
    uint32_t written = kUntouched;
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.WriteCanMsg(n, msgs, 0, nullptr));
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.WriteCanMsg(n, nullptr, 1, &written));
    EXPECT_EQ(KORVEL_ERR_ILLEGAL_PARAMETER, lib.WriteCanMsg(n, msgs, 0, &written));
    EXPECT_EQ(kUntouched, written);
    EXPECT_EQ(KORVEL_ERR_TX_BUFFER_FULL, lib.WriteCanMsg(n, msgs, 5, &written));
    EXPECT_EQ(3u, written);
    // A record longer than 8 data bytes is refused where it stands.
    lib.ResetCan(n, KORVEL_RESET_TX_BUFFER);
    msgs[1].length = 9;
    EXPECT_EQ(KORVEL_ERR_ILLEGAL_PARAMETER, lib.WriteCanMsg(n, msgs, 3, &written));
    EXPECT_EQ(1u, written);
    // The buffer record is filled from the engine's four counts.
    BufferInfo info;
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.GetCanBufferInfo(n, nullptr));
    EXPECT_EQ(KORVEL_OK, lib.GetCanBufferInfo(n, &info));
    EXPECT_EQ(
        (std::vector<uint32_t>{2, 9, 1, 0}),
        (std::vector<uint32_t>{info.txBufferSize, info.rxBufferSize, info.txCount, info.rxCount}));
}

TEST_F(Exports, ReadMakesCountAttemptsAndReportsAnEmptyFirstAttempt) {
    int32_t n = OpenWith(params);
    CanMsg out[4];
    std::memset(out, 0xEE, sizeof(out));
    uint32_t read = kUntouched;
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.ReadCanMsg(n, nullptr, 4, &read));
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.ReadCanMsg(n, out, 4, nullptr));
    EXPECT_EQ(kUntouched, read);
    for (uint32_t count : {1u, 4u}) {
        EXPECT_EQ(KORVEL_ERR_NO_MESSAGE, lib.ReadCanMsg(n, out, count, &read));
        EXPECT_EQ(0u, read);
    }
    EXPECT_EQ(KORVEL_OK, lib.ReadCanMsg(n, out, 0, &read));
    EXPECT_EQ(0u, read);

    CanMsg msgs[2] = {Msg(0x11), Msg(0x22)};
    ASSERT_EQ(KORVEL_OK, lib.WriteCanMsg(n, msgs, 2, &read));
    EXPECT_EQ(KORVEL_OK, lib.ReadCanMsg(n, out, 4, &read));
    EXPECT_EQ((std::vector<uint32_t>{2, 0x11, 0x22, 0xEE}),
              (std::vector<uint32_t>{read, out[0].id, out[1].id, out[2].length}));
}

TEST_F(Exports, PendingErrorIsReportedOnceAfterTheOwnChecksButNotByShutdown) {
    int32_t n = OpenAs("pending:6");
    uint16_t state = 0xA5A5;
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.GetCanState(n, nullptr));
    EXPECT_EQ(KORVEL_ERR_TX_BUFFER_FULL, lib.GetCanState(n, &state));
    EXPECT_EQ(0xA5A5, state);
    EXPECT_EQ(KORVEL_OK, lib.GetCanState(n, &state));
    EXPECT_EQ(KORVEL_OK, lib.Shutdown(n));
    EXPECT_EQ(KORVEL_OK, lib.Shutdown(OpenAs("pending:11")));
}

// The test library has another file name than the product: the version
// must still be found, and the reserved byte is left as it was.
TEST_F(Exports, VersionIsReadFromTheLibrarysOwnVersionInformation) {
    VersionInfo v;
    std::memset(&v, 0x5A, sizeof(v));
    EXPECT_EQ(KORVEL_ERR_NULL_POINTER, lib.GetVersion(nullptr));
    EXPECT_EQ(KORVEL_OK, lib.GetVersion(&v));
    EXPECT_EQ((std::vector<int>{2, 0, 9, 1, 0x5A}),
              (std::vector<int>{v.major, v.minor, v.release, v.build, v.reserved}));
}

// "MaxInstances" is read once when the library is loaded: each case below
// is a load of its own with the setting in place.
struct Limit {
    bool set;
    uint32_t value;
    int32_t expected;
};

class MaxInstances : public Exports, public ::testing::WithParamInterface<Limit> {
  protected:
    MaxInstances() : Exports(GetParam().set ? &GetParam().value : nullptr) {}
};

TEST_P(MaxInstances, LimitsTheNumbersHandedOut) {
    const int32_t limit = GetParam().expected;
    for (int32_t expected = 1; expected <= limit; ++expected)
        ASSERT_EQ(expected, OpenWith(params));
    int32_t n = 0;
    EXPECT_EQ(KORVEL_ERR_NO_FREE_INSTANCE, lib.Initialize(&n, &params, nullptr, 0));
    EXPECT_EQ(-1, n);
    ExpectEveryInstanceFunctionGives3(lib, limit + 1);
}

INSTANTIATE_TEST_SUITE_P(Values, MaxInstances,
                         ::testing::Values(Limit{false, 0, 10}, Limit{true, 1, 1},
                                           Limit{true, 254, 254}, Limit{true, 0, 10},
                                           Limit{true, 255, 10}, Limit{true, 1000, 10}));

} // namespace
