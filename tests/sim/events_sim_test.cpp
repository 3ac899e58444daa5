// Events of simulated units into the runtime stand-in's gates: fetched when
// the host reads the !R, !S and !L gates, and unasked through
// report-by-exception, with the units' own time stamps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "driver/commands.h"
#include "tavlib/tavlib_control.h"
#include "tests/sim/sim_channel.h"
#include "tests/support/child_checks.h"
#include "tests/support/time_zone.h"
#include "tests/support/wait_until.h"
#include "tools/kivsim/kivsim.h"

namespace {

constexpr int32_t kChannel = 1;
constexpr int32_t kIndex = kChannel - 1;  // the host's channel index of the gates
constexpr uint16_t kStation = 12;
const char kShutdown[] = "KivIN : ShutDown Report By Excption thread";

kivsim::StatusEvent StatusAt(uint16_t point, bool state, const kivsim::CalendarTime& time) {
    kivsim::StatusEvent event;
    event.address = point;
    event.state = state;
    kivsim::EncodeTimeStamp(time, event.stamp);
    return event;
}
kivsim::LoggedEvent LoggedAt(uint16_t address, uint32_t value, const kivsim::CalendarTime& time) {
    kivsim::LoggedEvent event;
    event.address = address;
    event.value = value;
    kivsim::EncodeTimeStamp(time, event.stamp);
    return event;
}

// 1997-10-10 06:15:45.999 and 2030-06-01 12:00:00.500, UTC; 1960 has no count.
const kivsim::CalendarTime k1997 = {1997, 10, 10, 6, 15, 45, 999};
constexpr int32_t k1997Seconds = 876464145;
const kivsim::CalendarTime k2030 = {2030, 6, 1, 12, 0, 0, 500};
constexpr int32_t k2030Seconds = 1906545600;
const kivsim::CalendarTime k1960 = {1960, 3, 4, 5, 6, 7, 8};

class EventsSimTest : public SimChannelTest {
protected:
    EventsSimTest() : SimChannelTest("kiv-sim-evt") {}
    void SetUp() override {
        SetZone("UTC0");  // units and driver both stamp in local time
        SimChannelTest::SetUp();
        ASSERT_TRUE(sim.AddStation(kStation, 0));
        ASSERT_TRUE(sim.Start()) << sim.Error();
        std::memset(data, 0x5A, sizeof data);
    }
    void TearDown() override {
        Close();  // as a host ends a channel: the listener is awaited
        sim.Stop();
        SimChannelTest::TearDown();
    }

    // Opens channel 1 on the simulator's line with a read time-out of 200 ms.
    void OpenChannel(bool reportByException) {
        ASSERT_EQ(0, OpenOnLine(sim, reportByException ? "Host Address = 0\nEXCEPTION = ON\n" : "Host Address = 0\n",
                                20));
    }
    int32_t Gate(int32_t area, int32_t number, double scale = 1.0, double offset = 0.0) {
        return TavDefineGateAt(kIndex, kStation, area, number, 255, scale, offset);
    }
    TavGateValue ValueOf(int32_t gate) {
        TavGateValue value{};
        TavReadGate(gate, &value);
        return value;
    }
    void QueueStamped(const kivsim::StatusEvent& event) {
        sim.WithStation(kStation, [&](kivsim::Station& unit) { unit.QueueStatusEventStamped(event); });
    }
    void QueueStamped(const kivsim::LoggedEvent& event) {
        sim.WithStation(kStation, [&](kivsim::Station& unit) { unit.QueueLoggedEventStamped(event); });
    }

