// A real line whose far end goes away: the pseudo-terminal is hung up under
// an open channel, as when the adapter behind a port is pulled out. The
// port is logged once as gone and left alone until SetPort brings another.
// Natively only: under wine the runner holds both ends of the COM pair, so
// no test can hang one up (the fake-platform tests cover the Windows build).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/channel_block.h"
#include "driver/commands.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/line_pair.h"
#include "tests/support/log_capture.h"
#include "tests/support/responder.h"
#include "tests/support/scratch_directory.h"

#ifndef _WIN32
namespace {

constexpr int32_t kChannel = 8;

// Answers link resets, and reads of one register with the value 0x2A.
std::vector<Bytes> AnswerRead(const ReceivedFrame& received) {
    if (!received.complete || !received.crcOk) return {};
    const Bytes& m = received.message;
    Bytes reply = {0x07, 0x00, m[4], m[5], m[2], m[3], m[6], m[7]};
    if (m[6] == 1 && m[7] == 1) {
        reply[1] = 0x06;
        reply.insert(reply.end(), {m[8], m[9], m[10], 0x00, 0x00, 0x00, 0x2A});
        reply[0] = static_cast<uint8_t>(reply.size() - 1);
    }
    return {FrameOf(reply)};
}

class PortGoneLineTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(line->ok()) << line->error();
        TavReset();
        log.reset(new LogCapture());
        block.reset(new ChannelBlock());
        FILE* file = std::fopen("kivIN08.int", "w");
        ASSERT_NE(nullptr, file);
        std::fputs("Host Address = 0\n", file);
        std::fclose(file);
    }
    void TearDown() override {
        if (block) Call(CommandClose);
        log.reset();
        TavReset();
    }

    int32_t Call(int32_t command, void* parameters = nullptr) {
        CallRecord call{block.get(), command, kChannel, 0, parameters};
        return KivMain(&call);
    }
    int32_t Read() {
        value = 0;
        GateRequest gate{};
        gate.station = 12;
        gate.area = AreaRegister;
        gate.number = 300;
        gate.bit = 255;
        gate.size = 32;
        gate.count = 1;
        gate.data = &value;
        return Call(CommandRead, &gate);
    }

    ScratchDirectory directory{"kiv-line-gone"};
    std::unique_ptr<LinePair> line{new LinePair()};
    std::unique_ptr<LogCapture> log;
    std::unique_ptr<ChannelBlock> block;
    int32_t value = 0;
};

TEST_F(PortGoneLineTest, AHungUpPortIsLoggedOnceAndLeftAloneUntilAnotherIsSet) {
    PortSettings settings;
    std::memset(&settings, 0, sizeof settings);
    std::snprintf(settings.portName, sizeof settings.portName, "%s", line->driverPort().c_str());
    settings.enabled = 1;
    settings.readTimeout = 100;  // 1 s: a hang-up must not wait it out
    settings.line = LineSettings{19200, 8, 0, 0};
    ASSERT_EQ(0, Call(CommandOpen, &settings));
    {
        Responder unit(*line, AnswerRead);
        ASSERT_EQ(0, Read());
        EXPECT_EQ(0x2A, value);
    }

    const std::string name = line->driverPort();
    line->HangUp();
    EXPECT_EQ(2, Read());
    const std::string gone = "KivIN : Port " + name + " gone (system error 1117), not used until opened again";
    EXPECT_EQ(1, log->Count(gone));
    const size_t lines = log->Texts().size();
    // The port is not read again: a read would fail and log its short read.
    EXPECT_EQ(2, Read());
    EXPECT_EQ(0, Call(CommandFlush));
    EXPECT_EQ(lines, log->Texts().size());

    // Another line: SetPort brings the channel back.
    line.reset(new LinePair());
    ASSERT_TRUE(line->ok()) << line->error();
    Responder unit(*line, AnswerRead);
    PortChange change;
    std::memset(&change, 0, sizeof change);
    std::snprintf(change.portName, sizeof change.portName, "%s", line->driverPort().c_str());
    change.line = LineSettings{19200, 8, 0, 0};
    ASSERT_EQ(0, Call(CommandSetPort, &change));
    EXPECT_EQ(0, Read());
    EXPECT_EQ(0x2A, value);
    EXPECT_EQ(1, log->Count(gone));
    Call(CommandClose);
}

}  // namespace
#endif
