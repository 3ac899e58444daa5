// A driver channel on the driver's end of a line pair, set up the way the
// line tests use one: a fresh block, the channel file written in a scratch
// directory made current, Open at 19200 8N1, and Close at the end (once),
// which awaits a listener before the pair goes away.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>

#include "tests/support/driver_channel.h"
#include "tests/support/line_pair.h"
#include "tests/support/log_capture.h"
#include "tests/support/scratch_directory.h"

class LineChannel : public DriverChannel {
public:
    LineChannel(int32_t channel, const std::string& scratchPrefix) : DriverChannel(channel), directory(scratchPrefix) {}
    ~LineChannel() { Close(); }

    LinePair line;
    ScratchDirectory directory;
};

// A test on a line channel: skipped under Windows when the COM ports are not
// there (a failure natively), the runtime stand-in reset and its log
// captured, the channel file written; Close at the end. A fixture's own
// SetUp goes on only when IsSkipped() and HasFatalFailure() are false.
class LineChannelTest : public ::testing::Test, protected LineChannel {
protected:
    LineChannelTest(int32_t channel, const std::string& scratchPrefix, const std::string& channelFile)
        : LineChannel(channel, scratchPrefix), channelFile_(channelFile) {}
    void SetUp() override;
    void TearDown() override;

    std::unique_ptr<LogCapture> log;

private:
    std::string channelFile_;
};
