// The host runtime stand-in: clients and their message waits, the gate
// database with cooking, and the log.
#include <gtest/gtest.h>

#include <thread>

#include "host/tavrik.h"
#include "tests/support/log_capture.h"

namespace {

class TavlibTest : public ::testing::Test {
protected:
    void SetUp() override { TavReset(); }
    void TearDown() override { TavReset(); }
};

TEST_F(TavlibTest, ClientsAreNamedAndTheirWaitsWakeTickAndStop) {
    uint8_t first = 0, second = 0;
    ASSERT_EQ(0, Tav5MkClient("INTROL_No_01", 1, 0, &first));
    ASSERT_EQ(0, Tav5MkClient("INTROL_No_02", 1, 0, &second));
    EXPECT_NE(first, second);
    EXPECT_EQ(first, TavClientId("INTROL_No_01"));
    EXPECT_EQ(2, TavClientCount());

    char message[kHostMessageSize];
    TavPostMessage(first);
    EXPECT_EQ(1, Tav5WaitMsg(first, message, 1));  // the posted message
    TavSetWaitTick(1);
    EXPECT_EQ(1, Tav5WaitMsg(first, message, 1));  // a tick

    std::thread stopper([] { TavStopWaits(); });
    TavSetWaitTick(60000);
    EXPECT_EQ(0, Tav5WaitMsg(second, message, 1));  // woken by the stop, not the tick
    stopper.join();
    EXPECT_EQ(0, Tav5WaitMsg(first, message, 1));

    EXPECT_EQ(0, Tav5RmClient(first));
    EXPECT_NE(0, Tav5RmClient(first));
    EXPECT_EQ(-1, TavClientId("INTROL_No_01"));
}

TEST_F(TavlibTest, GatesAreFoundCookedAndStoredWithTheirTime) {
    int32_t reg = TavDefineGate(0, "R00120300", 0.5, 10.0);
    int32_t point = TavDefineGate(0, "S00121296", 1.0, 0.0);
    ASSERT_GT(reg, 0);
    ASSERT_GT(point, 0);
    for (const char* bad : {"", "R0012030", "X00120300", "S0012000701", "R0012030032", "R00120300X"})
        EXPECT_EQ(-1, TavDefineGate(0, bad, 1, 0)) << bad;

    int32_t id = 0;
    ASSERT_EQ(0, Tav5GetGateIdByAddress(1, 0, 12, 0, 300, 255, &id));
    EXPECT_EQ(reg, id);
    EXPECT_NE(0, Tav5GetGateIdByAddress(1, 1, 12, 0, 300, 255, &id));  // other channel
    double cooked = 0;
    ASSERT_EQ(0, Tav5Cook(1, reg, 100, &cooked));
    EXPECT_DOUBLE_EQ(60.0, cooked);
    ASSERT_EQ(0, Tav5PutGateVal(1, reg, 2, cooked, 876456945, 999));
    TavGateValue value{};
    ASSERT_EQ(0, TavReadGate(reg, &value));
    EXPECT_DOUBLE_EQ(60.0, value.value);
    EXPECT_EQ(876456945, value.time);
    EXPECT_EQ(999, value.milliseconds);
    EXPECT_EQ(2, value.mode);
    EXPECT_EQ(1, value.updates);
    EXPECT_NE(0, Tav5PutGateVal(1, 999, 2, 1.0, 0, 0));
    EXPECT_EQ(1, TavGateWrites());

    TavSetFault(TavFaultCook, 1);
    EXPECT_NE(0, Tav5Cook(1, reg, 100, &cooked));
}

TEST_F(TavlibTest, AutoDefineMakesAGateForEveryLookup) {
    int32_t id = 0;
    EXPECT_NE(0, Tav5GetGateIdByAddress(1, 2, 7, 1, 42, 255, &id));
    TavSetAutoDefine(1);
    ASSERT_EQ(0, Tav5GetGateIdByAddress(1, 2, 7, 1, 42, 255, &id));
    int32_t channel, station, area, number, bit;
    ASSERT_EQ(0, TavGateAddress(id, &channel, &station, &area, &number, &bit));
    EXPECT_EQ(2, channel);
    EXPECT_EQ(7, station);
    EXPECT_EQ(1, area);
    EXPECT_EQ(42, number);
    EXPECT_EQ(255, bit);
}

TEST_F(TavlibTest, LogLinesReachTheCallbackFormatted) {
    LogCapture log;
    err(32, "KivIN : Tavrik Address = %d", 4464);
    err(8, "KivIN : Info, Reset Link msg");
    ASSERT_EQ(2u, log.Lines().size());
    EXPECT_EQ(32, log.Lines()[0].level);
    EXPECT_EQ("KivIN : Tavrik Address = 4464", log.Lines()[0].text);
    EXPECT_EQ(8, log.Lines()[1].level);
}

}  // namespace
