// The channel lifecycle through KivMain on fake ports: Open's steps and
// failures, Flush, Close, ClosePort, ReopenPort and SetPort, and what a
// second open of a channel that is still open does.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "driver/commands.h"
#include "exception/listener.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/channel_file.h"
#include "tests/support/fake_channel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"

namespace {

const char kThreadFailed[] = "KivIN : Can Not open Report-By-Excepton thread !!!";
const char kListenerEnded[] = "KivIN : ShutDown Report By Excption thread";

void WriteConfig(int32_t channel, const std::string& text) { ASSERT_TRUE(WriteChannelFile(channel, text, true)); }

int OpenPortCount() {
    int open = 0;
    for (const std::string& call : fake::Calls()) {
        if (call.rfind("Open ", 0) == 0 && call.find(" failed") == std::string::npos) ++open;
        if (call == "Close") --open;
    }
    return open;
}

class LifecycleTest : public FakeChannelTest {
protected:
    void SetUp() override {
        FakeChannelTest::SetUp();
        WriteConfig(kChannel, "HostAddress=1\n");
    }
    void TearDown() override {
        TavSetFault(TavFaultMkClient, 0);
        SetCurrentChannel(nullptr);
    }

    int32_t Call(int32_t command, void* parameters = nullptr, int32_t channel = kChannel) {
        CallRecord call{block.get(), command, channel, 0, parameters};
        return KivMain(&call);
    }
    int32_t Open(const char* name = "COM1", int32_t enabled = 1, int32_t readTimeout = 4,
                 int32_t channel = kChannel) {
        PortSettings settings;
        std::memset(&settings, 0, sizeof settings);
        std::strncpy(settings.portName, name, sizeof settings.portName - 1);
        settings.enabled = enabled;
        settings.readTimeout = readTimeout;
        settings.line = LineSettings{19200, 8, 0, 0};
        return Call(CommandOpen, &settings, channel);
    }
    int32_t SetPort(const char* name, int32_t readTimeout = 0, LineSettings line = LineSettings{9600, 7, 2, 2}) {
        PortChange change;
        std::memset(&change, 0, sizeof change);
        std::strncpy(change.portName, name, sizeof change.portName - 1);
        change.readTimeout = readTimeout;
        change.line = line;
        return Call(CommandSetPort, &change);
    }
    HANDLE Port() const { return FieldToHandle(block->portHandle); }
    DWORD ReadTimeoutMs() const { return fake::PortTimeouts(Port()).ReadTotalTimeoutConstant; }

    static constexpr int32_t kChannel = 7;
    ScratchDirectory directory{"kiv-life"};
};

TEST_F(LifecycleTest, OpenWithThePortDisabledStopsAfterTheConfiguration) {
    block->portHandle = 0x55;
    block->channelNumber = 9;
    block->clientId = 3;
    EXPECT_EQ(0, Open("COM1", 0));
    EXPECT_EQ(0, block->portEnabled);
    EXPECT_EQ(0x55u, block->portHandle);
    EXPECT_EQ(9, block->channelNumber);
    EXPECT_EQ(3, block->clientId);
    EXPECT_EQ(1, block->hostAddress[1]);
    EXPECT_EQ(0, fake::PortCount());
    EXPECT_EQ(0, TavClientCount());
}

// The host's time-out is recorded as given; one of 0 or less would leave
// reads without end (or of weeks), so the port keeps its own 1000 ms.
TEST_F(LifecycleTest, OpenAppliesAReadTimeOutOnlyWhenItIsPositive) {
    const struct {
        int32_t tens;
        DWORD portMs;
    } cases[] = {{4, 40}, {1, 10}, {0, 1000}, {-5, 1000}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tens);
        ASSERT_EQ(0, Open("COM1", 1, c.tens));
        EXPECT_EQ(c.portMs, ReadTimeoutMs());
        EXPECT_EQ(c.tens, block->readTimeout);
    }
}

