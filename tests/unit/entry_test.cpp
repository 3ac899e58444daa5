// The entry point: dispatch, refusals, the busy flag and the shutdown latch.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kiv_version.h"
#include "base/channel_block.h"
#include "driver/commands.h"
#include "tests/support/child_checks.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

namespace {

// This thread's current channel.
ChannelBlock* CurrentOfThisThread() { return CurrentChannel(); }

const char kBusyMessage[] = "KivIN : The Report-By-Exception thread is busy";

class EntryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        block.reset(new ChannelBlock());
    }
    int32_t Call(int32_t command, void* parameters = nullptr) {
        CallRecord call{block.get(), command, 1, 0, parameters};
        return KivMain(&call);
    }
    std::unique_ptr<ChannelBlock> block;
    LogCapture log;
};

TEST_F(EntryTest, DescribeFillsTheDriverInfoWithoutABlock) {
    DriverInfo info;
    std::memset(&info, 0xAA, sizeof info);
    CallRecord call{nullptr, CommandDescribe, 0, 0, &info};
    ASSERT_EQ(0, KivMain(&call));
    EXPECT_EQ(70, info.driverKind);
    EXPECT_STREQ("INTROL, DPC3000", info.deviceName);
    EXPECT_EQ(66104, info.blockSize);
    EXPECT_EQ(4, info.defaultReadTimeout);
    EXPECT_EQ(19200, info.defaultLine.baudRate);
    EXPECT_EQ(8, info.defaultLine.dataBits);
    EXPECT_EQ(0, info.defaultLine.stopBits);
    EXPECT_EQ(0, info.defaultLine.parity);
    EXPECT_EQ(3, info.defaultExtra);

    // A newline, then six framed rows of 61 code page 437 characters.
    std::string banner(info.banner);
    ASSERT_EQ(373u, banner.size());
    EXPECT_EQ('\n', banner[0]);
    for (int row = 0; row < 6; ++row) {
        std::string line = banner.substr(1 + row * 62, 62);
        EXPECT_EQ('\n', line[61]) << "row " << row;
        const unsigned char first = line[0], last = line[60];
        const unsigned char left[] = {0xDA, 0xB3, 0xB3, 0xB3, 0xB3, 0xC0};
        const unsigned char right[] = {0xBF, 0xB3, 0xB3, 0xB3, 0xB3, 0xD9};
        EXPECT_EQ(left[row], first) << "row " << row;
        EXPECT_EQ(right[row], last) << "row " << row;
    }
    EXPECT_EQ(std::string(59, '\xC4'), banner.substr(2, 59));
    EXPECT_EQ(" \xDB\xDB\xDB\xDB\xDB\xB2\xB2\xB2\xB2\xB2\xB2\xB1\xB1\xB1\xB1\xB1\xB1\xB0\xB0\xB0\xB0\xB0\xB0 K I V I N ",
              banner.substr(64, 35));
    EXPECT_NE(std::string::npos, banner.find("INTROL SYSTEMS , Driver installed."));
    EXPECT_NE(std::string::npos, banner.find("DPC3000 - TDE protocol,SCADA set"));
    // The version row carries the build's version, centred; for 1.0.0 these
    // are the bytes hosts have always been shown.
    std::string versionRow = banner.substr(1 + 4 * 62 + 1, 59);
    std::string text = std::string("KIVLINK driver version ") + KIV_VERSION;
    size_t left = (59 - text.size()) / 2;
    EXPECT_EQ(std::string(left, ' ') + text + std::string(59 - left - text.size(), ' '), versionRow);
    if (std::string(KIV_VERSION) == "1.0.0") {
        EXPECT_EQ("               KIVLINK driver version 1.0.0                ", versionRow);
    }
}

TEST_F(EntryTest, CommandsWithoutAHandlerOrRecordAreRefusedUntouched) {
    block->exceptionEnabled = 1;
    block->busy = 1;  // a refused command must not even wait for the line
    for (int32_t command : {-1, 0, 8, 9, 16, 1000}) EXPECT_EQ(1, Call(command)) << command;
    EXPECT_EQ(1, Call(CommandDescribe));  // no DriverInfo
    EXPECT_EQ(1, Call(CommandOpen));      // no PortSettings
    EXPECT_EQ(1, Call(CommandRead));      // no GateRequest
    GateRequest gate{};
    CallRecord noBlock{nullptr, CommandRead, 1, 0, &gate};
    EXPECT_EQ(1, KivMain(&noBlock));
    EXPECT_EQ(1, KivMain(nullptr));
    EXPECT_EQ(0u, fake::SleepCount());
    EXPECT_TRUE(log.Lines().empty());
}

