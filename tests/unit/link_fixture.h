// Shared set-up of the link-layer tests: a channel block on a fake port with
// its CRC table built, and helpers to build frames and read the call log.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/channel_block.h"
#include "link/frame_io.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

using Bytes = std::vector<uint8_t>;

// The frame of a message, from a table of our own.
inline Bytes FrameOf(const Bytes& message) {
    uint16_t table[256];
    CrcBuildTable(table);
    uint8_t frame[kFrameBufferSize];
    const uint16_t size = EncodeFrameWith(table, message.data(), frame);
    return Bytes(frame, frame + size);
}

// The call log without the purge before each send, with each run of carrier
// polls folded into one entry "Poll N sleep S" (N polls, S 1 ms sleeps).
inline std::vector<std::string> RadioSteps() {
    std::vector<std::string> steps;
    int polls = 0, sleeps = 0;
    auto flush = [&] {
        if (polls > 0) steps.push_back("Poll " + std::to_string(polls) + " sleep " + std::to_string(sleeps));
        polls = sleeps = 0;
    };
    for (const std::string& call : fake::Calls()) {
        if (call == "ClearCommError") continue;
        if (call == "ModemStatus" || call == "ModemStatus failed") {
            ++polls;
        } else if (call == "Sleep 1" && polls > 0) {
            ++sleeps;
        } else {
            flush();
            steps.push_back(call);
        }
    }
    flush();
    return steps;
}

class LinkTest : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    void TearDown() override { SetCurrentChannel(nullptr); }
    // The state a test starts from, again for each case of a table.
    void Fresh() {
        fake::Reset();
        log.Clear();
        block.reset(new ChannelBlock());
        SetCurrentChannel(block.get());
        port = fake::OpenPort("COM1");
        block->portHandle = HandleToField(port);
        block->radioOnTime = block->radioOffTime = block->radioDelayTime = 200;
        CrcInit();
    }

    void SetHostAddress(uint16_t address) {
        block->hostAddress[0] = static_cast<uint8_t>(address >> 8);
        block->hostAddress[1] = static_cast<uint8_t>(address & 0xFF);
    }

    std::unique_ptr<ChannelBlock> block;
    HANDLE port = nullptr;
    LogCapture log;
};