TEST_F(LifecycleTest, OpenFillsTheBlockAndRegistersTheClient) {
    block->linkReset[0] = block->linkReset[12] = block->linkReset[65535] = 1;
    block->fcb = 1;
    ASSERT_EQ(0, Open("COM1", 1, 4));

    EXPECT_EQ(1, block->portEnabled);
    ASSERT_NE(0u, block->portHandle);
    EXPECT_TRUE(fake::PortIsOpen(Port()));
    EXPECT_EQ("COM1", fake::PortName(Port()));
    EXPECT_EQ(40u, ReadTimeoutMs());  // 4 tens of ms
    EXPECT_EQ(19200u, fake::PortDcb(Port()).BaudRate);
    EXPECT_STREQ("COM1", block->port.name);
    EXPECT_EQ(19200, block->port.line.baudRate);
    EXPECT_EQ(8, block->port.line.dataBits);
    EXPECT_EQ(8, block->port.options);
    EXPECT_EQ(4, block->readTimeout);
    EXPECT_EQ(0x3D65, block->crcTable[1]);
    EXPECT_EQ(block->linkReset + sizeof block->linkReset,
              std::find(block->linkReset, block->linkReset + sizeof block->linkReset, 1));
    EXPECT_EQ(0, block->fcb);
    EXPECT_EQ(7, block->channelNumber);
    EXPECT_EQ(TavClientId("INTROL_No_07"), block->clientId);
    EXPECT_NE(0, block->clientId);
    EXPECT_TRUE(fake::ThreadStarts().empty());
    EXPECT_EQ((std::vector<std::string>{"KivIN : Tavrik Address = 1",
                                        "KivIN : The Report By Exception support is OFF"}),
              log->Texts());
}

TEST_F(LifecycleTest, OpenWithReportByExceptionStartsOneListenerOnTheBlock) {
    WriteConfig(kChannel, "HostAddress=1\nEXCEPTION=ON\n");
    ASSERT_EQ(0, Open());
    EXPECT_EQ(TavClientId("INTROL_No_07"), block->clientId);
    const std::vector<fake::ThreadStart> starts = fake::ThreadStarts();
    ASSERT_EQ(1u, starts.size());
    EXPECT_EQ(&ListenerThread, starts[0].start);
    EXPECT_EQ(32768u, starts[0].stackSize);
    EXPECT_EQ(block.get(), starts[0].argument);
}

TEST_F(LifecycleTest, AListenerThatCannotStartFailsOpenWithThePortOpenAndTheClientRegistered) {
    WriteConfig(kChannel, "HostAddress=1\nEXCEPTION=ON\n");
    fake::FailThreadStarts(true);
    EXPECT_EQ(2, Open());
    EXPECT_EQ(kThreadFailed, log->Texts().back());
    EXPECT_EQ(32, log->Lines().back().level);
    EXPECT_TRUE(fake::PortIsOpen(Port()));
    EXPECT_EQ(TavClientId("INTROL_No_07"), block->clientId);

    // The failed start left no trace: the next Open starts the listener.
    fake::FailThreadStarts(false);
    EXPECT_EQ(0, Open());
    EXPECT_EQ(1u, fake::ThreadStarts().size());
}

struct PortFailure {
    const char* what;
    fake::Fn fn;  // the call that fails (CreateFile with a refused name)
};

TEST_F(LifecycleTest, APortThatCannotOpenFailsOpenAndLeavesNoPortOpen) {
    const PortFailure failures[] = {
        {"the device does not open", fake::Fn::CreateFile},
        {"its state cannot be read", fake::Fn::GetCommState},
        {"its time-outs cannot be set", fake::Fn::SetCommTimeouts},
        {"its line settings cannot be set", fake::Fn::SetCommState},
    };
    for (const PortFailure& failure : failures) {
        SCOPED_TRACE(failure.what);
        fake::Reset();
        log.reset();  // its callback goes before the next one is set
        TavReset();
        log.reset(new LogCapture());
        block.reset(new ChannelBlock());
        if (failure.fn == fake::Fn::CreateFile) fake::RefuseName("COM9");
        else fake::FailCall(failure.fn, 1);
        EXPECT_EQ(2, Open("COM9"));
        EXPECT_EQ("KIVINTROL, DPC3000 : Fail to open COM9", log->Texts().back());
        EXPECT_EQ(32, log->Lines().back().level);
        EXPECT_EQ(0u, block->portHandle);
        EXPECT_STREQ("", block->port.name);
        EXPECT_EQ(0, OpenPortCount());
        EXPECT_EQ(0, TavClientCount());
    }
}

