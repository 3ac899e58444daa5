// Commands on a line that never falls quiet, on the fake port with virtual
// time: noise at every rate from one byte per read time-out to a flood,
// endless frame starts, a frame that never completes. At 19200 baud and a
// 40 ms time-out each command ends within the bound docs/bounds.md gives,
// stores nothing, and says once that the line never fell quiet; the
// listener lets waiting host commands in between its exchanges, and a Close
// stops it on a radio line whose carrier stays up.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/channel_block.h"
#include "base/channel_state.h"
#include "driver/commands.h"
#include "exception/listener.h"
#include "link/exchange.h"
#include "link/frame_codec.h"
#include "link/line_budget.h"
#include "requests/events.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/driver_channel.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"
#include "tests/support/wait_until.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr int32_t kChannel = 4;
constexpr uint64_t kNoiseMs = 6000;  // longer than any command below lasts
const char kNeverQuiet[] = "KivIN : Line never fell quiet during a request to station 12, given up after ";

enum class Noise { OnePerTimeout, Every30Ms, Every10Ms, FourEvery2Ms, Flood, FrameStarts, EndlessFrame };

struct NoiseCase {
    const char* name;
    Noise noise;
};

// Queues the noise from virtual time `from` on: bytes that never make a
// sound frame (a pseudo-random walk that avoids the first start byte, or
// frame starts that never complete).
void QueueNoise(Noise noise, uint64_t from) {
    uint8_t next = 0x3B;
    auto junk = [&next](size_t count) {
        Bytes bytes(count);
        for (uint8_t& b : bytes) {
            next = static_cast<uint8_t>(next * 5 + 17);
            b = next == kFrameStartHi ? 0x06 : next;
        }
        return bytes;
    };
    auto every = [&](uint64_t stepMs, size_t count) {
        for (uint64_t at = from; at < from + kNoiseMs; at += stepMs) fake::QueueInputAt(junk(count), at);
    };
    switch (noise) {
    case Noise::OnePerTimeout: every(40, 1); break;
    case Noise::Every30Ms: every(30, 1); break;
    case Noise::Every10Ms: every(10, 1); break;
    case Noise::FourEvery2Ms: every(2, 4); break;
    case Noise::Flood: every(1, 2); break;  // 19200 baud: about two bytes a millisecond
    case Noise::FrameStarts:
        for (uint64_t at = from; at < from + kNoiseMs; ++at) fake::QueueInputAt({kFrameStartHi, kFrameStartLo}, at);
        break;
    case Noise::EndlessFrame:
        // Heads that promise the largest frame, after each try's purge, and
        // between them bytes one by one.
        for (uint64_t at = from + 70; at < from + kNoiseMs; at += 250)
            fake::QueueInputAt({kFrameStartHi, kFrameStartLo, 0xFF}, at);
        every(30, 1);
        break;
    }
}

const NoiseCase kNoises[] = {
    {"one byte per read time-out", Noise::OnePerTimeout},
    {"a byte every 30 ms", Noise::Every30Ms},
    {"a byte every 10 ms", Noise::Every10Ms},
    {"four bytes every 2 ms", Noise::FourEvery2Ms},
    {"a flood", Noise::Flood},
    {"endless frame starts", Noise::FrameStarts},
    {"a frame that never completes", Noise::EndlessFrame},
};

class LineBoundTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        TavReset();
        TavSetAutoDefine(1);
        log.reset(new LogCapture());
    }
    void TearDown() override {
        if (channel) channel->Close();
        fake::SetSleepHook(nullptr);
        SetCurrentChannel(nullptr);
        log.reset();
    }

    // A fresh channel at 19200 8N1 with a 40 ms read time-out, host address 0.
    void OpenChannel(const std::string& file = "HostAddress=0\n") {
        if (channel) channel->Close();
        fake::Reset();
        channel.reset(new DriverChannel(kChannel));
        ASSERT_TRUE(channel->WriteChannelFile(file));
        ASSERT_EQ(0, channel->Open("COM1", 4));
        log->Clear();
    }

    int LinesStarting(const std::string& prefix) {
        int count = 0;
        for (const std::string& text : log->Texts()) count += text.rfind(prefix, 0) == 0;
        return count;
    }

    ScratchDirectory directory{"kiv-bound"};
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<DriverChannel> channel;
};