    kivsim::Simulator sim;
};

TEST_F(EventsSimTest, EventGateReadsBringEveryKindIntoTheGates) {
    OpenChannel(false);
    const int32_t setPoint = Gate(AreaRegister, 300, 0.5, 1.0);
    const int32_t high = Gate(AreaRegister, 58640);
    for (int number = 1000; number < 1100; ++number) Gate(AreaRegister, number);
    const int32_t pointOn = Gate(AreaStatus, 5);
    const int32_t pointOff = Gate(AreaStatus, 8191);
    const int32_t logged = Gate(AreaRegister, 4095, 0.5, 1.0);
    const int32_t logged1960 = Gate(AreaRegister, 7);

    sim.QueueRegisterChange(kStation, 300, 100000);
    sim.QueueRegisterChange(kStation, 58640, 7);
    for (uint16_t number = 1000; number < 1100; ++number) sim.QueueRegisterChange(kStation, number, number * 3u);
    QueueStamped(StatusAt(5, true, k1997));
    QueueStamped(StatusAt(8191, false, k2030));
    QueueStamped(LoggedAt(4095, 0xFFFFFFF6u, k2030));
    QueueStamped(LoggedAt(7, 9, k1960));

    // 102 register changes take three passes (41, 41, 20).
    EXPECT_EQ(0, ReadGate("!R0012"));
    EXPECT_EQ(0, data[0]);
    EXPECT_EQ(0u, sim.Pending(kStation, kivsim::EventKind::RegisterChange));
    EXPECT_EQ(50001.0, ValueOf(setPoint).value);
    EXPECT_EQ(0, ValueOf(setPoint).time);
    EXPECT_EQ(7.0, ValueOf(high).value);
    for (int number = 1000; number < 1100; ++number) {
        const TavGateValue value = ValueOf(TavFindGate(kIndex, kStation, AreaRegister, number, 255));
        ASSERT_EQ(1, value.updates) << number;
        ASSERT_EQ(number * 3.0, value.value) << number;
    }

    data[0] = 0x5A5A;
    EXPECT_EQ(0, ReadGate("!S0012"));
    EXPECT_EQ(0, data[0]);
    EXPECT_EQ(1.0, ValueOf(pointOn).value);
    EXPECT_EQ(k1997Seconds, ValueOf(pointOn).time);
    EXPECT_EQ(999, ValueOf(pointOn).milliseconds);
    EXPECT_EQ(0.0, ValueOf(pointOff).value);
    EXPECT_EQ(1, ValueOf(pointOff).updates);
    EXPECT_EQ(k2030Seconds, ValueOf(pointOff).time);
    EXPECT_EQ(500, ValueOf(pointOff).milliseconds);

    data[0] = 0x5A5A;
    EXPECT_EQ(0, ReadGate("!L0012"));
    EXPECT_EQ(0, data[0]);
    EXPECT_EQ(-4.0, ValueOf(logged).value);
    EXPECT_EQ(k2030Seconds, ValueOf(logged).time);
    EXPECT_EQ(9.0, ValueOf(logged1960).value);
    EXPECT_EQ(-1, ValueOf(logged1960).time);
    EXPECT_EQ(8, ValueOf(logged1960).milliseconds);

    const kivsim::Stats stats = sim.GetStats();
    EXPECT_EQ(102u, stats.eventsSent[int(kivsim::EventKind::RegisterChange)]);
    EXPECT_EQ(2u, stats.eventsSent[int(kivsim::EventKind::StatusEvent)]);
    EXPECT_EQ(2u, stats.eventsSent[int(kivsim::EventKind::LoggedEvent)]);
    EXPECT_EQ(0u, stats.refused);  // every control byte, FCB included, as prescribed
    EXPECT_EQ(106, TavGateWrites());
    EXPECT_TRUE(log->Lines().empty());
}

TEST_F(EventsSimTest, AnswersLostOnTheLineAreFetchedAgainAndEveryEventStoredOnce) {
    OpenChannel(false);
    EXPECT_EQ(0, ReadGate("!S0012"));  // the link reset goes first, fault-free
    for (uint16_t point = 1; point <= 70; ++point) {
        Gate(AreaStatus, point);
        sim.QueueStatusEvent(kStation, point, point % 2 == 1);
    }
    // A missing gate is reported and skipped; the other events go on.
    sim.QueueStatusEvent(kStation, 4000, true);
    sim.InjectFault(kivsim::FaultKind::Drop, 1);
    sim.InjectFault(kivsim::FaultKind::Crc, 1);
    sim.InjectFault(kivsim::FaultKind::MoreStuck, 1);

    EXPECT_EQ(0, ReadGate("!S0012"));
    EXPECT_EQ(0u, sim.Pending(kStation, kivsim::EventKind::StatusEvent));
    for (int point = 1; point <= 70; ++point) {
        const TavGateValue value = ValueOf(TavFindGate(kIndex, kStation, AreaStatus, point, 255));
        ASSERT_EQ(1, value.updates) << point;
        ASSERT_EQ(point % 2 == 1 ? 1.0 : 0.0, value.value) << point;
    }
    EXPECT_EQ(70, TavGateWrites());
    EXPECT_EQ(1, log->Count("KivIN : Can not find gate S00124000"));
    EXPECT_EQ(1, log->Count("KivIN : RX Failed on CRC Check"));
}

TEST_F(EventsSimTest, SilentUnitFailsTheEventReadWithTwo) {
    OpenChannel(false);
    EXPECT_EQ(0, ReadGate("!L0012"));
    sim.InjectFault(kivsim::FaultKind::Drop, 3);
    data[0] = 0x5A5A;
    EXPECT_EQ(2, ReadGate("!L0012"));
    EXPECT_EQ(0x5A5A, data[0]);
}

// Report-by-exception ends only with the process-wide latch: in a child.
class EventsSimDeathTest : public EventsSimTest {
protected:
    void ReportByException() {
        ChildChecks check;
        OpenChannel(true);
        const int32_t point = Gate(AreaStatus, 5);
        const int32_t change = Gate(AreaRegister, 300, 0.5, 1.0);
        const int32_t logged = Gate(AreaRegister, 7);
        // Queued before exception mode goes on, so that one notice names all three.
        QueueStamped(StatusAt(5, true, k1997));
        sim.QueueRegisterChange(kStation, 300, 100000);
        QueueStamped(LoggedAt(7, 9, k2030));
        sim.SetExceptionMode(kStation, true);

        // The unit announces them; the listener acknowledges and fetches.
        check(WaitUntil([&] {
                  return ValueOf(point).updates == 1 && ValueOf(change).updates == 1 && ValueOf(logged).updates == 1;
              }),
              "every event reached its gate");
        check(ValueOf(point).value == 1.0 && ValueOf(point).time == k1997Seconds &&
                  ValueOf(point).milliseconds == 999,
              "status event with the unit's time");
        check(ValueOf(change).value == 50001.0 && ValueOf(change).time == 0, "register change cooked");
        check(ValueOf(logged).value == 9.0 && ValueOf(logged).time == k2030Seconds &&
                  ValueOf(logged).milliseconds == 500,
              "logged event with the unit's time");
        check(WaitUntil([&] { return sim.GetStats().acks >= 1; }), "notice acknowledged");
        check(sim.GetStats().ackMismatches == 0, "every acknowledgement echoed its notice");

        // Host polls share the line with the listener.
        sim.SetRegister(kStation, 300, 4242);
        check(ReadGate("R00120300") == 0 && data[0] == 4242, "host read between notices");

        // A unit that asks for the time gets it.
        sim.AskTime(kStation);
        check(WaitUntil([&] { return sim.GetStats().answers[7] >= 1; }), "clock set on request");

        // A unit's link reset is answered.
        sim.SendLinkReset(kStation);
        check(WaitUntil([&] { return sim.GetStats().linkResetReplies >= 1; }), "link reset answered");
        check(WaitUntil([&] { return log->Count("KivIN : Info, Reset Link msg") == 1; }), "reset noted");

        // Frames for another host, and frames no unit sends unasked.
        sim.SendMessage({0x09, 0x53, 0x00, 0x05, 0x00, 0x0C, 0x01, 0x09, 0x00, 0x01});
        check(WaitUntil([&] { return log->Count("KivIN : Got msg for Host 5 - ignor it") == 1; }),
              "notice for another host dropped");
        sim.SendMessage({0x0A, 0x5F, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x01, 0x01, 0x2C, 0x01});
        check(WaitUntil([&] { return log->Count("KivIN : Got Illegal Exception msg Set=1, OpCode=1") == 1; }),
              "illegal frame dropped");

        // The host stops: the listener ends and the driver with it.
        const uint64_t framesBefore = sim.GetStats().framesReceived;
        TavStopWaits();
        check(WaitUntil([&] { return log->Count(kShutdown) == 1; }), "shutdown logged");
        check(ShutdownLatchIsSet() != 0 && TavClientCount() == 0, "latch set, client removed");
        data[0] = 0x5A5A;
        check(ReadGate("!S0012") == 2 && data[0] == 0x5A5A, "later reads refused, nothing stored");
        check(sim.GetStats().framesReceived == framesBefore, "nothing sent after the stop");
        check(Call(CommandClose, nullptr) == 0, "the channel still closes after the stop");
        // exit() skips the fixture's clean-up: leave no scratch directory behind.
        std::error_code ignored;
        std::filesystem::current_path(std::filesystem::temp_directory_path(), ignored);
        std::filesystem::remove_all(directory.path(), ignored);
        check.Exit();
    }
};

TEST_F(EventsSimDeathTest, ReportByExceptionDeliversEventsUnasked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(ReportByException(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