// The flag guards the line whether or not a listener shares it: a host may
// call one channel from several threads. Every command that uses the line
// waits for it, gives up after the wait and does nothing.
TEST_F(EntryTest, BusyFlagIsAwaited4002TimesThenRefusedWithOneMessage) {
    int32_t data[4] = {77, 77, 77, 77};
    GateRequest gate{3, 0, 12, AreaRegister, 300, 255, 32, 0, 1, 0, data};
    AddressRequest address{"R00120300", 0, GateRequest{}};
    address.gate.kind = 3;
    PortSettings settings{};
    std::strcpy(settings.portName, "COM9");
    settings.enabled = 1;
    settings.readTimeout = 4;
    settings.line = LineSettings{19200, 8, 0, 0};
    PortChange change{};
    std::strcpy(change.portName, "COM9");
    change.line = LineSettings{19200, 8, 0, 0};
    const struct {
        const char* name;
        int32_t command;
        void* parameters;
    } kCommandsOnTheLine[] = {
        {"Open", CommandOpen, &settings},          {"Flush", CommandFlush, nullptr},
        {"CheckAddress", CommandCheckAddress, &address}, {"Read", CommandRead, &gate},
        {"ReadBlock", CommandReadBlock, &gate},    {"Write", CommandWrite, &gate},
        {"WriteBlock", CommandWriteBlock, &gate},  {"ClosePort", CommandClosePort, nullptr},
        {"ReopenPort", CommandReopenPort, nullptr}, {"SetPort", CommandSetPort, &change},
    };
    for (const auto& command : kCommandsOnTheLine) {
        for (uint8_t exception : {0, 1}) {
            SCOPED_TRACE(std::string(command.name) + (exception ? " with a listener" : ""));
            fake::Reset();
            log.Clear();
            block->exceptionEnabled = exception;
            block->busy = 1;
            block->portHandle = HandleToField(fake::OpenPort("COM1"));
            fake::ClearCalls();
            EXPECT_EQ(1, Call(command.command, command.parameters));
            EXPECT_EQ(4002u, fake::SleepCount());
            EXPECT_EQ(4002u, fake::Now());
            EXPECT_EQ(std::vector<std::string>{kBusyMessage}, log.Texts());
            if (!log.Lines().empty()) {
                EXPECT_EQ(32, log.Lines()[0].level);
            }
            EXPECT_EQ(1, block->busy);  // left as it was
            // Nothing done on the line or in the records meanwhile.
            EXPECT_TRUE(fake::CallsWithout([](const std::string& call) { return call.rfind("Sleep ", 0) == 0; })
                            .empty());
            EXPECT_EQ(77, data[0]);
            EXPECT_TRUE(fake::PortIsOpen());
        }
    }
}

// With Sleep(1) lasting a 15.6 ms timer tick the wait still gives up after
// 4002 ms, not after 4002 ticks (a minute), also across the tick count's wrap.
TEST_F(EntryTest, BusyWaitEndsAfter4002MsWhateverASleepLasts) {
    const struct {
        uint64_t tickMicros;
        DWORD tickStart;
        uint64_t sleeps;  // 4002 ms in ticks, rounded up
    } clocks[] = {{15625, 0, 257}, {15600, 0xFFFFFF00u, 257}, {2000, 0xFFFFFFFFu, 2001}};
    for (const auto& clock : clocks) {
        SCOPED_TRACE(clock.tickMicros);
        fake::Reset();
        log.Clear();
        fake::SetSleepTick(clock.tickMicros);
        fake::SetTickCountStart(clock.tickStart);
        block->busy = 1;
        EXPECT_EQ(1, Call(CommandFlush));
        EXPECT_EQ(clock.sleeps, fake::SleepCount());
        EXPECT_GE(fake::Now(), 4002u);
        EXPECT_EQ(std::vector<std::string>{kBusyMessage}, log.Texts());
    }
}