// The bounds of docs/bounds.md for 19200 baud 8N1 and a 40 ms time-out.
struct CommandCase {
    const char* name;
    const char* address;
    int32_t command;   // CommandRead, CommandReadBlock, CommandWrite or CommandWriteBlock
    int32_t count;
    bool resetDone;    // the station's link was reset before
    uint32_t boundMs;
};

const CommandCase kCommands[] = {
    {"first read, with its link reset", "R00120100", CommandRead, 1, false, 1141},
    {"read", "R00120100", CommandRead, 1, true, 625},
    {"block read of 60", "R00120100", CommandReadBlock, 60, true, 1135},
    {"write", "R00120100", CommandWrite, 1, true, 634},
    {"bit write", "R0012010003", CommandWrite, 1, true, 625},
    {"block write of 41", "R00120100", CommandWriteBlock, 41, true, 1444},
    {"clock, with its link reset", "!T0012", CommandWrite, 1, false, 1165},
    {"status events, with the link reset", "!S0012", CommandRead, 1, false, 1650},
};

TEST_F(LineBoundTest, EveryCommandEndsWithinItsBoundWhateverTheLineCarries) {
    for (const NoiseCase& noise : kNoises) {
        for (const CommandCase& c : kCommands) {
            SCOPED_TRACE(std::string(noise.name) + ", " + c.name);
            OpenChannel();
            GateRequest gate = channel->Gate(c.address, std::strlen(c.address) == 11 ? 6 : 3, c.count);
            for (int32_t& value : channel->data) value = 0x5A5A5A5A;
            if (c.resetDone) channel->block->linkReset[12] = 1;
            const uint64_t start = fake::Now();
            QueueNoise(noise.noise, start);
            EXPECT_NE(0, channel->Call(c.command, &gate));
            EXPECT_LE(fake::Now() - start, c.boundMs);
            // Nothing stored as done: the data area is as it was (writes
            // never change it).
            for (int k = 0; k < 61; ++k) ASSERT_EQ(0x5A5A5A5A, channel->data[k]) << "entry " << k;
            EXPECT_EQ(1, LinesStarting(kNeverQuiet));
        }
    }
}

// One wake-up of the listener on such a line: at most one reception of the
// largest frame before the line is free again.
TEST_F(LineBoundTest, TheListenersCycleEndsWithinALoneReception) {
    for (const NoiseCase& noise : kNoises) {
        SCOPED_TRACE(noise.name);
        OpenChannel();
        const uint64_t start = fake::Now();
        QueueNoise(noise.noise, start);
        HandleUnsolicitedFrame(channel->block.get());
        EXPECT_LE(fake::Now() - start, LoneReceptionMs(channel->block.get()));
        EXPECT_TRUE(fake::Writes().empty());
    }
    EXPECT_EQ(212u, LoneReceptionMs(channel->block.get()));  // docs/bounds.md
}

