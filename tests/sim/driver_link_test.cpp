// The driver's own requests against the simulator over its pseudo-terminal:
// link reset, reads, writes, the clock, event fetches with paging, and the
// retries that injected faults cost. The simulator's statistics must agree
// with what the driver delivered.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "base/channel_block.h"
#include "link/exchange.h"
#include "link/frame_io.h"
#include "platform/platform.h"
#include "requests/events.h"
#include "requests/registers.h"
#include "serial/port.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/log_capture.h"
#include "tools/kivsim/kivsim.h"

namespace {

using kivsim::EventKind;
using kivsim::FaultKind;

constexpr uint16_t kStation = 5;

class DriverAgainstSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        TavReset();
        kivsim::Options options;
        options.seed = 3;
        options.delayMs = 400;  // beyond the short read time-out set below
        sim_.reset(new kivsim::Simulator(options));
        ASSERT_TRUE(sim_->AddStation(kStation, 0));
        ASSERT_TRUE(sim_->AddStation(6, 0));
        ASSERT_TRUE(sim_->Start()) << sim_->Error();

        block_.reset(new ChannelBlock());
        LineSettings line = {9600, 8, 0, 0};
        HANDLE handle = INVALID_HANDLE_VALUE;
        ASSERT_EQ(PortOpen(sim_->LinePath().c_str(), &line, 8, &handle), PortOk);
        // A short read time-out keeps the tries that faults cost quick.
        PortSetReadInterval(handle, 20);
        block_->portHandle = HandleToField(handle);
        block_->channelNumber = 1;
        SetCurrentChannel(block_.get());
        CrcInit();
    }
    void TearDown() override {
        if (block_ && block_->portHandle) PortClose(FieldToHandle(block_->portHandle));
        SetCurrentChannel(nullptr);
        sim_.reset();
        TavReset();
    }

    GateRequest Gate(uint16_t station, int32_t number, int32_t count, int32_t* data) {
        GateRequest request = {};
        request.station = station;
        request.area = 0;
        request.number = number;
        request.bit = 255;
        request.size = 32;
        request.count = count;
        request.data = data;
        return request;
    }

    LogCapture log_;
    std::unique_ptr<kivsim::Simulator> sim_;
    std::unique_ptr<ChannelBlock> block_;
};

TEST_F(DriverAgainstSimulator, ResetReadWriteBitAndClock) {
    EXPECT_EQ(ResetLinkOnce(kStation), 0);
    EXPECT_EQ(sim_->GetStats().linkResetAnswers, 1u);

    sim_->SetRegister(kStation, 300, 100000);
    sim_->SetRegister(kStation, 301, uint32_t(-5));
    int32_t values[2] = {0, 0};
    GateRequest read = Gate(kStation, 300, 2, values);
    EXPECT_EQ(ReadRegisters(&read), 0);
    EXPECT_EQ(values[0], 100000);
    EXPECT_EQ(values[1], -5);

    int32_t written[3] = {7, 8, -9};
    GateRequest write = Gate(kStation, 10, 3, written);
    FlipFcb();
    EXPECT_EQ(WriteRegisters(&write), 0);
    EXPECT_EQ(sim_->RegisterValue(kStation, 10), 7u);
    EXPECT_EQ(sim_->RegisterValue(kStation, 12), uint32_t(-9));

    int32_t bitValue = 1 << 16;  // the 16-bit word at byte offset 2 is non-zero
    GateRequest bit = Gate(kStation, 10, 1, &bitValue);
    bit.bit = 4;
    FlipFcb();
    EXPECT_EQ(WriteBit(&bit), 0);
    EXPECT_EQ(sim_->RegisterValue(kStation, 10), 7u | 16u);

    sim_->Execute("clock 5 +86400000");  // a day off
    FlipFcb();
    EXPECT_EQ(SetClock(&bit), 0);
    int64_t offset = 0;
    sim_->WithStation(kStation, [&](kivsim::Station& s) { offset = s.ClockOffset(); });
    // The PC's local time went out to the second (and its milliseconds).
    EXPECT_LT(offset < 0 ? -offset : offset, 5000);
}

