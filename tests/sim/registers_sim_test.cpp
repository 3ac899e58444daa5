// Polling through KivMain against the simulator, which refuses any request
// whose control byte is not the prescribed one: reads and writes of
// registers, runs and bits up to the largest runs a frame holds, the unit
// clock, and the results of faulty answers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "driver/commands.h"
#include "tests/sim/sim_channel.h"
#include "tools/kivsim/kivsim.h"

namespace {

class RegistersSimTest : public SimChannelTest {
protected:
    RegistersSimTest() : SimChannelTest("kiv-sim-reg") {}
    void SetUp() override {
        SimChannelTest::SetUp();
        ASSERT_TRUE(sim.AddStation(12, 0));
        ASSERT_TRUE(sim.AddStation(300, 0));
        ASSERT_TRUE(sim.Start()) << sim.Error();
        ASSERT_EQ(0, OpenOnLine(sim, "Host Address = 0\n", 100));
        std::memset(data, 0x5A, sizeof data);
    }
    void TearDown() override {
        if (block->portHandle != 0) Call(CommandClosePort, nullptr);
        sim.Stop();
        SimChannelTest::TearDown();
    }

    kivsim::Simulator sim;
};

TEST_F(RegistersSimTest, PollsAndWritesUnitsUpToTheLargestRuns) {
    for (uint16_t k = 0; k < 61; ++k) sim.SetRegister(12, static_cast<uint16_t>(1000 + k), 0x80000000u + k);
    sim.SetRegister(12, 300, 100000);

    GateRequest gate = Gate("R00120300", 3);
    ASSERT_EQ(0, Call(CommandRead, &gate));
    EXPECT_EQ(100000, data[0]);
    gate = Gate("R0012030005", 6);  // 100000 = 0x186A0: bit 5 set
    ASSERT_EQ(0, Call(CommandRead, &gate));
    EXPECT_EQ(1, data[0] >> 16);
    gate = Gate("R0012030006", 6);
    ASSERT_EQ(0, Call(CommandRead, &gate));
    EXPECT_EQ(0, data[0] >> 16);

    // The largest run an answer can carry, and one more.
    gate = Gate("R00121000", 3, 61);
    ASSERT_EQ(0, Call(CommandReadBlock, &gate));
    for (int k = 0; k < 61; ++k) ASSERT_EQ(static_cast<int32_t>(0x80000000u + k), data[k]) << k;
    const uint64_t readsSoFar = sim.GetStats().requests[1];
    gate.count = 62;
    EXPECT_EQ(1, Call(CommandReadBlock, &gate));
    EXPECT_EQ(readsSoFar, sim.GetStats().requests[1]);

    // The largest run a request can carry, and one more.
    gate = Gate("R00122000", 3, 41);
    for (int k = 0; k < 42; ++k) data[k] = -k;
    ASSERT_EQ(0, Call(CommandWriteBlock, &gate));
    EXPECT_EQ(0xFFFFFFD8u, sim.RegisterValue(12, 2040));
    const uint64_t writesSoFar = sim.GetStats().requests[3];
    gate.count = 42;
    EXPECT_EQ(1, Call(CommandWriteBlock, &gate));
    EXPECT_EQ(writesSoFar, sim.GetStats().requests[3]);
    EXPECT_EQ(0u, sim.RegisterValue(12, 2041));

    // One register, then a bit set and cleared; station 300 answers from 01 2C.
    gate = Gate("R03000042", 4);
    data[0] = 123456789;
    ASSERT_EQ(0, Call(CommandWrite, &gate));
    EXPECT_EQ(123456789u, sim.RegisterValue(300, 42));
    gate = Gate("R0300004231", 6);
    data[0] = 0x00010000;
    ASSERT_EQ(0, Call(CommandWrite, &gate));
    EXPECT_EQ(123456789u | 0x80000000u, sim.RegisterValue(300, 42));
    gate = Gate("R0300004200", 6);
    data[0] = 0x0000FFFF;  // the low word plays no part: the bit is cleared
    ASSERT_EQ(0, Call(CommandWrite, &gate));
    EXPECT_EQ((123456789u | 0x80000000u) & ~1u, sim.RegisterValue(300, 42));

    // The clock: the unit runs on the PC's local time from now on.
    gate = Gate("!T0012", 0);
    ASSERT_EQ(0, Call(CommandWrite, &gate));
    int64_t offset = 1 << 30;
    sim.WithStation(12, [&](kivsim::Station& station) { offset = station.ClockOffset(); });
    EXPECT_LT(std::llabs(offset), 5000) << offset;

    const kivsim::Stats stats = sim.GetStats();
    EXPECT_EQ(0u, stats.refused);  // every control byte was the prescribed one
    EXPECT_EQ(1u, stats.linkResets);  // station 12 once; single writes to 300 need none
    EXPECT_TRUE(log->Lines().empty());
}

TEST_F(RegistersSimTest, FaultyAnswersGiveOneAndTwo) {
    sim.SetRegister(12, 7, 7);
    GateRequest gate = Gate("R00120007", 3);
    ASSERT_EQ(0, Call(CommandRead, &gate));

    sim.InjectFault(kivsim::FaultKind::WrongSource, 3);
    data[0] = 0;
    EXPECT_EQ(1, Call(CommandRead, &gate));
    EXPECT_EQ(0, data[0]);

    sim.InjectFault(kivsim::FaultKind::Crc, 3);
    EXPECT_EQ(2, Call(CommandRead, &gate));
    EXPECT_EQ(3, log->Count("KivIN : RX Failed on CRC Check"));

    // One bad answer out of three tries still ends well.
    sim.InjectFault(kivsim::FaultKind::WrongDestination, 1);
    EXPECT_EQ(0, Call(CommandRead, &gate));
    EXPECT_EQ(7, data[0]);
}

}  // namespace