// A unit with more status events than one answer holds: while a host command
// waits for the line, the fetch on the listener's thread lets it in after
// the pass in progress, and flips the frame-count bit only after it, so that
// the next pass never carries the bit of the host's request.
TEST_F(LineBoundTest, TheListenerLetsAWaitingHostCommandInBetweenTwoPasses) {
    OpenChannel();
    ChannelBlock* block = channel->block.get();
    uint16_t table[256];
    CrcBuildTable(table);
    std::vector<uint8_t> passBits;  // FCB of each fetch request on the line
    fake::SetResponder([&](HANDLE, const Bytes& written) {
        uint8_t request[kMessageBufferSize] = {};
        ASSERT_EQ(1, CheckFrameBlocks(table, written.data(), request));
        passBits.push_back(request[HeaderControl] & ControlFcb);
        const uint8_t more = passBits.size() < 4 ? 1 : 0;
        const Bytes answer = {0x10, 0x06, 0x00, 0x00, 0x00, 0x0C, 0x01, OpcodeStatusEvents, more,
                              0x80, static_cast<uint8_t>(passBits.size()), 0x06, 0x1A, 0x51, 0x8F, 0xB7, 0xE7};
        uint8_t frame[kFrameBufferSize];
        fake::QueueInput(Bytes(frame, frame + EncodeFrameWith(table, answer.data(), frame)), 5);
    });
    ChannelState* state = FindChannelState(block);
    ASSERT_NE(nullptr, state);
    // The host's command: waits from the start, takes the line as soon as it
    // is free, and uses it for one request (flipping the bit, as each does).
    __atomic_store_n(&state->hostWaiting, 1u, __ATOMIC_RELEASE);
    size_t hostAfterPass = 0;
    uint8_t hostBit = 0;
    fake::SetSleepHook([&](uint64_t) {
        if (__atomic_load_n(&state->hostWaiting, __ATOMIC_ACQUIRE) == 0 || !TryTakeBusy(block)) return;
        hostAfterPass = passBits.size();
        FlipFcb();
        hostBit = (block->fcb & 1) ? ControlFcb : 0;
        __atomic_store_n(&state->hostWaiting, 0u, __ATOMIC_RELEASE);
        ReleaseBusy(block);
    });
    ASSERT_TRUE(TryTakeBusy(block));  // as the listener holds it
    MarkLineYielder(1);
    int32_t scratch = 0;
    GateRequest request = {};
    request.station = 12;
    request.data = &scratch;
    block->linkReset[12] = 1;
    EXPECT_EQ(0, FetchStatusEvents(&request));
    MarkLineYielder(0);
    EXPECT_EQ(1, block->busy);  // the listener holds the line again
    ReleaseBusy(block);
    ASSERT_EQ(4u, passBits.size());
    EXPECT_EQ(1u, hostAfterPass);
    EXPECT_NE(hostBit, passBits[1]);
    EXPECT_NE(passBits[1], passBits[2]);
    EXPECT_NE(passBits[2], passBits[3]);
}

// Close while the listener fetches on a radio line whose carrier stays up:
// the listener stops within its bound and Close returns 0.
TEST_F(LineBoundTest, CloseStopsAListenerWhoseRadioCarrierStaysUp) {
    fake::RunThreads(true);
    TavSetWaitTick(1);
    channel.reset(new DriverChannel(kChannel));
    ASSERT_TRUE(channel->WriteChannelFile("HostAddress=0\nEXCEPTION=ON\nRADIO=YES 200,20,350\n"));
    ASSERT_EQ(0, channel->Open("COM1", 4));
    // A notice from station 12 waits for the listener; the carrier is down
    // until the acknowledgement has gone out, then stays up.
    uint16_t table[256];
    CrcBuildTable(table);
    const Bytes notice = {0x09, 0x53, 0x00, 0x00, 0x00, 0x0C, 0x01, 0x09, 0x00, 0x01};
    uint8_t frame[kFrameBufferSize];
    fake::QueueInput(Bytes(frame, frame + EncodeFrameWith(table, notice.data(), frame)));
    std::atomic<uint64_t> upFrom{UINT64_MAX};
    fake::SetResponder([&](HANDLE, const Bytes&) { upFrom = fake::Now(); });
    fake::SetCarrier([&](uint64_t now) { return now >= upFrom.load(); });
    const char kCarrierHigh[] = "KivIN : Carrier Detect high > 4 sec while TX";
    ASSERT_TRUE(WaitUntil([&] { return log->Count(kCarrierHigh) >= 1; })) << "the listener never reached the fetch";
    const uint32_t bound = ListenerStopBoundMs(channel->block.get());
    const uint64_t start = fake::Now();
    EXPECT_EQ(0, channel->Call(CommandClose));
    EXPECT_LE(fake::Now() - start, bound);
    EXPECT_EQ(nullptr, FindChannelState(channel->block.get()));
    channel.reset();
}

}  // namespace
