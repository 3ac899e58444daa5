// Events over a real line, natively and under wine: the !R, !S and !L gates
// read through KivMain against a unit played on the peer end, and
// report-by-exception from the unit's notice to the gates and the end of the
// listener.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <mutex>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/child_checks.h"
#include "tests/support/line_channel.h"
#include "tests/support/log_capture.h"
#include "tests/support/responder.h"
#include "tests/support/scripted_unit.h"
#include "tests/support/time_zone.h"
#include "tests/support/wait_until.h"

namespace {

constexpr int32_t kChannel = 1;
constexpr int32_t kIndex = kChannel - 1;  // the host's channel index of the gates
constexpr uint16_t kStation = 12;
const char kShutdown[] = "KivIN : ShutDown Report By Excption thread";

// 1997-10-10 06:15:45.999, and 1960-03-04 05:06:07.008, which no count holds.
const Bytes k1997 = {0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7};
constexpr int32_t k1997Seconds = 876464145;
const Bytes k1960 = {0x03, 0xC3, 0x21, 0x46, 0x1C, 0x08};

Bytes Join(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
Bytes Big32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

// The channel on the driver's end of a line, with a unit on the other.
struct Channel : LineChannel {
    Channel() : LineChannel(kChannel, "kiv-line-evt") { data[0] = 0x5A5A; }
    // The peer stops answering before Close (in the base) ends the channel.
    ~Channel() { responder.reset(); }

    // Writes the channel file and opens the channel; its result.
    int32_t Open(bool reportByException) {
        if (!WriteChannelFile(reportByException ? "Host Address = 0\nEXCEPTION = ON\n" : "Host Address = 0\n"))
            return -1;
        const int32_t result = LineChannel::Open(line.driverPort(), 50);
        responder.reset(new Responder(line, [this](const ReceivedFrame& frame) {
            return frame.complete && frame.crcOk ? unit.FramesFor(frame.message) : std::vector<Bytes>();
        }));
        return result;
    }
    Bytes Message(size_t index) { return responder->Frames().at(index).message; }

    ScriptedUnit unit;
    std::unique_ptr<Responder> responder;
};

int32_t Gate(int32_t area, int32_t number, double scale = 1.0, double offset = 0.0) {
    return TavDefineGateAt(kIndex, kStation, area, number, 255, scale, offset);
}
TavGateValue ValueOf(int32_t gate) {
    TavGateValue value{};
    TavReadGate(gate, &value);
    return value;
}

class EventsLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        SetZone("UTC0");  // units and driver both stamp in local time
        TavReset();
        log.reset(new LogCapture());
    }
    void TearDown() override {
        log.reset();
        TavReset();
    }
    std::unique_ptr<LogCapture> log;
};

TEST_F(EventsLineTest, EventGateReadsBringEveryKindIntoTheGates) {
    Channel channel;
    KIV_NEED_LINE(channel.line);
    ASSERT_EQ(0, channel.Open(false));
    log->Clear();  // what Open reports about the channel file
    for (int number = 1000; number < 1045; ++number) Gate(AreaRegister, number);
    const int32_t point = Gate(AreaStatus, 1296);
    const int32_t logged = Gate(AreaRegister, 1296, 0.5, 1.0);
    const int32_t logged1960 = Gate(AreaRegister, 7);
    {
        auto lock = channel.unit.Lock();
        for (uint16_t number = 1000; number < 1045; ++number)
            channel.unit.changes.push_back(Join({uint8_t(number >> 8), uint8_t(number)}, Big32(number * 2u)));
        channel.unit.status.push_back(Join({0xE5, 0x10}, k1997));
        channel.unit.logged.push_back(Join(Join({0xF5, 0x10}, Big32(100000)), k1997));
        channel.unit.logged.push_back(Join(Join({0x00, 0x07}, Big32(9)), k1960));
    }

    // 45 register changes: two passes, the frame-count bit flipped between.
    EXPECT_EQ(0, channel.ReadGate("!R0012"));
    EXPECT_EQ(0, channel.data[0]);
    for (int number = 1000; number < 1045; ++number) {
        const TavGateValue value = ValueOf(TavFindGate(kIndex, kStation, AreaRegister, number, 255));
        ASSERT_EQ(1, value.updates) << number;
        ASSERT_EQ(number * 2.0, value.value) << number;
    }
    channel.data[0] = 0x5A5A;
    EXPECT_EQ(0, channel.ReadGate("!S0012"));
    EXPECT_EQ(0, channel.data[0]);
    EXPECT_EQ(1.0, ValueOf(point).value);
    EXPECT_EQ(k1997Seconds, ValueOf(point).time);
    EXPECT_EQ(999, ValueOf(point).milliseconds);
    EXPECT_EQ(0, channel.ReadGate("!L0012"));
    EXPECT_EQ(50001.0, ValueOf(logged).value);
    EXPECT_EQ(k1997Seconds, ValueOf(logged).time);
    EXPECT_EQ(9.0, ValueOf(logged1960).value);
    EXPECT_EQ(-1, ValueOf(logged1960).time);
    EXPECT_EQ(8, ValueOf(logged1960).milliseconds);

    ASSERT_EQ(5u, channel.responder->FrameCount());
    EXPECT_EQ(HexBytes("07 C0 00 0C 00 00 00 00"), channel.Message(0));
    EXPECT_EQ(HexBytes("07 FF 00 0C 00 00 01 00"), channel.Message(1));
    EXPECT_EQ(HexBytes("07 DF 00 0C 00 00 01 00"), channel.Message(2));
    EXPECT_EQ(HexBytes("07 FF 00 0C 00 00 01 05"), channel.Message(3));
    EXPECT_EQ(HexBytes("07 DF 00 0C 00 00 01 06"), channel.Message(4));
    EXPECT_EQ(48, TavGateWrites());
    EXPECT_TRUE(log->Lines().empty());
}