TEST_F(LifecycleTest, AClientThatCannotRegisterFailsOpenWithOneAndThePortStaysOpen) {
    WriteConfig(kChannel, "HostAddress=1\nEXCEPTION=ON\n");
    TavSetFault(TavFaultMkClient, 1);
    EXPECT_EQ(1, Open());
    EXPECT_TRUE(fake::PortIsOpen(Port()));
    EXPECT_EQ(0, TavClientCount());
    EXPECT_TRUE(fake::ThreadStarts().empty());
}

TEST_F(LifecycleTest, OpenWithoutAConfigurationTouchesNoPort) {
    EXPECT_EQ(2, Open("COM1", 1, 4, 8));
    EXPECT_EQ(std::vector<std::string>{"KivIN : File kivIN08.int not found !"}, log->Texts());
    EXPECT_EQ(0, fake::PortCount());
    EXPECT_EQ(0, TavClientCount());
}

TEST_F(LifecycleTest, ClientNamesOfChannelsBeyondTwoDigitsAreWhole) {
    for (int32_t channel : {100, -1}) {
        WriteConfig(channel, "A=1\n");
        block.reset(new ChannelBlock());
        EXPECT_EQ(0, Open("COM1", 1, 4, channel)) << channel;
    }
    EXPECT_NE(-1, TavClientId("INTROL_No_100"));
    EXPECT_NE(-1, TavClientId("INTROL_No_-01"));
}

TEST_F(LifecycleTest, APortNameWithoutTerminatorIsCutToElevenCharacters) {
    PortSettings settings;
    std::memset(&settings, 0, sizeof settings);
    std::memcpy(settings.portName, "COM123456789", 12);
    settings.enabled = 1;
    settings.readTimeout = 4;
    settings.line = LineSettings{19200, 8, 0, 0};
    ASSERT_EQ(0, Call(CommandOpen, &settings));
    EXPECT_EQ("COM12345678", fake::PortName(Port()));
    EXPECT_STREQ("COM12345678", block->port.name);
}

TEST_F(LifecycleTest, ClosePortAndCloseCloseOnceAndKeepTheirHandleWhenTheCloseFails) {
    for (int32_t command : {CommandClosePort, CommandClose}) {
        ASSERT_EQ(0, Open());
        HANDLE port = Port();
        const int clients = TavClientCount();
        fake::FailCall(fake::Fn::Close, fake::CallCount(fake::Fn::Close) + 1);
        EXPECT_EQ(2, Call(command));
        EXPECT_EQ(port, Port());
        EXPECT_EQ(0, Call(command));
        EXPECT_EQ(0u, block->portHandle);
        EXPECT_FALSE(fake::PortIsOpen(port));
        const int closes = fake::CallCount(fake::Fn::Close);
        EXPECT_EQ(0, Call(command));  // nothing left to close
        EXPECT_EQ(closes, fake::CallCount(fake::Fn::Close));
        // ClosePort keeps the client for ReopenPort; Close ends the channel.
        EXPECT_EQ(command == CommandClose ? 0 : clients, TavClientCount());
    }
}

TEST_F(LifecycleTest, FlushDiscardsPendingInputAndDoesNothingWithoutAPort) {
    EXPECT_EQ(0, Call(CommandFlush));
    EXPECT_TRUE(fake::Calls().empty());

    ASSERT_EQ(0, Open());
    fake::QueueInput(std::vector<uint8_t>(600, 0x55));
    EXPECT_EQ(0, Call(CommandFlush));
    EXPECT_EQ(0u, fake::PendingInput(Port()));
}

TEST_F(LifecycleTest, SetPortRecordsTheChangeAndOpensTheNewName) {
    ASSERT_EQ(0, Open("COM1", 1, 4));
    HANDLE first = Port();
    ASSERT_EQ(0, SetPort("COM2"));
    EXPECT_FALSE(fake::PortIsOpen(first));
    EXPECT_TRUE(fake::PortIsOpen(Port()));
    EXPECT_EQ("COM2", fake::PortName(Port()));
    EXPECT_STREQ("COM2", block->port.name);
    EXPECT_EQ(9600, block->port.line.baudRate);
    EXPECT_EQ(7, block->port.line.dataBits);
    EXPECT_EQ(2, block->port.line.stopBits);
    EXPECT_EQ(2, block->port.line.parity);
    EXPECT_EQ(8, block->port.options);
    EXPECT_EQ(9600u, fake::PortDcb(Port()).BaudRate);
    EXPECT_EQ(4, block->readTimeout);  // 0 keeps the stored one
    EXPECT_EQ(40u, ReadTimeoutMs());    // and applies it to the new port

    ASSERT_EQ(0, SetPort("COM2", 9));
    EXPECT_EQ(9, block->readTimeout);
    EXPECT_EQ(90u, ReadTimeoutMs());
    EXPECT_EQ(1, OpenPortCount());
}