TEST_F(EntryTest, BusyFlagFreedDuringTheWaitIsTakenAndReleased) {
    block->exceptionEnabled = 1;
    block->busy = 1;
    ChannelBlock* held = block.get();
    fake::SetSleepHook([held](uint64_t now) {
        if (now == 100) ReleaseBusy(held);
    });
    EXPECT_EQ(0, Call(CommandFlush));
    EXPECT_EQ(100u, fake::SleepCount());
    EXPECT_EQ(0, block->busy);
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(EntryTest, CommandsThatNeverTakeTheFlagDoNotWait) {
    block->exceptionEnabled = 1;
    block->busy = 1;
    DriverInfo info{};
    EXPECT_EQ(0, Call(CommandDescribe, &info));
    EXPECT_EQ(0, Call(CommandClose));
    AddressRequest address{"R00120300", 0, GateRequest{}};
    address.gate.kind = 3;
    Call(CommandParseAddress, &address);
    EXPECT_EQ(0u, fake::SleepCount());
    EXPECT_TRUE(log.Lines().empty());
}

TEST_F(EntryTest, AFreeFlagIsTakenWithoutASleepAndGivenBack) {
    for (uint8_t exception : {0, 1}) {
        block->exceptionEnabled = exception;
        EXPECT_EQ(0, Call(CommandFlush)) << int(exception);
        EXPECT_EQ(0, block->busy);
    }
    EXPECT_EQ(0u, fake::SleepCount());
}

TEST_F(EntryTest, CurrentChannelIsTheCallsBlock) {
    EXPECT_EQ(0, Call(CommandFlush));
    EXPECT_EQ(block.get(), CurrentOfThisThread());
    // Set at every call, also by a command that does not use the block.
    std::unique_ptr<ChannelBlock> other(new ChannelBlock());
    DriverInfo info{};
    CallRecord describe{other.get(), CommandDescribe, 0, 0, &info};
    KivMain(&describe);
    EXPECT_EQ(other.get(), CurrentOfThisThread());
}

// The latch is process-wide and never cleared, so it is tested in a child.
// After the latch: the close family, the address commands and Describe
// still run; every command that would use the line answers 2 and does
// nothing, so no Read, Write or Open reports work it did not do.
void SetLatchAndCallEverything() {
    fake::Reset();
    LogCapture log;
    ChannelBlock block{};
    block.portHandle = HandleToField(fake::OpenPort("COM1"));
    SetShutdownLatch();
    ChildChecks check;

    DriverInfo info;
    std::memset(&info, 0x5A, sizeof info);
    CallRecord describe{nullptr, CommandDescribe, 0, 0, &info};
    check(KivMain(&describe) == 0 && info.blockSize == 66104, "Describe still fills its record");

    int32_t data[4] = {77, 77, 77, 77};
    GateRequest request{0, 0, 12, AreaRegister, 300, 255, 32, 0, 1, 0, data};
    PortSettings settings{};
    std::strcpy(settings.portName, "COM9");
    settings.enabled = 1;
    PortChange change{};
    std::strcpy(change.portName, "COM9");
    const struct {
        int32_t command;
        void* parameters;
        int32_t result;
    } kCases[] = {
        {CommandOpen, &settings, 2},     {CommandRead, &request, 2},       {CommandReadBlock, &request, 2},
        {CommandWrite, &request, 2},     {CommandWriteBlock, &request, 2}, {CommandReopenPort, nullptr, 2},
        {CommandSetPort, &change, 2},    {CommandFlush, nullptr, 0},       {CommandClosePort, nullptr, 0},
        {CommandClose, nullptr, 0},
    };
    for (const auto& one : kCases) {
        CallRecord call{&block, one.command, 1, 0, one.parameters};
        const int32_t result = KivMain(&call);
        if (result != one.result) std::fprintf(stderr, "command %d gave %d\n", one.command, result);
        check(result == one.result, "result of a command after the latch");
    }
    check(data[0] == 77, "nothing stored");
    check(fake::CallCount(fake::Fn::WriteFile) == 0 && fake::CallCount(fake::Fn::CreateFile) == 0,
          "nothing sent, no port opened");
    check(block.portHandle == 0, "the close family closed the port");
    check(log.Count("KivIN : Driver stopped by the host, command 1 refused") == 1 && log.Texts().size() == 1,
          "one refusal logged, once");
    check.Exit();
}

TEST(EntryDeathTest, AfterTheLatchOnlyTheCloseFamilyAndDescribeRun) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(SetLatchAndCallEverything(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