// The listener ends only with the process-wide latch: in a child, which
// opens the line itself. True when every check held.
bool ReportByExceptionChecks() {
    ChildChecks check;
    LogCapture log;
    Channel channel;
    check(channel.line.ok(), "line set up");
    check(channel.Open(true) == 0, "channel opened");
    const int32_t point = Gate(AreaStatus, 1296);
    const int32_t change = Gate(AreaRegister, 300, 0.5, 1.0);
    {
        auto lock = channel.unit.Lock();
        channel.unit.status.push_back(Join({0xE5, 0x10}, k1997));
        channel.unit.changes.push_back(Join({0x01, 0x2C}, Big32(100000)));
    }
    // The notice waits on the line until the listener's start pause is over.
    channel.line.Write(FrameOf(HexBytes("09 53 00 00 00 0C 01 09 00 03")));
    check(WaitUntil([&] { return ValueOf(point).updates == 1 && ValueOf(change).updates == 1; }),
          "both events reached their gates");
    check(ValueOf(point).time == k1997Seconds && ValueOf(change).value == 50001.0, "values and time");
    check(WaitUntil([&] { return channel.responder->FrameCount() == 3; }), "three frames");
    check(channel.Message(0) == HexBytes("09 80 00 0C 00 00 01 09 00 03"), "acknowledgement");
    check(channel.Message(1) == HexBytes("07 FF 00 0C 00 00 01 05"), "status events after one flip");
    check(channel.Message(2) == HexBytes("07 FF 00 0C 00 00 01 00"), "then register changes, no flip between");

    channel.line.Write(FrameOf(HexBytes("07 40 00 00 00 07 00 00")));
    check(WaitUntil([&] { return channel.responder->FrameCount() == 4; }), "link reset answered");
    check(channel.Message(3) == HexBytes("07 80 00 07 00 00 00 00"), "link reset reply");
    check(WaitUntil([&] { return log.Count("KivIN : Info, Reset Link msg") == 1; }), "reset noted");

    TavStopWaits();
    check(WaitUntil([&] { return log.Count(kShutdown) == 1; }), "shutdown logged");
    check(ShutdownLatchIsSet() != 0 && TavClientCount() == 0, "latch set, client removed");
    channel.data[0] = 0x5A5A;
    check(channel.ReadGate("!S0012") == 2 && channel.data[0] == 0x5A5A, "later reads refused, nothing stored");
    return check.ok;
}

// The line and the scratch directory are gone before the child exits.
void ReportByException() { std::exit(ReportByExceptionChecks() ? 0 : 1); }

TEST_F(EventsLineTest, ReportByExceptionFromNoticeToGatesAndTheStop) {
#ifdef _WIN32
    if (std::getenv("KIV_COM_DRIVER") == nullptr) GTEST_SKIP() << "no COM ports (run through scripts/wine-run)";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ReportByException(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