// Another name (letter case counts) is opened before the old port is
// closed; the same name is closed first, for ports that allow one user.
TEST_F(LifecycleTest, SetPortOpensAnotherNameFirstAndClosesTheSameNameFirst) {
    for (const char* name : {"com1", "COM1"}) {
        SCOPED_TRACE(name);
        ASSERT_EQ(0, Open("COM1"));
        HANDLE first = Port();
        fake::ClearCalls();
        ASSERT_EQ(0, SetPort(name));
        std::vector<std::string> calls = fake::Calls();
        calls.erase(std::remove_if(calls.begin(), calls.end(),
                                   [](const std::string& call) { return call != "Close" && call.rfind("Open", 0) != 0; }),
                    calls.end());
        const std::vector<std::string> sameFirst{"Close", std::string("Open ") + name};
        const std::vector<std::string> newFirst{std::string("Open ") + name, "Close"};
        EXPECT_EQ(std::strcmp(name, "COM1") == 0 ? sameFirst : newFirst, calls);
        EXPECT_FALSE(fake::PortIsOpen(first));
        EXPECT_EQ(name, fake::PortName(Port()));
        ASSERT_EQ(0, Call(CommandClose));
    }
}

// A failed SetPort or re-Open to another port leaves the channel on its old
// port, with its old settings, and says so in the log.
TEST_F(LifecycleTest, FailedMoveToAnotherPortKeepsTheOldOneAndLogsIt) {
    ASSERT_EQ(0, Open("COM1"));
    HANDLE first = Port();
    fake::RefuseName("COM3");
    EXPECT_EQ(2, SetPort("COM3", 6));
    EXPECT_EQ(2, Open("COM3", 1, 6));
    EXPECT_TRUE(fake::PortIsOpen(first));
    EXPECT_EQ(first, Port());
    EXPECT_STREQ("COM1", block->port.name);
    EXPECT_EQ(19200, block->port.line.baudRate);
    EXPECT_EQ(4, block->readTimeout);
    EXPECT_EQ(2, log->Count("KIVINTROL, DPC3000 : Fail to open COM3"));
    EXPECT_EQ(1, OpenPortCount());
}

TEST_F(LifecycleTest, ReopenPortOpensTheStoredPortWithItsStoredTimeout) {
    ASSERT_EQ(0, Open("COM1", 5, 4));
    EXPECT_EQ(5, block->portEnabled);
    ASSERT_EQ(0, Call(CommandClosePort));
    ASSERT_EQ(0, Call(CommandReopenPort));
    EXPECT_EQ(1, block->portEnabled);
    EXPECT_TRUE(fake::PortIsOpen(Port()));
    EXPECT_EQ("COM1", fake::PortName(Port()));
    EXPECT_EQ(19200u, fake::PortDcb(Port()).BaudRate);
    EXPECT_EQ(40u, ReadTimeoutMs());

    // Still open: the port is closed first, so one handle stays in use.
    HANDLE second = Port();
    ASSERT_EQ(0, Call(CommandReopenPort));
    EXPECT_FALSE(fake::PortIsOpen(second));
    EXPECT_EQ(1, OpenPortCount());

    fake::RefuseName("COM1");
    EXPECT_EQ(2, Call(CommandReopenPort));
    EXPECT_EQ(0u, block->portHandle);
    EXPECT_EQ(0, OpenPortCount());
    EXPECT_EQ(1, log->Count("KIVINTROL, DPC3000 : Fail to open COM1"));
}

