// A test of the driver's code on the fake platform: the fake and the runtime
// stand-in reset, the log captured and a fresh channel block; at the end no
// responder, no current channel, and the stand-in reset again.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "base/channel_block.h"
#include "tavlib/tavlib_control.h"
#include "tests/support/fake_platform.h"
#include "tests/support/log_capture.h"

class FakeChannelTest : public ::testing::Test {
protected:
    void SetUp() override { Fresh(); }
    void TearDown() override {
        fake::SetResponder(nullptr);
        SetCurrentChannel(nullptr);
        log.reset();
        TavReset();
    }
    // The state a test starts from, again for each case of a table.
    virtual void Fresh() {
        fake::Reset();
        TavReset();
        log.reset();  // a capture's end stops all capturing: the old one goes first
        log.reset(new LogCapture());
        block.reset(new ChannelBlock());
    }

    std::unique_ptr<LogCapture> log;
    std::unique_ptr<ChannelBlock> block;
};
