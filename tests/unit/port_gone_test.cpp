// A port whose device is gone, on fake ports: which system errors say so,
// the one log line, the port left untouched until Open, ReopenPort or SetPort
// brings one back, line errors that never take a channel off the line, and
// the listener that stops reading a gone port.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "base/channel_block.h"
#include "driver/commands.h"
#include "serial/port.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/channel_file.h"
#include "tests/support/fake_channel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/scripted_unit.h"
#include "tests/support/wait_until.h"

namespace {

constexpr int32_t kChannel = 6;

TEST(PortErrors, WhichSystemErrorsSayTheDeviceIsGone) {
    const struct {
        DWORD error;
        int gone;
        const char* what;
    } cases[] = {
        {5, 1, "access denied: the answer of serial drivers on a removed device"},
        {6, 1, "invalid handle"},
        {21, 1, "not ready: wine on a hung-up pseudo-terminal"},
        {22, 1, "bad command: a USB adapter pulled out"},
        {64, 1, "network name deleted"},
        {1117, 1, "I/O device error: a hang-up, a dropped network line"},
        {1167, 1, "device not connected"},
        {1617, 1, "device removed"},
        {0, 0, "no error"},
        {1, 0, "invalid function: a port without modem lines"},
        {31, 0, "general failure"},
        {87, 0, "invalid parameter"},
        {121, 0, "semaphore time-out"},
        {995, 0, "operation aborted: reads after a line error, until ClearCommError"},
        {1121, 0, "counter time-out"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.gone, PortErrorMeansGone(c.error)) << c.what;
}

class PortGoneTest : public FakeChannelTest {
protected:
    void TearDown() override {
        Call(CommandClose);
        FakeChannelTest::TearDown();
    }
    void Fresh() override {
        if (block) Call(CommandClose);
        FakeChannelTest::Fresh();
        TavSetWaitTick(1);
        unit.registers[300] = 4711;
        fake::SetResponder([this](HANDLE port, const Bytes& written) { unit.Hear(port, written); });
    }

    void WriteConfig(const char* text) { ASSERT_TRUE(WriteChannelFile(kChannel, text, true)); }
    int32_t Call(int32_t command, void* parameters = nullptr) {
        CallRecord call{block.get(), command, kChannel, 0, parameters};
        return KivMain(&call);
    }
    int32_t Open(const char* name) {
        PortSettings settings{{}, 1, 4, LineSettings{19200, 8, 0, 0}};
        std::strncpy(settings.portName, name, sizeof settings.portName - 1);
        return Call(CommandOpen, &settings);
    }
    int32_t SetPort(const char* name) {
        PortChange change{{}, 0, LineSettings{19200, 8, 0, 0}};
        std::strncpy(change.portName, name, sizeof change.portName - 1);
        return Call(CommandSetPort, &change);
    }
    // Reads register 300 of station 12 into value.
    int32_t Read() {
        value = 0;
        GateRequest gate{0, 0, 12, AreaRegister, 300, 255, 32, 0, 1, 0, &value};
        return Call(CommandRead, &gate);
    }
    int GoneLines() {
        int count = 0;
        for (const std::string& text : log->Texts()) count += text.find(" gone (") != std::string::npos;
        return count;
    }

    ScratchDirectory directory{"kiv-gone"};
    ScriptedUnit unit;
    int32_t value = 0;
};

// Each row makes one kind of port call fail from now on with one error, on
// an open channel whose station answers. A gone port is logged once and not
// touched again until a port is opened in its place; any other failure
// leaves the channel on its port, which it keeps using.
TEST_F(PortGoneTest, AGoneDeviceTakesThePortOffTheLineUntilAPortIsOpenedAgain) {
    enum Back { ByReopenPort, BySetPort, ByOpen, NotNeeded };
    const struct {
        const char* name;
        fake::Fn fn;
        DWORD error;
        bool byFlush;  // found by Flush rather than by a read
        Back back;
    } cases[] = {
        {"read: device removed", fake::Fn::ReadFile, 1617, false, ByReopenPort},
        {"write: bad command", fake::Fn::WriteFile, 22, false, BySetPort},
        {"write: I/O device error", fake::Fn::WriteFile, 1117, false, ByOpen},
        {"queue query in a flush: access denied", fake::Fn::ClearCommError, 5, true, ByReopenPort},
        {"read: aborted after a line error", fake::Fn::ReadFile, 995, false, NotNeeded},
        {"read: general failure", fake::Fn::ReadFile, 31, false, NotNeeded},
        {"write: general failure", fake::Fn::WriteFile, 31, false, NotNeeded},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Fresh();
        WriteConfig("HostAddress=0\n");
        ASSERT_EQ(0, Open("COM1"));
        ASSERT_EQ(0, Read());
        const bool gone = c.back != NotNeeded;

        fake::FailCall(c.fn, fake::CallCount(c.fn) + 1, -1, c.error);
        EXPECT_EQ(c.byFlush ? 0 : 2, c.byFlush ? Call(CommandFlush) : Read());
        const size_t calls = fake::Calls().size();
        const size_t lines = log->Texts().size();
        EXPECT_EQ(2, Read());
        EXPECT_EQ(0, Call(CommandFlush));
        if (gone) {
            const std::string line = "KivIN : Port COM1 gone (system error " + std::to_string(c.error) +
                                     "), not used until opened again";
            EXPECT_EQ(1, log->Count(line));
            EXPECT_EQ(calls, fake::Calls().size()) << "the gone port was touched";
            EXPECT_EQ(lines, log->Texts().size()) << "later calls log nothing";
        } else {
            EXPECT_EQ(0, GoneLines());
            EXPECT_LT(calls, fake::Calls().size()) << "the port was given up";
        }

        // The device is back (or the noise is over).
        fake::StopFailing();
        const int32_t stillOff = gone ? Read() : 2;
        EXPECT_EQ(2, stillOff) << "off the line until a port is opened";
        const int32_t back = c.back == ByReopenPort ? Call(CommandReopenPort)
                             : c.back == BySetPort  ? SetPort("COM2")
                             : c.back == ByOpen     ? Open("COM1")
                                                    : 0;
        EXPECT_EQ(0, back);
        EXPECT_EQ(0, Read());
        EXPECT_EQ(4711, value);
        EXPECT_EQ(gone ? 1 : 0, GoneLines());
    }
}

// A link reset cut short by the port going is sent again once a port is back.
TEST_F(PortGoneTest, ALinkResetThePortLostIsSentAgainAfterReopening) {
    WriteConfig("HostAddress=0\n");
    ASSERT_EQ(0, Open("COM1"));
    fake::FailCall(fake::Fn::WriteFile, 1, -1, 1617);
    EXPECT_EQ(2, Read());
    EXPECT_EQ(0, block->linkReset[12] & 1);
    fake::StopFailing();
    ASSERT_EQ(0, Call(CommandReopenPort));
    ASSERT_EQ(0, Read());
    ASSERT_EQ(2u, unit.requests.size());
    EXPECT_EQ(0, unit.requests[0][6]) << "set 0: the link reset";
}

// The listener looks at the queue at every wake-up; once the port is gone it
// only looks at the mark, and after ReopenPort it reads the new port.
TEST_F(PortGoneTest, TheListenerStopsReadingAGonePortAndReadsTheReopenedOne) {
    fake::RunThreads(true);
    WriteConfig("HostAddress=0\nEXCEPTION=ON\n");
    ASSERT_EQ(0, Open("COM1"));
    ASSERT_TRUE(WaitUntil([] { return fake::CallCount(fake::Fn::ClearCommError) >= 2; })) << "listener running";
    fake::FailCall(fake::Fn::ClearCommError, fake::CallCount(fake::Fn::ClearCommError) + 1, -1, 21);
    ASSERT_TRUE(WaitUntil([this] { return GoneLines() == 1; }));

    const int queries = fake::CallCount(fake::Fn::ClearCommError);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // many wake-ups at a 1 ms tick
    EXPECT_EQ(queries, fake::CallCount(fake::Fn::ClearCommError));
    EXPECT_EQ(0, fake::CallCount(fake::Fn::ReadFile));
    EXPECT_EQ(2, Read());

    fake::StopFailing();
    ASSERT_EQ(0, Call(CommandReopenPort));
    EXPECT_TRUE(WaitUntil([queries] { return fake::CallCount(fake::Fn::ClearCommError) > queries + 2; }));
    EXPECT_EQ(0, Read());
    EXPECT_EQ(1, GoneLines());
}

}  // namespace