TEST_F(LifecycleTest, ASecondOpenReplacesThePortAndKeepsTheOneListenerAndClient) {
    WriteConfig(kChannel, "HostAddress=1\nEXCEPTION=ON\n");
    ASSERT_EQ(0, Open("COM1"));
    HANDLE first = Port();
    const uint8_t client = block->clientId;
    block->linkReset[3] = 1;

    ASSERT_EQ(0, Open("COM1", 1, 7));
    EXPECT_FALSE(fake::PortIsOpen(first));
    EXPECT_TRUE(fake::PortIsOpen(Port()));
    EXPECT_EQ(1, OpenPortCount());
    EXPECT_EQ(70u, ReadTimeoutMs());
    EXPECT_EQ(0, block->linkReset[3]);
    EXPECT_EQ(1u, fake::ThreadStarts().size());
    EXPECT_EQ(1, TavClientCount());
    EXPECT_EQ(client, block->clientId);

    // Without report-by-exception in the file the listener is stopped; the
    // channel keeps its one client.
    WriteConfig(kChannel, "HostAddress=1\n");
    ASSERT_EQ(0, Open("COM2"));
    EXPECT_EQ(1, OpenPortCount());
    EXPECT_EQ(1u, fake::ThreadStarts().size());
    EXPECT_EQ(0u, FindChannelState(block.get())->thread);
    EXPECT_EQ(1, TavClientCount());
}

TEST_F(LifecycleTest, ASecondOpenWithoutAListenerRegistersAndStartsOne) {
    ASSERT_EQ(0, Open("COM1"));
    EXPECT_TRUE(fake::ThreadStarts().empty());
    WriteConfig(kChannel, "HostAddress=1\nEXCEPTION=ON\n");
    ASSERT_EQ(0, Open("COM1"));
    EXPECT_EQ(1u, fake::ThreadStarts().size());
    EXPECT_EQ(1, OpenPortCount());
}

TEST_F(LifecycleTest, ANewBlockAtTheAddressOfAnOldOneGetsItsOwnListener) {
    WriteConfig(kChannel, "HostAddress=1\nEXCEPTION=ON\n");
    ASSERT_EQ(0, Open("COM1"));
    ASSERT_EQ(1u, fake::ThreadStarts().size());
    // The host freed the block and handed the same memory over again, zeroed.
    std::memset(static_cast<void*>(block.get()), 0, sizeof(ChannelBlock));
    ASSERT_EQ(0, Open("COM2"));
    EXPECT_EQ(2u, fake::ThreadStarts().size());
    EXPECT_EQ(2, TavClientCount());
}

// A channel's listener and client end with it, with report-by-exception on
// and off and a fresh block each time that the host frees after Close:
// nothing of the channel stays behind and the latch stays clear.
TEST_F(LifecycleTest, CloseEndsTheListenerAndTheClientOfEveryFreshBlock) {
    fake::RunThreads(true);
    TavSetWaitTick(1);
    constexpr int kCycles = 40;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const bool listening = cycle % 2 == 0;
        WriteConfig(kChannel, listening ? "HostAddress=1\nEXCEPTION=ON\n" : "HostAddress=1\n");
        block.reset(new ChannelBlock());
        ASSERT_EQ(0, Open("COM1"));
        ASSERT_EQ(0, Open("COM1"));  // a re-Open registers no second client, starts no second listener
        EXPECT_EQ(1, TavClientCount());
        ASSERT_EQ(0, Call(CommandClose));
        EXPECT_EQ(0, TavClientCount());
        EXPECT_EQ(nullptr, FindChannelState(block.get()));
        block.reset();  // the host frees it; AddressSanitizer sees any later use
    }
    EXPECT_EQ(static_cast<size_t>(kCycles / 2), fake::ThreadStarts().size());
    EXPECT_EQ(kCycles / 2, log->Count(kListenerEnded));
    EXPECT_EQ(0, OpenPortCount());
    EXPECT_EQ(0, ShutdownLatchIsSet());
}

TEST_F(LifecycleTest, AnOpenWhoseFileTurnsReportByExceptionOffStopsTheListener) {
    fake::RunThreads(true);
    TavSetWaitTick(1);
    WriteConfig(kChannel, "HostAddress=1\nEXCEPTION=ON\n");
    ASSERT_EQ(0, Open("COM1"));
    WriteConfig(kChannel, "HostAddress=1\n");
    ASSERT_EQ(0, Open("COM1"));
    EXPECT_EQ(0u, FindChannelState(block.get())->thread);
    EXPECT_EQ(1, log->Count(kListenerEnded));
    EXPECT_EQ(1, TavClientCount());  // the channel keeps its client
    EXPECT_EQ(0, ShutdownLatchIsSet());
    ASSERT_EQ(0, Call(CommandClose));
    EXPECT_EQ(0, TavClientCount());
}

}  // namespace