TEST_F(DriverAgainstSimulator, FetchesPageThroughAllThreeKindsAndStatisticsAgree) {
    for (int k = 0; k < 45; ++k) {
        TavDefineGateAt(0, kStation, 0, k, 255, 1.0, 0.0);
        sim_->QueueRegisterChange(kStation, uint16_t(k), uint32_t(1000 + k));
    }
    for (int k = 0; k < 31; ++k) {
        TavDefineGateAt(0, kStation, 1, k, 255, 1.0, 0.0);
        sim_->QueueStatusEvent(kStation, uint16_t(k), k % 2 == 0);
    }
    for (int k = 0; k < 21; ++k) sim_->QueueLoggedEvent(kStation, uint16_t(100 + k), uint32_t(k));
    for (int k = 0; k < 21; ++k) TavDefineGateAt(0, kStation, 0, 100 + k, 255, 1.0, 0.0);

    int32_t scratch = -1;
    GateRequest fetch = Gate(kStation, 0, 1, &scratch);
    EXPECT_EQ(FetchRegisterChanges(&fetch), 0);
    EXPECT_EQ(scratch, 0);
    EXPECT_EQ(FetchStatusEvents(&fetch), 0);
    EXPECT_EQ(FetchLoggedEvents(&fetch), 0);

    TavGateValue value;
    ASSERT_EQ(TavReadGate(TavFindGate(0, kStation, 0, 44, 255), &value), 0);
    EXPECT_EQ(value.value, 1044.0);
    ASSERT_EQ(TavReadGate(TavFindGate(0, kStation, 1, 30, 255), &value), 0);
    EXPECT_EQ(value.value, 1.0);
    EXPECT_NE(value.time, 0) << "status events carry the unit's time stamp";

    kivsim::Stats stats = sim_->GetStats();
    EXPECT_EQ(stats.eventsSent[0], 45u);
    EXPECT_EQ(stats.eventsSent[1], 31u);
    EXPECT_EQ(stats.eventsSent[2], 21u);
    EXPECT_EQ(uint64_t(TavGateWrites()), stats.eventsSent[0] + stats.eventsSent[1] + stats.eventsSent[2]);
    EXPECT_EQ(stats.requests[0], 2u);  // 41 + 4
    EXPECT_EQ(stats.requests[5], 2u);  // 30 + 1
    EXPECT_EQ(stats.requests[6], 2u);  // 20 + 1
}

TEST_F(DriverAgainstSimulator, FaultsCostRetriesButNoRecords) {
    for (int k = 0; k < 10; ++k) {
        TavDefineGateAt(0, kStation, 0, k, 255, 1.0, 0.0);
        sim_->QueueRegisterChange(kStation, uint16_t(k), uint32_t(k));
    }
    struct Case {
        FaultKind kind;
        int count;
        int32_t result;
    };
    const Case cases[] = {
        {FaultKind::Crc, 1, 0},         {FaultKind::WrongSource, 2, 0}, {FaultKind::Truncate, 1, 0},
        {FaultKind::Garbage, 1, 0},     {FaultKind::Drop, 1, 0},        {FaultKind::Delay, 1, 0},
        {FaultKind::NoticeFirst, 1, 0}, {FaultKind::Notice, 1, 0},      {FaultKind::WrongDestination, 3, 1},
        {FaultKind::Drop, 3, 2},
    };
    int32_t scratch = -1;
    GateRequest fetch = Gate(kStation, 0, 1, &scratch);
    for (const Case& c : cases) {
        SCOPED_TRACE(kivsim::FaultName(c.kind));
        sim_->InjectFault(c.kind, c.count);
        FlipFcb();
        EXPECT_EQ(FetchRegisterChanges(&fetch), c.result);
        EXPECT_TRUE(sim_->WaitQuiet(5000));
    }
    kivsim::Stats stats = sim_->GetStats();
    EXPECT_EQ(stats.eventsSent[0], 10u);
    EXPECT_EQ(TavGateWrites(), 10);
    EXPECT_GE(stats.repeats, 1u);
}

}  // namespace
